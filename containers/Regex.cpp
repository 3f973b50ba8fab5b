#ifndef _GNU_SOURCE
#define _GNU_SOURCE  // re_compile_pattern and the other GNU entry points
#endif
#include "Regex.h"

#include <regex.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>

#include "CriticalSection.h"
#include "TaskMutex.h"

struct Regex::Engine {
  re_pattern_buffer buf;
  regoff_t start[kRegisters];  // registers of the last operation, -1 = unset
  regoff_t end[kRegisters];
  bool compiled;
};

namespace {

// Guards every engine call of every Regex and the process-global
// re_syntax_options. Built on first use and never destroyed, so that an
// expression constructed by any file's static initialiser, or used by a
// detached thread while the process exits, always finds it.
TaskMutex* RegexMutex() {
  static TaskMutex* const mutex = new TaskMutex();
  return mutex;
}

// Emacs syntax is the engine's default; the named classes must be asked for.
const reg_syntax_t kEmacsSyntax = RE_SYNTAX_EMACS | RE_CHAR_CLASSES;
// An unmatched ")" is refused rather than read as a literal, so that a
// pattern wrapped in a group by its user cannot close that group early.
const reg_syntax_t kExtendedSyntax = RE_SYNTAX_POSIX_EXTENDED & ~RE_UNMATCHED_RIGHT_PAREN_ORD;

// REQUIRES: mutex held
void ClearRegisters(regoff_t* start, regoff_t* end) {
  for (int i = 0; i < Regex::kRegisters; ++i) {
    start[i] = -1;
    end[i] = -1;
  }
}

bool Span(long start, long end, int& startpos, int& length) {
  if (start < 0 || end < start) {
    return false;
  }
  startpos = static_cast<int>(start);
  length = static_cast<int>(end - start);
  return true;
}

}  // namespace

Regex::Regex(const char* pattern, int fast, int bufsize, const char* transtable)
    : pattern_(nullptr),
      fast_(fast),
      bufsize_(bufsize),
      transtable_(nullptr),
      syntax_(kEmacs),
      engine_(nullptr) {
  CriticalSection lock(RegexMutex());
  _Compile(pattern, transtable);
}

Regex::Regex(const char* pattern, Syntax syntax)
    : pattern_(nullptr),
      fast_(0),
      bufsize_(40),
      transtable_(nullptr),
      syntax_(syntax),
      engine_(nullptr) {
  CriticalSection lock(RegexMutex());
  _Compile(pattern, nullptr);
}

Regex::~Regex() {
  CriticalSection lock(RegexMutex());
  if (engine_ != nullptr) {
    regfree(&engine_->buf);  // also frees the fast map and the translate copy
    delete engine_;
    engine_ = nullptr;
  }
}

void Regex::_Compile(const char* pattern, const char* transtable) const {
  Engine* e = new (std::nothrow) Engine();
  if (e == nullptr) {
    fputs("Error Regex : Memory exhausted\n", stderr);
    return;
  }
  engine_ = e;
  ClearRegisters(e->start, e->end);
  if (pattern == nullptr) {
    pattern = "";
  }
  size_t length = strlen(pattern);
  size_t size = bufsize_ > 0 && static_cast<size_t>(bufsize_) > length
                    ? static_cast<size_t>(bufsize_)
                    : length;
  // The engine grows the buffer itself when it needs more; the buffer, the
  // fast map and the table all belong to it from here and regfree frees them.
  e->buf.buffer = size > 0 ? static_cast<re_dfa_t*>(malloc(size)) : nullptr;
  e->buf.allocated = e->buf.buffer != nullptr ? size : 0;
  if (fast_ != 0) {
    e->buf.fastmap = static_cast<char*>(malloc(256));
  }
  if (transtable != nullptr) {
    e->buf.translate = static_cast<unsigned char*>(malloc(256));
    if (e->buf.translate != nullptr) {
      memcpy(e->buf.translate, transtable, 256);
    }
  }
  reg_syntax_t saved = re_syntax_options;
  re_syntax_options = syntax_ == kExtended ? kExtendedSyntax : kEmacsSyntax;
  const char* error = re_compile_pattern(pattern, length, &e->buf);
  re_syntax_options = saved;
  if (error != nullptr) {
    fprintf(stderr, "Error Regex : %s\n", error);
    return;
  }
  if (e->buf.fastmap != nullptr) {
    re_compile_fastmap(&e->buf);
  }
  // Registers go to the object's own arrays instead of engine allocations.
  e->buf.regs_allocated = REGS_FIXED;
  e->compiled = true;
}

Regex::Engine* Regex::_Ready() const {
  if (engine_ == nullptr && pattern_ != nullptr) {
    _Compile(pattern_, transtable_);
  }
  return engine_ != nullptr && engine_->compiled ? engine_ : nullptr;
}

void Regex::_CopyGroups(int found, Groups* groups) const {
  if (engine_ != nullptr && !found) {
    ClearRegisters(engine_->start, engine_->end);
  }
  if (groups == nullptr) {
    return;
  }
  for (int i = 0; i < kRegisters; ++i) {
    bool set = found && engine_ != nullptr;
    groups->start[i] = set ? static_cast<int>(engine_->start[i]) : -1;
    groups->end[i] = set ? static_cast<int>(engine_->end[i]) : -1;
  }
}

int Regex::match(const char* s, int len, int pos) const { return match(s, len, pos, nullptr); }

int Regex::match(const char* s, int len, int pos, Groups* groups) const {
  CriticalSection lock(RegexMutex());
  Engine* e = _Ready();
  int result = -1;
  if (s == nullptr || len < 0) {
    s = "";
    len = 0;
  }
  if (pos < 0) {
    pos += len;
  }
  if (e != nullptr && pos >= 0 && pos <= len) {
    re_registers regs;
    regs.num_regs = kRegisters;
    regs.start = e->start;
    regs.end = e->end;
    // An empty first string keeps the engine's text pointer valid when len is 0.
    regoff_t found = re_match_2(&e->buf, s, 0, s, len, pos, &regs, len);
    result = found >= 0 ? static_cast<int>(found) : -1;
  }
  _CopyGroups(result >= 0, groups);
  return result;
}

int Regex::search(const char* s, int len, int& matchlen, int startpos) const {
  return search(s, len, matchlen, startpos, nullptr);
}

int Regex::search(const char* s, int len, int& matchlen, int startpos, Groups* groups) const {
  CriticalSection lock(RegexMutex());
  Engine* e = _Ready();
  int result = -1;
  matchlen = 0;
  if (s == nullptr || len < 0) {
    s = "";
    len = 0;
  }
  int pos = startpos >= 0 ? startpos : len + startpos;
  int range = startpos >= 0 ? len - startpos : -pos;
  if (e != nullptr && pos >= 0 && pos <= len) {
    re_registers regs;
    regs.num_regs = kRegisters;
    regs.start = e->start;
    regs.end = e->end;
    regoff_t found = re_search_2(&e->buf, s, 0, s, len, pos, range, &regs, len);
    if (found >= 0) {
      result = static_cast<int>(found);
      matchlen = static_cast<int>(e->end[0] - e->start[0]);
    }
  }
  _CopyGroups(result >= 0, groups);
  return result;
}

bool Regex::match_info(int& start, int& length, int nth) const {
  CriticalSection lock(RegexMutex());
  if (engine_ == nullptr || nth < 0 || nth >= kRegisters) {
    return false;
  }
  return Span(engine_->start[nth], engine_->end[nth], start, length);
}

bool Regex::Groups::info(int& startpos, int& length, int nth) const {
  if (nth < 0 || nth >= kRegisters) {
    return false;
  }
  return Span(start[nth], end[nth], startpos, length);
}

int Regex::OK() const {
  CriticalSection lock(RegexMutex());
  Engine* e = _Ready();
  if (e == nullptr || e->buf.buffer == nullptr) {
    fputs("Error Regex : invariant failure \n", stderr);
    return 0;
  }
  return 1;
}

// Constant-initialised (the deferred constructor is constexpr), so they are
// usable from any static initialiser, whatever the order of files.
const Regex RXwhite(Regex::kDeferred, "[ \n\t\r\v\f]+", 1, 40);
const Regex RXint(Regex::kDeferred, "-?[0-9]+", 1, 40);
const Regex RXdouble(Regex::kDeferred,
                     R"(-?\(\([0-9]+\.[0-9]*\)\|\([0-9]+\)\|\(\.[0-9]+\)\)\([eE][---+]?[0-9]+\)?)",
                     1, 200);
const Regex RXalpha(Regex::kDeferred, "[A-Za-z]+", 1, 40);
const Regex RXlowercase(Regex::kDeferred, "[a-z]+", 1, 40);
const Regex RXuppercase(Regex::kDeferred, "[A-Z]+", 1, 40);
const Regex RXalphanum(Regex::kDeferred, "[0-9A-Za-z]+", 1, 40);
const Regex RXidentifier(Regex::kDeferred, "[A-Za-z_][A-Za-z0-9_]*", 1, 40);

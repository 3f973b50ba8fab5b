#include "String.h"

#include <ctype.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include <new>

#include "Regex.h"

StrRep _nilStrRep = {0, 0, {0}};
String _nilString;

namespace {

const size_t kMax = String::kMaxLength;
const size_t kHeader = offsetof(StrRep, s);
const char* const kTooLong = "string longer than 65535 characters, truncated";

bool IsNil(const StrRep* r) { return r == &_nilStrRep; }

// Block sizes are powers of two from 16 holding n + 10 bytes; 4 bytes of
// each block are left to the allocator and 6 go to header and terminator,
// so the capacity is the block size less 10 (at most the 16-bit limit).
StrRep* Snew(size_t n) {
  size_t block = 16;
  while (block < n + 10) {
    block <<= 1;
  }
  size_t capacity = block - 10 > kMax ? kMax : block - 10;
  size_t bytes = block - 4 < kHeader + capacity + 1 ? block - 4 : kHeader + capacity + 1;
  StrRep* r = static_cast<StrRep*>(::operator new(bytes));
  r->sz = static_cast<uint16_t>(capacity);
  r->len = 0;
  r->s[0] = '\0';
  return r;
}

void Sfree(StrRep* r) {
  if (!IsNil(r)) {
    ::operator delete(r);
  }
}

void SetLength(StrRep* r, size_t n) {
  r->len = static_cast<uint16_t>(n);
  r->s[n] = '\0';
}

// The longest length that fits, reporting the cut once.
size_t Clamp(size_t n) {
  if (n > kMax) {
    String::error(kTooLong);
    return kMax;
  }
  return n;
}

size_t TextLength(const char* t) { return t == nullptr ? 0 : strlen(t); }

// old with its text replaced by the n characters at src (which may point
// into old); reuses old when its capacity suffices. REQUIRES: n <= kMax.
StrRep* Salloc(StrRep* old, const char* src, size_t n) {
  if (n == 0) {
    if (!IsNil(old)) {
      SetLength(old, 0);
    }
    return old;
  }
  if (IsNil(old) || n > old->sz) {
    StrRep* r = Snew(n);
    memcpy(r->s, src, n);
    SetLength(r, n);
    Sfree(old);
    return r;
  }
  memmove(old->s, src, n);
  SetLength(old, n);
  return old;
}

// old holding the sl characters at s followed by the tl characters at t.
// REQUIRES: sl + tl <= kMax.
StrRep* Scat(StrRep* old, const char* s, size_t sl, const char* t, size_t tl) {
  size_t n = sl + tl;
  if (!IsNil(old) && s == old->s && n <= old->sz) {
    memmove(old->s + sl, t, tl);
    SetLength(old, n);
    return old;
  }
  if (n == 0) {
    return Salloc(old, s, 0);
  }
  StrRep* r = Snew(n);
  memcpy(r->s, s, sl);
  memcpy(r->s + sl, t, tl);
  SetLength(r, n);
  Sfree(old);
  return r;
}

// r (nullptr: a new representation) with the tl characters at t appended,
// reallocated by the block rule when they do not fit; text past the limit
// is dropped and flagged in *truncated.
StrRep* Sappend(StrRep* r, const char* t, size_t tl, bool* truncated) {
  size_t len = r == nullptr ? 0 : r->len;
  if (len + tl > kMax) {
    tl = kMax - len;
    *truncated = true;
  }
  if (r == nullptr || len + tl > r->sz) {
    StrRep* grown = Snew(len + tl);
    if (r != nullptr) {
      memcpy(grown->s, r->s, len);
      Sfree(r);
    }
    r = grown;
  }
  memcpy(r->s + len, t, tl);
  SetLength(r, len + tl);
  return r;
}

// Cuts tl so that the sum fits, reporting once.
void FitSum(size_t base, size_t* tl) {
  if (base + *tl > kMax) {
    *tl = Clamp(base + *tl) - base;
  }
}

}  // namespace

void String::error(const char* msg) { fprintf(stderr, "[String::error] ERROR : %s\n", msg); }

String::String(const char* t) : rep(&_nilStrRep) { rep = Salloc(rep, t, Clamp(TextLength(t))); }

String::String(const char* t, int len) : rep(&_nilStrRep) {
  if (t != nullptr && len > 0) {
    rep = Salloc(rep, t, Clamp(static_cast<size_t>(len)));
  }
}

String::String(const String& x) : rep(&_nilStrRep) { rep = Salloc(rep, x.rep->s, x.rep->len); }

String::String(String&& x) noexcept : rep(x.rep) { x.rep = &_nilStrRep; }

String::String(const SubString& x) : rep(&_nilStrRep) { rep = Salloc(rep, x.chars(), x.length()); }

String::String(char c) : rep(&_nilStrRep) { rep = Salloc(rep, &c, 1); }

String::~String() { Sfree(rep); }

String& String::operator=(const String& y) {
  if (this != &y) {
    rep = Salloc(rep, y.rep->s, y.rep->len);
  }
  return *this;
}

String& String::operator=(String&& y) noexcept {
  if (this != &y) {
    Sfree(rep);
    rep = y.rep;
    y.rep = &_nilStrRep;
  }
  return *this;
}

String& String::operator=(const char* y) {
  rep = Salloc(rep, y, Clamp(TextLength(y)));
  return *this;
}

String& String::operator=(const SubString& y) {
  rep = Salloc(rep, y.chars(), y.length());
  return *this;
}

String& String::operator=(char c) {
  rep = Salloc(rep, &c, 1);
  return *this;
}

String& String::operator+=(const String& y) { return *this += y.rep->s; }

String& String::operator+=(const SubString& y) {
  size_t tl = y.length();
  FitSum(rep->len, &tl);
  rep = Scat(rep, rep->s, rep->len, y.chars(), tl);
  return *this;
}

String& String::operator+=(const char* y) {
  size_t tl = TextLength(y);
  FitSum(rep->len, &tl);
  rep = Scat(rep, rep->s, rep->len, y, tl);
  return *this;
}

String& String::operator+=(char c) {
  size_t tl = 1;
  FitSum(rep->len, &tl);
  rep = Scat(rep, rep->s, rep->len, &c, tl);
  return *this;
}

String operator+(const String& x, const String& y) { return x + y.chars(); }

String operator+(const String& x, const char* y) {
  size_t tl = TextLength(y);
  FitSum(x.rep->len, &tl);
  String r;
  r.rep = Scat(r.rep, x.rep->s, x.rep->len, y, tl);
  return r;
}

String operator+(const String& x, char c) {
  char text[2] = {c, '\0'};
  return x + text;
}

String operator+(const char* x, const String& y) {
  size_t sl = Clamp(TextLength(x));
  size_t tl = y.rep->len;
  FitSum(sl, &tl);
  String r;
  r.rep = Scat(r.rep, x, sl, y.rep->s, tl);
  return r;
}

int String::search(int start, int sl, char c) const {
  const char* s = rep->s;
  if (sl > rep->len) {
    sl = rep->len;
  }
  if (start >= 0) {
    for (int i = start; i < sl; ++i) {
      if (s[i] == c) {
        return i;
      }
    }
    return -1;
  }
  for (int i = sl + start; i >= 0; --i) {
    if (i < sl && s[i] == c) {
      return i;
    }
  }
  return -1;
}

int String::search(int start, int sl, const char* t, int tl) const {
  if (t == nullptr) {
    return -1;
  }
  if (tl < 0) {
    tl = static_cast<int>(strlen(t));
  }
  if (sl > rep->len) {
    sl = rep->len;
  }
  if (tl == 0 || tl > sl) {
    return -1;
  }
  const char* s = rep->s;
  if (start >= 0) {
    for (int i = start; i <= sl - tl; ++i) {
      if (memcmp(s + i, t, static_cast<size_t>(tl)) == 0) {
        return i;
      }
    }
    return -1;
  }
  // Backwards: the occurrence must end at or before position sl + start.
  int i = sl + start + 1 - tl;
  for (i = i > sl - tl ? sl - tl : i; i >= 0; --i) {
    if (memcmp(s + i, t, static_cast<size_t>(tl)) == 0) {
      return i;
    }
  }
  return -1;
}

int String::index(char c, int startpos) const { return search(startpos, length(), c); }

int String::index(const char* t, int startpos) const { return search(startpos, length(), t); }

int String::index(const Regex& r, int startpos) const {
  int mlen;
  return _SearchRegex(r, startpos, mlen);
}

int String::contains(char c) const { return index(c) >= 0; }

int String::contains(const char* t) const { return index(t) >= 0; }

int String::contains(const Regex& r) const { return index(r) >= 0; }

int String::matches(const Regex& r, int pos) const {
  int l = pos < 0 ? -pos : length() - pos;
  return l >= 0 && r.match(rep->s, length(), pos) == l;
}

int String::_SearchRegex(const Regex& r, int startpos, int& mlen) const {
  // Position and length come from one locked call, so another thread's
  // search with the same Regex cannot slip in between.
  return r.search(rep->s, rep->len, mlen, startpos);
}

int String::_SearchText(const char* t, int startpos, int& mlen) const {
  mlen = static_cast<int>(TextLength(t));
  return search(startpos, length(), t, mlen);
}

SubString String::_substr(int first, int l) {
  if (first < 0 || l < 0 || first + l > length()) {
    return SubString(_nilString, 0, 0);
  }
  return SubString(*this, first, l);
}

SubString String::at(int pos, int len) { return _substr(pos, len); }

SubString String::before(int pos) { return _substr(0, pos); }

SubString String::through(int pos) { return _substr(0, pos + 1); }

SubString String::from(int pos) { return _substr(pos, length() - pos); }

SubString String::after(int pos) { return _substr(pos + 1, length() - (pos + 1)); }

SubString String::_Slice(Slice kind, int first, int mlen) {
  if (first < 0) {
    return _substr(-1, 0);
  }
  switch (kind) {
    case kAt:
      return _substr(first, mlen);
    case kBefore:
      return _substr(0, first);
    case kThrough:
      return _substr(0, first + mlen);
    case kFrom:
      return _substr(first, length() - first);
    case kAfter:
      break;
  }
  return _substr(first + mlen, length() - first - mlen);
}

SubString String::at(const char* t, int startpos) {
  int mlen;
  int first = _SearchText(t, startpos, mlen);
  return _Slice(kAt, first, mlen);
}

SubString String::at(const Regex& r, int startpos) {
  int mlen;
  int first = _SearchRegex(r, startpos, mlen);
  return _Slice(kAt, first, mlen);
}

SubString String::before(const char* t, int startpos) {
  int mlen;
  int first = _SearchText(t, startpos, mlen);
  return _Slice(kBefore, first, mlen);
}

SubString String::before(const Regex& r, int startpos) {
  int mlen;
  int first = _SearchRegex(r, startpos, mlen);
  return _Slice(kBefore, first, mlen);
}

SubString String::through(const char* t, int startpos) {
  int mlen;
  int first = _SearchText(t, startpos, mlen);
  return _Slice(kThrough, first, mlen);
}

SubString String::through(const Regex& r, int startpos) {
  int mlen;
  int first = _SearchRegex(r, startpos, mlen);
  return _Slice(kThrough, first, mlen);
}

SubString String::from(const char* t, int startpos) {
  int mlen;
  int first = _SearchText(t, startpos, mlen);
  return _Slice(kFrom, first, mlen);
}

SubString String::from(const Regex& r, int startpos) {
  int mlen;
  int first = _SearchRegex(r, startpos, mlen);
  return _Slice(kFrom, first, mlen);
}

SubString String::after(const char* t, int startpos) {
  int mlen;
  int first = _SearchText(t, startpos, mlen);
  return _Slice(kAfter, first, mlen);
}

SubString String::after(const Regex& r, int startpos) {
  int mlen;
  int first = _SearchRegex(r, startpos, mlen);
  return _Slice(kAfter, first, mlen);
}

void String::_Replace(int pos, int len, const char* t, int tl) {
  size_t oldlen = rep->len;
  if (t >= rep->s && t < rep->s + oldlen + 1 && !IsNil(rep)) {
    String copy(t, tl);  // the text moves while the range is rewritten
    _Replace(pos, len, copy.chars(), copy.length());
    return;
  }
  size_t head = static_cast<size_t>(pos);
  size_t text = tl > 0 ? static_cast<size_t>(tl) : 0;
  size_t tail = oldlen - head - static_cast<size_t>(len);
  size_t n = Clamp(head + text + tail);
  text = n - head < text ? n - head : text;
  tail = n - head - text;
  if (!IsNil(rep) && n <= rep->sz) {
    memmove(rep->s + head + text, rep->s + head + len, tail);
    memcpy(rep->s + head, t, text);
    SetLength(rep, n);
    return;
  }
  if (n == 0) {
    return;
  }
  StrRep* r = Snew(n);
  memcpy(r->s, rep->s, head);
  memcpy(r->s + head, t, text);
  memcpy(r->s + head + text, rep->s + head + len, tail);
  SetLength(r, n);
  Sfree(rep);
  rep = r;
}

void String::_Commit(StrRep* result) {
  if (!IsNil(rep) && result->len <= rep->sz) {
    memcpy(rep->s, result->s, result->len);
    SetLength(rep, result->len);
    Sfree(result);
  } else {
    Sfree(rep);
    rep = result;
  }
}

int String::gsub(const Regex& pat, const char* repl) {
  size_t sl = rep->len;
  if (sl == 0) {
    return 0;
  }
  size_t rl = TextLength(repl);
  StrRep* result = nullptr;
  bool truncated = false;
  int count = 0;
  size_t si = 0;
  while (si < sl) {
    int mlen;
    int pos = pat.search(rep->s, static_cast<int>(sl), mlen, static_cast<int>(si));
    if (pos < 0 || mlen <= 0) {
      break;
    }
    ++count;
    result = Sappend(result, rep->s + si, static_cast<size_t>(pos) - si, &truncated);
    result = Sappend(result, repl, rl, &truncated);
    si = static_cast<size_t>(pos + mlen);
  }
  if (count == 0) {
    return 0;
  }
  result = Sappend(result, rep->s + si, sl - si, &truncated);
  if (truncated) {
    error(kTooLong);
  }
  _Commit(result);
  return count;
}

int String::gsub(const char* pat, const char* repl) {
  size_t sl = rep->len;
  size_t pl = TextLength(pat);
  if (sl == 0 || pl == 0 || pl > sl) {
    return 0;
  }
  size_t rl = TextLength(repl);
  StrRep* result = nullptr;
  bool truncated = false;
  int count = 0;
  size_t si = 0;
  int pos;
  while (si < sl && (pos = search(static_cast<int>(si), static_cast<int>(sl), pat,
                                  static_cast<int>(pl))) >= 0) {
    ++count;
    result = Sappend(result, rep->s + si, static_cast<size_t>(pos) - si, &truncated);
    result = Sappend(result, repl, rl, &truncated);
    si = static_cast<size_t>(pos) + pl;
  }
  if (count == 0) {
    return 0;
  }
  result = Sappend(result, rep->s + si, sl - si, &truncated);
  if (truncated) {
    error(kTooLong);
  }
  _Commit(result);
  return count;
}

void String::upcase() {
  for (int i = 0; i < rep->len; ++i) {
    rep->s[i] = static_cast<char>(toupper(static_cast<unsigned char>(rep->s[i])));
  }
}

void String::downcase() {
  for (int i = 0; i < rep->len; ++i) {
    rep->s[i] = static_cast<char>(tolower(static_cast<unsigned char>(rep->s[i])));
  }
}

int String::OK() const {
  bool good = rep != nullptr && (IsNil(rep) ? rep->len == 0 && rep->s[0] == '\0'
                                            : rep->len <= rep->sz && rep->s[rep->len] == '\0');
  if (!good) {
    error("invariant failure");
  }
  return good ? 1 : 0;
}

int compare(const String& x, const String& y) {
  size_t xl = x.length();
  size_t yl = y.length();
  int diff = memcmp(x.chars(), y.chars(), xl < yl ? xl : yl);
  if (diff != 0) {
    return diff;
  }
  return xl < yl ? -1 : (xl > yl ? 1 : 0);
}

int compare(const String& x, const char* y) { return strcmp(x.chars(), y == nullptr ? "" : y); }

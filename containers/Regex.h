// Regex: a compiled regular expression over the C library's GNU engine, in
// Emacs syntax with the named character classes ([:alpha:], [:digit:], ...):
// \( \) group, \| alternates, * + ? repeat, ^ and $ anchor. Operators'
// patterns take POSIX extended syntax instead, as `grep -E` reads them:
// ( ) group, | alternates, {m,n} repeats, and an unmatched ")" is an error.
//
// Owned by whoever declares it; the predefined expressions at the end live for
// the whole program. Safe for concurrent use: every operation, construction
// and destruction included, runs under one process-wide mutex because the
// engine reads process-global syntax options. A thread sharing a Regex reads
// its own match from the return values (or a Groups argument), not from
// match_info, which reports whatever operation ran last on the object.
#ifndef VIGILD_CONTAINERS_REGEX_H
#define VIGILD_CONTAINERS_REGEX_H

class Regex {
 public:
  enum { kRegisters = 10 };

  // Spans of the whole match (0) and of the sub-expressions 1 to 9, copied
  // out under the same lock as the operation that found them. -1 = unset.
  struct Groups {
    int start[kRegisters];
    int end[kRegisters];
    // Same contract as match_info.
    bool info(int& startpos, int& length, int nth = 0) const;
  };

  enum Syntax { kEmacs, kExtended };

  // Compiles at once; a bad pattern is reported on stderr and the object
  // then never matches.
  explicit Regex(const char* pattern, int fast = 0, int bufsize = 40,
                 const char* transtable = nullptr);
  Regex(const char* pattern, Syntax syntax);

  // Compiles on first use instead, so that a process-wide expression is
  // ready before any static initialiser of any file runs. pattern and
  // transtable must outlive the object (string literals, static tables).
  enum Deferred { kDeferred };
  constexpr Regex(Deferred, const char* pattern, int fast = 0, int bufsize = 40,
                  const char* transtable = nullptr)
      : pattern_(pattern),
        fast_(fast),
        bufsize_(bufsize),
        transtable_(transtable),
        syntax_(kEmacs),
        engine_(nullptr) {}

  ~Regex();
  Regex(const Regex&) = delete;
  Regex& operator=(const Regex&) = delete;

  // Length of the match anchored at pos, -1 when none. A negative pos counts
  // from the end (len + pos).
  int match(const char* s, int len, int pos = 0) const;
  int match(const char* s, int len, int pos, Groups* groups) const;

  // Position of the first match at or after startpos, -1 when none; matchlen
  // gets its length (0 when none). A negative startpos searches backwards
  // from len + startpos.
  int search(const char* s, int len, int& matchlen, int startpos = 0) const;
  int search(const char* s, int len, int& matchlen, int startpos, Groups* groups) const;

  // Span of sub-expression nth of the last match or search on this object;
  // false for nth outside 0-9, an unset group or after a failed operation.
  bool match_info(int& start, int& length, int nth = 0) const;

  // 1 when the pattern compiled; otherwise 0 and a line on stderr.
  int OK() const;

 private:
  struct Engine;

  // REQUIRES: mutex held
  void _Compile(const char* pattern, const char* transtable) const;
  // REQUIRES: mutex held
  Engine* _Ready() const;
  // REQUIRES: mutex held
  void _CopyGroups(int found, Groups* groups) const;

  // Constant after construction. The texts are kept only by deferred objects.
  const char* pattern_;
  int fast_;
  int bufsize_;
  const char* transtable_;
  Syntax syntax_;
  // Compiled pattern and registers; guarded by the process-wide regex mutex.
  // Mutable because matching updates the engine's state even for a const
  // expression.
  mutable Engine* engine_;
};

// Process-wide expressions, constant-initialised and compiled on first use.
extern const Regex RXwhite;       // blanks of every kind
extern const Regex RXint;         // optionally signed integer
extern const Regex RXdouble;      // decimal number with optional exponent
extern const Regex RXalpha;       // letters
extern const Regex RXlowercase;   // lower-case letters
extern const Regex RXuppercase;   // upper-case letters
extern const Regex RXalphanum;    // letters and digits
extern const Regex RXidentifier;  // C identifier

#endif  // VIGILD_CONTAINERS_REGEX_H

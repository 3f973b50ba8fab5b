// String: the daemon's value string, at most 65535 characters, always
// NUL-terminated, with slicing into SubString views, search and substitution
// by plain text or Regex. Longer text is cut to 65535 characters with one
// "[String::error] ERROR : " line on stderr.
//
// Each String owns its representation; copies copy the characters, and only
// the process-wide empty representation (never written, never freed) is
// shared. One thread at a time; the owner locks. The Regex operations are
// safe with a Regex shared between threads: each split uses the match its own
// search found.
#ifndef VIGILD_CONTAINERS_STRING_H
#define VIGILD_CONTAINERS_STRING_H

#include <stdint.h>

#include "SubString.h"

class Regex;

// The shared representation: len characters and a NUL in a block of capacity
// sz (+ header and terminator). Allocated by String only.
struct StrRep {
  uint16_t len;
  uint16_t sz;
  char s[1];  // really sz + 1 bytes
};

// The empty representation every empty String points at.
extern StrRep _nilStrRep;

class String {
 public:
  enum { kMaxLength = 65535 };

  constexpr String() : rep(&_nilStrRep) {}
  String(const char* t);  // NULL is the empty string
  String(const char* t, int len);
  String(const String& x);
  String(String&& x) noexcept;
  String(const SubString& x);
  explicit String(char c);
  ~String();

  String& operator=(const String& y);
  String& operator=(String&& y) noexcept;
  String& operator=(const char* y);
  String& operator=(const SubString& y);
  String& operator=(char c);

  String& operator+=(const String& y);
  String& operator+=(const SubString& y);
  String& operator+=(const char* y);
  String& operator+=(char c);

  operator const char*() const { return rep->s; }
  const char* chars() const { return rep->s; }
  int length() const { return rep->len; }
  int empty() const { return rep->len == 0; }
  int capacity() const { return rep->sz; }
  // The character at i, or NUL outside the string.
  char operator[](int i) const { return elem(i); }
  char elem(int i) const { return i >= 0 && i < rep->len ? rep->s[i] : '\0'; }

  // Index of c, or of the tl characters at t (tl < 0: up to the NUL), within
  // the first sl characters; a negative start searches backwards from
  // sl + start. -1 when absent (also for an empty t).
  int search(int start, int sl, char c) const;
  int search(int start, int sl, const char* t, int tl = -1) const;

  int index(char c, int startpos = 0) const;
  int index(const char* t, int startpos = 0) const;
  int index(const Regex& r, int startpos = 0) const;
  int contains(char c) const;
  int contains(const char* t) const;
  int contains(const Regex& r) const;
  // 1 when r matches everything from pos (negative: from the end) to the end.
  int matches(const Regex& r, int pos = 0) const;

  // Slices. A slice that would start before 0 or end past the string, or a
  // search that finds nothing, gives the empty slice of the shared empty
  // string.
  SubString at(int pos, int len);
  SubString at(const char* t, int startpos = 0);
  SubString at(const Regex& r, int startpos = 0);
  SubString before(int pos);
  SubString before(const char* t, int startpos = 0);
  SubString before(const Regex& r, int startpos = 0);
  SubString through(int pos);
  SubString through(const char* t, int startpos = 0);
  SubString through(const Regex& r, int startpos = 0);
  SubString from(int pos);
  SubString from(const char* t, int startpos = 0);
  SubString from(const Regex& r, int startpos = 0);
  SubString after(int pos);
  SubString after(const char* t, int startpos = 0);
  SubString after(const Regex& r, int startpos = 0);

  // Replace every non-overlapping occurrence, left to right; the number of
  // replacements. A zero-length regex match ends the substitution. Nothing
  // changes on an empty string, an empty pattern or a pattern longer than
  // the string.
  int gsub(const Regex& pat, const char* repl);
  int gsub(const char* pat, const char* repl);

  void upcase();
  void downcase();

  // 1 when the representation is consistent; otherwise 0 and an
  // "invariant failure" report.
  int OK() const;

  // Writes "[String::error] ERROR : " + msg and a new line to stderr.
  static void error(const char* msg);

  friend String operator+(const String& x, const String& y);
  friend String operator+(const String& x, const char* y);
  friend String operator+(const String& x, char c);
  friend String operator+(const char* x, const String& y);

 private:
  friend class SubString;

  enum Slice { kAt, kBefore, kThrough, kFrom, kAfter };

  SubString _substr(int first, int l);
  // The slice of the given kind around an occurrence found at first with
  // length mlen (first < 0: nothing found).
  SubString _Slice(Slice kind, int first, int mlen);
  int _SearchRegex(const Regex& r, int startpos, int& mlen) const;
  int _SearchText(const char* t, int startpos, int& mlen) const;
  // Replaces len characters at pos by tl characters at t (t may point into
  // this string).
  void _Replace(int pos, int len, const char* t, int tl);
  void _Commit(StrRep* result);

  StrRep* rep;  // never null; &_nilStrRep when empty and unallocated
};

// A process-wide empty String; the empty slices view it.
extern String _nilString;

// Byte-wise: negative, zero or positive.
int compare(const String& x, const String& y);
int compare(const String& x, const char* y);

inline bool operator==(const String& x, const String& y) { return compare(x, y) == 0; }
inline bool operator!=(const String& x, const String& y) { return compare(x, y) != 0; }
inline bool operator<(const String& x, const String& y) { return compare(x, y) < 0; }
inline bool operator>(const String& x, const String& y) { return compare(x, y) > 0; }
inline bool operator<=(const String& x, const String& y) { return compare(x, y) <= 0; }
inline bool operator>=(const String& x, const String& y) { return compare(x, y) >= 0; }
inline bool operator==(const String& x, const char* y) { return compare(x, y) == 0; }
inline bool operator!=(const String& x, const char* y) { return compare(x, y) != 0; }
inline bool operator<(const String& x, const char* y) { return compare(x, y) < 0; }
inline bool operator>(const String& x, const char* y) { return compare(x, y) > 0; }
inline bool operator==(const char* x, const String& y) { return compare(y, x) == 0; }
inline bool operator!=(const char* x, const String& y) { return compare(y, x) != 0; }

#endif  // VIGILD_CONTAINERS_STRING_H

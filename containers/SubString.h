// SubString: a view of a range of characters inside a String, returned by the
// String slicing operations (before, after, at, from, through). Assigning to
// it replaces that range inside its String.
//
// Borrows its String, which must outlive it and must not be changed through
// other means while the view is used. One thread at a time; the owner locks.
#ifndef VIGILD_CONTAINERS_SUBSTRING_H
#define VIGILD_CONTAINERS_SUBSTRING_H

#include <stdint.h>

class Regex;
class String;

class SubString {
 public:
  SubString(const SubString& x) = default;

  // Replace the viewed range (a no-op on the shared empty slice). The view
  // then covers the new text.
  SubString& operator=(const String& y);
  SubString& operator=(const SubString& y);
  SubString& operator=(const char* t);
  SubString& operator=(char c);

  int length() const { return len; }
  int empty() const { return len == 0; }
  // The first viewed character; the range is not NUL-terminated.
  const char* chars() const;

  int contains(const char* t) const;
  int contains(const Regex& r) const;
  // 1 when r matches the whole range.
  int matches(const Regex& r) const;

  // 1 when the range still lies inside its String; otherwise 0 and a
  // "SubString invariant failure" report.
  int OK() const;

 private:
  friend class String;
  SubString(String& x, int first, int l)
      : S(x), pos(static_cast<uint16_t>(first)), len(static_cast<uint16_t>(l)) {}

  void _Assign(const char* t, int tl);

  String& S;
  uint16_t pos;
  uint16_t len;
};

#endif  // VIGILD_CONTAINERS_SUBSTRING_H

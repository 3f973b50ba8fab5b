#include "SubString.h"

#include <string.h>

#include "Regex.h"
#include "String.h"

const char* SubString::chars() const { return S.chars() + pos; }

void SubString::_Assign(const char* t, int tl) {
  // The empty slices all view the process-wide empty String, which no one
  // may change; a stale view would rewrite the wrong characters.
  if (&S == &_nilString || !OK()) {
    return;
  }
  int before = S.length();
  S._Replace(pos, len, t, tl);
  int grown = S.length() - before + len;
  len = static_cast<uint16_t>(grown > 0 ? grown : 0);
}

SubString& SubString::operator=(const String& y) {
  _Assign(y.chars(), y.length());
  return *this;
}

SubString& SubString::operator=(const SubString& y) {
  _Assign(y.chars(), y.length());
  return *this;
}

SubString& SubString::operator=(const char* t) {
  _Assign(t, t == nullptr ? 0 : static_cast<int>(strnlen(t, String::kMaxLength)));
  return *this;
}

SubString& SubString::operator=(char c) {
  _Assign(&c, 1);
  return *this;
}

int SubString::contains(const char* t) const {
  size_t tl = t == nullptr ? 0 : strlen(t);
  if (tl == 0 || tl > len) {
    return 0;
  }
  for (size_t i = 0; i + tl <= len; ++i) {
    if (memcmp(chars() + i, t, tl) == 0) {
      return 1;
    }
  }
  return 0;
}

int SubString::contains(const Regex& r) const {
  int mlen;
  return r.search(chars(), len, mlen) >= 0;
}

int SubString::matches(const Regex& r) const { return r.match(chars(), len) == len; }

int SubString::OK() const {
  if (S.OK() && pos + len <= S.length()) {
    return 1;
  }
  String::error("SubString invariant failure");
  return 0;
}

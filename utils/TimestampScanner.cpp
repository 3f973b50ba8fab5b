#include "TimestampScanner.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <iterator>

namespace {

bool InRange(int v, int lo, int hi) { return v >= lo && v <= hi; }

}  // namespace

bool TimestampScanner::_Valid(const Fields& f) {
  return InRange(f.year, 1970, 2037) && InRange(f.month, 1, 12) && InRange(f.day, 1, 31) &&
         InRange(f.hour, 0, 23) && InRange(f.min, 0, 59) && InRange(f.sec, 0, 59);
}

int TimestampScanner::_CompleteYear(int year) {
  if (year < 100) {
    return year < 70 ? 2000 + year : 1900 + year;
  }
  return year;
}

bool TimestampScanner::ScanFree(const char* text, Fields& out) {
  // Longest first, so that each form is only taken when it reads completely.
  static const struct {
    const char* format;
    int fields;
  } kForms[] = {{"%d/%d/%d %d:%d:%d", 6}, {"%d/%d/%d %d:%d", 5}, {"%d/%d/%d %d", 4},
                {"%d/%d/%d", 3},          {"%d/%d", 2},          {"%d", 1}};
  for (const auto& form : kForms) {
    Fields f = {0, 1, 1, 0, 0, 0};
    if (sscanf(text, form.format, &f.year, &f.month, &f.day, &f.hour, &f.min, &f.sec) ==
        form.fields) {
      f.year = _CompleteYear(f.year);
      out = f;
      return _Valid(f);
    }
  }
  return false;
}

bool TimestampScanner::ScanFormat(const std::string& text, const char* format, Fields& out) {
  Fields f = {0, 1, 1, 0, 0, 0};
  int pm = 0;
  static const struct {
    const char* token;
    int Fields::*field;  // null for PM
  } kTokens[] = {{"YYYY", &Fields::year}, {"YYY", &Fields::year}, {"YY", &Fields::year},
                 {"MM", &Fields::month},  {"DD", &Fields::day},   {"HH", &Fields::hour},
                 {"MI", &Fields::min},    {"SS", &Fields::sec},   {"PM", nullptr}};
  size_t ti = 0;
  for (size_t fi = 0; format[fi] != '\0';) {
    const auto* token = std::find_if(std::begin(kTokens), std::end(kTokens), [&](const auto& t) {
      return strncmp(format + fi, t.token, strlen(t.token)) == 0;
    });
    if (token == std::end(kTokens)) {
      if (ti >= text.size() || text[ti] != format[fi]) {
        return false;
      }
      ti++;
      fi++;
      continue;
    }
    const size_t length = strlen(token->token);
    const char stop = format[fi + length];
    std::string part;
    while (part.size() < length && ti < text.size() && text[ti] != stop) {
      part += text[ti++];
    }
    if (token->field == nullptr) {
      pm = (part == "PM" || part == "pm") ? 12 : 0;
    } else {
      f.*(token->field) = atoi(part.c_str());
    }
    fi += length;
  }
  f.year = _CompleteYear(f.year);
  if (f.year >= 901 && f.year <= 999) {
    f.year += 1000;
  } else if (f.year < 1000) {
    f.year += 2000;
  }
  f.hour += pm;
  out = f;
  return _Valid(f);
}

// String::gsub with a fuzzed expression and with a fuzzed plain-text
// pattern. The input is "pattern\0replacement\0subject".
//
// The sizes are bounded and back-references are taken out of the expression:
// the C library's engine needs exponential time for some back-reference
// patterns (matching them is NP-hard), so unbounded input would find only
// slow expressions, which the daemon never builds from outside input, and
// crowd out the crashes this target is for. Without back-references the
// engine's time is polynomial in these sizes. For the same reason an
// expression keeps at most kMaxRepeats repetition operators ('*', '+', '?'),
// and a run of them shrinks to its first ("a+*?" is "a+"; the others add
// nothing): the engine's compiler copies the operand of each '+' ("x+" is
// "xx*"), so stacked ones double its memory each (47 of them exhausted 2 GB
// before a single search), and it computes the empty-move closures of stacked
// operators in exponential time (6 of them took 12 s). The replacement may
// still make
// the result pass the 65535-character limit, so the truncation path runs.
#include <stddef.h>
#include <stdint.h>

#include <string>

#include "Regex.h"
#include "String.h"

namespace {

const size_t kMaxPattern = 48;
const size_t kMaxReplacement = 256;
const size_t kMaxSubject = 512;
const int kMaxRepeats = 6;

std::string NextPart(const uint8_t*& data, size_t& size, size_t limit) {
  size_t length = 0;
  while (length < size && data[length] != 0) {
    ++length;
  }
  std::string part(reinterpret_cast<const char*>(data), length < limit ? length : limit);
  const size_t used = length < size ? length + 1 : length;
  data += used;
  size -= used;
  return part;
}

bool IsRepeat(char c) { return c == '*' || c == '+' || c == '?'; }

// "\1" to "\9" become "1" to "9"; a repetition operator that follows
// another, or past the kMaxRepeats-th, goes.
std::string Tamed(const std::string& pattern) {
  std::string out;
  int repeats = 0;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (IsRepeat(pattern[i]) &&
        ((!out.empty() && IsRepeat(out.back())) || ++repeats > kMaxRepeats)) {
      continue;
    }
    if (pattern[i] == '\\' && i + 1 < pattern.size() && pattern[i + 1] >= '1' &&
        pattern[i + 1] <= '9') {
      continue;
    }
    out.push_back(pattern[i]);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string pattern = NextPart(data, size, kMaxPattern);
  const std::string replacement = NextPart(data, size, kMaxReplacement);
  const std::string subject = NextPart(data, size, kMaxSubject);

  const Regex expression(Tamed(pattern).c_str());
  String byExpression(subject.data(), static_cast<int>(subject.size()));
  byExpression.gsub(expression, replacement.c_str());
  byExpression.OK();

  String byText(subject.data(), static_cast<int>(subject.size()));
  byText.gsub(pattern.c_str(), replacement.c_str());
  byText.OK();
  return 0;
}

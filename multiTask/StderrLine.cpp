#include "StderrLine.h"

#include <errno.h>
#include <unistd.h>

StderrLine::~StderrLine() {
  const int savedErrno = errno;  // the line may be written from a signal handler
  buffer_[length_++] = '\n';     // _Append always leaves room for it
  const char* data = buffer_;
  size_t left = length_;
  while (left > 0) {
    const ssize_t written = write(2, data, left);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      break;
    }
    data += written;
    left -= static_cast<size_t>(written);
  }
  errno = savedErrno;
}

StderrLine& StderrLine::operator<<(const char* text) {
  for (; text != nullptr && *text != '\0'; ++text) {
    _Append(*text);
  }
  return *this;
}

StderrLine& StderrLine::_AppendNumber(long long number) {
  char reversed[24];
  size_t count = 0;
  unsigned long long magnitude = number < 0 ? 0ULL - static_cast<unsigned long long>(number)
                                            : static_cast<unsigned long long>(number);
  do {
    reversed[count++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (number < 0) {
    _Append('-');
  }
  while (count > 0) {
    _Append(reversed[--count]);
  }
  return *this;
}

void StderrLine::_Append(char c) {
  if (length_ + 1 < kCapacity) {
    buffer_[length_++] = c;
  }
}

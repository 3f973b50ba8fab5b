// The time-stamp scanner: the input is "text\0format\0prefix" (missing parts
// are absent), read as UTC and as local time, and printed back in every form
// when it was accepted.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>

#include "DaylightTable.h"
#include "Timestamp.h"
#include "TimestampScanner.h"

namespace {

// The next NUL-terminated part of the input, or the rest of it.
std::string NextPart(const uint8_t*& data, size_t& size) {
  size_t length = 0;
  while (length < size && data[length] != 0) {
    ++length;
  }
  std::string part(reinterpret_cast<const char*>(data), length);
  const size_t used = length < size ? length + 1 : length;
  data += used;
  size -= used;
  return part;
}

void PrintAll(Timestamp& stamp) {
  char buffer[Timestamp::kPrintBufferSize];
  stamp.PrintGMTVex(buffer);
  stamp.PrintLocalVex(buffer);
  stamp.PrintShort(buffer);
  stamp.PrintLong(buffer);
  stamp.PrintLocalFileTime(buffer);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Local readings need the process's daylight table; built once, as the
  // daemon does before its first local time.
  DaylightTable::InitializeDayLightTable();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const bool hasFormat = memchr(data, 0, size) != nullptr;
  const std::string text = NextPart(data, size);
  const std::string format = NextPart(data, size);
  const std::string prefix = NextPart(data, size);
  const char* formatArg = hasFormat ? format.c_str() : nullptr;

  TimestampScanner::Fields fields;
  TimestampScanner::ScanFree(text.c_str(), fields);
  TimestampScanner::ScanFormat(text, format.c_str(), fields);

  Timestamp stamp;
  if (stamp.ScanFromGMT(text.c_str(), formatArg, prefix.c_str()) == 1) {
    PrintAll(stamp);
  }
  if (stamp.ScanFromLocal(text.c_str(), formatArg, prefix.c_str()) == 1) {
    PrintAll(stamp);
  }
  return 0;
}

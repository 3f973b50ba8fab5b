#include "LogOnceCounters.h"

#include <stddef.h>

#include "CriticalSection.h"

namespace {

struct CrcTable {
  unsigned entries[256];
  CrcTable() {
    for (unsigned i = 0; i < 256; ++i) {
      unsigned crc = i << 24;
      for (int bit = 0; bit < 8; ++bit) {
        crc = (crc & 0x80000000u) != 0 ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
      }
      entries[i] = crc;
    }
  }
};

unsigned CrcAdd(unsigned crc, unsigned char byte) {
  static const CrcTable table;
  return (crc << 8) ^ table.entries[((crc >> 24) ^ byte) & 0xFFu];
}

}  // namespace

unsigned checksumFromBuffer(const char* text) {
  if (text == nullptr) {
    text = "";
  }
  unsigned crc = 0;
  size_t length = 0;
  for (const char* c = text; *c != '\0'; ++c, ++length) {
    crc = CrcAdd(crc, static_cast<unsigned char>(*c));
  }
  for (size_t rest = length; rest != 0; rest >>= 8) {
    crc = CrcAdd(crc, static_cast<unsigned char>(rest & 0xFFu));
  }
  return ~crc;
}

int LogOnceCounters::Count(const char* text) {
  const unsigned key = checksumFromBuffer(text);
  CriticalSection lock(&onceMutex);
  return ++onceCounters[key];
}

void LogOnceCounters::Reset() {
  CriticalSection lock(&onceMutex);
  onceCounters.clear();
}

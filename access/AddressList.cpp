#include "AddressList.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <stdio.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>

namespace {

constexpr uint32_t kLoopbackNetwork = 0x7F000000u;  // 127.0.0.0/8
constexpr uint32_t kLoopbackMask = 0xFF000000u;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string Trimmed(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) {
    ++begin;
  }
  while (end > begin && IsBlank(text[end - 1])) {
    --end;
  }
  return text.substr(begin, end - begin);
}

// Lower-case copy, so "LOCAL" and "Any" read as the words.
std::string Lowered(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return out;
}

// A decimal number of 1 to 3 digits, at most limit; false otherwise.
bool SmallNumber(const std::string& text, unsigned limit, unsigned& value) {
  if (text.empty() || text.size() > 3) {
    return false;
  }
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      return false;
    }
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value <= limit;
}

uint32_t MaskOf(unsigned prefix) { return prefix == 0 ? 0 : ~uint32_t{0} << (32 - prefix); }

}  // namespace

long AddressList::MonotonicSeconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long>(now.tv_sec);
}

bool AddressList::ReadInterfaces(std::vector<uint32_t>& addresses) {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) {
    return false;
  }
  addresses.clear();
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) {
      continue;
    }
    const sockaddr_in* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
    addresses.push_back(ntohl(address->sin_addr.s_addr));
  }
  freeifaddrs(list);
  return true;
}

AddressList::AddressList(InterfaceReader interfaceReader, Clock monotonic)
    : reader(std::move(interfaceReader)),
      clock(std::move(monotonic)),
      interfacesReadAt(0),
      any(false),
      local(false) {}

std::string AddressList::Dotted(uint32_t address) {
  char text[16];
  snprintf(text, sizeof text, "%u.%u.%u.%u", address >> 24, (address >> 16) & 0xFF,
           (address >> 8) & 0xFF, address & 0xFF);
  return text;
}

bool AddressList::ParseDotted(const std::string& text, uint32_t& address) {
  uint32_t value = 0;
  size_t start = 0;
  for (int part = 0; part < 4; ++part) {
    const size_t dot = part < 3 ? text.find('.', start) : text.size();
    if (dot == std::string::npos) {
      return false;
    }
    unsigned number = 0;
    const std::string digits = text.substr(start, dot - start);
    // A leading zero would be octal to inet_aton; refusing it keeps one
    // meaning for every accepted text.
    if (!SmallNumber(digits, 255, number) || (digits.size() > 1 && digits[0] == '0')) {
      return false;
    }
    value = (value << 8) | number;
    start = dot + 1;
  }
  address = value;
  return true;
}

bool AddressList::Parse(const std::string& text, std::string& error) {
  blocks.clear();
  any = false;
  local = false;
  std::vector<Block> parsed;
  bool wantAny = false;
  bool wantLocal = false;
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    const std::string raw = text.substr(start, comma == std::string::npos ? comma : comma - start);
    const std::string entry = Trimmed(raw);
    const std::string word = Lowered(entry);
    if (entry.empty()) {
      error = "empty entry in '" + text + "'";
      return false;
    }
    if (word == "any") {
      wantAny = true;
    } else if (word == "local") {
      wantLocal = true;
    } else {
      const size_t slash = entry.find('/');
      uint32_t address = 0;
      unsigned prefix = 32;
      if (!ParseDotted(entry.substr(0, slash), address) ||
          (slash != std::string::npos && !SmallNumber(entry.substr(slash + 1), 32, prefix))) {
        error = "malformed entry '" + entry + "' (an IPv4 address, address/prefix, local or any)";
        return false;
      }
      const uint32_t mask = MaskOf(prefix);
      // A typo such as /8 for /28 would open far more than meant: a block
      // must be written with its host bits clear.
      if ((address & ~mask) != 0) {
        error = "entry '" + entry + "' has host bits set; the block is " + Dotted(address & mask) +
                "/" + std::to_string(prefix);
        return false;
      }
      parsed.push_back(Block{address, mask});
    }
    if (comma == std::string::npos) {
      break;
    }
    start = comma + 1;
  }
  blocks = parsed;
  any = wantAny;
  local = wantLocal;
  // Read also without "local": ReachesBeyondHost tells this host's own
  // addresses from others.
  _ReadInterfaces();
  return true;
}

void AddressList::_ReadInterfaces() {
  std::vector<uint32_t> read;
  if (reader && reader(read)) {
    interfaces.swap(read);
  }
  interfacesReadAt = clock();
}

bool AddressList::Contains(uint32_t address) {
  if (any) {
    return true;
  }
  for (const Block& block : blocks) {
    if ((address & block.mask) == block.network) {
      return true;
    }
  }
  if (!local) {
    return false;
  }
  if ((address & kLoopbackMask) == kLoopbackNetwork) {
    return true;
  }
  if (std::find(interfaces.begin(), interfaces.end(), address) != interfaces.end()) {
    return true;
  }
  if (clock() - interfacesReadAt < kInterfaceRefreshSeconds) {
    return false;
  }
  _ReadInterfaces();
  return std::find(interfaces.begin(), interfaces.end(), address) != interfaces.end();
}

bool AddressList::ReachesBeyondHost() const {
  if (any) {
    return true;
  }
  for (const Block& block : blocks) {
    const bool inLoopback = (block.mask & kLoopbackMask) == kLoopbackMask &&
                            (block.network & kLoopbackMask) == kLoopbackNetwork;
    const bool ownAddress =
        block.mask == ~uint32_t{0} &&
        std::find(interfaces.begin(), interfaces.end(), block.network) != interfaces.end();
    if (!inLoopback && !ownAddress) {
      return true;
    }
  }
  return false;
}

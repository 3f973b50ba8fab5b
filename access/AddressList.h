// AddressList: a set of IPv4 peers written as an operator writes them: a
// comma list of dotted addresses ("10.1.2.3"), CIDR blocks ("10.1.0.0/16"),
// and the two words "local" (the loopback block and every IPv4 address of
// this host's interfaces) and "any". Blanks around entries are ignored; an
// empty entry, a malformed one or an empty list is an error naming the entry,
// never a silently wider set.
//
// A value owned by whoever parsed it (the daemon's access rules). One thread
// at a time; the owner locks: Contains may refresh the interface addresses.
#ifndef VIGILD_ACCESS_ADDRESSLIST_H
#define VIGILD_ACCESS_ADDRESSLIST_H

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

class AddressList {
 public:
  // One block: address and mask in host byte order, the address with its
  // host bits cleared.
  struct Block {
    uint32_t network;
    uint32_t mask;
  };
  // This host's interface addresses in host byte order; the real one reads
  // them with getifaddrs. False when they cannot be read.
  using InterfaceReader = std::function<bool(std::vector<uint32_t>& addresses)>;
  static bool ReadInterfaces(std::vector<uint32_t>& addresses);

  // How long interface addresses read for "local" are trusted before a peer
  // that matches nothing makes the list read them again.
  static constexpr int kInterfaceRefreshSeconds = 10;

  // Monotonic seconds; tests pass their own clock.
  using Clock = std::function<long()>;
  static long MonotonicSeconds();

  explicit AddressList(InterfaceReader reader = ReadInterfaces, Clock clock = MonotonicSeconds);

  // Replaces the list with text. False, with error naming the offending
  // entry and the list left empty (matching nothing), on a malformed text.
  bool Parse(const std::string& text, std::string& error);

  // Whether the peer (host byte order) is in the list. A peer outside every
  // block of a "local" list makes the interfaces be read again (at most once
  // per kInterfaceRefreshSeconds), so an address the host gained since is
  // recognised.
  bool Contains(uint32_t address);

  bool Any() const { return any; }
  bool Local() const { return local; }
  // True when a peer other than this host itself can be in the list: "any",
  // or a block that is not inside the loopback block and is not one of this
  // host's own addresses.
  bool ReachesBeyondHost() const;

  // The dotted text of one address (host byte order).
  static std::string Dotted(uint32_t address);
  // "a.b.c.d" with four decimal parts of 0-255, nothing else: no octal or
  // hexadecimal forms, no shortened forms, no blanks. False otherwise.
  static bool ParseDotted(const std::string& text, uint32_t& address);

 private:
  // Reads the interfaces into interfaces (kept as they were on failure).
  void _ReadInterfaces();

  InterfaceReader reader;
  Clock clock;
  std::vector<Block> blocks;         // the explicit entries
  std::vector<uint32_t> interfaces;  // for "local": this host's addresses
  long interfacesReadAt;             // monotonic seconds of the last read
  bool any;
  bool local;
};

#endif  // VIGILD_ACCESS_ADDRESSLIST_H

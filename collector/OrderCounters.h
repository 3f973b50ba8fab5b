// OrderCounters: how many orders of each type the daemon has carried out and
// how many it refused as protocol errors since it started. The order executor
// counts; the status writer reads.
//
// One process-wide instance (Daemon()), never destroyed; tests may build
// their own. Safe for concurrent use: every counter is a relaxed atomic.
// Each counter is split into shards on cache lines of their own, a thread
// counting in its own shard, so client threads on different cores do not
// pass one line back and forth for every order; Read adds the shards up.
//
// A protocol error is an order block the daemon will not act on: an unknown
// service name, a block over the body-line limit, a watch, msg or mgmt
// order without a usable (non-zero) pid, or one refused because the item,
// the process or the user's quota says it is not the client's to give. A heartbeat for a pid that is not in
// the table is an executed msg: during a restart that is normal.
#ifndef VIGILD_COLLECTOR_ORDERCOUNTERS_H
#define VIGILD_COLLECTOR_ORDERCOUNTERS_H

#include <stdint.h>

#include <atomic>

class OrderCounters {
 public:
  enum Order { kWatch, kMsg, kMgmt, kReset, kOrderTypes };

  struct Values {
    uint64_t executed[kOrderTypes] = {0, 0, 0, 0};
    uint64_t protocolErrors = 0;
  };

  OrderCounters();

  void CountExecuted(Order order);
  void CountProtocolError();
  Values Read() const;

  // "watch", "msg", "mgmt": the names of the orders in the status and
  // metrics files.
  static const char* Name(Order order);

  // The daemon's counters.
  static OrderCounters& Daemon();

 private:
  // Many more shards than cores, so threads that share one are rarely
  // running at the same time.
  static constexpr unsigned kShards = 32;

  struct alignas(64) Shard {
    std::atomic<uint64_t> executed[kOrderTypes];
    std::atomic<uint64_t> protocolErrors;
  };

  // The calling thread's shard.
  Shard& _Mine();

  Shard shards[kShards];
};

#endif  // VIGILD_COLLECTOR_ORDERCOUNTERS_H

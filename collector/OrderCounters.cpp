#include "OrderCounters.h"

OrderCounters::OrderCounters() {
  for (Shard& shard : shards) {
    for (std::atomic<uint64_t>& counter : shard.executed) {
      counter.store(0, std::memory_order_relaxed);
    }
    shard.protocolErrors.store(0, std::memory_order_relaxed);
  }
}

OrderCounters::Shard& OrderCounters::_Mine() {
  // Threads take shard numbers in turn as they first count; the number is
  // the same in every instance.
  static std::atomic<unsigned> nextShard{0};
  thread_local const unsigned mine = nextShard.fetch_add(1, std::memory_order_relaxed) % kShards;
  return shards[mine];
}

void OrderCounters::CountExecuted(Order order) {
  if (order >= 0 && order < kOrderTypes) {
    _Mine().executed[order].fetch_add(1, std::memory_order_relaxed);
  }
}

void OrderCounters::CountProtocolError() {
  _Mine().protocolErrors.fetch_add(1, std::memory_order_relaxed);
}

OrderCounters::Values OrderCounters::Read() const {
  Values values;
  for (const Shard& shard : shards) {
    for (int i = 0; i < kOrderTypes; ++i) {
      values.executed[i] += shard.executed[i].load(std::memory_order_relaxed);
    }
    values.protocolErrors += shard.protocolErrors.load(std::memory_order_relaxed);
  }
  return values;
}

const char* OrderCounters::Name(Order order) {
  switch (order) {
    case kWatch:
      return "watch";
    case kMsg:
      return "msg";
    case kMgmt:
      return "mgmt";
    case kReset:
      return "reset";
    default:
      return "unknown";
  }
}

OrderCounters& OrderCounters::Daemon() {
  // Never destroyed: client threads may still count while the process exits.
  static OrderCounters* counters = new OrderCounters();
  return *counters;
}

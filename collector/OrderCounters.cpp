#include "OrderCounters.h"

OrderCounters::OrderCounters() : executed{{0}, {0}, {0}}, protocolErrors(0) {}

void OrderCounters::CountExecuted(Order order) {
  if (order >= 0 && order < kOrderTypes) {
    executed[order].fetch_add(1, std::memory_order_relaxed);
  }
}

void OrderCounters::CountProtocolError() { protocolErrors.fetch_add(1, std::memory_order_relaxed); }

OrderCounters::Values OrderCounters::Read() const {
  Values values;
  for (int i = 0; i < kOrderTypes; ++i) {
    values.executed[i] = executed[i].load(std::memory_order_relaxed);
  }
  values.protocolErrors = protocolErrors.load(std::memory_order_relaxed);
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
    default:
      return "unknown";
  }
}

OrderCounters& OrderCounters::Daemon() {
  // Never destroyed: client threads may still count while the process exits.
  static OrderCounters* counters = new OrderCounters();
  return *counters;
}

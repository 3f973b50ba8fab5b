#include "FuzzLog.h"

#include "LogDevice.h"
#include "LogServer.h"

namespace {

// Reads every text field of a record, so that a record built wrongly from
// hostile input shows under AddressSanitizer, then drops it.
class DiscardingDevice : public LogDevice {
 public:
  bool ProcessMessage(Handle<LogMessage>& record, bool) override {
    std::string text = std::string(record->getErrorString()) + record->getErrorMessage();
    ApplyLengthRule(text);
    volatile size_t sink = text.size();
    (void)sink;
    return true;
  }
};

}  // namespace

void FuzzLog::Install(unsigned debugLevel) {
  LogServer* server = LogServer::Instance();
  server->setConsoleDevice(new DiscardingDevice());
  server->setDebugLevelNumber(debugLevel);
}

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "CapturingLogDevice.h"
#include "ConfigNumber.h"
#include "LogServer.h"
#include "TempDir.h"
#include "TlConfigurationGlobal.h"

namespace {

class ConfigNumberTest : public ::testing::Test {
 protected:
  void TearDown() override {
    LogServer::DeleteInstance();
    TlConfigurationGlobal::DeleteInstance();
  }
  std::shared_ptr<CapturingLogDevice::Log> log = CapturingLogDevice::Install(LogServer::Instance());
};

TEST_F(ConfigNumberTest, OnlyWholeNumbersInRangeAreTakenOtherwiseOneErrorAndTheDefault) {
  // value, what Read answers for the range 1..65535 with default 3003, reported
  const std::tuple<const char*, long, bool> cases[] = {
      {"8080", 8080, false}, {" 42\t", 42, false},    {"+7", 7, false},
      {"1", 1, false},       {"65535", 65535, false}, {"65536", 3003, true},
      {"0", 3003, true},     {"-1", 3003, true},      {"seven", 3003, true},
      {"7days", 3003, true}, {"", 3003, true},        {"0x1f", 3003, true},
      {"4 2", 3003, true},   {"-", 3003, true},       {"99999999999999999999", 3003, true}};
  TlConfiguration store;
  for (const auto& [value, read, reported] : cases) {
    SCOPED_TRACE(value);
    log->Clear();
    store.AtGlobalPut("GLOBAL.WATCHMGR.MANAGERPORT", value);
    EXPECT_EQ(read, ConfigNumber::Read(store, "WATCHMGR.MANAGERPORT", 3003, 1, 65535));
    const std::vector<std::string> expected = {
        "[ConfigNumber] ERROR : WATCHMGR.MANAGERPORT='" + std::string(value) +
        "' is not a whole number from 1 to 65535, the default 3003 is used"};
    EXPECT_EQ(reported ? expected : std::vector<std::string>{}, log->Messages());
  }
  log->Clear();
  EXPECT_EQ(3003, ConfigNumber::Read(store, "NO.SUCH.KEY", 3003, 1, 65535));
  EXPECT_TRUE(log->Messages().empty());
}

// A retention that cannot be read keeps every file: the old reading took
// "seven" as 0 and the first file of the day removed every older log.
TEST_F(ConfigNumberTest, UnreadableRetentionDeletesNoLogFile) {
  TempDir dir;
  const std::set<std::string> old = {"2026.11.20vg.log", "2026.11.28vg.log", "2026.12.01vg.log"};
  for (const std::string& name : old) {
    dir.WriteFile(name, "old\n");
  }
  Handle<TlConfiguration> store = TlConfigurationGlobal::Instance();
  store->AtGlobalPut("GLOBAL.LOGMANAGER.LOGDIR", dir.path() + "/");
  store->AtGlobalPut("GLOBAL.LOGMANAGER.FILEPREFIX", "vg");
  store->AtGlobalPut("GLOBAL.LOGMANAGER.MAXFILERETENTIONDAYS", "seven");
  ASSERT_TRUE(LogServer::Instance()->MakeFileLogger());
  EXPECT_TRUE(LogServer::Report(Info, nullptr, "[T] a new day's first record", nullptr, true));
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    names.insert(entry.path().filename());
  }
  for (const std::string& name : old) {
    EXPECT_EQ(1u, names.count(name)) << name;
  }
  EXPECT_EQ(old.size() + 1, names.size());
  EXPECT_EQ(std::vector<std::string>{"[ConfigNumber] ERROR : LOGMANAGER.MAXFILERETENTIONDAYS="
                                     "'seven' is not a whole number from 0 to 100000, the "
                                     "default 9999 is used"},
            log->Messages());
}

}  // namespace

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "CapturingLogDevice.h"
#include "LogServer.h"
#include "TlConfigurationGlobal.h"

namespace {

class LogServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server = LogServer::Instance();
    log = CapturingLogDevice::Install(server);
  }
  void TearDown() override {
    LogServer::DeleteInstance();
    TlConfigurationGlobal::DeleteInstance();
  }

  // Runs fn on a thread of its own, so that channel mappings stay there.
  template <class Fn>
  static void OnOtherThread(Fn fn) {
    std::thread(fn).join();
  }

  LogServer* server = nullptr;
  std::shared_ptr<CapturingLogDevice::Log> log;
};

std::vector<int> Accepted(LogServer* server) {
  std::vector<int> accepted;
  for (int s = Fatal; s <= NoSeverity; ++s) {
    if (server->isAcceptableSeverity(static_cast<LogSeverityCode>(s))) {
      accepted.push_back(s);
    }
  }
  return accepted;
}

TEST_F(LogServerTest, DebugLevelSelectsSeveritiesAndAnnouncesTheChange) {
  struct Case {
    unsigned level;
    std::vector<int> accepted;
    unsigned reportedLevel;
    const char* announcement;  // null: none
  } cases[] = {
      {0, {Fatal, Error}, 0, nullptr},
      {1, {Fatal, Error, Warning}, 1, nullptr},
      {2, {Fatal, Error, Warning, Info}, 2, "Set log generation level to 'info'"},
      {3, {Fatal, Error, Warning, Info, Debug1}, 3, "Set log generation level to 'debug1'"},
      {10,
       {Fatal, Error, Warning, Info, Debug1, Debug2, Debug3, Debug4, Debug5, Debug6, Debug7,
        Debug8},
       10,
       "Set log generation level to 'debug8'"},
      {11, {Fatal}, 0, nullptr},
      {4000000000u, {Fatal}, 0, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.level);
    log->Clear();
    server->setDebugLevelNumber(c.level);
    EXPECT_EQ(Accepted(server), c.accepted);
    EXPECT_EQ(server->getDebugLevelNumber(), c.reportedLevel);
    auto records = log->Records();
    if (c.announcement == nullptr) {
      EXPECT_TRUE(records.empty());
      continue;
    }
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].severity, Info);
    EXPECT_EQ(records[0].code, "DL31001");
    EXPECT_EQ(records[0].tag, "SETLOGLEVEL");
    EXPECT_EQ(records[0].message, c.announcement);
  }
}

TEST_F(LogServerTest, FilterLettersAndUpToCallsSetTheGlobalTable) {
  EXPECT_EQ(Accepted(server), (std::vector<int>{Fatal, Error, Warning, Info}));  // console start
  server->setFilter("I");
  EXPECT_EQ(Accepted(server), (std::vector<int>{Fatal, Info}));
  server->setFilter("x8-W8q");
  EXPECT_EQ(Accepted(server), (std::vector<int>{Fatal, Warning, Debug8}));
  server->setFilter(nullptr);
  EXPECT_EQ(Accepted(server), (std::vector<int>{Fatal}));
  server->setAcceptSeverityUpTo(Debug1);
  server->setAcceptSeverity(Error, false);
  server->setAcceptSeverity(Fatal, false);    // refused: Fatal always passes
  server->setAcceptSeverityUpTo(NoSeverity);  // beyond Debug8: no change
  EXPECT_EQ(Accepted(server), (std::vector<int>{Fatal, Warning, Info, Debug1}));
  EXPECT_EQ(server->getUpToSeverity(), Debug1);

  bool table[LogSeverityFilter::kTableSize] = {};
  server->setAcceptSeverityUpTo(table, Warning);
  EXPECT_TRUE(table[Fatal] && table[Error] && table[Warning]);
  EXPECT_FALSE(table[Info]);
}

TEST_F(LogServerTest, LevelNumbersDescribeGlobalAndChannelTables) {
  server->setDebugLevelNumber(3);
  std::list<std::string> lines{"stale"};
  EXPECT_TRUE(server->getDebugLevelNumbers(lines));
  EXPECT_EQ(lines, (std::list<std::string>{"> Global   Level= 3; Mask=FWI1"}));

  server->setDebugLevelNumber(10, 12);
  server->setDebugLevelNumber(0, 7);
  server->getDebugLevelNumbers(lines);
  EXPECT_EQ(lines,
            (std::list<std::string>{"> Global   Level= 3; Mask=FWI1", "> ID 7  Level= 0; Mask=F",
                                    "> ID 12  Level=10; Mask=FWI12345678"}));
  server->unsetDebugLevelNumber(12);
  server->getDebugLevelNumbers(lines);
  EXPECT_EQ(lines.size(), 2u);
}

TEST_F(LogServerTest, ChannelTableWidensOnlyTheMappedThread) {
  server->setDebugLevelNumber(2);
  log->Clear();
  server->setDebugLevelNumber(4, 7);
  auto records = log->Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message, "Set log generation level to 'debug2' for taskId7");

  EXPECT_FALSE(server->isAcceptableSeverity(Debug2));
  OnOtherThread([&] {
    server->MapThreadToChannel(7);
    EXPECT_EQ(server->getCurrentChannel(), 7);
    EXPECT_TRUE(server->isAcceptableSeverity(Debug2));
    EXPECT_FALSE(server->isAcceptableSeverity(Debug3));
    EXPECT_EQ(server->getDebugLevelNumber(), 4u);
    server->unsetDebugLevelNumber(7);
    EXPECT_FALSE(server->isAcceptableSeverity(Debug2));
    EXPECT_TRUE(server->isAcceptableSeverity(Info));  // the global table still applies
    EXPECT_EQ(server->UnMapThread(), 0);
    EXPECT_EQ(server->getCurrentChannelId(), 0);
  });
  EXPECT_EQ(server->getCurrentChannel(), 0);
}

TEST_F(LogServerTest, RecordsAreStampedWithFacilityAndChannel) {
  const std::string pid = std::to_string(getpid());
  server->setRootFacilityName("VIGILD.0.0");
  EXPECT_EQ(server->getRootFacilityName(), "VIGILD.0.0-" + pid);
  LogServer::Report(Info, nullptr, "[Main] INFO : up");
  OnOtherThread([&] {
    server->MapThreadToChannel(3);
    LogServer::Report(Warning, nullptr, "[Worker] WARNING : slow");
  });
  auto records = log->Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].facility, "VIGILD.0.0-" + pid + ":0");
  EXPECT_EQ(records[0].channel, 0);
  EXPECT_EQ(records[1].facility, "VIGILD.0.0-" + pid + ":3");
  EXPECT_EQ(records[1].channel, 3);
  EXPECT_TRUE(records[1].flush);  // synchronous mode always flushes

  server->setRootFacilityName(std::string(300, 'n').c_str());
  const std::string root = server->getRootFacilityName();
  EXPECT_EQ(root.size(), 127u);
  EXPECT_EQ(root.substr(root.size() - pid.size() - 1), "-" + pid);
}

TEST_F(LogServerTest, ReportBuildsTheRecordOnlyForAcceptedSeverities) {
  EXPECT_TRUE(LogServer::Report(Warning, nullptr, "[ListenPort::Stop] WARNING : late"));
  EXPECT_TRUE(LogServer::Report(Error, "DL30000", "cannot start", "GENERIC", true));
  EXPECT_FALSE(LogServer::Report(Debug1, nullptr, "[X] not wanted"));
  auto records = log->Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].code, "DL30002");
  EXPECT_EQ(records[0].tag, "[ListenPort::Stop]");
  EXPECT_EQ(records[0].message, "WARNING : late");
  EXPECT_EQ(records[1].code, "DL30000");
  EXPECT_EQ(records[1].tag, "GENERIC");
  EXPECT_EQ(records[1].message, "cannot start");
  EXPECT_FALSE(server->AddGlobalMessage(Handle<LogMessage>()));
}

TEST_F(LogServerTest, ChannelDescriptionPrecedesTheNextRecordOnce) {
  OnOtherThread([&] {
    server->MapThreadToChannel(5);
    EXPECT_EQ(server->DescribeChannel(5, "poller of host a"), 1);
    String description;
    EXPECT_TRUE(server->getChannelDescription(5, description));
    EXPECT_STREQ(description, "poller of host a");
    LogServer::Report(Info, nullptr, "[Poll] INFO : first");
    LogServer::Report(Info, nullptr, "[Poll] INFO : second");
    EXPECT_FALSE(server->getChannelDescription(5, description));

    server->DescribeChannel(5, "forgotten by a new mapping");
    server->MapThreadToChannel(5);
    server->DescribeChannel(5, "forgotten by unmapping");
    server->UnMapThread();
    EXPECT_FALSE(server->getChannelDescription(5, description));
    server->DescribeChannel(6, "x");
    EXPECT_EQ(server->UnDescribeChannel(6), 1);
    EXPECT_FALSE(server->getChannelDescription(6, description));
  });
  auto records = log->Records();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].tag, "[LogServer::ChannelDescription]");
  EXPECT_EQ(records[0].message, "poller of host a");
  EXPECT_EQ(records[0].code, "DL30003");
  EXPECT_EQ(records[0].channel, 5);
  EXPECT_EQ(records[0].facility, records[1].facility);
  EXPECT_EQ(records[1].message, "INFO : first");
  EXPECT_EQ(records[2].message, "INFO : second");
}

TEST_F(LogServerTest, OnceMessagesPrintChosenCountsAndRegradeOrDropTheRest) {
  auto once = [&](LogSeverityCode repeat) {
    Handle<LogMessage> record(new LogMessage(Error, "DL30000"));
    record->append("[Poll] ERROR : host down");
    return server->AddOnceMessage(record, repeat);
  };
  for (int i = 0; i < 1000; ++i) {
    ASSERT_TRUE(once(NoSeverity));
  }
  auto records = log->Records();
  ASSERT_EQ(records.size(), 5u);
  const char* expected[] = {"ERROR : host down", "[repeated 5 times] ERROR : host down",
                            "[repeated 10 times] ERROR : host down",
                            "[repeated 100 times] ERROR : host down",
                            "[repeated 1000 times] ERROR : host down"};
  for (size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i].message, expected[i]);
    EXPECT_EQ(records[i].severity, Error);
  }

  EXPECT_TRUE(server->ResetOnceCounters());
  log->Clear();
  once(Debug1);   // 1: printed
  once(Debug1);   // 2: Debug1 is not accepted, dropped
  once(Warning);  // 3: re-graded
  records = log->Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].message, "[repeated 3 times] ERROR : host down");
  EXPECT_EQ(records[1].severity, Warning);
}

TEST_F(LogServerTest, ChecksumIsThePosixCksumCrc) {
  EXPECT_EQ(checksumFromBuffer("abc"), 1219131554u);
  EXPECT_EQ(checksumFromBuffer(""), 4294967295u);
  EXPECT_EQ(checksumFromBuffer(nullptr), 4294967295u);
  EXPECT_EQ(checksumFromBuffer("123456789"), 930766865u);
  EXPECT_EQ(checksumFromBuffer(std::string(300, 'a').c_str()), 1664553091u);
  EXPECT_EQ(checksumFromBuffer(std::string(70000, 'x').c_str()), 4215398528u);
}

TEST_F(LogServerTest, FullQueueBlocksTheProducerUntilADrain) {
  ASSERT_TRUE(server->StartQueueing());
  for (size_t i = 0; i < LogServer::kQueueCapacity; ++i) {
    ASSERT_TRUE(LogServer::Report(Info, nullptr, "[Q] " + std::to_string(i)));
  }
  EXPECT_EQ(log->Count(), 0u);
  std::atomic<bool> done{false};
  std::thread producer([&] {
    LogServer::Report(Info, nullptr, "[Q] last");
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_FALSE(done.load());
  server->Flush();
  producer.join();
  server->Flush();
  auto records = log->Records();
  ASSERT_EQ(records.size(), LogServer::kQueueCapacity + 1);
  for (size_t i = 0; i < LogServer::kQueueCapacity; ++i) {
    ASSERT_EQ(records[i].message, std::to_string(i));
  }
  EXPECT_EQ(records.back().message, "last");
  // A device may flush only when nothing is queued behind the record.
  EXPECT_FALSE(records[0].flush);
  EXPECT_TRUE(records.back().flush);
}

TEST_F(LogServerTest, FirstInQueueTakesRecordsOldestFirst) {
  ASSERT_TRUE(server->StartQueueing());
  LogServer::Report(Info, nullptr, "[F] one");
  LogServer::Report(Warning, nullptr, "[F] two");
  Handle<LogMessage> record;
  bool nowEmpty = true;
  ASSERT_TRUE(server->FirstInQueue(record, nowEmpty));
  EXPECT_STREQ(record->getErrorMessage(), "one");
  EXPECT_FALSE(nowEmpty);
  ASSERT_TRUE(server->FirstInQueue(record, nowEmpty));
  EXPECT_STREQ(record->getErrorMessage(), "two");
  EXPECT_TRUE(nowEmpty);
  EXPECT_FALSE(server->FirstInQueue(record, nowEmpty));
  server->Flush();
  EXPECT_EQ(log->Count(), 0u);
}

TEST_F(LogServerTest, LogThreadWritesWithinAboutASecondWithoutFlush) {
  ASSERT_TRUE(server->StartProcessingThread());
  EXPECT_TRUE(server->isThreaded());
  EXPECT_EQ(server->getState(), 0);
  const auto start = std::chrono::steady_clock::now();
  LogServer::Report(Info, nullptr, "[T] queued");
  EXPECT_EQ(log->Count(), 0u);  // queued, not written on this thread
  ASSERT_TRUE(log->WaitForCount(1, 1800));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
}

TEST_F(LogServerTest, DeleteInstanceWritesEveryQueuedRecord) {
  for (bool withThread : {true, false}) {
    SCOPED_TRACE(withThread);
    server = LogServer::Instance();
    log = CapturingLogDevice::Install(server);
    ASSERT_TRUE(withThread ? server->StartProcessingThread() : server->StartQueueing());
    for (int i = 0; i < 500; ++i) {
      LogServer::Report(Info, nullptr, "[D] " + std::to_string(i));
    }
    LogServer::DeleteInstance();
    EXPECT_EQ(LogServer::oLogServer.load(), nullptr);
    auto messages = log->Messages();
    ASSERT_EQ(messages.size(), 500u);
    EXPECT_EQ(messages.back(), "499");
  }
}

TEST_F(LogServerTest, ConfigurationReadersFallBackToDefaults) {
  EXPECT_EQ(LogServer::getStartDebugLevel(), 2);
  EXPECT_STREQ(LogServer::getStartDebugPath(), "./");
  EXPECT_FALSE(LogServer::shouldCreateFiles());
  EXPECT_STREQ(LogServer::getFilesPrefix(), "debug");
  EXPECT_EQ(LogServer::getMaxRetentionsDays(), 9999);
  EXPECT_FALSE(LogServer::shouldDoUDPForward());
  EXPECT_STREQ(LogServer::getUDPServer(), "");
  EXPECT_EQ(LogServer::getUDPPort(), 0);
  EXPECT_EQ(LogServer::getUDPFacilityNumber(), 8);
  EXPECT_STREQ(LogServer::getFilter(), "");
  EXPECT_TRUE(server->makeConfigurationBasedLogger());  // nothing asked for
}

TEST_F(LogServerTest, ConfigurationReadersUseNewKeysThenOlderFullKeys) {
  TlConfiguration* conf = TlConfigurationGlobal::Instance().get();
  conf->AtGlobalPut("GLOBAL.ROOT_DIRECTORY", "/opt/coll/");
  conf->AtGlobalPut("GLOBAL.LOGMANAGER.DEBUGLEVEL", "4");
  conf->AtGlobalPut("GLOBAL.LOGMANAGER.CREATEFILES", "yes");
  conf->AtGlobalPut("GLOBAL.LOGMANAGER.MAXFILERETENTIONDAYS", "12abc");
  conf->AtGlobalPut("GLOBAL.CMGR.LOG.SERVER", "ignored: not the full key");
  conf->AtGlobalPut("CMGR.LOG.SERVER", "collector.example");
  conf->AtGlobalPut("CMGR.LOG.PORT", "514");
  conf->AtGlobalPut("CMGR.LOG.SYSLOGFACILITY", "128");
  conf->AtGlobalPut("CMGR.LOG.FILTER", "FW");
  EXPECT_EQ(LogServer::getStartDebugLevel(), 4);
  EXPECT_STREQ(LogServer::getStartDebugPath(), "/opt/coll/log/");
  EXPECT_TRUE(LogServer::shouldCreateFiles());
  EXPECT_EQ(LogServer::getMaxRetentionsDays(), 12);
  EXPECT_TRUE(LogServer::shouldDoUDPForward());
  EXPECT_STREQ(LogServer::getUDPServer(), "collector.example");
  EXPECT_EQ(LogServer::getUDPPort(), 514);
  EXPECT_EQ(LogServer::getUDPFacilityNumber(), 128);
  EXPECT_STREQ(LogServer::getFilter(), "FWI12");  // built from the level

  conf->AtGlobalPut("LOGMANAGER.LOGDIR", "/var/log/vigild");
  conf->AtGlobalPut("LOGMANAGER.UDP.SERVER", "10.0.0.9");
  conf->AtGlobalPut("LOGMANAGER.UDP.PORT", "1514");
  conf->AtGlobalPut("LOGMANAGER.LOGFILTER", "FWI");
  conf->AtGlobalPut("LOGMANAGER.FILEPREFIX", "trace");
  EXPECT_STREQ(LogServer::getStartDebugPath(), "/var/log/vigild");
  EXPECT_STREQ(LogServer::getUDPServer(), "10.0.0.9");
  EXPECT_EQ(LogServer::getUDPPort(), 1514);
  EXPECT_STREQ(LogServer::getFilter(), "FWI");
  EXPECT_STREQ(LogServer::getFilesPrefix(), "trace");

  conf->AtGlobalPut("LOGMANAGER.LOGFILTER", "");
  conf->AtGlobalPut("LOGMANAGER.DEBUGLEVEL", "-3");
  EXPECT_STREQ(LogServer::getFilter(), "FW");  // no level letters: the older key
  conf->AtGlobalPut("LOGMANAGER.DEBUGLEVEL", "40");
  EXPECT_STREQ(LogServer::getFilter(), "FWI12345678");

  // Neither output can be made yet: the console stays and the result says so.
  EXPECT_FALSE(server->initForConfiguration("VIGILD.0.0"));
  LogServer::Report(Info, nullptr, "[C] still on the console");
  EXPECT_EQ(log->Count(), 1u);
}

}  // namespace

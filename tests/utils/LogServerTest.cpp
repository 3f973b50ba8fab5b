#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "CapturingLogDevice.h"
#include "LogServer.h"
#include "TempDir.h"
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

// The accepted severities, one letter each from "FEWI12345678?".
std::string Accepted(LogServer* server) {
  std::string accepted;
  for (int s = Fatal; s <= NoSeverity; ++s) {
    if (server->isAcceptableSeverity(static_cast<LogSeverityCode>(s))) {
      accepted += "FEWI12345678?"[s];
    }
  }
  return accepted;
}

// Every setting read from the configuration, blank separated.
std::string Settings() {
  std::ostringstream out;
  out << LogServer::getStartDebugLevel() << ' ' << LogServer::getStartDebugPath() << ' '
      << LogServer::shouldCreateFiles() << ' ' << LogServer::getFilesPrefix() << ' '
      << LogServer::getMaxRetentionsDays() << ' ' << LogServer::shouldDoUDPForward() << ' '
      << LogServer::getUDPServer() << ' ' << LogServer::getUDPPort() << ' '
      << LogServer::getUDPFacilityNumber() << ' ' << LogServer::getFilter();
  return out.str();
}

// Puts each blank-separated KEY=value into the global store.
void Put(const std::string& pairs) {
  std::istringstream in(pairs);
  for (std::string pair; in >> pair;) {
    const size_t eq = pair.find('=');
    TlConfigurationGlobal::Instance()->AtGlobalPut(pair.substr(0, eq), pair.substr(eq + 1));
  }
}

using Lines = std::vector<std::string>;

// Each captured record as "severity code tag|message@channel".
Lines Shown(const CapturingLogDevice::Log& log) {
  Lines shown;
  for (const auto& r : log.Records()) {
    shown.push_back(std::to_string(r.severity) + " " + r.code + " " + r.tag + "|" + r.message +
                    "@" + std::to_string(r.channel));
  }
  return shown;
}

TEST_F(LogServerTest, DebugLevelSelectsSeveritiesAndAnnouncesTheChange) {
  // level set, level reported, severities accepted, level announced (empty: none)
  const std::tuple<unsigned, unsigned, const char*, const char*> cases[] = {
      {0, 0, "FE", ""},
      {1, 1, "FEW", ""},
      {2, 2, "FEWI", "info"},
      {3, 3, "FEWI1", "debug1"},
      {10, 10, "FEWI12345678", "debug8"},
      {11, 0, "F", ""},
      {4000000000u, 0, "F", ""}};
  for (const auto& [level, reportedLevel, accepted, announced] : cases) {
    SCOPED_TRACE(level);
    log->Clear();
    server->setDebugLevelNumber(level);
    EXPECT_EQ(Accepted(server), accepted);
    EXPECT_EQ(server->getDebugLevelNumber(), reportedLevel);
    EXPECT_EQ(Shown(*log), *announced
                               ? Lines{"3 DL31001 SETLOGLEVEL|Set log generation level to '" +
                                       std::string(announced) + "'@0"}
                               : Lines{});
  }
}

TEST_F(LogServerTest, FilterLettersAndUpToCallsSetTheGlobalTable) {
  EXPECT_EQ(Accepted(server), "FEWI");  // console start
  server->setFilter("I");
  EXPECT_EQ(Accepted(server), "FI");
  server->setFilter("x8-W8q");
  EXPECT_EQ(Accepted(server), "FW8");
  server->setFilter(nullptr);
  EXPECT_EQ(Accepted(server), "F");
  server->setAcceptSeverityUpTo(Debug1);
  server->setAcceptSeverity(Error, false);
  server->setAcceptSeverity(Fatal, false);    // refused: Fatal always passes
  server->setAcceptSeverityUpTo(NoSeverity);  // beyond Debug8: no change
  EXPECT_EQ(Accepted(server), "FWI1");
  EXPECT_EQ(server->getUpToSeverity(), Debug1);
  bool table[LogSeverityFilter::kTableSize] = {};
  server->setAcceptSeverityUpTo(table, Warning);
  EXPECT_TRUE(table[Fatal] && table[Error] && table[Warning] && !table[Info]);
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
  EXPECT_EQ(log->Messages(), Lines{"Set log generation level to 'debug2' for taskId7"});
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
  EXPECT_EQ(records[0].facility + " " + records[1].facility,
            "VIGILD.0.0-" + pid + ":0 VIGILD.0.0-" + pid + ":3");
  EXPECT_EQ(Shown(*log),
            (Lines{"3 DL30003 [Main]|INFO : up@0", "2 DL30002 [Worker]|WARNING : slow@3"}));
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
  EXPECT_EQ(Shown(*log), (Lines{"2 DL30002 [ListenPort::Stop]|WARNING : late@0",
                                "1 DL30000 GENERIC|cannot start@0"}));
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
  EXPECT_EQ(Shown(*log),
            (Lines{"3 DL30003 [LogServer::ChannelDescription]|poller of host a@5",
                   "3 DL30003 [Poll]|INFO : first@5", "3 DL30003 [Poll]|INFO : second@5"}));
  EXPECT_EQ(log->Records()[0].facility, log->Records()[1].facility);
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
  EXPECT_EQ(Shown(*log), (Lines{"1 DL30000 [Poll]|ERROR : host down@0",
                                "1 DL30000 [Poll]|[repeated 5 times] ERROR : host down@0",
                                "1 DL30000 [Poll]|[repeated 10 times] ERROR : host down@0",
                                "1 DL30000 [Poll]|[repeated 100 times] ERROR : host down@0",
                                "1 DL30000 [Poll]|[repeated 1000 times] ERROR : host down@0"}));
  EXPECT_TRUE(server->ResetOnceCounters());
  log->Clear();
  once(Debug1);   // 1: printed
  once(Debug1);   // 2: Debug1 is not accepted, dropped
  once(Warning);  // 3: re-graded
  EXPECT_EQ(Shown(*log), (Lines{"1 DL30000 [Poll]|ERROR : host down@0",
                                "2 DL30000 [Poll]|[repeated 3 times] ERROR : host down@0"}));
}

TEST_F(LogServerTest, ChecksumIsThePosixCksumCrc) {
  EXPECT_EQ(checksumFromBuffer("abc"), 1219131554u);
  EXPECT_EQ(checksumFromBuffer(""), 4294967295u);
  EXPECT_EQ(checksumFromBuffer(nullptr), 4294967295u);
  EXPECT_EQ(checksumFromBuffer("123456789"), 930766865u);
  EXPECT_EQ(checksumFromBuffer(std::string(70000, 'x').c_str()), 4215398528u);
}

TEST_F(LogServerTest, FullQueueBlocksTheProducerUntilADrain) {
  ASSERT_TRUE(server->StartQueueing());
  Lines expected;
  for (size_t i = 0; i < LogServer::kQueueCapacity; ++i) {
    expected.push_back(std::to_string(i));
    ASSERT_TRUE(LogServer::Report(Info, nullptr, "[Q] " + expected.back()));
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
  expected.push_back("last");
  EXPECT_EQ(log->Messages(), expected);
  // A device may flush only when nothing is queued behind the record.
  EXPECT_FALSE(log->Records().front().flush);
  EXPECT_TRUE(log->Records().back().flush);
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

TEST_F(LogServerTest, ConfigurationReadersUseDefaultsThenNewKeysThenOlderFullKeys) {
  EXPECT_EQ("2 ./ 0 debug 9999 0  0 8 ", Settings());
  EXPECT_TRUE(server->makeConfigurationBasedLogger());  // nothing asked for
  Put("GLOBAL.ROOT_DIRECTORY=/opt/coll/ GLOBAL.LOGMANAGER.DEBUGLEVEL=4 "
      "GLOBAL.LOGMANAGER.CREATEFILES=yes GLOBAL.LOGMANAGER.MAXFILERETENTIONDAYS=12abc "
      "GLOBAL.CMGR.LOG.SERVER=ignored CMGR.LOG.SERVER=collector.example CMGR.LOG.PORT=514 "
      "CMGR.LOG.SYSLOGFACILITY=128 CMGR.LOG.FILTER=FW");
  // Without a filter of its own the level makes one.
  EXPECT_EQ("4 /opt/coll/log/ 1 debug 12 1 collector.example 514 128 FWI12", Settings());
  TempDir dir;
  Put("LOGMANAGER.LOGDIR=" + dir.path() +
      " LOGMANAGER.UDP.SERVER=127.0.0.1 LOGMANAGER.UDP.PORT=9 "
      "LOGMANAGER.LOGFILTER=FWI LOGMANAGER.FILEPREFIX=trace");
  EXPECT_EQ("4 " + dir.path() + " 1 trace 12 1 127.0.0.1 9 128 FWI", Settings());
  Put("LOGMANAGER.LOGFILTER= LOGMANAGER.DEBUGLEVEL=-3");
  EXPECT_STREQ(LogServer::getFilter(), "FW");  // no level letters: the older key
  Put("LOGMANAGER.DEBUGLEVEL=40");
  EXPECT_STREQ(LogServer::getFilter(), "FWI12345678");

  // Both outputs are made; a daemon that logs to files leaves the console.
  EXPECT_TRUE(server->initForConfiguration("VIGILD.0.0"));
  LogServer::Report(Info, nullptr, "[C] not on the console");
  EXPECT_EQ(log->Count(), 0u);
}

}  // namespace

#include "CapturingLogDevice.h"
#include "ConsoleWriter.h"
#include "LogServer.h"
#include "StderrCapture.h"
#include "TestSockets.h"
#include "TlConfigurationGlobal.h"

namespace {

using Lines = std::vector<std::string>;

class LogServerTest : public ::testing::Test {
 protected:
  void TearDown() override {
    LogServer::DeleteInstance();
    TlConfigurationGlobal::DeleteInstance();
  }

  // The accepted severities, one letter each from "FEWI12345678?".
  std::string Accepted() const {
    std::string accepted;
    for (int s = Fatal; s <= NoSeverity; ++s) {
      if (server->isAcceptableSeverity(static_cast<LogSeverityCode>(s))) {
        accepted += "FEWI12345678?"[s];
      }
    }
    return accepted;
  }

  // Each captured record as "severity code tag|message@channel".
  Lines Shown() const {
    Lines shown;
    for (const auto& r : log->Records()) {
      shown.push_back(std::to_string(r.severity) + " " + r.code + " " + r.tag + "|" + r.message +
                      "@" + std::to_string(r.channel));
    }
    return shown;
  }

  TempDir dir;
  LogServer* server = LogServer::Instance();
  std::shared_ptr<CapturingLogDevice::Log> log = CapturingLogDevice::Install(server);
};

TEST_F(LogServerTest, DebugLevelAndFiltersSelectSeveritiesAndALevelChangeIsAnnounced) {
  EXPECT_EQ(Accepted(), "FEWI");  // console start
  // level set, level reported, severities accepted, level announced (empty: none)
  const std::tuple<unsigned, unsigned, const char*, const char*> cases[] = {
      {0, 0, "FE", ""}, {2, 2, "FEWI", "info"},    {10, 10, "FEWI12345678", "debug8"},
      {11, 0, "F", ""}, {4000000000u, 0, "F", ""},
  };
  for (const auto& [level, reportedLevel, accepted, announced] : cases) {
    SCOPED_TRACE(level);
    log->Clear();
    server->setDebugLevelNumber(level);
    EXPECT_EQ(Accepted(), accepted);
    EXPECT_EQ(server->getDebugLevelNumber(), reportedLevel);
    EXPECT_EQ(Shown(), *announced ? Lines{"3 DL31001 SETLOGLEVEL|Set log generation level to '" +
                                          std::string(announced) + "'@0"}
                                  : Lines{});
  }
  server->setFilter("x8-W8q");
  EXPECT_EQ(Accepted(), "FW8");
  server->setFilter(nullptr);
  EXPECT_EQ(Accepted(), "F");
  server->setAcceptSeverityUpTo(Debug1);
  server->setAcceptSeverity(Error, false);
  server->setAcceptSeverity(Fatal, false);  // refused: Fatal always passes
  EXPECT_EQ(Accepted(), "FWI1");
}

TEST_F(LogServerTest, ChannelTableWidensOnlyTheMappedThread) {
  server->setRootFacilityName("VIGILD.0.0");
  server->setDebugLevelNumber(4, 7);
  EXPECT_FALSE(server->isAcceptableSeverity(Debug2));
  std::thread([&] {
    server->MapThreadToChannel(7);
    EXPECT_TRUE(LogServer::Report(Debug2, nullptr, "[Poll] DEBUG : widened"));
    EXPECT_FALSE(LogServer::Report(Debug3, nullptr, "[Poll] DEBUG : too deep"));
    server->unsetDebugLevelNumber(7);
    EXPECT_FALSE(server->isAcceptableSeverity(Debug2));
    EXPECT_TRUE(server->isAcceptableSeverity(Info));  // the global table still applies
  }).join();
  ASSERT_EQ(Shown(),
            (Lines{"3 DL31001 SETLOGLEVEL|Set log generation level to 'debug2' for taskId7@0",
                   "5  [Poll]|DEBUG : widened@7"}));
  EXPECT_EQ(log->Records()[1].facility, "VIGILD.0.0-" + std::to_string(getpid()) + ":7");
}

TEST_F(LogServerTest, OnceMessagesAreKeyedByThePosixCksumCrcAndPrintTheChosenCountsOnly) {
  EXPECT_EQ(checksumFromBuffer("abc"), 1219131554u);
  EXPECT_EQ(checksumFromBuffer(nullptr), 4294967295u);
  for (int i = 0; i < 1000; ++i) {
    Handle<LogMessage> record(new LogMessage(Error, "DL30000"));
    record->append("[Poll] down");
    ASSERT_TRUE(server->AddOnceMessage(record, NoSeverity));
  }
  EXPECT_EQ(log->Messages(), (Lines{"down", "[repeated 5 times] down", "[repeated 10 times] down",
                                    "[repeated 100 times] down", "[repeated 1000 times] down"}));
}

// Deleting the server writes what is left in the queue.
TEST_F(LogServerTest, QueueIsTakenInOrderAndAFullOneHoldsTheProducerUntilADrain) {
  ASSERT_TRUE(server->StartQueueing());
  ASSERT_TRUE(LogServer::Report(Info, nullptr, "[Q] a"));
  ASSERT_TRUE(LogServer::Report(Info, nullptr, "[Q] b"));
  std::string taken;
  Handle<LogMessage> record;
  bool nowEmpty = false;
  while (server->FirstInQueue(record, nowEmpty)) {
    taken += std::string(record->getErrorMessage()) + (nowEmpty ? " empty " : " ");
  }
  EXPECT_EQ(taken, "a b empty ");
  EXPECT_TRUE(nowEmpty);
  for (size_t i = 0; i < LogServer::kQueueCapacity; ++i) {
    ASSERT_TRUE(LogServer::Report(Info, nullptr, "[Q] " + std::to_string(i)));
  }
  std::atomic<bool> done{false};
  std::thread producer([&] {
    LogServer::Report(Info, nullptr, "[Q] last");
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_FALSE(done.load());
  server->Flush();
  producer.join();
  LogServer::DeleteInstance();
  const Lines messages = log->Messages();
  ASSERT_EQ(messages.size(), LogServer::kQueueCapacity + 1);
  EXPECT_EQ(messages[1000] + messages[1001], "1000last");
}

// The log thread writes on its period, a second apart; producers that fill
// the queue wake it at once, so more than two queue-loads pass in 0.7 s.
TEST_F(LogServerTest, LogThreadWritesWithinASecondAndAFullQueueWakesItAtOnce) {
  constexpr int kRecords = 2400;
  ASSERT_TRUE(server->StartProcessingThread());
  int64_t start = NowMs();
  LogServer::Report(Info, nullptr, "[T] first");
  EXPECT_EQ(log->Count(), 0u);  // queued, not written on this thread
  ASSERT_TRUE(log->WaitForCount(1, 1800));
  EXPECT_LT(NowMs() - start, 1500);
  start = NowMs();
  for (int n = 0; n < kRecords; ++n) {
    LogServer::Report(Info, nullptr, "[P] " + std::to_string(n));
  }
  EXPECT_LT(NowMs() - start, 700);
  LogServer::DeleteInstance();  // writes the last partial queue-load
  EXPECT_EQ(log->Count(), static_cast<size_t>(kRecords + 1));
}

// A client can put any byte into a name the daemon logs: a raw one would drive
// a terminal, forge a line or shift the file's tab-separated fields.
TEST_F(LogServerTest, ControlBytesReachEveryDeviceEscaped) {
  TlConfigurationGlobal::Instance()->AtGlobalPut("GLOBAL.LOGMANAGER.LOGDIR", dir.path());
  ASSERT_TRUE(server->MakeFileLogger());
  log = CapturingLogDevice::Install(server);
  server->setRootFacilityName("vig\tild");  // the name it is started under
  const std::string name = "a\x1b]0;owned\ab\tc\rd\ne\x7f";
  const std::string shown = "a\\x1b]0;owned\\x07b\\x09c\\x0dd\\x0ae\\x7f";
  LogServer::Report(Warning, "DL30102", "[Order] name " + name, "GENERIC", true);
  LogServer::Report(Warning, "DL30102", "[Order\x1b] split " + name, nullptr, true);
  // The split drops line feeds before anything is escaped.
  EXPECT_EQ(Shown(),
            (Lines{"2 DL30102 GENERIC|[Order] name " + shown + "@0",
                   "2 DL30102 [Order\\x1b]|split a\\x1b]0;owned\\x07b\\x09c\\x0dde\\x7f@0"}));
  LogServer::DeleteInstance();
  // seconds, time, facility, severity, code, tag, message: six tabs a line.
  Lines lines;
  std::istringstream in(ReadAll(std::filesystem::directory_iterator(dir.path())->path()));
  for (std::string line; std::getline(in, line);) {
    EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 6) << line;
    lines.push_back(line.substr(line.rfind('\t') + 1));
  }
  EXPECT_EQ(lines, log->Messages());
}

TEST_F(LogServerTest, ConfigurationReadersUseDefaultsThenNewKeysThenOlderFullKeys) {
  const auto settings = [] {
    std::ostringstream out;
    out << LogServer::getStartDebugLevel() << " " << LogServer::getStartDebugPath().chars() << " "
        << LogServer::shouldCreateFiles() << " " << LogServer::getFilesPrefix().chars() << " "
        << LogServer::getMaxRetentionsDays() << " " << LogServer::shouldDoUDPForward() << " "
        << LogServer::getUDPServer().chars() << " " << LogServer::getUDPPort() << " "
        << LogServer::getUDPFacilityNumber() << " " << LogServer::getFilter().chars();
    return out.str();
  };
  TlConfiguration* conf = TlConfigurationGlobal::Instance().get();
  EXPECT_EQ("2 ./ 0 debug 9999 0  0 8 ", settings());
  conf->AtGlobalPut("GLOBAL.ROOT_DIRECTORY", "/opt/coll/");
  conf->AtGlobalPut("GLOBAL.LOGMANAGER.DEBUGLEVEL", "4");
  conf->AtGlobalPut("GLOBAL.LOGMANAGER.CREATEFILES", "yes");
  conf->AtGlobalPut("GLOBAL.LOGMANAGER.MAXFILERETENTIONDAYS", "12");
  conf->AtGlobalPut("GLOBAL.CMGR.LOG.SERVER", "ignored");
  conf->AtGlobalPut("CMGR.LOG.SERVER", "collector.example");
  conf->AtGlobalPut("CMGR.LOG.PORT", "514");
  conf->AtGlobalPut("CMGR.LOG.SYSLOGFACILITY", "128");
  conf->AtGlobalPut("CMGR.LOG.FILTER", "FW");
  EXPECT_EQ("4 /opt/coll/log/ 1 debug 12 1 collector.example 514 128 FWI12", settings());
  dir.WriteFile("2026.11.20trace.log", "old\n");
  conf->AtGlobalPut("LOGMANAGER.LOGDIR", dir.path());
  conf->AtGlobalPut("LOGMANAGER.UDP.SERVER", "127.0.0.1");
  conf->AtGlobalPut("LOGMANAGER.UDP.PORT", "9");
  conf->AtGlobalPut("LOGMANAGER.UDP.FACILITY", "x");
  conf->AtGlobalPut("LOGMANAGER.LOGFILTER", "FWI");
  conf->AtGlobalPut("LOGMANAGER.FILEPREFIX", "trace");
  conf->AtGlobalPut("LOGMANAGER.MAXFILERETENTIONDAYS", "seven");
  // A facility or port that is no number in range gives the default, not what atoi reads.
  EXPECT_EQ("4 " + dir.path() + " 1 trace 9999 1 127.0.0.1 9 8 FWI", settings());
  conf->AtGlobalPut("LOGMANAGER.UDP.PORT", "65536");
  EXPECT_EQ(0, LogServer::getUDPPort());
  EXPECT_EQ(3u, log->Messages(Error).size());  // one for each of retention, facility and port
  // A retention read as 0 would make the day's first record remove every older log.
  log->Clear();
  ASSERT_TRUE(server->MakeFileLogger());
  EXPECT_TRUE(LogServer::Report(Info, nullptr, "[T] a new day's first record", nullptr, true));
  EXPECT_EQ("old\n", ReadAll(dir.Join("2026.11.20trace.log")));
  EXPECT_EQ(log->Messages(Error), Lines{"[ConfigNumber] ERROR : LOGMANAGER.MAXFILERETENTIONDAYS="
                                        "'seven' is not a whole number from 0 to 100000, the "
                                        "default 9999 is used"});
}

// Standard output is a full pipe nobody reads: the console drops what its
// queue cannot hold, and the dated file and the UDP server still get every
// record. Batches of 100, so the receiving socket's buffer never overflows.
TEST_F(LogServerTest, FullConsoleCostsTheFileAndTheUdpServerNoRecord) {
  constexpr int kRecords = static_cast<int>(ConsoleWriter::kQueueLines) + 200;
  int ends[2], port = 0;
  ASSERT_TRUE(FullPipe(ends));
  const int saved = dup(1), udp = BindLoopback(SOCK_DGRAM, &port);
  const timeval timeout{2, 0};
  setsockopt(udp, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  TlConfigurationGlobal& configuration = TlConfigurationGlobal::Instance();
  configuration->AtGlobalPut("GLOBAL.LOGMANAGER.LOGDIR", dir.path());
  configuration->AtGlobalPut("GLOBAL.LOGMANAGER.UDP.SERVER", "127.0.0.1");
  configuration->AtGlobalPut("GLOBAL.LOGMANAGER.UDP.PORT", std::to_string(port));
  ASSERT_TRUE(server->MakeFileLogger() && server->MakeUDPLogger() && server->StartQueueing());
  // No test output until standard output is back: it would block on the pipe.
  dup2(ends[1], 1);
  server->MakeConsoleLogger();  // after the file output, which takes the console's place
  const auto lastField = [](const std::string& line) { return line.substr(line.rfind('\t') + 1); };
  Lines sent, datagrams, filed;
  char buffer[4096];
  for (int i = 0; i < kRecords; ++i) {
    sent.push_back("record " + std::to_string(i));
    LogServer::Report(Info, nullptr, "[T] " + sent.back());
    if (i % 100 == 99 || i == kRecords - 1) {
      server->Flush();
      for (ssize_t n;
           datagrams.size() < sent.size() && (n = recv(udp, buffer, sizeof buffer, 0)) > 0;) {
        datagrams.push_back(lastField(std::string(buffer, static_cast<size_t>(n))));
      }
    }
  }
  std::istringstream in(ReadAll(std::filesystem::directory_iterator(dir.path())->path()));
  for (std::string line; std::getline(in, line);) {
    filed.push_back(lastField(line));
  }
  std::string console;  // read from now on, to let the console's queue go
  std::thread reader([&] { console = ReadToEnd(ends[0]); });
  const bool drained = server->Drain(10000);
  dup2(saved, 1);
  close(saved);
  close(ends[1]);
  reader.join();
  close(ends[0]);
  close(udp);
  EXPECT_EQ(sent, datagrams) << datagrams.size() << " datagrams";
  EXPECT_EQ(sent, filed) << filed.size() << " lines in the file";
  EXPECT_TRUE(drained);
  EXPECT_LT(std::count(console.begin(), console.end(), '\n'), kRecords) << "nothing was dropped";
}

// A stopping server makes room for nobody: the producer must not wait for ever.
TEST(LogQueueTest, ProducerOfAFullQueueGivesUpWhenToldNobodyWillMakeRoom) {
  const Handle<LogMessage> record(new LogMessage(Info));
  LogQueue queue(1);
  ASSERT_TRUE(queue.Push(record, [] { return false; }));
  int asked = 0;
  EXPECT_FALSE(queue.Push(record, [&] { return ++asked == 3; }));
  EXPECT_EQ(std::make_pair(3, size_t{1}), std::make_pair(asked, queue.Size()));
  // Finding it full woke the writer: the wake waits for the writer's next look.
  EXPECT_EQ(0, queue.WaitForWork(1000));
  EXPECT_EQ(TaskEvent::kTimedOut, queue.WaitForWork(50));
}

}  // namespace

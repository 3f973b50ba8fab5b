// Whether vigilctl status sees a running daemon, and its table.
#include "ChildProcess.h"
#include "StatusView.h"
#include "TestCommon.h"

namespace {

std::string Document(long pid, long updated, bool running, const std::string& name) {
  return "{\"daemon\":{\"pid\":" + std::to_string(pid) + ",\"updated\":" + std::to_string(updated) +
         ",\"started\":1,\"port\":3003,\"passes\":7,\"running\":" + (running ? "true" : "false") +
         "},\"orders\":{\"watch\":2,\"msg\":30,\"mgmt\":0},\"protocol_errors\":1,"
         "\"restarts\":{},\"processes\":[{\"pid\":4711,\"name\":\"" +
         name +
         "\",\"state\":\"watching\",\"last_heartbeat\":995,\"wdfreq\":4,\"minwset\":null,"
         "\"maxwset\":90000,\"wsetincr\":null,\"maxerrors\":null,\"wset\":21344,\"nomwset\":0,"
         "\"errors\":0,\"restarts\":1},{\"pid\":12,\"name\":\"a\",\"state\":\"restarting\","
         "\"last_heartbeat\":1000,\"wdfreq\":null,\"wset\":1,\"nomwset\":2,\"errors\":3,"
         "\"restarts\":0}]}";
}

}  // namespace

TEST(StatusViewTest, RunningOnlyWhenFreshAndTablesAlignNeutraliseAndShowPrograms) {
  TempDir dir;
  const long self = getpid();
  const pid_t gone = SpawnClean({"/bin/true"}, {}, "/dev/null", "/dev/null");
  ASSERT_EQ(0, WaitExit(gone, 5000));
  const std::tuple<const char*, std::string, const char*, const char*> cases[] = {
      {"missing", "", "unreadable", "no status file"},
      {"garbled", "{\"daemon\":", "unreadable", "is not a vigild status file"},
      {"wrong", "[1,2]", "unreadable", "is not a vigild status file"},
      {"types", "{\"daemon\":{\"pid\":\"x\"},\"processes\":[]}", "stopped", "not a vigild"},
      {"ended", Document(self, 1000, false, "web"), "stopped", "has ended"},
      {"gone", Document(gone, 1000, true, "web"), "stopped", "is gone"},
      {"stale", Document(self, 994, true, "web"), "stopped", "last written 6 s ago"},
      {"fresh", Document(self, 995, true, "web"), "running", ""},
  };
  for (const auto& [file, content, state, cause] : cases) {
    if (!content.empty()) {
      dir.WriteFile(file, content);
    }
    StatusView view;
    std::string why;
    const std::string seen = !view.Load(dir.Join(file), &why) ? "unreadable"
                             : view.Running(1000, &why)       ? "running"
                                                              : "stopped";
    EXPECT_EQ(state, seen) << file << ": " << why;
    EXPECT_NE(std::string::npos, why.find(cause)) << file << ": " << why;
  }
  EXPECT_EQ("/h/log/vigild.status.json", StatusView::DefaultPath("/h"));
  EXPECT_EQ("/h/log/vigild.status.json", StatusView::DefaultPath("/h/"));
  EXPECT_EQ("/var/lib/vigild/log/vigild.status.json", StatusView::DefaultPath(nullptr));

  std::string document = Document(self, 1000, true, "web");
  document.insert(document.size() - 1,
                  ",\"programs\":{"
                  "\"web\":{\"state\":\"watching\",\"seconds_left\":0,\"last_exit\":\"signal 9\","
                  "\"last_reason\":\"exit\",\"uptime_seconds\":3725,\"restarts\":4},"
                  "\"db\":{\"state\":\"waiting\",\"seconds_left\":12,\"last_exit\":\"exit 3\","
                  "\"last_reason\":\"probe\",\"uptime_seconds\":0,\"restarts\":2},"
                  "\"zz\\u001b[2J\":{\"state\":\"failed\",\"seconds_left\":0,\"last_exit\":null,"
                  "\"last_reason\":\"no heartbeat\",\"uptime_seconds\":0,\"restarts\":10},"
                  "\"odd\":{\"state\":7,\"restarts\":\"x\",\"uptime_seconds\":90061},"
                  "\"bad\":[1]}");
  dir.WriteFile("s.json", document);
  StatusView view;
  std::string why;
  ASSERT_TRUE(view.Load(dir.Join("s.json"), &why)) << why;
  const std::string head =
      "vigild pid " + std::to_string(self) +
      ", port 3003, 7 passes, orders watch 2 msg 30 mgmt 0, protocol errors 1\n";
  const std::pair<const char*, const char*> states[] = {
      {"web", "watching"}, {"db", "waiting"}, {"zz\x1b[2J", "failed"}, {"odd", "?"},
      {"bad", ""},         {"a", ""},         {"nobody", ""}};
  for (const auto& [name, state] : states) {
    EXPECT_EQ(state, view.ProgramState(name)) << name;
  }
  EXPECT_EQ(
      head +
          "PID   NAME    STATE        LAST BEAT  WDFREQ  WSET   NOMINAL  MAX    ERRORS  RESTARTS  "
          "LAST EXIT  REASON        UPTIME\n"
          "4711  web     watching     5          4       21344  0        90000  0       4         "
          "signal 9   exit          1h02m\n"
          "12    a       restarting   0          -       1      2        -      3       0         "
          "-          -             -\n"
          "-     db      waiting 12s  -          -       -      -        -      -       2         "
          "exit 3     probe         -\n"
          "-     odd     -            -          -       -      -        -      -       -         "
          "-          -             1d01h\n"
          "-     zz?[2J  failed       -          -       -      -        -      -       10        "
          "-          no heartbeat  -\n",
      view.Table(1000));

  // A daemon that writes no programs: no state, and no program columns.
  dir.WriteFile("old.json", Document(self, 1000, true, "we\\u001b[2J\\u007f"));
  ASSERT_TRUE(view.Load(dir.Join("old.json"), &why));
  EXPECT_EQ("", view.ProgramState("we\x1b[2J\x7f"));
  EXPECT_EQ(
      head +
          "PID   NAME     STATE       LAST BEAT  WDFREQ  WSET   NOMINAL  MAX    ERRORS  RESTARTS\n"
          "4711  we?[2J?  watching    5          4       21344  0        90000  0       1\n"
          "12    a        restarting  0          -       1      2        -      3       0\n",
      view.Table(1000));
}

#include <nlohmann/json.hpp>
#include <regex>

#include "ProgramTable.h"
#include "StatusSnapshot.h"
#include "TestCommon.h"
#include "WatchedItem.h"

namespace {

// Names as hostile as the network can send: quotes, backslashes, a line feed, bytes not UTF-8.
const std::string kNames[] = {"web",        "say \"hi\"",  "C:\\dir\\x",
                              "two\nlines", "bad\xff\xfe", "caf\xc3\xa9"};

StatusSnapshot Sample() {
  StatusSnapshot snapshot;
  snapshot.pid = 42;
  snapshot.started = 1000;
  snapshot.updated = 1010;
  snapshot.port = 3003;
  snapshot.passes = 9;
  snapshot.orders = {{3, 17, 1, 0}, 2};  // watch, msg, mgmt and reset orders; protocol errors
  int pid = 100;
  for (const std::string& name : kNames) {
    WatchedItem item;
    item.info.pid = pid++;
    item.info.psWSet = 5000 + pid;
    item.settings.psName = String(name.data(), static_cast<int>(name.size()));
    item.settings.heartbeatOn = 1;
    item.settings.wdFreq = 4;
    item.state = ItemWatching;
    item.lastSeen.SetGMTCount(1007);
    snapshot.processes.push_back(StatusSnapshot::FromItem(item));
    snapshot.restarts[name] = 2;
  }
  return snapshot;
}

// Parses the whole exposition text into its samples, keyed "name,label=value,..." as the labels
// are printed, values escaped; a failure fails the test and names the offending line.
std::map<std::string, double> Metrics(const std::string& text) {
  static const std::regex kHelp("# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) .+");
  static const std::regex kType("# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge)");
  static const std::regex kSample("([a-zA-Z_:][a-zA-Z0-9_:]*)(\\{(.*)\\})? (-?[0-9]+(\\.[0-9]+)?)");
  static const std::string kOneLabel = R"re(([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\]|\\[n"\\])*)",?)re";
  static const std::regex kLabel(kOneLabel), kLabels("(?:" + kOneLabel + ")*");
  std::set<std::string> typed, helped;
  std::map<std::string, double> samples;
  std::istringstream lines(text);
  std::smatch m;
  for (std::string line; std::getline(lines, line);) {
    if (std::regex_match(line, m, kHelp)) {
      helped.insert(m[1]);
    } else if (std::regex_match(line, m, kType)) {
      EXPECT_TRUE(typed.insert(m[1]).second) << "second TYPE: " << line;
    } else if (std::regex_match(line, m, kSample)) {
      EXPECT_TRUE(typed.count(m[1]) == 1 && helped.count(m[1]) == 1)
          << "sample before its HELP and TYPE: " << line;
      const std::string labels = m[3];
      if (!std::regex_match(labels, kLabels)) {
        ADD_FAILURE() << "bad labels: " << line;
        return {};
      }
      samples[m[1].str() + std::regex_replace(labels, kLabel, ",$1=$2")] = std::stod(m[4]);
    } else {
      ADD_FAILURE() << "not a line of the format: " << line;
      return {};
    }
  }
  return samples;
}

}  // namespace

TEST(StatusSnapshotTest, JsonAndMetricsCarryEveryFactAndSurviveHostileNames) {
  StatusSnapshot snapshot = Sample();
  // A process without a heartbeat test has no wdfreq series; one with a zero wdfreq keeps its.
  snapshot.processes[1].wdfreq = -1;
  snapshot.processes[2].wdfreq = 0;
  const nlohmann::json document = nlohmann::json::parse(snapshot.ToJson());
  EXPECT_EQ(nlohmann::json::parse(R"({"daemon": {"pid": 42, "started": 1000, "updated": 1010,
      "port": 3003, "passes": 9, "running": true}, "protocol_errors": 2,
      "orders": {"watch": 3, "msg": 17, "mgmt": 1, "reset": 0}})"),
            nlohmann::json({{"daemon", document["daemon"]},
                            {"protocol_errors", document["protocol_errors"]},
                            {"orders", document["orders"]}}));
  EXPECT_EQ(nlohmann::json::parse(R"({"pid": 100, "name": "web", "state": "watching",
      "last_heartbeat": 1007, "wdfreq": 4, "minwset": null, "maxwset": null, "wsetincr": null,
      "maxerrors": null, "wset": 5101, "nomwset": 0, "errors": 0, "restarts": 2})"),
            document["processes"][0]);
  // Bytes that are not UTF-8 become U+FFFD; everything else is kept.
  ASSERT_EQ(6u, document["processes"].size());
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(i == 4 ? "bad\xEF\xBF\xBD\xEF\xBF\xBD" : kNames[i], document["processes"][i]["name"]);
  }
  const std::map<std::string, double> metrics = Metrics(snapshot.ToMetrics());
  const std::pair<std::string, double> kExpected[] = {
      {"vigild_up", 1},
      {"vigild_watched_processes", 6},
      {"vigild_orders_total,type=msg", 17},
      {"vigild_protocol_errors_total", 2},
      {"vigild_process_working_set_bytes,name=web,pid=100", 5101 * 1024},
      {"vigild_process_heartbeat_age_seconds,name=web,pid=100", 3},
      {"vigild_process_wdfreq_seconds,name=web,pid=100", 4},
      {R"(vigild_process_wdfreq_seconds,name=say \"hi\",pid=101)", -1},
      {R"(vigild_process_wdfreq_seconds,name=C:\\dir\\x,pid=102)", 0},
      {R"(vigild_restarts_total,name=say \"hi\")", 2},
      {R"(vigild_restarts_total,name=two\nlines)", 2},
      {R"(vigild_restarts_total,name=C:\\dir\\x)", 2},
      {"vigild_restarts_total,name=bad\xEF\xBF\xBD\xEF\xBF\xBD", 2},
      {"vigild_restarts_total,name=caf\xc3\xa9", 2},
  };
  for (const auto& [key, value] : kExpected) {
    EXPECT_EQ(value, metrics.count(key) == 1 ? metrics.at(key) : -1) << key;
  }

  // A daemon that has stopped says so in its first sample.
  snapshot.running = false;
  snapshot.processes.clear();
  const std::string text = snapshot.ToMetrics();
  EXPECT_EQ(0, Metrics(text).at("vigild_up"));
  EXPECT_EQ(text.find("\nvigild_"), text.find("\nvigild_up 0\n"));
}

// The failed program keeps its series, a waiting one counts down to its start, and only a watched
// one has an uptime.
TEST(StatusSnapshotTest, ProgramsShowEachNamesStateLastExitReasonAndUptime) {
  ProgramTable programs(RestartSettings{5000, 600 * 1000, 300 * 1000, 1}, [] { return 0.0; });
  std::map<int, WatchedItem> table;
  const long nowUtc = 2000;
  auto add = [&](int pid, const char* name, WatchState state) {
    WatchedItem item;
    item.info.pid = pid;
    item.settings.psName = name;
    item.state = state;
    programs.Registered(item, 0, nowUtc - 30);
    if (state != ItemCreated) {
      table[pid] = item;
    }
    return item;
  };
  add(1, "web", ItemWatching);
  const WatchedItem slow = add(2, "slow", ItemFinished);
  programs.RestartBegins(slow, NoHeartbeat, "", 0);
  ASSERT_FALSE(programs.Stopped(slow, 0).failed);
  const WatchedItem crashy = add(3, "crashy", ItemCreated);
  programs.RestartBegins(crashy, Exit, "exit 1", 0);
  ASSERT_FALSE(programs.Stopped(crashy, 0).failed);
  programs.RestartBegins(crashy, Exit, "signal 9", 10);
  ASSERT_TRUE(programs.Stopped(crashy, 10).failed);
  const WatchedItem gone = add(4, "gone", ItemCreated);
  programs.RestartBegins(gone, Probe, "", 0);
  programs.Started("gone", 0);
  const WatchedItem hung = add(5, "hung", ItemRestarting);
  programs.RestartBegins(hung, WorkingSet, "", 0);

  StatusSnapshot snapshot = Sample();
  snapshot.updated = nowUtc;
  snapshot.programs = StatusSnapshot::ProgramsFrom(table, programs, 0, nowUtc);
  const nlohmann::json shown = nlohmann::json::parse(snapshot.ToJson())["programs"];
  const nlohmann::json expected = nlohmann::json::parse(R"({
      "web": {"state": "watching", "seconds_left": 0, "last_exit": null, "last_reason": null,
              "uptime_seconds": 30, "restarts": 0},
      "slow": {"state": "waiting", "seconds_left": 5, "last_exit": null,
               "last_reason": "no heartbeat", "uptime_seconds": 0, "restarts": 1},
      "crashy": {"state": "failed", "seconds_left": 0, "last_exit": "signal 9",
                 "last_reason": "exit", "uptime_seconds": 0, "restarts": 2},
      "gone": {"state": "restarting", "seconds_left": 0, "last_exit": null,
               "last_reason": "probe", "uptime_seconds": 0, "restarts": 1},
      "hung": {"state": "restarting", "seconds_left": 0, "last_exit": null,
               "last_reason": "working set", "uptime_seconds": 0, "restarts": 1}})");
  EXPECT_EQ(expected, shown);
  const std::map<std::string, double> byKey = Metrics(snapshot.ToMetrics());
  for (const auto& [name, fields] : expected.items()) {
    for (const char* state : {"watching", "restarting", "waiting", "failed"}) {
      EXPECT_EQ(fields.at("state") == state ? 1 : 0,
                byKey.at("vigild_program_state,name=" + name + ",state=" + state))
          << name << " " << state;
    }
    EXPECT_EQ(fields.at("uptime_seconds").get<int>(),
              byKey.at("vigild_program_uptime_seconds,name=" + name));
    // Names unknown to the restart counts still have their series, at 0.
    EXPECT_EQ(name == "web" ? 2 : 0, byKey.at("vigild_restarts_total,name=" + name)) << name;
  }
  // What the files show changes with a program's state, not with the clock.
  StatusSnapshot later = snapshot;
  later.updated += 60;
  EXPECT_TRUE(later.ShowsSameAs(snapshot));
  later.programs.back().state = "failed";
  EXPECT_FALSE(later.ShowsSameAs(snapshot));
}

TEST(StatusSnapshotTest, CachedEntriesPrintTheSameTextAndOnlyChangedOnesAreBuiltAgain) {
  StatusSnapshot snapshot = Sample();
  for (int i = 0; i < 40; ++i) {
    StatusSnapshot::Process process = snapshot.processes[static_cast<size_t>(i % 6)];
    process.pid = 1000 + i;
    snapshot.processes.push_back(process);
  }
  StatusSnapshot::EntryCache cache;
  const std::tuple<const char*, std::function<void(StatusSnapshot&)>, size_t> steps[] = {
      {"first write", [](StatusSnapshot&) {}, 46},
      {"nothing changed", [](StatusSnapshot& s) { s.updated += 5; }, 0},
      {"two heartbeats",
       [](StatusSnapshot& s) {
         s.processes[3].wset += 1;
         s.processes[9].lastHeartbeat += 1;
       },
       2},
      {"a name restarted: its 8 entries", [](StatusSnapshot& s) { s.restarts["web"] = 3; }, 8},
      {"one gone, one new",
       [](StatusSnapshot& s) {
         s.processes.erase(s.processes.begin() + 7);
         StatusSnapshot::Process fresh = s.processes[0];
         fresh.pid = 5000;
         fresh.name = "new\x01\xc0";
         s.processes.push_back(fresh);
       },
       1},
      {"no process left", [](StatusSnapshot& s) { s.processes.clear(); }, 0},
  };
  for (const auto& [change, apply, printed] : steps) {
    SCOPED_TRACE(change);
    apply(snapshot);
    EXPECT_EQ(snapshot.ToJson(), snapshot.ToJson(&cache));
    EXPECT_EQ(printed, cache.printed);
    EXPECT_NO_THROW(nlohmann::json::parse(snapshot.ToJson(&cache)));
  }
}

// The status file's JSON and the metrics file's exposition format, read back
// by a JSON parser and by a small parser of the text format.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "ProgramTable.h"
#include "StatusSnapshot.h"
#include "WatchedItem.h"

namespace {

// Names as hostile as the network can send: quotes, backslashes, a line
// feed, bytes that are not UTF-8.
const std::string kNames[] = {"web",        "say \"hi\"",  "C:\\dir\\x",
                              "two\nlines", "bad\xff\xfe", "caf\xc3\xa9"};

StatusSnapshot Sample() {
  StatusSnapshot snapshot;
  snapshot.pid = 42;
  snapshot.started = 1000;
  snapshot.updated = 1010;
  snapshot.port = 3003;
  snapshot.passes = 9;
  snapshot.orders.executed[OrderCounters::kWatch] = 3;
  snapshot.orders.executed[OrderCounters::kMsg] = 17;
  snapshot.orders.executed[OrderCounters::kMgmt] = 1;
  snapshot.orders.protocolErrors = 2;
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

// One sample line of the text format: name, labels, value.
struct Sample_ {
  std::string name;
  std::map<std::string, std::string> labels;
  double value;
};

// Undoes the label escapes; false on an escape the format does not know.
bool Unescape(const std::string& text, std::string* out) {
  out->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      *out += text[i];
      continue;
    }
    if (++i == text.size()) {
      return false;
    }
    const char c = text[i];
    if (c == 'n') {
      *out += '\n';
    } else if (c == '\\' || c == '"') {
      *out += c;
    } else {
      return false;
    }
  }
  return true;
}

// Parses the whole exposition text; a failure names the offending line.
::testing::AssertionResult Parse(const std::string& text, std::vector<Sample_>* samples) {
  static const std::regex kHelp("# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) .+");
  static const std::regex kType("# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge)");
  static const std::regex kSample("([a-zA-Z_:][a-zA-Z0-9_:]*)(\\{(.*)\\})? (-?[0-9]+(\\.[0-9]+)?)");
  static const std::regex kLabel("([a-zA-Z_][a-zA-Z0-9_]*)=\"((?:[^\"\\\\]|\\\\.)*)\",?");
  std::set<std::string> typed;
  std::set<std::string> helped;
  std::istringstream lines(text);
  std::string line;
  std::smatch m;
  while (std::getline(lines, line)) {
    if (std::regex_match(line, m, kHelp)) {
      helped.insert(m[1]);
    } else if (std::regex_match(line, m, kType)) {
      if (!typed.insert(m[1]).second) {
        return ::testing::AssertionFailure() << "second TYPE: " << line;
      }
    } else if (std::regex_match(line, m, kSample)) {
      Sample_ sample{m[1], {}, std::stod(m[4])};
      if (typed.count(sample.name) == 0 || helped.count(sample.name) == 0) {
        return ::testing::AssertionFailure() << "sample before its HELP and TYPE: " << line;
      }
      std::string labels = m[3];
      std::smatch l;
      while (!labels.empty()) {
        if (!std::regex_search(labels, l, kLabel) || l.position(0) != 0) {
          return ::testing::AssertionFailure() << "bad labels: " << line;
        }
        std::string value;
        if (!Unescape(l[2], &value)) {
          return ::testing::AssertionFailure() << "bad escape: " << line;
        }
        sample.labels[l[1]] = value;
        labels = l.suffix();
      }
      samples->push_back(sample);
    } else {
      return ::testing::AssertionFailure() << "not a line of the format: " << line;
    }
  }
  return ::testing::AssertionSuccess();
}

}  // namespace

TEST(StatusSnapshotTest, JsonCarriesEveryFactAndSurvivesHostileNames) {
  const StatusSnapshot snapshot = Sample();
  const nlohmann::json document = nlohmann::json::parse(snapshot.ToJson());
  EXPECT_EQ(42, document["daemon"]["pid"]);
  EXPECT_EQ(1000, document["daemon"]["started"]);
  EXPECT_EQ(3003, document["daemon"]["port"]);
  EXPECT_EQ(9, document["daemon"]["passes"]);
  EXPECT_EQ(true, document["daemon"]["running"]);
  EXPECT_EQ(3, document["orders"]["watch"]);
  EXPECT_EQ(17, document["orders"]["msg"]);
  EXPECT_EQ(1, document["orders"]["mgmt"]);
  EXPECT_EQ(2, document["protocol_errors"]);
  ASSERT_EQ(std::size(kNames), document["processes"].size());
  const nlohmann::json& first = document["processes"][0];
  EXPECT_EQ(100, first["pid"]);
  EXPECT_EQ("web", first["name"]);
  EXPECT_EQ("watching", first["state"]);
  EXPECT_EQ(1007, first["last_heartbeat"]);
  EXPECT_EQ(4, first["wdfreq"]);
  EXPECT_TRUE(first["maxwset"].is_null());
  EXPECT_EQ(5101, first["wset"]);
  EXPECT_EQ(2, first["restarts"]);
  EXPECT_EQ("two\nlines", document["processes"][3]["name"]);
  EXPECT_EQ("bad\xEF\xBF\xBD\xEF\xBF\xBD", document["processes"][4]["name"]);
}

TEST(StatusSnapshotTest, MetricsParseWithEveryNameEscapedAndEveryFamilyTyped) {
  StatusSnapshot snapshot = Sample();
  std::vector<Sample_> samples;
  ASSERT_TRUE(Parse(snapshot.ToMetrics(), &samples)) << snapshot.ToMetrics();
  std::map<std::string, double> byKey;
  std::set<std::string> restartNames;
  for (const Sample_& sample : samples) {
    std::string key = sample.name;
    for (const auto& label : sample.labels) {
      key += "," + label.first + "=" + label.second;
    }
    byKey[key] = sample.value;
    if (sample.name == "vigild_restarts_total") {
      restartNames.insert(sample.labels.at("name"));
    }
  }
  EXPECT_EQ(1, byKey["vigild_up"]);
  EXPECT_EQ(6, byKey["vigild_watched_processes"]);
  EXPECT_EQ(17, byKey["vigild_orders_total,type=msg"]);
  EXPECT_EQ(2, byKey["vigild_protocol_errors_total"]);
  EXPECT_EQ(5101 * 1024, byKey["vigild_process_working_set_bytes,name=web,pid=100"]);
  EXPECT_EQ(3, byKey["vigild_process_heartbeat_age_seconds,name=web,pid=100"]);
  EXPECT_EQ(2, byKey["vigild_restarts_total,name=say \"hi\""]);
  EXPECT_EQ(2, byKey["vigild_restarts_total,name=two\nlines"]);
  EXPECT_EQ(2, byKey["vigild_restarts_total,name=C:\\dir\\x"]);
  EXPECT_EQ(1u, restartNames.count("bad\xEF\xBF\xBD\xEF\xBF\xBD"));
  EXPECT_EQ(1u, restartNames.count("caf\xc3\xa9"));
  EXPECT_EQ(4, byKey["vigild_process_wdfreq_seconds,name=web,pid=100"]);

  // A process without a heartbeat test has no wdfreq series; the others keep theirs.
  snapshot.processes[0].wdfreq = -1;
  snapshot.processes[1].wdfreq = 0;
  samples.clear();
  ASSERT_TRUE(Parse(snapshot.ToMetrics(), &samples));
  std::map<int, double> wdfreqs;
  for (const Sample_& sample : samples) {
    if (sample.name == "vigild_process_wdfreq_seconds") {
      wdfreqs[std::stoi(sample.labels.at("pid"))] = sample.value;
    }
  }
  EXPECT_EQ((std::map<int, double>{{101, 0}, {102, 4}, {103, 4}, {104, 4}, {105, 4}}), wdfreqs);

  snapshot.running = false;
  snapshot.processes.clear();
  samples.clear();
  ASSERT_TRUE(Parse(snapshot.ToMetrics(), &samples));
  EXPECT_EQ("vigild_up", samples[0].name);
  EXPECT_EQ(0, samples[0].value);
}

// Five names in every state a program can be in, read from a real table and its program records,
// then shown in both files: the failed one keeps its series, a waiting one counts down to its
// start, and only a watched one has an uptime.
TEST(StatusSnapshotTest, ProgramsShowEachNamesStateLastExitReasonAndUptime) {
  RestartSettings settings;
  settings.firstDelayMs = 5000;
  settings.limit = 1;
  ProgramTable programs(settings, [] { return 0.0; });
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
  const std::map<std::string, nlohmann::json> expected = {
      {"web", {{"state", "watching"}, {"seconds_left", 0}, {"last_exit", nullptr},
               {"last_reason", nullptr}, {"uptime_seconds", 30}, {"restarts", 0}}},
      {"slow", {{"state", "waiting"}, {"seconds_left", 5}, {"last_exit", nullptr},
                {"last_reason", "no heartbeat"}, {"uptime_seconds", 0}, {"restarts", 1}}},
      {"crashy", {{"state", "failed"}, {"seconds_left", 0}, {"last_exit", "signal 9"},
                  {"last_reason", "exit"}, {"uptime_seconds", 0}, {"restarts", 2}}},
      {"gone", {{"state", "restarting"}, {"seconds_left", 0}, {"last_exit", nullptr},
                {"last_reason", "probe"}, {"uptime_seconds", 0}, {"restarts", 1}}},
      {"hung", {{"state", "restarting"}, {"seconds_left", 0}, {"last_exit", nullptr},
                {"last_reason", "working set"}, {"uptime_seconds", 0}, {"restarts", 1}}}};
  ASSERT_EQ(expected.size(), shown.size()) << shown.dump();
  for (const auto& [name, fields] : expected) {
    EXPECT_EQ(fields, shown[name]) << name;
  }

  std::vector<Sample_> samples;
  ASSERT_TRUE(Parse(snapshot.ToMetrics(), &samples)) << snapshot.ToMetrics();
  std::map<std::string, double> byKey;
  for (const Sample_& sample : samples) {
    std::string key = sample.name;
    for (const auto& label : sample.labels) {
      key += "," + label.first + "=" + label.second;
    }
    byKey[key] = sample.value;
  }
  for (const auto& [name, fields] : expected) {
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

// The writer's cache of printed entries: whatever changes between two writes (a figure, a
// restart count, processes gone or new, hostile names), the text is byte for byte the one
// printed without it, and only the entries that changed are printed again.
TEST(StatusSnapshotTest, CachedEntriesPrintTheSameTextAndOnlyChangedOnesAreBuiltAgain) {
  StatusSnapshot snapshot = Sample();
  for (int i = 0; i < 40; ++i) {
    StatusSnapshot::Process process = snapshot.processes[static_cast<size_t>(i % 6)];
    process.pid = 1000 + i;
    snapshot.processes.push_back(process);
  }
  StatusSnapshot::EntryCache cache;
  const struct {
    const char* change;
    std::function<void(StatusSnapshot&)> apply;
    size_t printed;
  } steps[] = {
      {"first write", [](StatusSnapshot&) {}, 46},
      {"nothing changed", [](StatusSnapshot& s) { s.updated += 5; }, 0},
      {"two heartbeats", [](StatusSnapshot& s) {
         s.processes[3].wset += 1;
         s.processes[9].lastHeartbeat += 1;
       }, 2},
      {"a name restarted: its 8 entries", [](StatusSnapshot& s) { s.restarts["web"] = 3; }, 8},
      {"one gone, one new", [](StatusSnapshot& s) {
         s.processes.erase(s.processes.begin() + 7);
         StatusSnapshot::Process fresh = s.processes[0];
         fresh.pid = 5000;
         fresh.name = "new\x01\xc0";
         s.processes.push_back(fresh);
       }, 1},
      {"no process left", [](StatusSnapshot& s) { s.processes.clear(); }, 0},
  };
  for (const auto& step : steps) {
    step.apply(snapshot);
    EXPECT_EQ(snapshot.ToJson(), snapshot.ToJson(&cache)) << step.change;
    EXPECT_EQ(step.printed, cache.printed) << step.change;
    EXPECT_NO_THROW(nlohmann::json::parse(snapshot.ToJson(&cache))) << step.change;
  }
}

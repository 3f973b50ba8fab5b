#include <gtest/gtest.h>

#include <algorithm>
#include <list>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "CapturingLogDevice.h"
#include "CliParser.h"
#include "LogServer.h"
#include "TempDir.h"
#include "TlConfiguration.h"
#include "TlConfigurationGlobal.h"

namespace {

const char kPrefix[] = "Brenmoor\\TALVERA-Common\\WatchMgr";

// The alias DIAG.CNX and the fourteen connection switches it stands for.
const char kCnx[] =
    "DIAG.CNX DIAG.CNX.RECV DIAG.CNX.RECV.SOCKERR DIAG.CNX.RECV.SOCKZERO DIAG.CNX.SELECT.TIMEOUT "
    "DIAG.CNX.SELECT.FAILURE DIAG.CNX.RECV.RECVOK DIAG.CNX.SEND DIAG.CNX.SEND.RETRY "
    "DIAG.CNX.SOCKCLOSE DIAG.CNX.CONNECT DIAG.CNX.ESTABLISH DIAG.CNX.OBJECTAUTH "
    "DIAG.CNX.IDREQUEST.PROCESSED DIAG.CNX.SEND.MUSTRETRY ";
const char kLevels[] = "DIAG.DEBUG.LEVEL1 DIAG.DEBUG.LEVEL2 DIAG.DEBUG.LEVEL3 DIAG.DEBUG.LEVEL4 ";

// Every entry, in key order, as "KEY=value;".
std::string Dump(const TlConfiguration& store) {
  std::list<std::string> keys;
  store.AllEntries(true, keys);
  std::string all, value;
  for (const std::string& key : keys) {
    store._AtGlobal(key, value);
    all += key + "=" + value + ";";
  }
  return all;
}

// The dump of a store holding each blank-separated name under prefix.
std::string Expected(const std::string& prefix, const std::string& names,
                     const std::string& value) {
  std::istringstream in(names);
  std::vector<std::string> keys;
  for (std::string name; in >> name;) {
    keys.push_back(prefix + name);
  }
  std::sort(keys.begin(), keys.end());
  std::string all;
  for (const std::string& key : keys) {
    all += key + "=" + value + ";";
  }
  return all;
}

template <class F>
std::string Thrown(F lookup) {
  try {
    lookup();
  } catch (const std::string& key) {
    return key;
  }
  return "<nothing thrown>";
}

}  // namespace

TEST(TlConfigurationTest, ScopedKeyWinsOverGlobalAndShortLookupFallsBack) {
  TlConfiguration store;
  store.setScopeName("VIGILD.0.0");
  std::string out;
  store.AtGlobalPut("global.root_directory", "/g");
  EXPECT_STREQ("/g", store.At("root_directory", out));
  store.AtPut("ROOT_DIRECTORY", "/x");
  EXPECT_EQ("GLOBAL.ROOT_DIRECTORY=/g;VIGILD.0.0.ROOT_DIRECTORY=/x;", Dump(store));
  EXPECT_STREQ("/x", store.StringAt("root_directory", out));
  EXPECT_FALSE(store._AtGlobal("ROOT_DIRECTORY", out));
  std::list<std::string> own;
  store.AllEntries(false, own);
  EXPECT_EQ(std::list<std::string>{"VIGILD.0.0.ROOT_DIRECTORY"}, own);
  store.Remove("ROOT_DIRECTORY");
  EXPECT_STREQ("/g", store.At("ROOT_DIRECTORY", out));
  store.RemoveGlobal("GLOBAL.ROOT_DIRECTORY");
  EXPECT_EQ("", Dump(store));
  std::string text = "abc.Zz9_\xe9";  // only ASCII letters fold, whatever the locale
  toUpper(text, text);
  EXPECT_EQ("ABC.ZZ9_\xe9", text);
}

TEST(TlConfigurationTest, MissingKeyThrowsTheKeyAsPassedAndIfMissingGivesTheDefault) {
  const TlConfiguration store;
  std::string out = "old";
  // The typed getters share one throwing and one defaulting form: one of each stands for all.
  EXPECT_EQ("nope", Thrown([&] { store.At("nope", out); }));
  EXPECT_EQ("g.x", Thrown([&] { store.AtGlobal("g.x", out); }));
  EXPECT_EQ("i", Thrown([&] { store.IntAt("i"); }));
  EXPECT_EQ("old", out);
  EXPECT_STREQ("d", store.AtIfMissing("NOPE", out, "d"));
  EXPECT_EQ("d", out);
  EXPECT_STREQ("f", store.AtGlobalIfMissing("NOPE", out, "f"));
  EXPECT_EQ(7, store.IntAtIfMissing("NOPE", 7));
}

TEST(TlConfigurationTest, ValuesAreReadAsBooleansAndNumbers) {
  TlConfiguration store;
  // text, as a boolean, as a whole number, as a real number
  const std::tuple<const char*, bool, int, double> cases[] = {
      {"1", true, 1, 1.0},    {"yes", true, 0, 0.0},          {"T", true, 0, 0.0},
      {"true", true, 0, 0.0}, {"on", true, 0, 0.0},           {"ON", true, 0, 0.0},
      {"0", false, 0, 0.0},   {"On", false, 0, 0.0},          {"no", false, 0, 0.0},
      {"", false, 0, 0.0},    {"False", false, 0, 0.0},       {"12abc", false, 12, 12.0},
      {"abc", false, 0, 0.0}, {" -3.5e1x", false, -3, -35.0},
  };
  for (const auto& [value, flag, number, real] : cases) {
    store.AtGlobalPut("GLOBAL.V", value);
    EXPECT_EQ(flag, store.BoolAt("v")) << value;
    EXPECT_EQ(number, store.IntAt("v")) << value;
    EXPECT_EQ(number, store.LongAtIfMissing("v", 99)) << value;
    EXPECT_EQ(real, store.DoubleAt("v")) << value;
  }
  std::string out;
  store.AtPutBool("flag", false);
  EXPECT_STREQ("False", store.At("flag", out));
  store.AtPutBool("flag", true);
  EXPECT_STREQ("True", store.At("flag", out));
}

TEST(TlConfigurationTest, PlainFileLinesAreSkippedKeptOrCut) {
  const std::string fits = "fit=" + std::string(1018, 'f');  // 1022 characters
  const std::pair<std::string, std::string> cases[] = {
      {"#x=1\n;x=1\n=12\nabc\na = b\nk=\nCrlf=v\r\nlower.Key=Mixed=Case\tend\nx=",
       "A = b;CRLF=v;K=;LOWER.KEY=Mixed=Case\tend;"},
      {"a=1\n" + std::string(2000, 'z') + "=1\nlost=1\n", "A=1;"},
      {"a=1\n" + std::string(1021, 'e') + "=1\nlost=1", "A=1;"},
      {fits + "\nb=1", "B=1;FIT=" + std::string(1018, 'f') + ";"},
  };
  TempDir dir;
  for (const auto& [content, expected] : cases) {
    dir.WriteFile("plain.conf", content);
    TlConfiguration store;
    store.setScopeName("S");
    EXPECT_TRUE(store.initFromFile(dir.Join("plain.conf")));
    EXPECT_EQ("", store.getLastError());
    EXPECT_EQ(expected, Dump(store)) << content.substr(0, 20);
  }
}

TEST(TlConfigurationTest, FileComesFromTheFSwitchAndAFailedOpenIsReported) {
  TempDir dir;
  const std::string missing = dir.Join("missing.conf");
  TlConfiguration store;
  EXPECT_FALSE(store.initFromFile(missing));
  EXPECT_EQ("Unable to open file " + missing, store.getLastError());
  EXPECT_FALSE(store.initGlobalFromRegistryFile(missing, kPrefix));
  EXPECT_EQ("Unable to open file " + missing, store.getLastError());

  dir.WriteFile("f.conf", "GLOBAL.PORT=3004\n");
  std::string path = dir.Join("f.conf");
  std::vector<std::string> words = {"vigild", "-f", path};
  std::vector<char*> argv = {&words[0][0], &words[1][0], &words[2][0], nullptr};
  CliParser without(2, argv.data());
  EXPECT_FALSE(store.initFromConfigurationFile(without));
  EXPECT_EQ("Missing -f ConfFileName  switch", store.getLastError());
  CliParser with(3, argv.data());
  EXPECT_TRUE(store.initFromConfigurationFile(with));
  EXPECT_EQ("", store.getLastError());
  EXPECT_EQ(3004, store.IntAt("PORT"));
}

TEST(TlConfigurationTest, RegistryKeepsOnlyTheSectionsUnderThePrefix) {
  TempDir dir;
  dir.WriteFile("registry.conf",
                "\"Before\"=\"1\"\n"
                "[HKEY\\Brenmoor\\TALVERA-Common\\WatchMgr\\LogManager]\n\"DebugLevel\"=\"3\"\n"
                "# \"Comment\"=\"1\"\nFilePrefix= Mixed \"Case\" \nno equal sign here\n"
                "[Brenmoor\\TALVERA-Common\\WatchMgr]\nPort=a=b\n"
                "[Brenmoor\\TALVERA-Other]\nLost=1\n"
                "[X\\Brenmoor\\TALVERA-Common\\WatchMgr\\A\\B] tail\nk=v\n");
  TlConfiguration store;
  EXPECT_TRUE(store.initGlobalFromRegistryFile(dir.Join("registry.conf"), kPrefix));
  EXPECT_EQ(
      "GLOBAL.A.B. TAILK=v;GLOBAL.LOGMANAGER.DEBUGLEVEL=3;"
      "GLOBAL.LOGMANAGER.FILEPREFIX= Mixed Case ;GLOBAL.PORT=a=b;",
      Dump(store));

  // A prefix found only at the start of a header does not open a section.
  TlConfiguration none;
  EXPECT_TRUE(none.initGlobalFromRegistryFile(dir.Join("registry.conf"), "[Brenmoor"));
  EXPECT_EQ("", Dump(none));

  TlConfiguration scoped;
  scoped.setScopeName("VIGILD.0.0");
  EXPECT_TRUE(scoped.initScopedFromRegistryFile(dir.Join("registry.conf"),
                                                "Brenmoor\\TALVERA-Common\\WatchMgr\\LogManager"));
  EXPECT_EQ("VIGILD.0.0.DEBUGLEVEL=3;VIGILD.0.0.FILEPREFIX= Mixed Case ;", Dump(scoped));
}

TEST(TlConfigurationTest, AliasesExpandUnderThePrefixOfTheirKey) {
  const std::string all = std::string(kLevels) + kCnx + "DIAG.ALL";
  const std::tuple<const char*, const char*, std::string> cases[] = {
      {"GLOBAL.DIAG.ALL", "1", Expected("GLOBAL.", all, "1")},
      {"global.diag.debug.level4", "1",
       Expected("GLOBAL.", std::string(kCnx) + "DIAG.DEBUG.LEVEL4", "1")},
      {"VIGILD.0.0.DIAG.CNX", "0", Expected("VIGILD.0.0.", kCnx, "0")},
      {"X.DIAG.ALL", "on", Expected("X.", all, "on")},
      {"DIAG.CNX.RECV", "1", "DIAG.CNX.RECV=1;"},
      {"DIAG.CNX.X", "1", "DIAG.CNX.X=1;"},
  };
  for (const auto& [key, value, expected] : cases) {
    TlConfiguration store;
    store.AtGlobalPut(key, value);
    EXPECT_EQ(expected, Dump(store)) << key;
  }
  EXPECT_EQ(TlConfiguration::DIAG_ALL, TlConfiguration::findAlias("x.diag.all"));
  EXPECT_EQ(TlConfiguration::DIAG_NOTHING, TlConfiguration::findAlias("DIAG.ALL.X"));
}

TEST(TlConfigurationTest, PresentIdentifierKeepsItsValueUnlessOnlyUnderItsFullScopedName) {
  TlConfiguration global;
  global.AtGlobalPut("GLOBAL.DIAG.CNX.SEND", "0");
  global.AtGlobalPut("GLOBAL.DIAG.CNX", "1");
  EXPECT_FALSE(global.BoolAt("DIAG.CNX.SEND"));
  EXPECT_TRUE(global.BoolAt("DIAG.CNX.RECV"));
  global.AtGlobalPut("GLOBAL.DIAG.CNX", "0");
  EXPECT_TRUE(global.BoolAt("DIAG.CNX.RECV"));
  EXPECT_FALSE(global.BoolAt("DIAG.CNX"));

  // In a scoped store the check looks for scope.identifier and
  // GLOBAL.identifier, where the identifier already carries the scope.
  TlConfiguration scoped;
  scoped.setScopeName("S");
  scoped.AtPut("DIAG.CNX.SEND", "0");
  scoped.AtGlobalPut("S.S.DIAG.CNX.RECV", "kept");
  scoped.AtPut("DIAG.CNX", "1");
  std::string out;
  EXPECT_STREQ("1", scoped.At("DIAG.CNX.SEND", out));
  EXPECT_STREQ("kept", scoped.AtGlobal("S.S.DIAG.CNX.RECV", out));
  EXPECT_FALSE(scoped._AtGlobal("S.DIAG.CNX.RECV", out));
}

TEST(TlConfigurationTest, AliasStepsAreTracedOnlyWhenTheStoreHoldsTheirSwitch) {
  auto log = CapturingLogDevice::Install(LogServer::Instance());
  TlConfiguration quiet;
  quiet.AtGlobalPut("GLOBAL.DIAG.ALL", "1");
  EXPECT_EQ(0u, log->Count());

  // Any value turns a trace on, under the scoped or the GLOBAL. name.
  TlConfiguration traced;
  traced.setScopeName("S");
  traced.AtGlobalPut("GLOBAL.DIAG.CONFIG.REPORT.ALIAS.FOUND", "0");
  traced.AtPut("DIAG.CONFIG.REPORT.MERGEALIAS", "");
  traced.AtPut("DIAG.CONFIG.REPORT.ALIAS.ADDEXPANSION", "1");
  traced.AtGlobalPut("GLOBAL.DIAG.CONFIG.REPORT.ALIAS.ADDIDENTIFIER", "1");
  traced.AtGlobalPut("GLOBAL.DIAG.ALL", "1");
  // Per code: how many records, and the first one's message.
  std::map<std::string, std::pair<int, std::string>> seen;
  for (const auto& record : log->Records()) {
    EXPECT_EQ(Info, record.severity);
    seen.emplace(record.code, std::make_pair(0, record.message)).first->second.first++;
  }
  std::string all;
  for (const auto& code : seen) {
    all += code.first + " x" + std::to_string(code.second.first) + ": " + code.second.second + "\n";
  }
  EXPECT_EQ(
      "DIAG_CONFIG_REPORT_ALIAS_ADDEXPANSION x19: Expanding alias GLOBAL.DIAG.DEBUG.LEVEL1\n"
      "DIAG_CONFIG_REPORT_ALIAS_ADDIDENTIFIER x2: Adding alias identifier GLOBAL.DIAG.DEBUG.LEVEL4 "
      "to expansion with value 1\n"
      "DIAG_CONFIG_REPORT_ALIAS_FOUND x1: Found alias DIAG.ALL matching config entry "
      "GLOBAL.DIAG.ALL\n"
      "DIAG_CONFIG_REPORT_MERGEALIAS x19: Merging alias identifier GLOBAL.DIAG.CNX into global "
      "with "
      "value 1\n",
      all);
  LogServer::DeleteInstance();
}

TEST(TlConfigurationTest, MergeIntoAppliesLayersInOrderAndIsIdempotent) {
  TlConfiguration defaults, file, empty, target;
  defaults.AtGlobalPut("GLOBAL.PORT", "3003");
  defaults.AtGlobalPut("GLOBAL.LEVEL", "1");
  file.AtGlobalPut("GLOBAL.PORT", "4500");
  file.AtGlobalPutWithoutAliasing("GLOBAL.DIAG.CNX", "1");
  file.AtGlobalPutWithoutAliasing("GLOBAL.DIAG.CNX.SEND", "0");
  defaults.mergeInto(target);
  file.mergeInto(target);
  const std::string once = Dump(target);
  EXPECT_EQ(4500, target.IntAt("PORT"));
  EXPECT_EQ(1, target.IntAt("LEVEL"));
  EXPECT_FALSE(target.BoolAt("DIAG.CNX.SEND"));  // after its alias, in key order
  EXPECT_TRUE(target.BoolAt("DIAG.CNX.SOCKCLOSE"));
  std::list<std::string> keys;
  target.AllEntries(true, keys);
  EXPECT_EQ(17u, keys.size());
  file.mergeInto(target);
  empty.mergeInto(target);
  EXPECT_EQ(once, Dump(target));
}

TEST(TlConfigurationTest, DebugDumpWritesOneQuotedLinePerEntry) {
  TlConfiguration store;
  store.AtGlobalPut("b", "two words");
  store.AtGlobalPut("a", "");
  testing::internal::CaptureStdout();
  store._DebugDumpAll();
  EXPECT_EQ("'A'=''\n'B'='two words'\n", testing::internal::GetCapturedStdout());
}

TEST(TlConfigurationTest, GlobalInstanceIsMadeOnceAndDeleteGivesAFreshStore) {
  TlConfigurationGlobal::DeleteInstance();
  std::vector<TlConfigurationGlobal*> seen(4);
  std::vector<std::thread> threads;
  for (auto& slot : seen) {
    threads.emplace_back([&slot] { slot = &TlConfigurationGlobal::Instance(); });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(std::vector<TlConfigurationGlobal*>(4, seen[0]), seen);
  EXPECT_EQ(seen[0], TlConfigurationGlobal::oTlConfigurationGlobal.load());
  TlConfigurationGlobal::Instance()->AtPut("K", "v");
  std::string out;
  EXPECT_STREQ("v", TlConfigurationGlobal::Instance()->At("k", out));
  TlConfigurationGlobal::DeleteInstance();
  EXPECT_EQ(nullptr, TlConfigurationGlobal::oTlConfigurationGlobal.load());
  EXPECT_EQ("", Dump(*TlConfigurationGlobal::Instance()));
}

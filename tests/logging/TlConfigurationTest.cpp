#include "CapturingLogDevice.h"
#include "CliParser.h"
#include "ConfigNumber.h"
#include "LogServer.h"
#include "TlConfiguration.h"

namespace {

// The alias DIAG.CNX and the fourteen connection switches it stands for.
const char kCnx[] =
    "DIAG.CNX DIAG.CNX.RECV DIAG.CNX.RECV.SOCKERR DIAG.CNX.RECV.SOCKZERO DIAG.CNX.SELECT.TIMEOUT "
    "DIAG.CNX.SELECT.FAILURE DIAG.CNX.RECV.RECVOK DIAG.CNX.SEND DIAG.CNX.SEND.RETRY "
    "DIAG.CNX.SOCKCLOSE DIAG.CNX.CONNECT DIAG.CNX.ESTABLISH DIAG.CNX.OBJECTAUTH "
    "DIAG.CNX.IDREQUEST.PROCESSED DIAG.CNX.SEND.MUSTRETRY ";
const char kLevels[] = "DIAG.DEBUG.LEVEL1 DIAG.DEBUG.LEVEL2 DIAG.DEBUG.LEVEL3 DIAG.DEBUG.LEVEL4 ";

// Every entry, in key order, one 'KEY'='value' line each.
std::string Dump(const TlConfiguration& store) {
  testing::internal::CaptureStdout();
  store._DebugDumpAll();
  return testing::internal::GetCapturedStdout();
}

// The dump of a store holding each blank-separated name under prefix, put without aliasing.
std::string Expected(const std::string& prefix, const std::string& names, const char* value) {
  std::istringstream in(names);
  TlConfiguration want;
  for (std::string name; in >> name;) {
    want.AtGlobalPutWithoutAliasing(prefix + name, value);
  }
  return Dump(want);
}

TEST(TlConfigurationTest, ScopedKeyWinsOverGlobalBooleansAreOneOnOrYOrTAndAMissingKeyIsThrown) {
  TlConfiguration store;
  store.setScopeName("VIGILD.0.0");
  std::string out;
  store.AtGlobalPut("global.root_directory", "/g");
  EXPECT_STREQ("/g", store.At("root_directory", out));
  store.AtPut("Root_Directory", "/Mixed");
  EXPECT_EQ("'GLOBAL.ROOT_DIRECTORY'='/g'\n'VIGILD.0.0.ROOT_DIRECTORY'='/Mixed'\n", Dump(store));
  EXPECT_STREQ("/Mixed", store.At("root_directory", out));
  try {
    store.At("nope.x", out);
    ADD_FAILURE() << "no throw";
  } catch (const std::string& key) {
    EXPECT_EQ("nope.x", key);
  }
  const std::pair<const char*, bool> cases[] = {
      {"1", true},  {"yes", true},    {"Y", true},   {"t", true},   {"True", true},
      {"on", true}, {"ON", true},     {"0", false},  {"On", false}, {"no", false},
      {"", false},  {"False", false}, {"11", false}, {" y", false}, {"onx", false}};
  for (const auto& [value, flag] : cases) {
    store.AtGlobalPut("GLOBAL.V", value);
    EXPECT_EQ(flag, store.BoolAt("v")) << value;
  }
}

TEST(TlConfigurationTest, ConfFileAndRegistryKeepTheirLinesAndSectionsAndSkipOrCutTheRest) {
  const std::string fits = "fit=" + std::string(1018, 'f');  // 1022 characters
  const std::pair<std::string, std::string> cases[] = {
      {"#x=1\n;x=1\n=12\nabc\na = b\nk=\nCrlf=v\r\nlower.Key=Mixed=Case\tend\nx=",
       "'A '=' b'\n'CRLF'='v'\n'K'=''\n'LOWER.KEY'='Mixed=Case\tend'\n"},
      {"a=1\n" + std::string(1021, 'e') + "=1\nlost=1", "'A'='1'\n"},
      {fits + "\nb=1", "'B'='1'\n'FIT'='" + std::string(1018, 'f') + "'\n"}};
  TempDir dir;
  std::vector<std::string> words = {"vigild", "-f", dir.Join("plain.conf")};
  std::vector<char*> argv = {&words[0][0], &words[1][0], &words[2][0], nullptr};
  for (const auto& [content, expected] : cases) {
    dir.WriteFile("plain.conf", content);
    TlConfiguration store;
    store.setScopeName("S");
    CliParser cli(3, argv.data());
    EXPECT_TRUE(store.initFromConfigurationFile(cli));
    EXPECT_EQ(expected, Dump(store)) << content.substr(0, 20);
  }
  TlConfiguration store;
  CliParser without(2, argv.data());
  EXPECT_FALSE(store.initFromConfigurationFile(without));
  EXPECT_EQ("Missing -f ConfFileName  switch", store.getLastError());
  EXPECT_FALSE(store.initFromFile(dir.Join("missing")));
  EXPECT_EQ("Unable to open file " + dir.Join("missing"), store.getLastError());
  dir.WriteFile("registry.conf",
                "\"Before\"=\"1\"\n"
                "[HKEY\\Brenmoor\\TALVERA-Common\\WatchMgr\\LogManager]\n\"DebugLevel\"=\"3\"\n"
                "# \"Comment\"=\"1\"\nFilePrefix= Mixed \"Case\" \nno equal sign here\n"
                "[Brenmoor\\TALVERA-Common\\WatchMgr]\nPort=a=b\n"
                "[Brenmoor\\TALVERA-Other]\nLost=1\n"
                "[X\\Brenmoor\\TALVERA-Common\\WatchMgr\\A\\B] tail\nk=v\n");
  TlConfiguration registry, none;
  EXPECT_TRUE(registry.initGlobalFromRegistryFile(dir.Join("registry.conf"),
                                                  "Brenmoor\\TALVERA-Common\\WatchMgr"));
  EXPECT_EQ(
      "'GLOBAL.A.B. TAILK'='v'\n'GLOBAL.LOGMANAGER.DEBUGLEVEL'='3'\n"
      "'GLOBAL.LOGMANAGER.FILEPREFIX'=' Mixed Case '\n'GLOBAL.PORT'='a=b'\n",
      Dump(registry));
  // A prefix found only at the start of a header does not open a section.
  EXPECT_TRUE(none.initGlobalFromRegistryFile(dir.Join("registry.conf"), "[Brenmoor"));
  EXPECT_EQ("", Dump(none));
}

TEST(TlConfigurationTest, AliasesExpandUnderThePrefixOfTheirKey) {
  const std::string cnx = kCnx;
  const std::tuple<const char*, const char*, std::string> cases[] = {
      {"GLOBAL.DIAG.ALL", "1", Expected("GLOBAL.", cnx + kLevels + "DIAG.ALL", "1")},
      {"global.diag.debug.level4", "1", Expected("GLOBAL.", cnx + "DIAG.DEBUG.LEVEL4", "1")},
      {"VIGILD.0.0.DIAG.CNX", "0", Expected("VIGILD.0.0.", kCnx, "0")},
      {"DIAG.CNX.RECV", "1", "'DIAG.CNX.RECV'='1'\n"},
      {"DIAG.ALL.X", "1", "'DIAG.ALL.X'='1'\n"}};
  for (const auto& [key, value, expected] : cases) {
    TlConfiguration store;
    store.AtGlobalPut(key, value);
    EXPECT_EQ(expected, Dump(store)) << key;
  }
}

TEST(TlConfigurationTest, AliasStepsAreTracedOnlyWhenTheStoreHoldsTheirSwitch) {
  auto log = CapturingLogDevice::Install(LogServer::Instance());
  TlConfiguration quiet, traced;
  quiet.AtGlobalPut("GLOBAL.DIAG.ALL", "1");
  EXPECT_EQ(0u, log->Count());
  // Any value turns a trace on, under the scoped or the GLOBAL. name.
  traced.setScopeName("S");
  traced.AtGlobalPut("GLOBAL.DIAG.CONFIG.REPORT.ALIAS.FOUND", "0");
  traced.AtPut("DIAG.CONFIG.REPORT.MERGEALIAS", "");
  traced.AtPut("DIAG.CONFIG.REPORT.ALIAS.ADDEXPANSION", "1");
  traced.AtGlobalPut("GLOBAL.DIAG.CONFIG.REPORT.ALIAS.ADDIDENTIFIER", "1");
  traced.AtGlobalPut("GLOBAL.DIAG.ALL", "1");
  const auto records = log->Records();
  ASSERT_EQ(41u, records.size());
  std::string picked;
  for (int i : {0, 1, 5, 40}) {
    picked += records[i].code + ": " + records[i].message +
              (records[i].severity == Info ? "\n" : " (not Info)\n");
  }
  EXPECT_EQ(
      "DIAG_CONFIG_REPORT_ALIAS_FOUND: Found alias DIAG.ALL matching config entry GLOBAL.DIAG.ALL\n"
      "DIAG_CONFIG_REPORT_ALIAS_ADDEXPANSION: Expanding alias GLOBAL.DIAG.DEBUG.LEVEL1\n"
      "DIAG_CONFIG_REPORT_ALIAS_ADDIDENTIFIER: Adding alias identifier GLOBAL.DIAG.DEBUG.LEVEL4 to "
      "expansion with value 1\n"
      "DIAG_CONFIG_REPORT_MERGEALIAS: Merging alias identifier GLOBAL.DIAG.DEBUG.LEVEL4 into "
      "global with value 1\n",
      picked);
  LogServer::DeleteInstance();
}

TEST(TlConfigurationTest, MergeIntoAppliesLayersInOrderAndIsIdempotent) {
  TlConfiguration defaults, file, target;
  defaults.AtGlobalPut("GLOBAL.PORT", "3003");
  defaults.AtGlobalPut("GLOBAL.LEVEL", "1");
  file.AtGlobalPut("GLOBAL.PORT", "4500");
  file.AtGlobalPutWithoutAliasing("GLOBAL.DIAG.CNX", "1");
  file.AtGlobalPutWithoutAliasing("GLOBAL.DIAG.CNX.SEND", "0");
  defaults.mergeInto(target);
  file.mergeInto(target);
  const std::string once = Dump(target);
  // The switch comes after its alias in key order, so its own value wins.
  std::string want = Expected("GLOBAL.", kCnx, "1") + "'GLOBAL.LEVEL'='1'\n'GLOBAL.PORT'='4500'\n";
  EXPECT_EQ(want.replace(want.find("SEND'='1"), 8, "SEND'='0"), once);
  file.mergeInto(target);
  EXPECT_EQ(once, Dump(target));
}

TEST(ConfigNumberTest, OnlyWholeNumbersInRangeAreTakenOtherwiseOneErrorAndTheDefault) {
  auto log = CapturingLogDevice::Install(LogServer::Instance());
  // value, what Read answers for the range 1..65535 with default 3003 (reported as refused)
  const std::pair<const char*, long> cases[] = {
      {"8080", 8080},   {" 42\t", 42},   {"+7", 7},   {"1", 1},
      {"65535", 65535}, {"65536", 3003}, {"0", 3003}, {"-1", 3003},
      {"seven", 3003},  {"7days", 3003}, {"", 3003},  {"0x1f", 3003},
      {"4 2", 3003},    {"1e3", 3003},   {"-", 3003}, {"99999999999999999999", 3003}};
  TlConfiguration store;
  for (const auto& [value, read] : cases) {
    SCOPED_TRACE(value);
    log->Clear();
    store.AtGlobalPut("GLOBAL.WATCHMGR.MANAGERPORT", value);
    EXPECT_EQ(read, ConfigNumber::Read(store, "WATCHMGR.MANAGERPORT", 3003, 1, 65535));
    const std::vector<std::string> refused = {
        "[ConfigNumber] ERROR : WATCHMGR.MANAGERPORT='" + std::string(value) +
        "' is not a whole number from 1 to 65535, the default 3003 is used"};
    EXPECT_EQ(read == 3003 ? refused : std::vector<std::string>{}, log->Messages());
  }
  log->Clear();
  EXPECT_EQ(3003, ConfigNumber::Read(store, "NO.SUCH.KEY", 3003, 1, 65535));
  EXPECT_TRUE(log->Messages().empty());
  LogServer::DeleteInstance();
}

}  // namespace

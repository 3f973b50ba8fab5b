#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include "CliParser.h"
#include "StderrCapture.h"
#include "TempDir.h"
#include "TlConfigurationGlobal.h"
#include "TlVigildConfiguration.h"

namespace {

using Env = std::map<std::string, std::string>;

class TlVigildConfigurationTest : public ::testing::Test {
 protected:
  void SetUp() override { TlConfigurationGlobal::DeleteInstance(); }
  void TearDown() override { TlConfigurationGlobal::DeleteInstance(); }

  static TlConfiguration& Global() { return *TlConfigurationGlobal::Instance(); }

  // Runs the start-up assembly on "vigild" + args with `env` as environment;
  // returns the unique name.
  static std::string Assemble(std::vector<std::string> args, const Env& env) {
    args.insert(args.begin(), "vigild");
    std::vector<char*> argv;
    for (std::string& arg : args) {
      argv.push_back(&arg[0]);
    }
    CliParser cli(static_cast<int>(argv.size()), argv.data());
    TlVigildConfiguration::Layers layers;
    return TlVigildConfiguration::AssembleConfiguration(
        cli, layers, [env](const char* name, std::string& value) {
          auto it = env.find(name);
          if (it == env.end()) {
            return false;
          }
          value = it->second;
          return true;
        });
  }

  // Short-key lookup, "-" when missing.
  static std::string At(const char* key, const TlConfiguration& store = Global()) {
    std::string value;
    return store._At(key, value) ? value : "-";
  }
};

TEST_F(TlVigildConfigurationTest, UniqueNameFromCommandLineThenEnvironmentThenFallback) {
  const Env env12 = {{"TLM_SNMP_COLL_CHANNEL", "1"}, {"TLM_SNMP_COLL_NUMBER", "2"}};
  const struct {
    std::vector<std::string> args;
    Env env;
    const char* name;
  } cases[] = {
      {{"-c", "3", "-l", "7"}, env12, "VIGILD.3.7"},
      {{"-c", "3"}, env12, "VIGILD.1.2"},
      {{"-c", "3"}, {}, "VIGILD.0.0"},
      {{}, {{"TLM_SNMP_COLL_CHANNEL", ""}, {"TLM_SNMP_COLL_NUMBER", "2"}}, "VIGILD.0.0"},
      {{"-a", "X", "-c", "3", "-l", "7"}, {}, "X.3.7"},
  };
  for (const auto& c : cases) {
    TlConfigurationGlobal::DeleteInstance();
    EXPECT_EQ(c.name, Assemble(c.args, c.env));
    EXPECT_EQ(c.name, Global().getScopeName());
  }
}

TEST_F(TlVigildConfigurationTest, LayersStackDefaultsEnvironmentFileCommandLine) {
  TempDir dir;
  dir.WriteFile("plain.conf", "GLOBAL.WATCHMGR.MANAGERPORT=4500\n");
  const Env port4000 = {{"TLM_SNMP_COLL_VIGILDPORT", "4000"}};
  const struct {
    std::vector<std::string> args;
    Env env;
    const char* port;
    const char* debugLevel;
  } cases[] = {
      {{}, {}, "3003", "1"},
      {{"-P", "5000", "-D", "3", "-debug", "4"}, port4000, "5000", "3"},
      {{"-f", dir.Join("plain.conf"), "-d", "2", "-D", "3"}, port4000, "4000", "2"},
      {{"-f", dir.Join("plain.conf"), "-debug", "4"}, {}, "4500", "4"},
  };
  for (const auto& c : cases) {
    TlConfigurationGlobal::DeleteInstance();
    Assemble(c.args, c.env);
    EXPECT_EQ(c.port, At("WATCHMGR.MANAGERPORT"));
    EXPECT_EQ(c.debugLevel, At("LOGMANAGER.DEBUGLEVEL"));
    EXPECT_EQ("DivizAre", At("LOGMANAGER.FILEPREFIX"));
  }
}

TEST_F(TlVigildConfigurationTest, RegistrySectionsAreScopedAndSharedPrefixWins) {
  TempDir dir;
  ASSERT_EQ(0, mkdir(dir.Join("conf").c_str(), 0700));
  dir.WriteFile("conf/registry.conf",
                "[HKLM\\Brenmoor\\TALVERA-WatchMgr\\WatchMgr]\n"
                "\"ManagerPort\"=\"3004\"\n"
                "\"OwnOnly\"=\"a\"\n"
                "[HKLM\\Brenmoor\\TALVERA-Other\\WatchMgr]\n"
                "\"Stray\"=\"x\"\n"
                "[HKLM\\Brenmoor\\TALVERA-Common\\WatchMgr\\WatchMgr]\n"
                "\"ManagerPort\"=\"3005\"\n");
  const std::string name = Assemble({"-c", "3", "-l", "7"}, {{"TLMHOME", dir.path()}});
  std::string value;
  EXPECT_TRUE(Global()._AtGlobal(name + ".WATCHMGR.MANAGERPORT", value));
  EXPECT_EQ("3005", value);
  EXPECT_EQ("a", At("WATCHMGR.OWNONLY"));
  EXPECT_EQ("-", At("WATCHMGR.STRAY"));
  EXPECT_EQ(dir.path() + "/", At("ROOT_DIRECTORY"));

  // An explicit CONF_DIRECTORY is used and stored back with its '/'.
  TlConfiguration layer;
  Global().AtGlobalPut("GLOBAL.CONF_DIRECTORY", dir.Join("conf"));
  EXPECT_TRUE(
      TlVigildConfiguration::BuildRegistryConfiguration(layer, "Brenmoor\\TALVERA-WatchMgr"));
  EXPECT_EQ(dir.Join("conf/"), At("CONF_DIRECTORY", layer));
  EXPECT_EQ("3004", At("WATCHMGR.MANAGERPORT", layer));
}

TEST_F(TlVigildConfigurationTest, ValidationReportsEachMissingKeyAndCompletesDirectories) {
  const char kMissing[] =
      "[TlVigildConfiguration::ValidateConfiguration] ERROR, missing required configuration: ";
  Assemble({}, {});
  StderrCapture noRoot;
  EXPECT_FALSE(TlVigildConfiguration::ValidateConfiguration(Global()));
  EXPECT_EQ(std::string(kMissing) + "ROOT_DIRECTORY\n", noRoot.Stop());
  EXPECT_EQ("log/", At("LOGMANAGER.LOGDIR"));
  EXPECT_EQ("conf/", At("CONF_DIRECTORY"));

  TlConfigurationGlobal::DeleteInstance();
  Assemble({}, {{"TLMHOME", "/opt/tlm"}});
  StderrCapture complete;
  EXPECT_TRUE(TlVigildConfiguration::ValidateConfiguration(Global()));
  EXPECT_EQ("", complete.Stop());
  EXPECT_EQ("/opt/tlm/", At("ROOT_DIRECTORY"));
  EXPECT_EQ("/opt/tlm/log/", At("LOGMANAGER.LOGDIR"));
  EXPECT_EQ("/opt/tlm/conf/", At("CONF_DIRECTORY"));

  TlConfiguration empty;
  empty.setScopeName("VIGILD.0.0");
  empty.AtPut("LOGMANAGER.LOGDIR", "/var/l");
  StderrCapture both;
  EXPECT_FALSE(TlVigildConfiguration::ValidateConfiguration(empty));
  EXPECT_EQ(std::string(kMissing) + "ROOT_DIRECTORY\n" + kMissing + "WATCHMGR.MANAGERPORT\n",
            both.Stop());
  EXPECT_EQ("/var/l/", At("LOGMANAGER.LOGDIR", empty));
}

TEST_F(TlVigildConfigurationTest, UnreadableFileIsReportedAndOtherLayersStillApply) {
  StderrCapture capture;
  Assemble({"-f", "/nonexistent/vigild.conf", "-P", "5000"}, {{"TLMHOME", "/opt/tlm"}});
  EXPECT_EQ(
      "[vigild::main] ERROR, missing or invalid configuration file '/nonexistent/vigild.conf'\n",
      capture.Stop());
  EXPECT_EQ("5000", At("WATCHMGR.MANAGERPORT"));
  EXPECT_EQ("/opt/tlm", At("ROOT_DIRECTORY"));
  EXPECT_EQ("7", At("LOGMANAGER.MAXFILERETENTIONDAYS"));
}

TEST_F(TlVigildConfigurationTest, UsageTextIsExact) {
  const char kGolden[] =
      "Usage: vigild [-c ChannelNumber] [-l CollectorNumber] [-f ConfigurationFile]\n"
      " accepted arguments : \n"
      "   -c ChannelNumber                     // if missing $TLM_SNMP_COLL_CHANNEL is used "
      "instead\n"
      "   -l CollectorNumber                   // if missing $TLM_SNMP_COLL_NUMBER is used "
      "instead\n"
      "   [-f ConfigurationFile]               // if missing $TLMHOME/conf/registry.conf is used "
      "as template\n"
      "  -{d|D|debug} debugLevel\n"
      "   [-P portNumber]                      // if missing $TLM_SNMP_COLL_VIGILDPORT is used "
      "instead\n";
  StdoutCapture capture;
  TlVigildConfiguration::showUsage();
  EXPECT_EQ(kGolden, capture.Stop());
}

}  // namespace

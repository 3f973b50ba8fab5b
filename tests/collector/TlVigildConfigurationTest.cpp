#include "CliParser.h"
#include "StderrCapture.h"
#include "TestCommon.h"
#include "TlConfigurationGlobal.h"
#include "TlVigildConfiguration.h"

namespace {

using Env = std::map<std::string, std::string>;

class TlVigildConfigurationTest : public ::testing::Test {
 protected:
  void TearDown() override { TlConfigurationGlobal::DeleteInstance(); }

  static TlConfiguration& Global() { return *TlConfigurationGlobal::Instance(); }

  // Assembles "vigild" + args into a fresh global store with `env`; returns the unique name.
  static std::string Assemble(std::vector<std::string> args, const Env& env) {
    TlConfigurationGlobal::DeleteInstance();
    std::vector<char*> argv = {const_cast<char*>("vigild")};
    for (std::string& arg : args) {
      argv.push_back(&arg[0]);
    }
    CliParser cli(static_cast<int>(argv.size()), argv.data());
    TlVigildConfiguration::Layers layers;
    return TlVigildConfiguration::AssembleConfiguration(
        cli, layers, [env](const char* name, std::string& value) {
          auto it = env.find(name);
          value = it != env.end() ? it->second : value;
          return it != env.end();
        });
  }

  // Short-key lookup, "-" when missing.
  static std::string At(const char* key, const TlConfiguration& store = Global()) {
    std::string value;
    return store._At(key, value) ? value : "-";
  }
};

// The registry is read from two sections, the shared one last; other sections are left alone.
TEST_F(TlVigildConfigurationTest, NameAndLayersComeFromCommandLineEnvironmentFileAndDefaults) {
  TempDir dir;
  dir.WriteFile("plain.conf", "GLOBAL.WATCHMGR.MANAGERPORT=4500\n");
  ASSERT_EQ(0, mkdir(dir.Join("conf").c_str(), 0700));
  dir.WriteFile(
      "conf/registry.conf",
      "[HKLM\\Brenmoor\\TALVERA-WatchMgr\\WatchMgr]\n\"ManagerPort\"=\"3004\"\n\"OwnOnly\"=\"a\"\n"
      "[HKLM\\Brenmoor\\TALVERA-Other\\WatchMgr]\n\"Stray\"=\"x\"\n"
      "[HKLM\\Brenmoor\\TALVERA-Common\\WatchMgr\\WatchMgr]\n\"ManagerPort\"=\"3005\"\n");
  const std::string file = dir.Join("plain.conf");
  const Env env = {{"TLM_SNMP_COLL_CHANNEL", "1"},
                   {"TLM_SNMP_COLL_NUMBER", "2"},
                   {"TLM_SNMP_COLL_VIGILDPORT", "4000"}};
  const Env home = {{"TLMHOME", dir.path()}};
  const std::tuple<std::vector<std::string>, Env, const char*> cases[] = {
      {{}, {}, "VIGILD.0.0 3003 1 -"},
      {{"-c", "3", "-l", "7", "-P", "5000", "-D", "3", "-debug", "4"}, env, "VIGILD.3.7 5000 3 -"},
      {{"-c", "3", "-f", file, "-d", "2", "-D", "3"}, env, "VIGILD.1.2 4000 2 -"},
      {{"-f", file, "-debug", "4"}, {}, "VIGILD.0.0 4500 4 -"},
      {{}, {{"TLM_SNMP_COLL_CHANNEL", ""}, {"TLM_SNMP_COLL_NUMBER", "2"}}, "VIGILD.0.0 3003 1 -"},
      {{"-c", "3", "-l", "7"}, home, "VIGILD.3.7 3005 1 a"},
      {{"-P", "5000"}, home, "VIGILD.0.0 5000 1 a"},
  };
  for (const auto& [args, environment, nameThenPortDebugLevelOwnOnly] : cases) {
    const std::string name = Assemble(args, environment);
    EXPECT_EQ(nameThenPortDebugLevelOwnOnly, name + " " + At("WATCHMGR.MANAGERPORT") + " " +
                                                 At("LOGMANAGER.DEBUGLEVEL") + " " +
                                                 At("WATCHMGR.OWNONLY"));
    EXPECT_EQ(name, Global().getScopeName());
  }
  EXPECT_EQ("-", At("WATCHMGR.STRAY"));
}

TEST_F(TlVigildConfigurationTest, ValidationReportsEachMissingKeyAndCompletesDirectories) {
  const std::string kMissing =
      "[TlVigildConfiguration::ValidateConfiguration] ERROR, missing required configuration: ";
  Assemble({"-f", "/dev/null"}, {{"TLMHOME", "/opt/tlm"}});  // no registry, which ends it with /
  StderrCapture complete;
  EXPECT_TRUE(TlVigildConfiguration::ValidateConfiguration(Global()));
  EXPECT_EQ("", complete.Stop());
  EXPECT_EQ("/opt/tlm/ /opt/tlm/log/ /opt/tlm/conf/",
            At("ROOT_DIRECTORY") + " " + At("LOGMANAGER.LOGDIR") + " " + At("CONF_DIRECTORY"));

  TlConfiguration empty;
  empty.setScopeName("VIGILD.0.0");
  empty.AtPut("LOGMANAGER.LOGDIR", "/var/l");
  StderrCapture both;
  EXPECT_FALSE(TlVigildConfiguration::ValidateConfiguration(empty));
  EXPECT_EQ(kMissing + "ROOT_DIRECTORY\n" + kMissing + "WATCHMGR.MANAGERPORT\n", both.Stop());
  EXPECT_EQ("/var/l/", At("LOGMANAGER.LOGDIR", empty));
}

}  // namespace

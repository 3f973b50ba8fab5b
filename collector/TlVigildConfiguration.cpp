#include "TlVigildConfiguration.h"

#include <cstdlib>
#include <iostream>

#include "CliParser.h"
#include "TlConfigurationGlobal.h"

namespace {

const char kApplication[] = "VIGILD";
const char kFallbackName[] = "VIGILD.0.0";

// The daemon's own sections first, then those it shares with the rest of the
// product, so that the shared ones win where both set a key.
const char kOwnSections[] = "Brenmoor\\TALVERA-WatchMgr";
const char kSharedSections[] = "Brenmoor\\TALVERA-Common\\WatchMgr";

const char kMissingKey[] =
    "[TlVigildConfiguration::ValidateConfiguration] ERROR, missing required configuration: ";

// Puts `key` when the switch is present with a value.
void PutOption(CliParser& cli, const char* name, const char* key, TlConfiguration& layer) {
  std::string value;
  if (cli.optionOne(name, value)) {
    layer.AtPut(key, value);
  }
}

}  // namespace

bool TlVigildConfiguration::ProcessEnvironment(const char* name, std::string& value) {
  const char* text = std::getenv(name);
  if (text == nullptr) {
    return false;
  }
  value = text;
  return true;
}

TlVigildConfiguration::Layers::Layers()
    : defaults(new TlConfiguration()),
      environment(new TlConfiguration()),
      fileOrRegistry(new TlConfiguration()),
      commandLine(new TlConfiguration()) {}

bool TlVigildConfiguration::_EndWithSlash(std::string& directory) {
  if (directory.empty() || directory.back() == '/') {
    return false;
  }
  directory += '/';
  return true;
}

bool TlVigildConfiguration::UniqueNameFromCLI(CliParser& cli, std::string& name) {
  std::string application = kApplication;
  std::string channel;
  std::string collector;
  cli.optionOne("a", application);
  cli.optionOne("c", channel);
  cli.optionOne("l", collector);
  if (application.empty() || channel.empty() || collector.empty()) {
    return false;
  }
  name = application + "." + channel + "." + collector;
  return true;
}

bool TlVigildConfiguration::UniqueNameFromENV(std::string& name, const EnvironmentLookup& env) {
  std::string channel;
  std::string collector;
  if (!env("TLM_SNMP_COLL_CHANNEL", channel) || !env("TLM_SNMP_COLL_NUMBER", collector)) {
    return false;
  }
  if (channel.empty() || collector.empty()) {
    return false;
  }
  name = std::string(kApplication) + "." + channel + "." + collector;
  return true;
}

void TlVigildConfiguration::BuildDefaultConfiguration(TlConfiguration& layer) {
  layer.AtGlobalPut("GLOBAL.WATCHMGR.MANAGERPORT", "3003");
  layer.AtGlobalPut("GLOBAL.LOGMANAGER.DEBUGLEVEL", "1");
  layer.AtGlobalPut("GLOBAL.LOGMANAGER.CREATEFILES", "0");
  layer.AtGlobalPut("GLOBAL.LOGMANAGER.FILEPREFIX", "DivizAre");
  layer.AtGlobalPut("GLOBAL.LOGMANAGER.MAXFILERETENTIONDAYS", "7");
}

void TlVigildConfiguration::BuildENVConfiguration(TlConfiguration& layer,
                                                  const EnvironmentLookup& env) {
  static const char* const kVariables[][2] = {
      {"TLMHOME", "ROOT_DIRECTORY"},
      {"TLM_SNMP_COLL_VIGILDPORT", "WATCHMGR.MANAGERPORT"},
      {"TLM_SNMP_COLL_NUMBER", "TUNING.COLLECTORNUMBER"},
      {"TLM_SNMP_COLL_CHANNEL", "TUNING.CHANNELNUMBER"},
  };
  for (const auto& variable : kVariables) {
    std::string value;
    if (env(variable[0], value)) {
      layer.AtPut(variable[1], value);
    }
  }
}

bool TlVigildConfiguration::BuildRegistryConfiguration(TlConfiguration& layer,
                                                       const std::string& sectionPrefix) {
  const TlConfiguration& global = *TlConfigurationGlobal::Instance();
  std::string directory;
  if (global._At("CONF_DIRECTORY", directory)) {
    if (_EndWithSlash(directory)) {
      layer.AtPut("CONF_DIRECTORY", directory);
    }
  } else if (global._At("ROOT_DIRECTORY", directory)) {
    if (_EndWithSlash(directory)) {
      layer.AtPut("ROOT_DIRECTORY", directory);
    }
    directory += "conf/";
  } else {
    return false;
  }
  return layer.initScopedFromRegistryFile(directory + "registry.conf", sectionPrefix);
}

void TlVigildConfiguration::BuildCLIConfiguration(CliParser& cli, TlConfiguration& layer) {
  PutOption(cli, "c", "TUNING.CHANNELNUMBER", layer);
  PutOption(cli, "l", "TUNING.COLLECTORNUMBER", layer);
  std::string level;
  if (cli.optionOne("d", level) || cli.optionOne("D", level) || cli.optionOne("debug", level)) {
    layer.AtPut("LOGMANAGER.DEBUGLEVEL", level);
  }
  PutOption(cli, "P", "WATCHMGR.MANAGERPORT", layer);
}

std::string TlVigildConfiguration::AssembleConfiguration(CliParser& cli, Layers& layers,
                                                         const EnvironmentLookup& env) {
  TlConfiguration& global = *TlConfigurationGlobal::Instance();
  std::string name;
  if (!UniqueNameFromCLI(cli, name) && !UniqueNameFromENV(name, env)) {
    name = kFallbackName;
  }
  global.setScopeName(name);
  layers.defaults->setScopeName(name);
  layers.fileOrRegistry->setScopeName(name);
  layers.commandLine->setScopeName(name);
  layers.environment->setScopeName(name);

  BuildDefaultConfiguration(*layers.defaults);
  layers.defaults->mergeInto(global);
  BuildENVConfiguration(*layers.environment, env);
  layers.environment->mergeInto(global);

  std::string fileName;
  if (cli.optionOne("f", fileName)) {
    if (layers.fileOrRegistry->initFromFile(fileName)) {
      layers.fileOrRegistry->mergeInto(global);
    } else {
      std::cerr << "[vigild::main] ERROR, missing or invalid configuration file '" << fileName
                << "'" << std::endl;
    }
  } else {
    BuildRegistryConfiguration(*layers.fileOrRegistry, kOwnSections);
    BuildRegistryConfiguration(*layers.fileOrRegistry, kSharedSections);
    layers.fileOrRegistry->mergeInto(global);
  }

  BuildCLIConfiguration(cli, *layers.commandLine);
  layers.commandLine->mergeInto(global);
  return name;
}

bool TlVigildConfiguration::ValidateConfiguration(TlConfiguration& global) {
  bool valid = true;
  std::string root;
  if (!global._At("ROOT_DIRECTORY", root)) {
    std::cerr << kMissingKey << "ROOT_DIRECTORY" << std::endl;
    valid = false;
  } else if (_EndWithSlash(root)) {
    global.AtPut("ROOT_DIRECTORY", root);
  }

  std::string port;
  if (!global._At("WATCHMGR.MANAGERPORT", port)) {
    std::cerr << kMissingKey << "WATCHMGR.MANAGERPORT" << std::endl;
    valid = false;
  }

  static const char* const kDirectories[][2] = {
      {"LOGMANAGER.LOGDIR", "log/"},
      {"CONF_DIRECTORY", "conf/"},
  };
  for (const auto& entry : kDirectories) {
    std::string directory;
    if (!global._At(entry[0], directory)) {
      global.AtPut(entry[0], root + entry[1]);
    } else if (_EndWithSlash(directory)) {
      global.AtPut(entry[0], directory);
    }
  }
  return valid;
}

std::string TlVigildConfiguration::UsageText() {
  return "Usage: vigild [-c ChannelNumber] [-l CollectorNumber] [-f ConfigurationFile]\n"
         " accepted arguments : \n"
         "   -c ChannelNumber                     // if missing $TLM_SNMP_COLL_CHANNEL is used "
         "instead\n"
         "   -l CollectorNumber                   // if missing $TLM_SNMP_COLL_NUMBER is used "
         "instead\n"
         "   [-f ConfigurationFile]               // if missing $TLMHOME/conf/registry.conf is "
         "used as template\n"
         "  -{d|D|debug} debugLevel\n"
         "   [-P portNumber]                      // if missing $TLM_SNMP_COLL_VIGILDPORT is used "
         "instead\n";
}

void TlVigildConfiguration::showUsage() { std::cout << UsageText() << std::flush; }

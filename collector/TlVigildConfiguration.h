// TlVigildConfiguration: the daemon's own configuration rules: how its unique
// process name is formed, the built-in defaults, the environment variables and
// command-line switches that set its keys, the reading of its registry.conf
// sections, the stacking of the layers into the global store, the checks made
// before start-up and the usage text.
//
// Static functions only; the layer stores belong to the caller (main keeps a
// Layers object for its whole run). One thread at a time: everything here runs
// on the main thread before any second thread starts.
#ifndef VIGILD_COLLECTOR_TLVIGILDCONFIGURATION_H
#define VIGILD_COLLECTOR_TLVIGILDCONFIGURATION_H

#include <functional>
#include <string>

#include "Handle.h"
#include "TlConfiguration.h"

class CliParser;

class TlVigildConfiguration {
 public:
  // Answers the value of an environment variable; false when it is not set.
  // The daemon reads the process environment; tests pass their own table.
  using EnvironmentLookup = std::function<bool(const char* name, std::string& value)>;
  // The process environment, through getenv.
  static bool ProcessEnvironment(const char* name, std::string& value);

  // The four layer stores, each created empty on the heap.
  struct Layers {
    Layers();
    Handle<TlConfiguration> defaults;
    Handle<TlConfiguration> environment;
    Handle<TlConfiguration> fileOrRegistry;
    Handle<TlConfiguration> commandLine;
  };

  TlVigildConfiguration() {}
  ~TlVigildConfiguration() {}

  // "VIGILD" (or -a) + "." + -c + "." + -l when all three are non-empty;
  // otherwise false with `name` untouched.
  static bool UniqueNameFromCLI(CliParser& cli, std::string& name);
  // "VIGILD." + channel + "." + collector number from the environment, when
  // both are set and non-empty; otherwise false with `name` untouched.
  static bool UniqueNameFromENV(std::string& name,
                                const EnvironmentLookup& env = ProcessEnvironment);

  static void BuildDefaultConfiguration(TlConfiguration& layer);
  static void BuildENVConfiguration(TlConfiguration& layer,
                                    const EnvironmentLookup& env = ProcessEnvironment);
  // Reads the sections under sectionPrefix of the registry.conf that the
  // global store's CONF_DIRECTORY or ROOT_DIRECTORY points at, with scoped
  // puts. False when the file cannot be located or opened.
  static bool BuildRegistryConfiguration(TlConfiguration& layer, const std::string& sectionPrefix);
  static void BuildCLIConfiguration(CliParser& cli, TlConfiguration& layer);

  // The whole start-up sequence short of validation: forms the unique name,
  // scopes the global store (TlConfigurationGlobal, created if needed) and the
  // layers with it, then builds and merges the default, environment,
  // -f file or registry, and command-line layers in that order. An unreadable
  // -f file is reported on stderr and its layer left out. Returns the name.
  static std::string AssembleConfiguration(CliParser& cli, Layers& layers,
                                           const EnvironmentLookup& env = ProcessEnvironment);

  // Checks the keys the daemon cannot start without, reporting each missing
  // one on stderr, and completes the directory keys. False when one is
  // missing.
  static bool ValidateConfiguration(TlConfiguration& global);

  // The usage text, every line ended by a newline.
  static std::string UsageText();
  // Writes UsageText() to stdout.
  static void showUsage();

 private:
  // Appends the missing trailing '/' to a non-empty directory value.
  static bool _EndWithSlash(std::string& directory);
};

#endif  // VIGILD_COLLECTOR_TLVIGILDCONFIGURATION_H

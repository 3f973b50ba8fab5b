// The command-line parsers: the input is an argument vector, arguments
// separated by NUL bytes (the first is the program name). Both parsers answer
// the daemon's questions on it, then the daemon's command-line layer and
// unique name are built from it. The configuration file switch is renamed
// before the layers are assembled, so that no fuzzed path is ever opened:
// the file readers have targets of their own.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "ArgOpt.h"
#include "CliParser.h"
#include "TlConfiguration.h"
#include "TlConfigurationGlobal.h"
#include "TlVigildConfiguration.h"

namespace {

const char* const kSwitches[] = {"-v", "-?", "-help", "-usage", "-trace", "-c", "-l", "-a",
                                 "-f", "-d", "-D",    "-debug", "-P",     "-",  ""};

bool NoEnvironment(const char*, std::string&) { return false; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Every argument is a copy of its own, so that reading past one shows.
  std::vector<std::vector<char>> storage;
  size_t start = 0;
  for (size_t i = 0; i <= size; ++i) {
    if (i == size || data[i] == 0) {
      storage.emplace_back(data + start, data + i);
      storage.back().push_back('\0');
      start = i + 1;
    }
  }
  std::vector<char*> argv;
  for (auto& argument : storage) {
    if (strcmp(argument.data(), "-f") == 0) {
      argument[1] = 'F';
    }
    argv.push_back(argument.data());
  }
  const int argc = static_cast<int>(argv.size());
  argv.push_back(nullptr);

  ArgOpt arguments(argc, argv.data());
  for (const char* name : kSwitches) {
    arguments.GetPosition(name);
    arguments.IsPresent(name);
    arguments.GetValue(name);
    arguments.GetValue2(name);
    arguments.GetValue3(name);
  }
  for (int i = -1; i <= argc; ++i) {
    arguments[i];
  }

  CliParser parser(argc, argv.data());
  std::string text;
  bool flag = false;
  parser.discreteFlag("v");
  parser.discreteFlag("trace");
  parser.discreteSwitch("help", flag, false);
  parser.optionOne("D", text);
  parser.printCommandLineArguments(text, 0);
  parser.printCommandLineArguments(text, argc);

  TlConfiguration layer;
  TlVigildConfiguration::BuildCLIConfiguration(parser, layer);
  std::string name;
  TlVigildConfiguration::UniqueNameFromCLI(parser, name);
  {
    TlVigildConfiguration::Layers layers;
    TlVigildConfiguration::AssembleConfiguration(parser, layers, NoEnvironment);
    TlConfigurationGlobal::Instance()->IntAtIfMissing("WATCHMGR.MANAGERPORT", 3003);
    TlConfigurationGlobal::DeleteInstance();
  }
  while (parser.popUnreadToken(text)) {
  }
  return 0;
}

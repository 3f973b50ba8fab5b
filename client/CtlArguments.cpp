#include "CtlArguments.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <set>

#include "HealthCheck.h"

namespace {

// Decimal digits only (no sign, blanks or suffix), within [minimum, maximum].
bool Number(const std::string& text, long minimum, long maximum, int* out) {
  if (text.empty() || text.size() > 10 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const long value = strtol(text.c_str(), nullptr, 10);
  if (value < minimum || value > maximum) {
    return false;
  }
  *out = static_cast<int>(value);
  return true;
}

// The options each verb accepts, besides --host, --port and --help.
const std::set<std::string>& Allowed(CtlArguments::Verb verb) {
  static const std::set<std::string> watch{"pid",     "name",     "start",     "stop",  "wdfreq",
                                           "maxwset", "minwset", "wsetincr", "maxerrors", "socket"};
  static const std::set<std::string> beat{"pid", "wset", "nomwset", "errors", "socket"};
  static const std::set<std::string> forget{"pid", "socket"};
  static const std::set<std::string> run{
      "name",    "wdfreq", "maxwset", "minwset",     "wsetincr",      "nomwset",
      "restart", "socket", "env",     "chdir",       "check",         "check-every",
      "check-timeout",     "check-failures",         "check-grace", "output", "log",
      "log-size", "log-keep", "maxerrors"};
  static const std::set<std::string> control{"socket", "status-file"};
  static const std::set<std::string> reload{"socket"};
  static const std::set<std::string> logs{"lines", "follow", "log-dir"};
  static const std::set<std::string> status{"json", "status-file", "check"};
  static const std::set<std::string> reset{"socket", "status-file"};
  static const std::set<std::string> none;
  switch (verb) {
    case CtlArguments::kWatch:
      return watch;
    case CtlArguments::kBeat:
      return beat;
    case CtlArguments::kForget:
      return forget;
    case CtlArguments::kRun:
      return run;
    case CtlArguments::kStatus:
      return status;
    case CtlArguments::kReset:
      return reset;
    case CtlArguments::kStop:
    case CtlArguments::kStart:
    case CtlArguments::kRestart:
      return control;
    case CtlArguments::kReload:
      return reload;
    case CtlArguments::kLogs:
      return logs;
    default:
      return none;
  }
}

bool Fail(std::string* error, const std::string& text) {
  *error = text;
  return false;
}

// A portable variable name: letters, digits and '_', not starting with a
// digit.
bool VariableName(const std::string& name) {
  if (name.empty() || (name[0] >= '0' && name[0] <= '9')) {
    return false;
  }
  for (char c : name) {
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) {
      return false;
    }
  }
  return true;
}

// One --env word as "NAME=VALUE", a bare NAME taking this process's value.
bool EnvEntry(const std::string& word, std::set<std::string>* names, std::string* entry,
              std::string* error) {
  const size_t equals = word.find('=');
  const std::string name = word.substr(0, equals);
  if (!VariableName(name)) {
    return Fail(error, "invalid --env '" + word +
                           "': the name must be letters, digits and '_', not starting with a digit");
  }
  if (!names->insert(name).second) {
    return Fail(error, "--env " + name + " given twice");
  }
  std::string value;
  if (equals != std::string::npos) {
    value = word.substr(equals + 1);
  } else {
    const char* caller = getenv(name.c_str());
    if (caller == nullptr) {
      return Fail(error, "--env " + name + ": " + name + " is not set here");
    }
    value = caller;
  }
  if (value.find_first_of("\n\r") != std::string::npos) {
    return Fail(error, "--env " + name + ": the value holds a line feed or carriage return");
  }
  *entry = name + "=" + value;
  return true;
}

}  // namespace

std::string CtlArguments::DefaultSocket(const char* tlmhome) {
  if (tlmhome != nullptr && *tlmhome != '\0') {
    std::string home(tlmhome);
    if (home.back() != '/') {
      home += '/';
    }
    return home + "run/vigild.sock";
  }
  return "/run/vigild/vigild.sock";
}

std::string CtlArguments::DefaultLogDir(const char* tlmhome) {
  if (tlmhome != nullptr && *tlmhome != '\0') {
    std::string home(tlmhome);
    if (home.back() != '/') {
      home += '/';
    }
    return home + "log/programs";
  }
  return "/var/log/vigild/programs";
}

namespace {

// Verbs whose one argument is a program name.
bool Named(CtlArguments::Verb verb) {
  return verb == CtlArguments::kReset || verb == CtlArguments::kStop ||
         verb == CtlArguments::kStart || verb == CtlArguments::kRestart ||
         verb == CtlArguments::kLogs;
}

}  // namespace

const char* CtlArguments::RestartName(Restart restart) {
  return restart == kAlways ? "always" : restart == kNever ? "never" : "on-failure";
}

std::string CtlArguments::Usage() {
  return "usage: vigilctl watch --pid N --name NAME --start CMD --stop CMD [--wdfreq S]\n"
         "                      [--maxwset KB] [--minwset KB] [--wsetincr PCT] [--maxerrors N]\n"
         "       vigilctl beat --pid N [--wset KB] [--nomwset KB] [--errors N]\n"
         "       vigilctl forget --pid N\n"
         "       vigilctl run [--name NAME] [--wdfreq S] [--maxwset KB]\n"
         "                    [--minwset KB --wsetincr PCT --nomwset KB]\n"
         "                    [--restart on-failure|always|never] [--chdir DIR]\n"
         "                    [--env NAME[=VALUE]]... [--check URL [--check-every S]\n"
         "                    [--check-timeout S] [--check-failures N] [--check-grace S]]\n"
         "                    [--output inherit|null|log --log FILE [--log-size BYTES]\n"
         "                    [--log-keep N]] -- CMD [ARGS...]\n"
         "       vigilctl status [--json | --check NAME] [--status-file FILE]\n"
         "       vigilctl reset NAME [--status-file FILE]\n"
         "       vigilctl stop|start|restart NAME [--status-file FILE]\n"
         "       vigilctl reload\n"
         "       vigilctl logs NAME [-n LINES] [-f] [--log-dir DIR]\n"
         "--check URL: http://HOST[:PORT]/PATH, tcp://HOST:PORT or exec:COMMAND\n"
         "every verb also takes --host HOST (default 127.0.0.1), --port PORT (default\n"
         "$TLM_SNMP_COLL_VIGILDPORT, else 3003) and --help; watch, beat, forget, run\n"
         "reset, stop, start, restart and reload take --socket PATH (default $TLMHOME/run/vigild.sock, else\n"
         "/run/vigild/vigild.sock; used when it exists, else TCP; empty: TCP only)\n";
}

bool CtlArguments::Parse(int argc, const char* const* argv, const char* envPort, CtlArguments* out,
                         std::string* error) {
  CtlArguments parsed;
  if (envPort != nullptr && *envPort != '\0' && !Number(envPort, 1, 65535, &parsed.port)) {
    return Fail(error, std::string("invalid TLM_SNMP_COLL_VIGILDPORT '") + envPort + "'");
  }
  int i = 1;
  if (i < argc && (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0)) {
    parsed.help = true;
    *out = parsed;
    return true;
  }
  if (i >= argc) {
    return Fail(error, "no verb given");
  }
  static const std::pair<const char*, Verb> kVerbs[] = {
      {"watch", kWatch}, {"beat", kBeat},     {"forget", kForget},
      {"run", kRun},     {"status", kStatus}, {"reset", kReset},
      {"stop", kStop},   {"start", kStart},   {"restart", kRestart},
      {"reload", kReload}, {"logs", kLogs}};
  for (const auto& verb : kVerbs) {
    if (strcmp(argv[i], verb.first) == 0) {
      parsed.verb = verb.second;
    }
  }
  if (parsed.verb == kNone) {
    return Fail(error, std::string("unknown verb '") + argv[i] + "'");
  }
  ++i;

  std::set<std::string> seen;
  std::set<std::string> envNames;
  for (; i < argc; ++i) {
    std::string argument = argv[i];
    if (parsed.verb == kLogs && (argument == "-n" || argument == "-f")) {
      argument = argument == "-n" ? "--lines" : "--follow";
    }
    if (argument == "--") {
      ++i;
      break;
    }
    if (argument.compare(0, 2, "--") != 0) {
      if (parsed.verb == kRun) {
        break;  // the program starts here
      }
      if (Named(parsed.verb) && parsed.name.empty() && !argument.empty()) {
        parsed.name = argument;
        continue;
      }
      return Fail(error, "unexpected argument '" + argument + "'");
    }
    std::string name = argument.substr(2);
    std::string value;
    bool hasValue = false;
    const size_t equals = name.find('=');
    if (equals != std::string::npos) {
      value = name.substr(equals + 1);
      name = name.substr(0, equals);
      hasValue = true;
    }
    if (name == "help") {
      parsed.help = true;
      continue;
    }
    const bool common = name == "host" || name == "port";
    if (!common && Allowed(parsed.verb).count(name) == 0) {
      return Fail(error, "unknown option '--" + name + "'");
    }
    if (name == "json" || name == "follow") {
      if (hasValue) {
        return Fail(error, "--" + name + " takes no value");
      }
      (name == "json" ? parsed.json : parsed.follow) = true;
      continue;
    }
    if (!hasValue) {
      if (i + 1 >= argc) {
        return Fail(error, "--" + name + " needs a value");
      }
      value = argv[++i];
    }
    if (name == "env") {
      std::string entry;
      if (!EnvEntry(value, &envNames, &entry, error)) {
        return false;
      }
      parsed.env.push_back(entry);
      continue;
    }
    if (!seen.insert(name).second) {
      return Fail(error, "--" + name + " given twice");
    }
    struct CheckOption {
      const char* name;
      int* field;
      long minimum, maximum;
      const char* unit;
    };
    const CheckOption kChecks[] = {
        {"check-every", &parsed.checkEvery, 1, 86400, "seconds"},
        {"check-timeout", &parsed.checkTimeout, 1, 3600, "seconds"},
        {"check-failures", &parsed.checkFailures, 1, 1000, "failures"},
        {"check-grace", &parsed.checkGrace, 0, 86400, "seconds"},
        {"log-size", &parsed.logSize, 4096, INT_MAX, "bytes"},
        {"log-keep", &parsed.logKeep, 0, 1000, "files"},
        {"lines", &parsed.lines, 0, 1000000, "lines"}};
    bool checkNumber = false;
    for (const CheckOption& option : kChecks) {
      if (name == option.name) {
        checkNumber = true;
        if (!Number(value, option.minimum, option.maximum, option.field)) {
          return Fail(error, "invalid value '" + value + "' for --" + name + ": a whole number of " +
                                 option.unit + " from " + std::to_string(option.minimum) +
                                 " to " + std::to_string(option.maximum));
        }
      }
    }
    if (checkNumber) {
      continue;
    }
    struct NumberOption {
      const char* name;
      int* field;
      long minimum;
    };
    const NumberOption kNumbers[] = {{"pid", &parsed.pid, 1},
                                     {"port", &parsed.port, 1},
                                     {"wdfreq", &parsed.wdfreq, 0},
                                     {"maxwset", &parsed.maxwset, 0},
                                     {"minwset", &parsed.minwset, 0},
                                     {"wsetincr", &parsed.wsetincr, 0},
                                     {"maxerrors", &parsed.maxerrors, 0},
                                     {"wset", &parsed.wset, 0},
                                     {"nomwset", &parsed.nomwset, 0},
                                     {"errors", &parsed.errors, 0}};
    bool numeric = false;
    for (const NumberOption& option : kNumbers) {
      if (name == option.name) {
        numeric = true;
        const long maximum = name == "port" ? 65535 : INT_MAX;
        if (!Number(value, option.minimum, maximum, option.field)) {
          return Fail(error, "invalid value '" + value + "' for --" + name);
        }
      }
    }
    if (numeric) {
      continue;
    }
    if (name == "host") {
      if (value.empty()) {
        return Fail(error, "--host needs a value");
      }
      parsed.host = value;
      parsed.hostGiven = true;
    } else if (name == "name") {
      parsed.name = value;
    } else if (name == "start") {
      parsed.start = value;
    } else if (name == "stop") {
      parsed.stop = value;
    } else if (name == "status-file") {
      parsed.statusFile = value;
    } else if (name == "socket") {
      parsed.socketPath = value;
      parsed.socketGiven = true;
    } else if (name == "chdir") {
      if (value.empty()) {
        return Fail(error, "--chdir needs a directory");
      }
      parsed.chdir = value;
    } else if (name == "check" && parsed.verb == kStatus) {
      if (value.empty()) {
        return Fail(error, "--check needs a program name");
      }
      parsed.statusCheck = value;
    } else if (name == "check") {
      HealthCheck::Target target;
      std::string why;
      if (!HealthCheck::Parse(value, &target, &why)) {
        return Fail(error, "invalid --check '" + value + "': " + why);
      }
      parsed.check = value;
    } else if (name == "output") {
      if (value != "inherit" && value != "null" && value != "log") {
        return Fail(error, "invalid value '" + value + "' for --output");
      }
      parsed.output = value;
    } else if (name == "log" || name == "log-dir") {
      if (value.empty()) {
        return Fail(error, "--" + name + " needs a path");
      }
      (name == "log" ? parsed.logFile : parsed.logDir) = value;
    } else if (name == "restart") {
      if (value == "on-failure") {
        parsed.restart = kOnFailure;
      } else if (value == "always") {
        parsed.restart = kAlways;
      } else if (value == "never") {
        parsed.restart = kNever;
      } else {
        return Fail(error, "invalid value '" + value + "' for --restart");
      }
    }
  }
  for (; i < argc; ++i) {
    if (Named(parsed.verb) && parsed.name.empty() && argv[i][0] != '\0') {
      parsed.name = argv[i];
      continue;
    }
    if (parsed.verb != kRun) {
      return Fail(error, std::string("unexpected argument '") + argv[i] + "'");
    }
    parsed.command.push_back(argv[i]);
  }
  if (parsed.help) {
    *out = parsed;
    return true;
  }

  auto missing = [&](const char* option) {
    return Fail(error, std::string("missing --") + option);
  };
  switch (parsed.verb) {
    case kWatch:
      for (const char* option : {"pid", "name", "start", "stop"}) {
        if (seen.count(option) == 0) {
          return missing(option);
        }
      }
      break;
    case kBeat:
    case kForget:
      if (parsed.pid < 0) {
        return missing("pid");
      }
      break;
    case kRun: {
      if (parsed.command.empty()) {
        return Fail(error, "no program given to run");
      }
      const int growth = (parsed.minwset >= 0) + (parsed.wsetincr >= 0) + (parsed.nomwset >= 0);
      if (growth != 0 && growth != 3) {
        return Fail(error, "--minwset, --wsetincr and --nomwset go together");
      }
      if (parsed.wdfreq == 0) {
        return Fail(error, "--wdfreq must be 1 or more for run");
      }
      if (!parsed.logFile.empty() && seen.count("output") == 0) {
        parsed.output = "log";
      }
      if ((parsed.output == "log") != !parsed.logFile.empty()) {
        return Fail(error, "--log and --output log go together");
      }
      for (const char* option : {"log-size", "log-keep"}) {
        if (seen.count(option) != 0 && parsed.logFile.empty()) {
          return Fail(error, std::string("--") + option + " needs --log");
        }
      }
      if (parsed.check.empty()) {
        for (const char* option : {"check-every", "check-timeout", "check-failures", "check-grace"}) {
          if (seen.count(option) != 0) {
            return Fail(error, std::string("--") + option + " needs --check");
          }
        }
      }
      break;
    }
    case kStatus:
      if (parsed.json && !parsed.statusCheck.empty()) {
        return Fail(error, "--json and --check do not go together");
      }
      break;
    case kReset:
    case kStop:
    case kStart:
    case kRestart:
    case kLogs:
      if (parsed.name.empty()) {
        return Fail(error, std::string("no program name given to ") + argv[1]);
      }
      break;
    default:
      break;
  }
  *out = parsed;
  return true;
}

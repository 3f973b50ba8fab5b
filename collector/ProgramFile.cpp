#include "ProgramFile.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <sstream>

#include "RunAs.h"
#include "ShellQuote.h"
#include "SystemError.h"

namespace {

const char kBlanks[] = " \t";

std::string Trim(const std::string& text) {
  const size_t begin = text.find_first_not_of(kBlanks);
  if (begin == std::string::npos) {
    return std::string();
  }
  return text.substr(begin, text.find_last_not_of(kBlanks) - begin + 1);
}

// Decimal digits only, within [minimum, maximum].
bool Number(const std::string& text, long minimum, long maximum, long* out) {
  if (text.empty() || text.size() > 12 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const long value = strtol(text.c_str(), nullptr, 10);
  if (value < minimum || value > maximum) {
    return false;
  }
  *out = value;
  return true;
}

bool VariableName(const std::string& name) {
  if (name.empty() || (name[0] >= '0' && name[0] <= '9')) {
    return false;
  }
  for (char c : name) {
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
          c == '_')) {
      return false;
    }
  }
  return true;
}

// Why what status describes may not define programs, "" when it may. The
// daemon runs what the files say, maybe as root: only root and the daemon's
// own user may be able to write them or add to their directory.
std::string Untrusted(const struct stat& status, uid_t daemonUid) {
  if (status.st_uid != 0 && status.st_uid != daemonUid) {
    return "owned by uid " + std::to_string(status.st_uid) +
           ", neither root nor the daemon's user";
  }
  if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return "writable by group or others";
  }
  return std::string();
}

// The whole of an open file of at most limit bytes; false with the reason.
bool ReadAllFrom(int fd, size_t limit, std::string* text, std::string* why) {
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      *why = SystemError::Text(errno);
      return false;
    }
    if (got == 0) {
      return true;
    }
    text->append(buffer, static_cast<size_t>(got));
    if (text->size() > limit) {
      *why = "larger than " + std::to_string(limit) + " bytes";
      return false;
    }
  }
}

// Reads the file at path into *text when only root or the daemon's user
// could have written it; otherwise, or when it cannot be read, the reason.
std::string ReadTrusted(const std::string& path, uid_t daemonUid, size_t limit,
                        std::string* text) {
  // A link may lead elsewhere: whoever can write where it leads could
  // rewrite the program.
  struct stat status {};
  if (lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) {
    char* target = realpath(path.c_str(), nullptr);
    if (target == nullptr) {
      return SystemError::Text(errno);
    }
    std::string parent = target;
    free(target);
    parent.resize(std::max<size_t>(parent.rfind('/'), 1));
    if (stat(parent.c_str(), &status) != 0) {
      return SystemError::Text(errno);
    }
    const std::string why = Untrusted(status, daemonUid);
    if (!why.empty()) {
      return "links into " + parent + ", " + why;
    }
  }
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    return SystemError::Text(errno);
  }
  // Judged on what was opened: a file swapped in after the checks above is
  // the one judged.
  std::string why = fstat(fd, &status) != 0    ? SystemError::Text(errno)
                    : !S_ISREG(status.st_mode) ? "not a regular file"
                                               : Untrusted(status, daemonUid);
  if (why.empty()) {
    ReadAllFrom(fd, limit, text, &why);
  }
  close(fd);
  return why;
}

// Text no order line may carry: the wrapper sends the start command, which
// holds every value, to the daemon in one line.
bool Printable(const std::string& text) {
  for (unsigned char c : text) {
    if (c < 0x20 && c != '\t') {
      return false;
    }
  }
  return true;
}

}  // namespace

bool ProgramDefinition::SameAs(const ProgramDefinition& other) const {
  return name == other.name && command == other.command && user == other.user &&
         uid == other.uid && directory == other.directory && env == other.env &&
         check == other.check && checkEvery == other.checkEvery &&
         checkTimeout == other.checkTimeout && checkFailures == other.checkFailures &&
         checkGrace == other.checkGrace && wdfreq == other.wdfreq && maxwset == other.maxwset &&
         minwset == other.minwset && wsetincr == other.wsetincr && nomwset == other.nomwset &&
         maxerrors == other.maxerrors && restart == other.restart && output == other.output &&
         logSize == other.logSize && logKeep == other.logKeep;
}

bool ProgramFile::ValidName(const std::string& name) {
  if (name.empty() || name.size() > kMaxNameLength || name[0] == '.' || name[0] == '-') {
    return false;
  }
  for (char c : name) {
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
          c == '.' || c == '_' || c == '-')) {
      return false;
    }
  }
  return true;
}

const std::vector<std::string>& ProgramFile::Keys() {
  static const std::vector<std::string> keys{
      "command",     "user",          "directory",      "env.NAME",    "check",
      "check-every", "check-timeout", "check-failures", "check-grace", "wdfreq",
      "maxwset",     "minwset",       "wsetincr",       "nomwset",     "maxerrors",
      "restart",     "output",        "log-size",       "log-keep"};
  return keys;
}

bool ProgramFile::SplitWords(const std::string& text, std::vector<std::string>* words,
                             std::string* error) {
  words->clear();
  std::string word;
  bool inWord = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ' ' || c == '\t') {
      if (inWord) {
        words->push_back(word);
        word.clear();
        inWord = false;
      }
    } else if (c == '#' && !inWord) {
      break;
    } else if (c == '\\') {
      if (i + 1 >= text.size()) {
        *error = "a backslash ends the line";
        return false;
      }
      word += text[++i];
      inWord = true;
    } else if (c == '\'') {
      const size_t close = text.find('\'', i + 1);
      if (close == std::string::npos) {
        *error = "a single quote is not closed";
        return false;
      }
      word += text.substr(i + 1, close - i - 1);
      i = close;
      inWord = true;
    } else if (c == '"') {
      size_t j = i + 1;
      for (; j < text.size() && text[j] != '"'; ++j) {
        if (text[j] == '\\' && j + 1 < text.size() &&
            std::string("\"\\$`").find(text[j + 1]) != std::string::npos) {
          ++j;
        }
        word += text[j];
      }
      if (j >= text.size()) {
        *error = "a double quote is not closed";
        return false;
      }
      i = j;
      inWord = true;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (inWord) {
    words->push_back(word);
  }
  return true;
}

bool ProgramFile::Parse(const std::string& name, const std::string& path, const std::string& text,
                        uid_t daemonUid, ProgramDefinition* out, std::string* error) {
  ProgramDefinition parsed;
  parsed.name = name;
  parsed.file = path;
  parsed.uid = daemonUid;
  int lineNumber = 0;
  std::string key;
  auto fail = [&](const std::string& why) {
    *error = "program file " + path + ", line " + std::to_string(lineNumber) + ", key '" + key +
             "': " + why;
    return false;
  };
  std::set<std::string> seen;
  std::set<std::string> envNames;
  std::map<std::string, int> lines;  // where each key was given
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    ++lineNumber;
    key.clear();
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    const std::string content = Trim(line);
    if (content.empty() || content[0] == '#') {
      continue;
    }
    const size_t equals = content.find('=');
    key = Trim(content.substr(0, equals));
    if (equals == std::string::npos) {
      return fail("not a 'key = value' line");
    }
    const std::string value = Trim(content.substr(equals + 1));
    if (!Printable(value)) {
      return fail("the value holds a control character");
    }
    if (key.compare(0, 4, "env.") == 0) {
      const std::string variable = key.substr(4);
      if (!VariableName(variable)) {
        return fail("a variable name is letters, digits and '_', not starting with a digit");
      }
      if (!envNames.insert(variable).second) {
        return fail("given twice");
      }
      parsed.env.emplace_back(variable, value);
      continue;
    }
    if (std::find(Keys().begin(), Keys().end(), key) == Keys().end()) {
      std::string known;
      for (const std::string& each : Keys()) {
        known += (known.empty() ? "" : ", ") + each;
      }
      return fail("unknown key (the keys are " + known + ")");
    }
    if (!seen.insert(key).second) {
      return fail("given twice (first on line " + std::to_string(lines[key]) + ")");
    }
    lines[key] = lineNumber;
    struct NumberKey {
      const char* key;
      long minimum, maximum;
      int* field;
    };
    const NumberKey numbers[] = {{"check-every", 1, 86400, &parsed.checkEvery},
                                 {"check-timeout", 1, 3600, &parsed.checkTimeout},
                                 {"check-failures", 1, 1000, &parsed.checkFailures},
                                 {"check-grace", 0, 86400, &parsed.checkGrace},
                                 {"wdfreq", 1, INT_MAX, &parsed.wdfreq},
                                 {"maxwset", 0, INT_MAX, &parsed.maxwset},
                                 {"minwset", 0, INT_MAX, &parsed.minwset},
                                 {"wsetincr", 0, INT_MAX, &parsed.wsetincr},
                                 {"nomwset", 0, INT_MAX, &parsed.nomwset},
                                 {"maxerrors", 0, INT_MAX, &parsed.maxerrors},
                                 {"log-keep", 0, 1000, &parsed.logKeep}};
    bool numeric = false;
    for (const NumberKey& number : numbers) {
      if (key == number.key) {
        numeric = true;
        long read = 0;
        if (!Number(value, number.minimum, number.maximum, &read)) {
          return fail("'" + value + "' is not a whole number from " +
                      std::to_string(number.minimum) + " to " + std::to_string(number.maximum));
        }
        *number.field = static_cast<int>(read);
      }
    }
    if (numeric) {
      continue;
    }
    if (key == "command") {
      std::string why;
      if (!SplitWords(value, &parsed.command, &why)) {
        return fail(why);
      }
      if (parsed.command.empty()) {
        return fail("no program given");
      }
    } else if (key == "user") {
      std::string why;
      uid_t uid = 0;
      if (value.empty() || !RunAs::ResolveUser(value, uid, why)) {
        return fail(value.empty() ? "no user given" : why);
      }
      if (daemonUid != 0 && uid != daemonUid) {
        return fail("only a daemon running as root may run a program as another user");
      }
      parsed.user = value;
      parsed.uid = uid;
    } else if (key == "directory") {
      struct stat status {};
      if (value.empty() || value[0] != '/') {
        return fail("the directory must be an absolute path");
      }
      if (stat(value.c_str(), &status) != 0) {
        return fail(value + ": " + SystemError::Text(errno));
      }
      if (!S_ISDIR(status.st_mode)) {
        return fail(value + " is not a directory");
      }
      parsed.directory = value;
    } else if (key == "check") {
      if (value.compare(0, 7, "http://") != 0 && value.compare(0, 6, "tcp://") != 0 &&
          value.compare(0, 5, "exec:") != 0) {
        return fail("a check is http://HOST[:PORT]/PATH, tcp://HOST:PORT or exec:COMMAND");
      }
      parsed.check = value;
    } else if (key == "restart") {
      if (value != "on-failure" && value != "always" && value != "never") {
        return fail("'" + value + "' is not on-failure, always or never");
      }
      parsed.restart = value;
    } else if (key == "output") {
      if (value != "log" && value != "inherit" && value != "null") {
        return fail("'" + value + "' is not log, inherit or null");
      }
      parsed.output = value;
    } else if (key == "log-size") {
      long size = 0;
      if (!Number(value, 4096, INT_MAX, &size)) {
        return fail("'" + value + "' is not a whole number of bytes from 4096 to " +
                    std::to_string(INT_MAX));
      }
      parsed.logSize = size;
    } else {
      return fail("known but not read");  // Keys() and the reading above disagree
    }
  }
  key = "command";
  if (parsed.command.empty()) {
    return fail("missing: every program file names its command");
  }
  const int growth = (parsed.minwset >= 0) + (parsed.wsetincr >= 0) + (parsed.nomwset >= 0);
  if (growth != 0 && growth != 3) {
    key = "minwset";
    lineNumber = lines.count("minwset") != 0 ? lines["minwset"] : lineNumber;
    return fail("minwset, wsetincr and nomwset go together");
  }
  if (parsed.check.empty()) {
    for (const char* option : {"check-every", "check-timeout", "check-failures", "check-grace"}) {
      if (seen.count(option) != 0) {
        key = option;
        lineNumber = lines[key];
        return fail("needs check");
      }
    }
  }
  *out = parsed;
  return true;
}

std::map<std::string, ProgramDefinition> ProgramFile::ReadDirectory(
    const std::string& directory, uid_t daemonUid, std::vector<std::string>* errors) {
  std::map<std::string, ProgramDefinition> programs;
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) {
    if (errno != ENOENT) {
      errors->push_back("program directory " + directory + ": " + SystemError::Text(errno));
    }
    return programs;
  }
  struct stat directoryStatus {};
  const std::string unsafe = fstat(dirfd(dir), &directoryStatus) != 0
                                 ? SystemError::Text(errno)
                                 : Untrusted(directoryStatus, daemonUid);
  if (!unsafe.empty()) {
    closedir(dir);
    errors->push_back("program directory " + directory + ": " + unsafe +
                      "; no program file in it is read");
    return programs;
  }
  std::vector<std::string> names;
  for (dirent* entry = readdir(dir); entry != nullptr; entry = readdir(dir)) {
    names.push_back(entry->d_name);
  }
  closedir(dir);
  const std::string base = directory.empty() || directory.back() == '/' ? directory
                                                                          : directory + "/";
  for (const std::string& fileName : names) {
    const size_t size = fileName.size();
    if (size <= 5 || fileName[0] == '.' || fileName.compare(size - 5, 5, ".conf") != 0) {
      continue;
    }
    const std::string name = fileName.substr(0, size - 5);
    const std::string path = base + fileName;
    struct stat status {};
    if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
      continue;
    }
    if (!ValidName(name)) {
      errors->push_back("program file " + path + ": the name '" + name +
                        "' is not letters, digits, '.', '_' and '-' (at most " +
                        std::to_string(kMaxNameLength) + ", not starting with '.' or '-')");
      continue;
    }
    std::string text;
    const std::string why =
        ReadTrusted(path, daemonUid, static_cast<size_t>(kMaxFileBytes), &text);
    if (!why.empty()) {
      errors->push_back("program file " + path + ": " + why);
      continue;
    }
    ProgramDefinition definition;
    std::string error;
    if (!Parse(name, path, text, daemonUid, &definition, &error)) {
      errors->push_back(error);
      continue;
    }
    programs.emplace(name, definition);
  }
  return programs;
}

std::string ProgramFile::RunLine(const ProgramDefinition& definition, const std::string& vigilctl,
                                 const std::string& socket, int port, const std::string& logFile) {
  std::vector<std::string> words{vigilctl, "run", "--port", std::to_string(port), "--socket",
                                 socket, "--name", definition.name, "--restart",
                                 definition.restart, "--chdir", definition.directory};
  const std::pair<const char*, int> numbers[] = {{"--wdfreq", definition.wdfreq},
                                                 {"--maxwset", definition.maxwset},
                                                 {"--minwset", definition.minwset},
                                                 {"--wsetincr", definition.wsetincr},
                                                 {"--nomwset", definition.nomwset},
                                                 {"--maxerrors", definition.maxerrors}};
  for (const auto& number : numbers) {
    if (number.second >= 0) {
      words.insert(words.end(), {number.first, std::to_string(number.second)});
    }
  }
  for (const auto& variable : definition.env) {
    words.insert(words.end(), {"--env", variable.first + "=" + variable.second});
  }
  if (!definition.check.empty()) {
    words.insert(words.end(),
                 {"--check", definition.check, "--check-every",
                  std::to_string(definition.checkEvery), "--check-timeout",
                  std::to_string(definition.checkTimeout), "--check-failures",
                  std::to_string(definition.checkFailures), "--check-grace",
                  std::to_string(definition.checkGrace)});
  }
  words.insert(words.end(), {"--output", definition.output});
  if (definition.output == "log") {
    words.insert(words.end(), {"--log", logFile, "--log-size", std::to_string(definition.logSize),
                               "--log-keep", std::to_string(definition.logKeep)});
  }
  words.push_back("--");
  words.insert(words.end(), definition.command.begin(), definition.command.end());
  return ShellQuote::Line(words);
}

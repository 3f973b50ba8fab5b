#include "TlConfiguration.h"

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>

#include "CliParser.h"
#include "CriticalSection.h"
#include "Diagnostic.h"

namespace {

const char kSwitchFound[] = "DIAG.CONFIG.REPORT.ALIAS.FOUND";
const char kSwitchMerge[] = "DIAG.CONFIG.REPORT.MERGEALIAS";
const char kSwitchExpansion[] = "DIAG.CONFIG.REPORT.ALIAS.ADDEXPANSION";
const char kSwitchIdentifier[] = "DIAG.CONFIG.REPORT.ALIAS.ADDIDENTIFIER";

// The line buffer of both file formats: a line must end before its last byte.
constexpr int kLineBufferSize = 1024;

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// One pair of templates behind the eight typed getters: the "_" form
// decides, the plain form throws the key, the IfMissing form falls back.
template <class T>
T Required(const TlConfiguration& store, bool (TlConfiguration::*get)(const std::string&, T&) const,
           const std::string& key) {
  T value{};
  if (!(store.*get)(key, value)) {
    throw std::string(key);
  }
  return value;
}

template <class T>
T Optional(const TlConfiguration& store, bool (TlConfiguration::*get)(const std::string&, T&) const,
           const std::string& key, T dflt) {
  T value{};
  return (store.*get)(key, value) ? value : dflt;
}

}  // namespace

const char* const TlConfiguration::s_aliasLists[kAliasListCount][kAliasListSize] = {
    {"DIAG.CNX", "DIAG.CNX.RECV", "DIAG.CNX.RECV.SOCKERR", "DIAG.CNX.RECV.SOCKZERO",
     "DIAG.CNX.SELECT.TIMEOUT", "DIAG.CNX.SELECT.FAILURE", "DIAG.CNX.RECV.RECVOK", "DIAG.CNX.SEND",
     "DIAG.CNX.SEND.RETRY", "DIAG.CNX.SOCKCLOSE", "DIAG.CNX.CONNECT", "DIAG.CNX.ESTABLISH",
     "DIAG.CNX.OBJECTAUTH", "DIAG.CNX.IDREQUEST.PROCESSED", "DIAG.CNX.SEND.MUSTRETRY", ""},
    {"DIAG.DEBUG.LEVEL4", "DIAG.CNX", ""},
    {"DIAG.ALL", "DIAG.DEBUG.LEVEL1", "DIAG.DEBUG.LEVEL2", "DIAG.DEBUG.LEVEL3", "DIAG.DEBUG.LEVEL4",
     ""},
    {""},
};

void toUpper(const std::string& in, std::string& out) {
  std::string upper;
  upper.reserve(in.size());
  for (char c : in) {
    upper += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  }
  out.swap(upper);
}

TlConfiguration::TlConfiguration() = default;
TlConfiguration::~TlConfiguration() = default;

// ---- file readers ----

TlConfiguration::LineResult TlConfiguration::_ReadLine(FILE* file, std::string& line,
                                                       size_t& readLength) {
  char buffer[kLineBufferSize];
  if (std::fgets(buffer, sizeof buffer, file) == nullptr) {
    return kEnd;
  }
  readLength = std::strlen(buffer);
  size_t length = readLength;
  if (length > 0 && buffer[length - 1] == '\n') {
    length--;
  } else if (length >= kLineBufferSize - 1) {
    return kEnd;
  }
  if (length > 0 && buffer[length - 1] == '\r') {
    length--;
  }
  line.assign(buffer, length);
  return kLine;
}

bool TlConfiguration::_IsSkipped(const std::string& line, size_t readLength) {
  return readLength <= 2 || line.empty() || line[0] == '#' || line[0] == ';';
}

FILE* TlConfiguration::_Open(const std::string& fileName) {
  lastError.clear();
  FILE* file = std::fopen(fileName.c_str(), "r");
  if (file == nullptr) {
    lastError = "Unable to open file " + fileName;
  }
  return file;
}

bool TlConfiguration::initFromFile(const std::string& fileName) {
  FilePtr file(_Open(fileName));
  if (!file) {
    return false;
  }
  std::string line;
  size_t readLength = 0;
  while (_ReadLine(file.get(), line, readLength) == kLine) {
    if (_IsSkipped(line, readLength)) {
      continue;
    }
    const size_t equal = line.find('=');
    if (equal == std::string::npos || equal == 0) {
      continue;
    }
    AtGlobalPut(line.substr(0, equal), line.substr(equal + 1));
  }
  return true;
}

bool TlConfiguration::initGlobalFromRegistryFile(const std::string& fileName,
                                                 const std::string& sectionPrefix) {
  return _ReadRegistryFile(fileName, sectionPrefix, false);
}

bool TlConfiguration::initScopedFromRegistryFile(const std::string& fileName,
                                                 const std::string& sectionPrefix) {
  return _ReadRegistryFile(fileName, sectionPrefix, true);
}

bool TlConfiguration::_ReadRegistryFile(const std::string& fileName,
                                        const std::string& sectionPrefix, bool scoped) {
  FilePtr file(_Open(fileName));
  if (!file) {
    return false;
  }
  bool inSection = false;
  std::string sectionPath;
  std::string line;
  size_t readLength = 0;
  while (_ReadLine(file.get(), line, readLength) == kLine) {
    if (_IsSkipped(line, readLength)) {
      continue;
    }
    if (line[0] == '[') {
      // A header that does not name the prefix (or starts with it, which a
      // real header cannot) closes the section.
      const size_t at = line.find(sectionPrefix);
      inSection = at != std::string::npos && at >= 1;
      sectionPath.clear();
      if (inSection) {
        sectionPath = line.substr(at + sectionPrefix.size());
        for (char& c : sectionPath) {
          if (c == '\\' || c == ']') {
            c = '.';
          }
        }
        if (!sectionPath.empty() && sectionPath[0] == '.') {
          sectionPath.erase(0, 1);
        }
      }
      continue;
    }
    if (!inSection) {
      continue;
    }
    std::string unquoted;
    for (char c : line) {
      if (c != '"') {
        unquoted += c;
      }
    }
    const size_t equal = unquoted.find('=');
    if (equal == std::string::npos) {
      continue;
    }
    const std::string name = sectionPath + unquoted.substr(0, equal);
    const std::string value = unquoted.substr(equal + 1);
    if (scoped) {
      AtPut(name, value);
    } else {
      AtGlobalPut("GLOBAL." + name, value);
    }
  }
  return true;
}

bool TlConfiguration::initFromConfigurationFile(CliParser& cli) {
  lastError.clear();
  std::string fileName;
  if (cli.optionOne("f", fileName)) {
    return initFromFile(fileName);
  }
  lastError = "Missing -f ConfFileName  switch";
  return false;
}

// ---- puts ----

void TlConfiguration::_Set(const std::string& upperKey, const std::string& value) {
  CriticalSection lock(&mutex);
  entries[upperKey] = value;
}

void TlConfiguration::AtGlobalPutWithoutAliasing(const std::string& key, const std::string& value) {
  std::string upper;
  toUpper(key, upper);
  _Set(upper, value);
}

void TlConfiguration::AtGlobalPut(const std::string& key, const std::string& value) {
  std::string upper;
  toUpper(key, upper);
  const int list = findAlias(upper);
  std::string prefix = upper;
  if (list != DIAG_NOTHING) {
    const std::string name = s_aliasLists[list][0];
    _Trace(kSwitchFound, "Found alias " + name + " matching config entry " + upper);
    prefix.erase(prefix.size() - name.size());
  }
  _Set(upper, value);
  if (list == DIAG_NOTHING) {
    return;
  }

  TlConfiguration expansion;
  ExpandAlias(expansion, prefix, list, 1, value);
  // An identifier this store already answers for keeps its value: an explicit
  // switch beats the alias that covers it.
  std::string existing;
  for (const auto& entry : expansion.entries) {
    const std::string& identifier = entry.first;
    if (_At(identifier, existing)) {
      continue;
    }
    _Set(identifier, value);
    _Trace(kSwitchMerge,
           "Merging alias identifier " + identifier + " into global with value " + value);
  }
}

void TlConfiguration::ExpandAlias(TlConfiguration& expansion, const std::string& prefix, int list,
                                  int item, const std::string& value) {
  if (list < 0 || list >= DIAG_NOTHING || item < 0 || item >= kAliasListSize) {
    return;
  }
  const char* member = s_aliasLists[list][item];
  if (member[0] == '\0') {
    return;
  }
  const std::string identifier = prefix + member;
  std::string existing;
  if (expansion._At(identifier, existing)) {
    return;
  }
  expansion._Set(identifier, value);
  _Trace(kSwitchExpansion, "Expanding alias " + identifier);

  ExpandAlias(expansion, prefix, list, item + 1, value);

  const int nested = findAlias(identifier);
  if (nested == DIAG_NOTHING) {
    return;
  }
  const std::string nestedName = prefix + s_aliasLists[nested][0];
  expansion.AtGlobalPutWithoutAliasing(nestedName, value);
  _Trace(kSwitchIdentifier,
         "Adding alias identifier " + nestedName + " to expansion with value " + value);
  ExpandAlias(expansion, prefix, nested, 1, value);
}

void TlConfiguration::AtPut(const std::string& key, const std::string& value) {
  AtGlobalPut(_ScopedKey(key), value);
}

void TlConfiguration::AtPutBool(const std::string& key, bool value) {
  AtPut(key, value ? "True" : "False");
}

void TlConfiguration::mergeInto(TlConfiguration& target) const {
  for (const auto& entry : entries) {
    target.AtGlobalPut(entry.first, entry.second);
  }
}

// ---- lookups ----

std::string TlConfiguration::_ScopedKey(const std::string& key) const {
  return scopeName.empty() ? key : scopeName + "." + key;
}

bool TlConfiguration::_AtGlobal(const std::string& key, std::string& out) const {
  std::string upper;
  toUpper(key, upper);
  CriticalSection lock(&mutex);
  const auto found = entries.find(upper);
  if (found == entries.end()) {
    return false;
  }
  out = found->second;
  return true;
}

bool TlConfiguration::_At(const std::string& key, std::string& out) const {
  return _AtGlobal(_ScopedKey(key), out) || _AtGlobal("GLOBAL." + key, out);
}

bool TlConfiguration::_StringAt(const std::string& key, std::string& out) const {
  return _At(key, out);
}

bool TlConfiguration::_IntAt(const std::string& key, int& out) const {
  std::string text;
  if (!_At(key, text)) {
    return false;
  }
  out = std::atoi(text.c_str());
  return true;
}

bool TlConfiguration::_LongAt(const std::string& key, long& out) const {
  std::string text;
  if (!_At(key, text)) {
    return false;
  }
  out = std::atol(text.c_str());
  return true;
}

bool TlConfiguration::_DoubleAt(const std::string& key, double& out) const {
  std::string text;
  if (!_At(key, text)) {
    return false;
  }
  out = std::atof(text.c_str());
  return true;
}

bool TlConfiguration::_BoolAt(const std::string& key, bool& out) const {
  std::string text;
  if (!_At(key, text)) {
    return false;
  }
  const char first = text.empty() ? '\0' : text[0];
  out = text == "1" || first == 'y' || first == 't' || first == 'Y' || first == 'T' ||
        text == "on" || text == "ON";
  return true;
}

const char* TlConfiguration::AtGlobal(const std::string& key, std::string& out) const {
  if (!_AtGlobal(key, out)) {
    throw std::string(key);
  }
  return out.c_str();
}

const char* TlConfiguration::AtGlobalIfMissing(const std::string& key, std::string& out,
                                               const std::string& dflt) const {
  if (!_AtGlobal(key, out)) {
    out = dflt;
  }
  return out.c_str();
}

const char* TlConfiguration::At(const std::string& key, std::string& out) const {
  if (!_At(key, out)) {
    throw std::string(key);
  }
  return out.c_str();
}

const char* TlConfiguration::AtIfMissing(const std::string& key, std::string& out,
                                         const std::string& dflt) const {
  if (!_At(key, out)) {
    out = dflt;
  }
  return out.c_str();
}

const char* TlConfiguration::StringAt(const std::string& key, std::string& out) const {
  return At(key, out);
}

const char* TlConfiguration::StringAtIfMissing(const std::string& key, std::string& out,
                                               const std::string& dflt) const {
  return AtIfMissing(key, out, dflt);
}

int TlConfiguration::IntAt(const std::string& key) const {
  return Required(*this, &TlConfiguration::_IntAt, key);
}
int TlConfiguration::IntAtIfMissing(const std::string& key, int dflt) const {
  return Optional(*this, &TlConfiguration::_IntAt, key, dflt);
}
long TlConfiguration::LongAt(const std::string& key) const {
  return Required(*this, &TlConfiguration::_LongAt, key);
}
long TlConfiguration::LongAtIfMissing(const std::string& key, long dflt) const {
  return Optional(*this, &TlConfiguration::_LongAt, key, dflt);
}
double TlConfiguration::DoubleAt(const std::string& key) const {
  return Required(*this, &TlConfiguration::_DoubleAt, key);
}
double TlConfiguration::DoubleAtIfMissing(const std::string& key, double dflt) const {
  return Optional(*this, &TlConfiguration::_DoubleAt, key, dflt);
}
bool TlConfiguration::BoolAt(const std::string& key) const {
  return Required(*this, &TlConfiguration::_BoolAt, key);
}
bool TlConfiguration::BoolAtIfMissing(const std::string& key, bool dflt) const {
  return Optional(*this, &TlConfiguration::_BoolAt, key, dflt);
}

// ---- aliases, removal, listing ----

int TlConfiguration::findAlias(const std::string& key) {
  std::string upper;
  toUpper(key, upper);
  for (int list = 0; list < DIAG_NOTHING && s_aliasLists[list][0][0] != '\0'; list++) {
    if (EndsWith(upper, s_aliasLists[list][0])) {
      return list;
    }
  }
  return DIAG_NOTHING;
}

void TlConfiguration::_Trace(const char* switchName, const std::string& text) const {
  std::string ignored;
  if (_At(switchName, ignored)) {
    Diagnostic::logDiag(Diagnostic::toLogMarker(switchName), text);
  }
}

void TlConfiguration::Remove(const std::string& key) { entries.erase(_ScopedKey(key)); }

void TlConfiguration::RemoveGlobal(const std::string& key) { entries.erase(key); }

void TlConfiguration::AllEntries(bool all, std::list<std::string>& out) const {
  const std::string scopePrefix = scopeName + ".";
  for (const auto& entry : entries) {
    if (all || entry.first.compare(0, scopePrefix.size(), scopePrefix) == 0) {
      out.push_back(entry.first);
    }
  }
}

void TlConfiguration::_DebugDumpAll() const {
  for (const auto& entry : entries) {
    std::cout << "'" << entry.first << "'='" << entry.second << "'\n";
  }
  std::cout.flush();
}

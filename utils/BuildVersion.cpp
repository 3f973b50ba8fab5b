#include "BuildVersion.h"

#include <sys/utsname.h>

#include <cstdlib>
#include <iostream>

#include "File.h"
#include "TlConfigurationGlobal.h"

// The build stamps these in (see utils/CMakeLists.txt); the fallbacks keep the
// file buildable on its own.
#ifndef VIGILD_RELEASE_NAME
#define VIGILD_RELEASE_NAME "vigild"
#endif
#ifndef VIGILD_BUILD_COMMENT
#define VIGILD_BUILD_COMMENT "unstamped build"
#endif
#ifndef VIGILD_BUILD_HOST
#define VIGILD_BUILD_HOST "unknown"
#endif
#ifndef VIGILD_BUILDER
#define VIGILD_BUILDER "unknown"
#endif

namespace {

const char kReleaseNumber[] = "89.1";
const size_t kMaxLineLength = 511;

// Written by setForcedVersion at start-up only.
std::string forcedVersion;

// The line of the version file at `index` (0 for the first), cut to
// kMaxLineLength characters and without a carriage return before its end.
// False when there is no version file; a missing line reads as empty.
bool ReadVersionLine(int index, std::string& out) {
  std::ifstream in;
  if (!locateVersionFileForRead(in)) {
    return false;
  }
  out.clear();
  std::string line;
  for (int i = 0; i <= index; ++i) {
    if (!std::getline(in, line)) {
      return true;
    }
  }
  if (!line.empty() && line.back() == '\r') {
    line.pop_back();
  }
  out = line.substr(0, kMaxLineLength);
  return true;
}

// The system and machine the program runs on, as `uname -s` and `uname -m`
// print them ("Linux.x86_64"). Asked at run time: the build's own host is on
// the "Compiled:" line, and a program built in one place is often run in
// another.
std::string PlatformName() {
  struct utsname names;
  if (uname(&names) != 0) {
    return "unknown.unknown";
  }
  return std::string(names.sysname) + "." + names.machine;
}

}  // namespace

void setForcedVersion(const char* v) { forcedVersion = v == nullptr ? "" : v; }

bool whichVersionFile(std::string& path) {
  std::string root;
  TlConfigurationGlobal::Instance()->_At("ROOT_DIRECTORY", root);
  if (root.empty()) {
    const char* home = std::getenv("TLMHOME");
    root = home == nullptr ? "" : home;
  }
  if (!root.empty() && File(root + "/version").Exist()) {
    path = root + "/version";
    return true;
  }
  for (const char* candidate : {"../version", "./version", "version"}) {
    if (File(candidate).Exist()) {
      path = candidate;
      return true;
    }
  }
  return false;
}

bool locateVersionFileForRead(std::ifstream& in) {
  std::string path;
  if (!whichVersionFile(path)) {
    return false;
  }
  in.open(path);
  return in.is_open();
}

bool getBuildVersionString(std::string& out, bool full) {
  if (!ReadVersionLine(0, out)) {
    out.clear();
  }
  if (full) {
    if (!out.empty()) {
      out += ' ';
    }
    out += PlatformName();
    out += " (";
    getComponentBuildString(out);
    out += " build)";
  }
  return !out.empty();
}

void getComponentBuildString(std::string& out) {
  const std::string release = std::string(VIGILD_RELEASE_NAME) + "." + kReleaseNumber;
  if (!forcedVersion.empty()) {
    out += "App " + forcedVersion + "; Lib " + release;
  } else {
    out += release;
  }
}

bool getBuildCommentString(std::string& out, bool full) {
  if (!ReadVersionLine(1, out)) {
    out = "N/A";
  }
  if (full) {
    if (!out.empty()) {
      out += ' ';
    }
    out += VIGILD_BUILD_COMMENT;
  }
  return !out.empty();
}

int displayVersionString() {
  std::string version;
  std::string comment;
  getBuildVersionString(version, true);
  getBuildCommentString(comment, true);
  std::cout << "Version:  " << version << "\n"
            << "Comment:  " << comment << "\n"
            << "Compiled: " << __DATE__ << " on " << VIGILD_BUILD_HOST << " by " << VIGILD_BUILDER
            << std::endl;
  return 0;
}

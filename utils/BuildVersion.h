// Build version reporting: finds the installation's version file and prints
// the build identification from it and from the stamp compiled into the
// program (release name, build comment, compile date, build host, builder).
//
// Free functions over one process-wide forced-version text that nobody owns.
// One thread at a time: main calls them before any second thread starts.
#ifndef VIGILD_UTILS_BUILDVERSION_H
#define VIGILD_UTILS_BUILDVERSION_H

#include <fstream>
#include <string>

// An application version that then prefixes the component text; null or ""
// clears it.
void setForcedVersion(const char* v);

// Path of the version file: root + "/version" when the root (the global
// configuration's ROOT_DIRECTORY, else $TLMHOME) is known and that file
// exists, else the first existing of "../version", "./version", "version".
// False, with `path` untouched, when there is none.
bool whichVersionFile(std::string& path);
// Opens the file whichVersionFile finds; false when none is found or opened.
bool locateVersionFileForRead(std::ifstream& in);

// out = the first line of the version file (at most 511 characters), empty
// without one; `full` adds the platform (`uname -s` "." `uname -m`, for
// example "Linux.x86_64"), " (", the component text and " build)", after a
// blank when out is not empty. True when out is not empty.
bool getBuildVersionString(std::string& out, bool full);
// Appends "App " + forced version + "; Lib " + release text when a version
// is forced, else the release text alone.
void getComponentBuildString(std::string& out);
// out = the second line of the version file, "N/A" without one; `full` adds
// the compiled-in build comment, after a blank when out is not empty. True
// when out is not empty.
bool getBuildCommentString(std::string& out, bool full);
// Writes the "Version:", "Comment:" and "Compiled:" lines to stdout; 0.
int displayVersionString();

#endif  // VIGILD_UTILS_BUILDVERSION_H

// TlConfiguration: the key/value configuration store. Keys are dotted upper-case
// paths; "GLOBAL." keys hold settings shared by every process, keys that start
// with the scope name and a dot hold one process's own. A short-key lookup tries
// the process's own key first, then the "GLOBAL." one. A key that ends with an
// alias name (DIAG.CNX, DIAG.DEBUG.LEVEL4, DIAG.ALL) also switches on, under
// the same prefix, every diagnostic switch the alias stands for.
//
// Long-lived stores live on the heap, owned jointly by the Handles that point
// at them; the alias expansion uses a plain local store.
//
// Thread safety: single lookups and single puts are safe for concurrent use;
// walks, removals and file reads are for one thread at a time, while no other
// thread uses the store (the daemon fills every store before it starts a
// second thread and only reads them afterwards).
#ifndef VIGILD_UTILS_TLCONFIGURATION_H
#define VIGILD_UTILS_TLCONFIGURATION_H

#include <cstdio>
#include <list>
#include <map>
#include <string>

#include "RefCounter.h"
#include "TaskMutex.h"

class CliParser;

// out = in with every byte upper-cased as toupper does in the "C" locale,
// whatever locale the process runs in. `out` may be the same object as `in`.
void toUpper(const std::string& in, std::string& out);

class TlConfiguration : public RefCounter {
 public:
  // Indexes into s_aliasLists; DIAG_NOTHING marks the end of the table and is
  // what findAlias answers for a key that is no alias.
  enum AliasList { DIAG_CNX = 0, DIAG_DEBUG_4 = 1, DIAG_ALL = 2, DIAG_NOTHING = 3 };
  static constexpr int kAliasListCount = 4;
  static constexpr int kAliasListSize = 16;
  // Each list: the alias name, then the identifiers it stands for, then "".
  static const char* const s_aliasLists[kAliasListCount][kAliasListSize];

  TlConfiguration();
  ~TlConfiguration() override;
  TlConfiguration(const TlConfiguration&) = delete;
  TlConfiguration& operator=(const TlConfiguration&) = delete;

  // The scope is set once, before anything is put, and never changes while
  // other threads read the store.
  void setScopeName(const std::string& name) { scopeName = name; }
  const std::string& getScopeName() const { return scopeName; }
  // Text of the last failed file read; empty when the last read succeeded.
  const std::string& getLastError() const { return lastError; }

  // File readers. Each clears the last error, and on failure sets it and
  // returns false. A line that does not fit the 1024-byte line buffer ends the
  // reading: what came before stays, and the result is true.
  //
  // Plain "name=value" lines, stored under the name as a full key.
  bool initFromFile(const std::string& fileName);
  // registry.conf sections whose header holds sectionPrefix after its first
  // character; values go under "GLOBAL." + section path + name.
  bool initGlobalFromRegistryFile(const std::string& fileName, const std::string& sectionPrefix);
  // The same sections, stored with the scoped put under section path + name.
  bool initScopedFromRegistryFile(const std::string& fileName, const std::string& sectionPrefix);
  // initFromFile of the value of the -f switch.
  bool initFromConfigurationFile(CliParser& cli);

  // Puts. Keys are upper-cased; values are kept exactly as given.
  void AtGlobalPut(const std::string& key, const std::string& value);
  void AtGlobalPutWithoutAliasing(const std::string& key, const std::string& value);
  // AtGlobalPut of scope + "." + key (of the key alone when the scope is empty).
  void AtPut(const std::string& key, const std::string& value);
  void AtPutBool(const std::string& key, bool value);  // "True" / "False"
  // AtGlobalPut into `target` of every entry, in ascending key order: later
  // layers overwrite earlier ones and aliases are expanded in the target.
  void mergeInto(TlConfiguration& target) const;

  // Lookups. The "_" forms answer found/missing; the plain forms throw
  // std::string(key), the key exactly as passed, when it is missing; the
  // IfMissing forms give the default instead. Numbers are read as atoi, atol
  // and atof read them: text without a leading number is 0.
  bool _AtGlobal(const std::string& key, std::string& out) const;  // the full key only
  bool _At(const std::string& key, std::string& out) const;        // own key, then GLOBAL.
  bool _StringAt(const std::string& key, std::string& out) const;
  bool _IntAt(const std::string& key, int& out) const;
  bool _LongAt(const std::string& key, long& out) const;
  bool _DoubleAt(const std::string& key, double& out) const;
  // True for "1", "on", "ON" and anything starting with y, Y, t or T.
  bool _BoolAt(const std::string& key, bool& out) const;

  // The returned characters are those of `out`.
  const char* AtGlobal(const std::string& key, std::string& out) const;
  const char* AtGlobalIfMissing(const std::string& key, std::string& out,
                                const std::string& dflt) const;
  const char* At(const std::string& key, std::string& out) const;
  const char* AtIfMissing(const std::string& key, std::string& out, const std::string& dflt) const;
  const char* StringAt(const std::string& key, std::string& out) const;
  const char* StringAtIfMissing(const std::string& key, std::string& out,
                                const std::string& dflt) const;
  int IntAt(const std::string& key) const;
  int IntAtIfMissing(const std::string& key, int dflt) const;
  long LongAt(const std::string& key) const;
  long LongAtIfMissing(const std::string& key, long dflt) const;
  double DoubleAt(const std::string& key) const;
  double DoubleAtIfMissing(const std::string& key, double dflt) const;
  bool BoolAt(const std::string& key) const;
  bool BoolAtIfMissing(const std::string& key, bool dflt) const;

  // Index of the alias whose name ends the upper-cased key, or DIAG_NOTHING.
  static int findAlias(const std::string& key);
  // Puts into `expansion`, under `prefix`, the members of list `list` from
  // position `item` on, and recursively the members of the aliases among
  // them, each with `value`. Stops at a member the expansion already holds.
  void ExpandAlias(TlConfiguration& expansion, const std::string& prefix, int list, int item,
                   const std::string& value);

  // Neither folds case: pass the key in upper case.
  void Remove(const std::string& key);        // scope + "." + key
  void RemoveGlobal(const std::string& key);  // the key itself
  // Appends the keys in ascending order: all of them, or those of the scope.
  void AllEntries(bool all, std::list<std::string>& out) const;
  // Every entry on stdout, one line each: 'KEY'='value'.
  void _DebugDumpAll() const;

 private:
  enum LineResult { kLine, kEnd };
  // Reads the next line into `line` without its line end (and without a
  // carriage return before it); readLength counts what was read, line end
  // included. kEnd at the end of the file or when the line does not fit the
  // line buffer.
  static LineResult _ReadLine(FILE* file, std::string& line, size_t& readLength);
  // Comments, and lines too short to hold a name and a value. The line end
  // counts, so "k=" and its newline make a name with an empty value.
  static bool _IsSkipped(const std::string& line, size_t readLength);
  // Opens the file or records the failure in lastError.
  FILE* _Open(const std::string& fileName);
  bool _ReadRegistryFile(const std::string& fileName, const std::string& sectionPrefix,
                         bool scoped);
  // scope + "." + key, or the key alone when the scope is empty.
  std::string _ScopedKey(const std::string& key) const;
  // Sets the entry of an already upper-cased key, under mutex.
  void _Set(const std::string& upperKey, const std::string& value);
  // Writes the trace when this store holds the switch (scoped lookup).
  void _Trace(const char* switchName, const std::string& text) const;

  // Plain map, no lock of its own: see mutex.
  std::map<std::string, std::string> entries;
  std::string scopeName;  // constant once other threads read the store
  std::string lastError;  // written by the file readers only
  // Guards `entries` for single lookups and single insertions only. Walks
  // (mergeInto, AllEntries, _DebugDumpAll), removals and whole puts with their
  // alias expansion do not hold it: they belong to the building of the store,
  // before other threads read it.
  mutable TaskMutex mutex;
};

#endif  // VIGILD_UTILS_TLCONFIGURATION_H

// The plain "KEY=value" configuration file reader (the -f file), followed by
// the lookups the daemon makes on what it stored, through every typed
// reader.
#include <stddef.h>
#include <stdint.h>

#include <list>
#include <string>

#include "FuzzFile.h"
#include "TlConfiguration.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FuzzFile file("config_file");
  file.Fill(data, size);
  TlConfiguration store;
  store.setScopeName("VIGILD.0.0");
  store.initFromFile(file.Path());

  std::list<std::string> keys;
  store.AllEntries(true, keys);
  keys.push_back("WATCHMGR.MANAGERPORT");
  keys.push_back("LOGMANAGER.MAXFILERETENTIONDAYS");
  for (const std::string& key : keys) {
    std::string text;
    int number = 0;
    long wide = 0;
    double real = 0;
    bool flag = false;
    store._At(key, text);
    store._IntAt(key, number);
    store._LongAt(key, wide);
    store._DoubleAt(key, real);
    store._BoolAt(key, flag);
  }
  TlConfiguration merged;
  store.mergeInto(merged);
  return 0;
}

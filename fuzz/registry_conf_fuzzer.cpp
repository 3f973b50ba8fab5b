// The registry.conf reader, in both its forms (global and scoped puts), with
// the section prefixes the daemon asks for, then the merge of the layers.
#include <stddef.h>
#include <stdint.h>

#include <list>
#include <string>

#include "FuzzFile.h"
#include "TlConfiguration.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FuzzFile file("registry_conf");
  file.Fill(data, size);
  TlConfiguration global;
  TlConfiguration scoped;
  scoped.setScopeName("VIGILD.0.0");
  global.initGlobalFromRegistryFile(file.Path(), "Brenmoor\\TALVERA-Common\\WatchMgr");
  scoped.initScopedFromRegistryFile(file.Path(), "Brenmoor\\TALVERA-WatchMgr");
  scoped.initScopedFromRegistryFile(file.Path(), "Brenmoor\\TALVERA-Common\\WatchMgr");

  TlConfiguration merged;
  merged.setScopeName("VIGILD.0.0");
  global.mergeInto(merged);
  scoped.mergeInto(merged);
  std::list<std::string> keys;
  merged.AllEntries(false, keys);
  for (const std::string& key : keys) {
    std::string text;
    int number = 0;
    merged._At(key, text);
    merged._IntAt(key, number);
  }
  return 0;
}

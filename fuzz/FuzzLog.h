// FuzzLog: puts the process's log server in a state fit for fuzzing: records
// are written on the caller's thread (no log thread, so every record is
// formatted inside the input that caused it) into a device that measures and
// drops them, at the debug level given, so the debug texts built from hostile
// input are formatted too.
//
// Static functions only. Call Install once, from LLVMFuzzerInitialize.
#ifndef VIGILD_FUZZ_FUZZLOG_H
#define VIGILD_FUZZ_FUZZLOG_H

class FuzzLog {
 public:
  static void Install(unsigned debugLevel);
};

#endif  // VIGILD_FUZZ_FUZZLOG_H

// LogChannelTable: the log server's view of who is logging: which channel
// each thread declared for itself (unmapped threads are channel 0), the
// one-time description of each channel, and the facility root name that
// every record is stamped with.
//
// Owned by the log server. Safe for concurrent use: every member is guarded
// by channelMutex, taken alone for each operation.
#ifndef VIGILD_LOGGING_LOGCHANNELTABLE_H
#define VIGILD_LOGGING_LOGCHANNELTABLE_H

#include <map>
#include <string>

#include "LogMessage.h"
#include "String.h"
#include "TaskMutex.h"

class LogChannelTable {
 public:
  static constexpr int kRootFacilitySize = 128;

  LogChannelTable();
  LogChannelTable(const LogChannelTable&) = delete;
  LogChannelTable& operator=(const LogChannelTable&) = delete;

  // Root = name + "-" + process id, at most kRootFacilitySize - 1
  // characters: a long name loses its end rather than the process id, which
  // is what tells two processes of the same name apart.
  void SetRootName(const char* name);
  std::string RootName() const;

  // Maps the calling thread to channel, forgetting that channel's
  // description first.
  void MapCurrentThread(int channel);
  // Removes the calling thread's mapping and the description of its
  // channel, when that is not 0.
  void UnmapCurrentThread();
  int CurrentChannel() const;

  void Describe(int channel, const char* text);
  void Undescribe(int channel);
  bool Description(int channel, String& out) const;

  // Stamps record with "<root>:<channel>" and the calling thread's channel.
  // With a description buffer, also takes the channel's description out of
  // the table (true when there was one): it is printed once.
  bool Stamp(LogMessage& record, String* description);
  bool TakeDescription(int channel, String& out);

 private:
  // Guards rootFacilityName, threadChannels and channelDescriptions.
  mutable TaskMutex channelMutex;
  char rootFacilityName[kRootFacilitySize];
  std::map<unsigned, int> threadChannels;     // numeric thread id -> channel
  std::map<int, String> channelDescriptions;  // channel -> description

  // REQUIRES: channelMutex held
  bool _TakeDescription(int channel, String& out);
};

#endif  // VIGILD_LOGGING_LOGCHANNELTABLE_H

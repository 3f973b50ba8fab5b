#include "LogChannelTable.h"

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "CriticalSection.h"
#include "ThreadLauncher.h"

namespace {

// The numeric id of the calling thread, asked of the system once per thread:
// it is looked up for every record, and the system call would be most of a
// record's cost. A child made by fork keeps its parent thread's id here, so
// it logs on that thread's channel, which is where its output belongs anyway.
unsigned CurrentThreadId() {
  thread_local const unsigned id = ThreadLauncher::GetCurrentThreadNumericId();
  return id;
}

}  // namespace

LogChannelTable::LogChannelTable() { rootFacilityName[0] = '\0'; }

void LogChannelTable::SetRootName(const char* name) {
  char pidText[32];
  snprintf(pidText, sizeof pidText, "-%d", static_cast<int>(getpid()));
  std::string root = name != nullptr ? name : "";
  const size_t room = kRootFacilitySize - 1 - strlen(pidText);
  if (root.size() > room) {
    root.resize(room);
  }
  root += pidText;
  CriticalSection lock(&channelMutex);
  snprintf(rootFacilityName, sizeof rootFacilityName, "%s", root.c_str());
}

std::string LogChannelTable::RootName() const {
  CriticalSection lock(&channelMutex);
  return rootFacilityName;
}

void LogChannelTable::MapCurrentThread(int channel) {
  const unsigned thread = CurrentThreadId();
  CriticalSection lock(&channelMutex);
  channelDescriptions.erase(channel);
  threadChannels[thread] = channel;
}

void LogChannelTable::UnmapCurrentThread() {
  const unsigned thread = CurrentThreadId();
  CriticalSection lock(&channelMutex);
  auto mapped = threadChannels.find(thread);
  if (mapped == threadChannels.end()) {
    return;
  }
  if (mapped->second != 0) {
    channelDescriptions.erase(mapped->second);
  }
  threadChannels.erase(mapped);
}

int LogChannelTable::CurrentChannel() const {
  const unsigned thread = CurrentThreadId();
  CriticalSection lock(&channelMutex);
  auto mapped = threadChannels.find(thread);
  return mapped != threadChannels.end() ? mapped->second : 0;
}

void LogChannelTable::Describe(int channel, const char* text) {
  CriticalSection lock(&channelMutex);
  channelDescriptions[channel] = String(text);
}

void LogChannelTable::Undescribe(int channel) {
  CriticalSection lock(&channelMutex);
  channelDescriptions.erase(channel);
}

bool LogChannelTable::Description(int channel, String& out) const {
  CriticalSection lock(&channelMutex);
  auto found = channelDescriptions.find(channel);
  if (found == channelDescriptions.end()) {
    return false;
  }
  out = found->second;
  return true;
}

bool LogChannelTable::_TakeDescription(int channel, String& out) {
  auto found = channelDescriptions.find(channel);
  if (found == channelDescriptions.end()) {
    return false;
  }
  out = found->second;
  channelDescriptions.erase(found);
  return true;
}

bool LogChannelTable::TakeDescription(int channel, String& out) {
  CriticalSection lock(&channelMutex);
  return _TakeDescription(channel, out);
}

bool LogChannelTable::Stamp(LogMessage& record, String* description) {
  const unsigned thread = CurrentThreadId();
  char facility[kRootFacilitySize + 24];
  bool described = false;
  int channel = 0;
  {
    CriticalSection lock(&channelMutex);
    auto mapped = threadChannels.find(thread);
    if (mapped != threadChannels.end()) {
      channel = mapped->second;
    }
    snprintf(facility, sizeof facility, "%s:%d", rootFacilityName, channel);
    if (description != nullptr) {
      described = _TakeDescription(channel, *description);
    }
  }
  record.facility = facility;
  record.channel = channel;
  return described;
}

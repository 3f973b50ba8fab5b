#include "LogQueue.h"

#include "CriticalSection.h"
#include "Sleep.h"

LogQueue::LogQueue(size_t maxRecords) : capacity(maxRecords) {}

int LogQueue::Status() const { return mutex.Status() != 0 ? mutex.Status() : work.Status(); }

bool LogQueue::Push(const Handle<LogMessage>& record, const std::function<bool()>& giveUp) {
  for (;;) {
    {
      CriticalSection lock(&mutex);
      if (records.size() < capacity) {
        records.push_back(record);
        return true;
      }
    }
    work.Signal();
    Sleep(kFullPauseMs);
    if (giveUp()) {
      return false;
    }
  }
}

void LogQueue::TakeAll(Records& out) {
  Records taken;
  {
    CriticalSection lock(&mutex);
    taken.swap(records);
  }
  if (out.empty()) {
    out.swap(taken);
  } else {
    out.insert(out.end(), taken.begin(), taken.end());
  }
}

bool LogQueue::TakeFirst(Handle<LogMessage>& record, bool& nowEmpty) {
  CriticalSection lock(&mutex);
  if (records.empty()) {
    nowEmpty = true;
    return false;
  }
  record = records.front();
  records.pop_front();
  nowEmpty = records.empty();
  return true;
}

size_t LogQueue::Size() {
  CriticalSection lock(&mutex);
  return records.size();
}

int LogQueue::WaitForWork(int timeoutMs) { return work.Wait(timeoutMs); }

void LogQueue::Wake() { work.Signal(); }

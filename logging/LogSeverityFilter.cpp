#include "LogSeverityFilter.h"

#include <stdio.h>
#include <string.h>

#include "CriticalSection.h"
#include "LogSeverityCode.h"

LogSeverityFilter::LogSeverityFilter() : taskTableCount(0) {
  for (auto& entry : acceptGlobal) {
    entry.store(false, std::memory_order_relaxed);
  }
  acceptGlobal[Fatal].store(true, std::memory_order_relaxed);
}

void LogSeverityFilter::SetUpTo(bool* table, int severity) {
  if (table == nullptr || severity < 0 || severity > Debug8) {
    return;
  }
  for (int i = 0; i <= severity; ++i) {
    table[i] = true;
  }
}

void LogSeverityFilter::FillForLevel(bool* table, unsigned level) {
  for (int i = 0; i < kTableSize; ++i) {
    table[i] = false;
  }
  table[Fatal] = true;
  if (level <= 10) {
    SetUpTo(table, static_cast<int>(level) + 1);
  }
}

void LogSeverityFilter::FillForFilter(bool* table, const char* filter) {
  for (int i = 0; i < kTableSize; ++i) {
    table[i] = false;
  }
  table[Fatal] = true;
  if (filter == nullptr) {
    return;
  }
  for (const char* c = filter; *c != '\0'; ++c) {
    if (*c == 'F') {
      table[Error] = true;
    } else if (*c == 'W') {
      table[Warning] = true;
    } else if (*c == 'I') {
      table[Info] = true;
    } else if (*c >= '1' && *c <= '8') {
      table[Debug1 + (*c - '1')] = true;
    }
  }
}

// Entry by entry: a reader racing a change sees each severity either as it
// was or as it will be, never a table cleared in between.
void LogSeverityFilter::_StoreGlobal(const bool* table) {
  for (int i = 0; i < kTableSize; ++i) {
    acceptGlobal[i].store(table[i], std::memory_order_relaxed);
  }
}

void LogSeverityFilter::SetFilter(const char* filter) {
  bool table[kTableSize];
  FillForFilter(table, filter);
  _StoreGlobal(table);
}

void LogSeverityFilter::SetAccept(int severity, bool on) {
  // Fatal records are never filtered out, whoever asks.
  if (severity > Fatal && severity < kTableSize) {
    acceptGlobal[severity].store(on, std::memory_order_relaxed);
  }
}

void LogSeverityFilter::SetUpTo(int severity) {
  if (severity < 0 || severity > Debug8) {
    return;
  }
  for (int i = 0; i <= severity; ++i) {
    acceptGlobal[i].store(true, std::memory_order_relaxed);
  }
}

bool LogSeverityFilter::SetLevel(unsigned level) {
  bool table[kTableSize];
  FillForLevel(table, level);
  _StoreGlobal(table);
  return table[Info];
}

bool LogSeverityFilter::SetLevel(unsigned level, int taskId) {
  Table table{};
  FillForLevel(table.data(), level);
  CriticalSection lock(&taskMutex);
  acceptByTask[taskId] = table;
  taskTableCount.store(static_cast<int>(acceptByTask.size()), std::memory_order_release);
  return table[Info];
}

void LogSeverityFilter::UnsetLevel(int taskId) {
  CriticalSection lock(&taskMutex);
  acceptByTask.erase(taskId);
  taskTableCount.store(static_cast<int>(acceptByTask.size()), std::memory_order_release);
}

bool LogSeverityFilter::AcceptsGlobally(int severity) const {
  if (severity < 0 || severity >= kTableSize) {
    return false;
  }
  return acceptGlobal[severity].load(std::memory_order_relaxed);
}

bool LogSeverityFilter::AcceptsForTask(int severity, int taskId) const {
  if (severity < 0 || severity >= kTableSize) {
    return false;
  }
  CriticalSection lock(&taskMutex);
  auto found = acceptByTask.find(taskId);
  return found != acceptByTask.end() && found->second[severity];
}

std::string LogSeverityFilter::_DescribeTable(const char* head, const bool* table) {
  std::string mask;
  int level = 0;
  const int letters = static_cast<int>(strlen(kMaskLetters));
  for (int i = 0; i < letters && i + 1 < kTableSize; ++i) {
    if (table[i + 1]) {
      mask += kMaskLetters[i];
      level = i;
    }
  }
  char line[160];
  snprintf(line, sizeof line, "%sLevel=%2d; Mask=%s", head, level, mask.c_str());
  return line;
}

void LogSeverityFilter::Describe(std::list<std::string>& out) const {
  out.clear();
  bool global[kTableSize];
  for (int i = 0; i < kTableSize; ++i) {
    global[i] = acceptGlobal[i].load(std::memory_order_relaxed);
  }
  out.push_back(_DescribeTable("> Global   ", global));
  CriticalSection lock(&taskMutex);
  for (const auto& entry : acceptByTask) {
    char head[48];
    snprintf(head, sizeof head, "> ID %d  ", entry.first);
    out.push_back(_DescribeTable(head, entry.second.data()));
  }
}

#include "LogDeviceFile.h"

#include <errno.h>
#include <sys/stat.h>

#include <algorithm>
#include <list>
#include <vector>

#include "Directory.h"
#include "File.h"
#include "Regex.h"

namespace {

constexpr int kSecondsPerDay = 86400;

FILE* OpenForAppend(const char* path) {
  FILE* file = nullptr;
  do {
    // Close-on-exec: the daemon starts shell commands, which must not inherit
    // the log file.
    file = fopen(path, "ae");
  } while (file == nullptr && errno == EINTR);
  return file;
}

}  // namespace

LogDeviceFile::LogDeviceFile()
    : retentionDays(0),
      currentFile(nullptr),
      currentDay(0),
      failing(false),
      scratchTime(0L),
      timeFieldsSecond(-1),
      placeCheckedSecond(-1) {}

LogDeviceFile::~LogDeviceFile() { CloseCurrentFile(); }

bool LogDeviceFile::Init(const char* dir, const char* prefix, const int retention) {
  directory = dir;
  filePrefix = prefix;
  retentionDays = retention;
  if (!Directory(directory.chars()).CheckPath()) {
    const int error = errno;
    _ReportFailure("[LogDeviceFile::Init] ERROR : create log directory " +
                       std::string(directory.chars()) + " failed!:",
                   error);
  }
  return true;
}

bool LogDeviceFile::ProcessMessage(Handle<LogMessage>& record, bool flush) {
  if (record.IsNull()) {
    return true;
  }
  if (!CheckFile(static_cast<int>(record->time.GMTCount()))) {
    return false;
  }
  _FormatLine(*record);
  if (fwrite(line.data(), 1, line.size(), currentFile) != line.size()) {
    return _WriteFailed();
  }
  if (flush && fflush(currentFile) != 0) {
    return _WriteFailed();
  }
  failing = false;
  return true;
}

bool LogDeviceFile::CheckFile(int time) {
  if (currentFile != nullptr && time / kSecondsPerDay <= currentDay) {
    if (time == placeCheckedSecond) {
      return true;
    }
    placeCheckedSecond = time;
    if (_StillInPlace()) {
      return true;
    }
    // Records written on would go to a file nobody can reach any more.
    return OpenFileFor(currentDay * kSecondsPerDay);
  }
  CloseCurrentFile();
  if (!OpenFileFor(time)) {
    return false;
  }
  CheckRetentionPeriod();
  return true;
}

bool LogDeviceFile::OpenFileFor(int time) {
  CloseCurrentFile();
  scratchTime.SetGMTCount(time);
  scratchTime.ConvertToGMT();
  currentDay = time / kSecondsPerDay;
  char date[32];
  snprintf(date, sizeof date, "%04d.%02d.%02d", scratchTime.Year(), scratchTime.Month(),
           scratchTime.Day());
  const String path = directory + "/" + date + filePrefix + ".log";
  currentFile = OpenForAppend(path.chars());
  if (currentFile == nullptr && errno == ENOENT) {
    // The directory went away (or could never be made): try to make it again
    // so that logging resumes by itself once that is possible.
    Directory(directory.chars()).CheckPath();
    currentFile = OpenForAppend(path.chars());
  }
  if (currentFile == nullptr) {
    const int error = errno;
    _ReportFailure("[LogDeviceFile::OpenFileFor] ERROR : open log file " +
                       std::string(path.chars()) + " failed!:",
                   error);
    currentFileName = "";
    return false;
  }
  currentFileName = path;
  return true;
}

bool LogDeviceFile::_StillInPlace() const {
  struct stat named, open;
  return stat(currentFileName.chars(), &named) == 0 && fstat(fileno(currentFile), &open) == 0 &&
         named.st_dev == open.st_dev && named.st_ino == open.st_ino;
}

void LogDeviceFile::CloseCurrentFile() {
  if (currentFile != nullptr) {
    fclose(currentFile);
    currentFile = nullptr;
  }
  currentFileName = "";
}

bool LogDeviceFile::CheckRetentionPeriod() {
  // Compared unsigned, so a negative retention keeps everything. As the open
  // file is never removed, 0 keeps that one only.
  const size_t keep = static_cast<unsigned>(retentionDays);
  const Regex pattern(("[0-9.]+" + filePrefix).chars());
  std::list<std::string> names;
  Directory(directory.chars()).GetFiles(names, 0);
  std::vector<std::string> candidates;
  std::string dirPart, namePart, extension;
  for (const std::string& name : names) {
    File::Split(name, dirPart, namePart, extension);
    const int length = static_cast<int>(namePart.size());
    if (extension == "log" && pattern.match(namePart.c_str(), length) == length) {
      candidates.push_back(name);
    }
  }
  if (candidates.size() <= keep) {
    return true;
  }
  // The dated names sort oldest first.
  std::sort(candidates.begin(), candidates.end());
  size_t remaining = candidates.size();
  for (size_t i = 0; i < candidates.size() && remaining > keep; ++i) {
    const String path = directory + "/" + candidates[i].c_str();
    // A clock set back can leave newer-dated files behind the open one.
    if (path == currentFileName) {
      continue;
    }
    File(path.chars()).Remove();  // reports its own failures
    --remaining;
  }
  return true;
}

void LogDeviceFile::_FormatLine(LogMessage& record) {
  const long seconds = record.time.GMTCount();
  if (seconds != timeFieldsSecond) {
    // Records come in bursts within one second: print its two time fields
    // once. The scratch time, not the record's: printing fills a cache.
    scratchTime.SetGMTCount(seconds);
    char timeText[Timestamp::kPrintBufferSize];
    scratchTime.PrintGMTVex(timeText);
    timeFields = std::to_string(seconds) + '\t' + timeText + '\t';
    timeFieldsSecond = seconds;
  }
  line = timeFields;
  line += record.facility;
  line += '\t';
  line += record.getSeverityChar();
  line += '\t';
  if (!record.errorCode.empty()) {
    line += '[';
    line += record.errorCode;
    line += ']';
  }
  line += '\t';
  line += record.getErrorString();
  line += '\t';
  line += record.getErrorMessage();
  ApplyLengthRule(line);
  std::replace(line.begin(), line.end(), '\n', ' ');
  line += '\n';
}

bool LogDeviceFile::_WriteFailed() {
  const int error = errno;
  _ReportFailure("[LogDeviceFile::ProcessMessage] ERROR : write to log file " +
                     std::string(currentFileName.chars()) + " failed!:",
                 error);
  CloseCurrentFile();
  return false;
}

void LogDeviceFile::_ReportFailure(const std::string& text, int error) {
  if (failing) {
    return;
  }
  failing = true;
  // One write, so that the line is not split by another thread's output.
  const std::string report = text + std::to_string(error) + "\n";
  fputs(report.c_str(), stderr);
}

#include "LogDeviceFile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <list>
#include <vector>

#include "Directory.h"
#include "File.h"
#include "LogDeviceConsole.h"
#include "Regex.h"

namespace {

constexpr int kSecondsPerDay = 86400;

// Opens path for appending, close-on-exec (the daemon starts shell commands,
// which must not inherit the log file). The directory may be open to other
// users, so only a plain file of the daemon's own, with no other name, is
// taken: never a link planted at the day's name (it would have the daemon
// append to any file), nor a file another user owns (its owner could read
// and rewrite the log), nor a pipe or device (non-blocking, so that opening
// a pipe nobody reads cannot hang). Null with errno set on a failure; null
// with *refusal saying why for a file found but not taken.
FILE* OpenForAppend(const char* path, std::string* refusal) {
  refusal->clear();
  int fd;
  do {
    fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (errno == ELOOP) {
      *refusal = "it is a symbolic link";
    } else if (errno == ENXIO) {
      *refusal = "it is not a regular file";
    }
    return nullptr;
  }
  struct stat info;
  if (fstat(fd, &info) != 0) {
    const int error = errno;
    close(fd);
    errno = error;
    return nullptr;
  }
  if (!S_ISREG(info.st_mode)) {
    *refusal = "it is not a regular file";
  } else if (info.st_uid != geteuid()) {
    *refusal = "it is owned by uid " + std::to_string(info.st_uid) + ", not by the daemon's uid " +
               std::to_string(geteuid());
  } else if (info.st_nlink != 1) {
    *refusal = "it has other names (hard links)";
  }
  FILE* file = nullptr;
  if (refusal->empty() && fcntl(fd, F_SETFL, O_WRONLY | O_APPEND) == 0) {
    file = fdopen(fd, "a");
  }
  if (file == nullptr) {
    const int error = errno;
    close(fd);
    errno = error;
  }
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
      placeCheckedSecond(-1),
      refusedReported(false) {}

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
    return refusedNote.empty() ? false : _ToConsole(record);
  }
  refusedReported = false;
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
  std::string refusal;
  currentFile = OpenForAppend(path.chars(), &refusal);
  if (currentFile == nullptr && refusal.empty() && errno == ENOENT) {
    // The directory went away (or could never be made): try to make it again
    // so that logging resumes by itself once that is possible.
    Directory(directory.chars()).CheckPath();
    currentFile = OpenForAppend(path.chars(), &refusal);
  }
  if (!refusal.empty()) {
    refusedNote = "[LogDeviceFile::OpenFileFor] ERROR : log file " + std::string(path.chars()) +
                  " refused: " + refusal + "; records go to the console";
    currentFileName = "";
    return false;
  }
  refusedNote.clear();
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
  // lstat: a link put in the file's place is not the file.
  struct stat named, open;
  return lstat(currentFileName.chars(), &named) == 0 && fstat(fileno(currentFile), &open) == 0 &&
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

bool LogDeviceFile::_ToConsole(Handle<LogMessage>& record) {
  if (!console) {
    console.reset(new LogDeviceConsole);
  }
  if (!refusedReported) {
    // Once per run of refusals, not once per record.
    refusedReported = true;
    Handle<LogMessage> note(new LogMessage(Error, "DL30000"));
    note->append(refusedNote.c_str());
    note->errorString = "GENERIC";
    note->facility = record->facility;
    note->EscapeControlBytes();
    console->ProcessMessage(note, true);
  }
  return console->ProcessMessage(record, true);
}

bool LogDeviceFile::Drain(int timeoutMs) { return console ? console->Drain(timeoutMs) : true; }

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

// OutputLog: a program's captured output, kept by "vigilctl run --log": the
// bytes of its standard output and error, cut into lines, each line written
// with the time it ended ("2026-05-01T12:00:00.123+0200 text"), to a file
// that is rotated by size (FILE.1 is the newest old file, FILE.K the oldest,
// older ones are removed).
//
// The program is never held up by the disk: Feed only queues, and a writer
// thread of the log's own writes. When the queue holds kQueueBytes, or a
// write fails (a full disk, an I/O error), lines are dropped and counted;
// the next line that can be written is preceded by one saying how many were
// lost.
//
// Owned by the wrapper (ProgramRunner). Feed and Close are called by one
// thread, the owner's; the writer thread is started by Open and joined by
// Close. One mutex guards the queue, its size and the closing flag.
#ifndef VIGILD_CLIENT_OUTPUTLOG_H
#define VIGILD_CLIENT_OUTPUTLOG_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

class OutputLog {
 public:
  // Output waiting for the disk at most; beyond it lines are dropped.
  static constexpr size_t kQueueBytes = 1 << 20;
  // A longer line is written in pieces of this many bytes.
  static constexpr size_t kMaxLine = 16384;

  // path: the current file; maxBytes: its size before it is rotated; keep:
  // how many rotated files stay (0: the file is emptied instead).
  OutputLog(std::string path, long maxBytes, int keep);
  ~OutputLog();
  OutputLog(const OutputLog&) = delete;
  OutputLog& operator=(const OutputLog&) = delete;

  // Opens the file for appending and starts the writer. False with the
  // reason in *error when the file cannot be opened.
  bool Open(std::string* error);
  // Takes n bytes of output; never waits for the disk.
  void Feed(const char* data, size_t n);
  // Writes a last partial line, waits until the queue is written, and ends
  // the writer. Idempotent.
  void Close();
  // Lines lost so far.
  uint64_t Dropped() const { return dropped.load(); }

  // The time stamp that starts a line.
  static std::string Stamp(const timespec& when);

 private:
  void _Queue(std::string line);
  void _Writer();
  // Writes one line, rotating first when it would pass maxBytes; false when
  // the write failed.
  bool _Write(const std::string& line);
  void _Rotate();

  const std::string path;  // constant after construction
  const long maxBytes;     // constant after construction
  const int keep;          // constant after construction
  std::string partial;     // the owner's: output since the last line feed

  std::mutex mutex;  // guards queue, queued and closing
  std::condition_variable wake;
  std::deque<std::string> queue;
  size_t queued = 0;
  bool closing = false;

  int fd = -1;         // the writer's (before Open and after Close: the owner's)
  long size = 0;       // the writer's: bytes in the current file
  uint64_t noted = 0;  // the writer's: dropped lines already reported in the file
  std::atomic<uint64_t> dropped{0};
  std::thread writer;
};

#endif  // VIGILD_CLIENT_OUTPUTLOG_H

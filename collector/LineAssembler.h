// LineAssembler: cuts one connection's byte stream into order lines. A line
// ends at a line feed; carriage returns are dropped wherever they are; a line
// that reaches kMaxLine bytes is handed over at that length and the rest of
// it comes as the next line; a line is a C string, so it ends at its first
// NUL. Bytes after the last line feed wait for the next read and are lost
// when the connection ends or Drop is called.
//
// A waiting partial line is kept in a small inline part; only one longer than
// that takes a heap buffer of the whole line size, given back as soon as the
// line is handed over. An idle connection thus holds no line buffer.
//
// Owned by one connection record. One thread at a time; the owner locks.
#ifndef VIGILD_COLLECTOR_LINEASSEMBLER_H
#define VIGILD_COLLECTOR_LINEASSEMBLER_H

#include <stddef.h>

#include <atomic>
#include <memory>

class LineAssembler {
 public:
  // Bytes of the line buffer, its terminating zero included.
  static constexpr size_t kLineBufferSize = 31744;
  static constexpr size_t kMaxLine = kLineBufferSize - 1;
  // A partial line up to this many bytes (zero excluded) stays inline.
  static constexpr size_t kInlineBytes = 39;

  LineAssembler() = default;
  ~LineAssembler() { Drop(); }
  LineAssembler(const LineAssembler&) = delete;
  LineAssembler& operator=(const LineAssembler&) = delete;

  // Feeds the n bytes at data and calls deliver(const char* line) for every
  // line they complete, in order. data is scratch space: it is rewritten.
  // When deliver returns false, the rest of data is dropped and Feed returns
  // false; else true.
  template <typename Deliver>
  bool Feed(char* data, size_t n, Deliver&& deliver);

  // Forgets the partial line and gives its buffer back.
  void Drop();
  // Bytes of the partial line waiting.
  size_t Pending() const { return pending_; }
  // Whether the heap buffer is taken.
  bool HoldsBuffer() const { return heap_ != nullptr; }
  // Heap buffers that all assemblers hold at the moment; safe for concurrent
  // use.
  static long BuffersHeld() { return buffersHeld_.load(); }

 private:
  // Appends length bytes to the partial line, taking the heap buffer when the
  // inline part is too small. REQUIRES: pending_ + length <= kMaxLine.
  void _Append(const char* bytes, size_t length);
  // The partial line, NUL-terminated.
  const char* _Text();

  size_t pending_ = 0;
  std::unique_ptr<char[]> heap_;
  char inline_[kInlineBytes + 1];
  static std::atomic<long> buffersHeld_;
};

template <typename Deliver>
bool LineAssembler::Feed(char* data, size_t n, Deliver&& deliver) {
  // The bytes kept of the current line are moved down to data[start, write):
  // write never passes the byte being read, so a line found whole in data is
  // terminated in place and handed over without a copy.
  size_t start = 0;
  size_t write = 0;
  for (size_t read = 0; read < n; ++read) {
    const char c = data[read];
    if (c == '\r') {
      continue;
    }
    if (c == '\n') {
      bool more;
      if (pending_ == 0) {
        data[write] = '\0';
        more = deliver(static_cast<const char*>(data + start));
      } else {
        _Append(data + start, write - start);
        more = deliver(_Text());
        Drop();
      }
      if (!more) {
        Drop();
        return false;
      }
      start = write = read + 1;
      continue;
    }
    data[write++] = c;
    if (pending_ + (write - start) == kMaxLine) {
      _Append(data + start, write - start);
      const bool more = deliver(_Text());
      Drop();
      if (!more) {
        return false;
      }
      start = write;
    }
  }
  _Append(data + start, write - start);
  return true;
}

#endif  // VIGILD_COLLECTOR_LINEASSEMBLER_H

#include "LineAssembler.h"

#include <string.h>

std::atomic<long> LineAssembler::buffersHeld_{0};

void LineAssembler::Drop() {
  pending_ = 0;
  if (heap_ != nullptr) {
    heap_.reset();
    buffersHeld_.fetch_sub(1);
  }
}

void LineAssembler::_Append(const char* bytes, size_t length) {
  if (length == 0) {
    return;
  }
  if (heap_ == nullptr && pending_ + length > kInlineBytes) {
    heap_.reset(new char[kLineBufferSize]);
    buffersHeld_.fetch_add(1);
    memcpy(heap_.get(), inline_, pending_);
  }
  memcpy((heap_ != nullptr ? heap_.get() : inline_) + pending_, bytes, length);
  pending_ += length;
}

const char* LineAssembler::_Text() {
  char* text = heap_ != nullptr ? heap_.get() : inline_;
  text[pending_] = '\0';
  return text;
}

#include "LogQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

Handle<LogMessage> Record(const std::string& text) {
  Handle<LogMessage> record(new LogMessage(Info, 0u, "VIGILD-1:0", "", ""));
  record->append(text.c_str());
  return record;
}

std::vector<std::string> Texts(const LogQueue::Records& records) {
  std::vector<std::string> texts;
  for (const Handle<LogMessage>& record : records) {
    texts.push_back(record->getText().chars());
  }
  return texts;
}

const auto kNever = [] { return false; };

// A producer that finds the queue full wakes the writer at once and waits
// for room; the writer takes everything in order, and the waiting record
// follows.
TEST(LogQueueTest, FullQueueWakesTheWriterAndHoldsTheProducerUntilItTakesTheLoad) {
  LogQueue queue(3);
  ASSERT_EQ(0, queue.Status());
  for (const char* text : {"a", "b", "c"}) {
    ASSERT_TRUE(queue.Push(Record(text), kNever));
  }
  std::atomic<bool> pushed{false};
  std::thread producer([&] {
    queue.Push(Record("d"), kNever);
    pushed = true;
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(0, queue.WaitForWork(10000)) << "the full queue did not wake the writer";
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(pushed.load()) << "a record went past the capacity";

  LogQueue::Records load{Record("kept")};
  queue.TakeAll(load);
  EXPECT_EQ((std::vector<std::string>{"kept", "a", "b", "c"}), Texts(load));
  producer.join();
  Handle<LogMessage> first;
  bool nowEmpty = false;
  ASSERT_TRUE(queue.TakeFirst(first, nowEmpty));
  EXPECT_STREQ("d", first->getText().chars());
  EXPECT_TRUE(nowEmpty);
  nowEmpty = false;
  EXPECT_FALSE(queue.TakeFirst(first, nowEmpty));
  EXPECT_TRUE(nowEmpty);
}

// A server that is stopping makes room for nobody: the producer gives up
// instead of waiting for ever, and nothing of its record is queued.
TEST(LogQueueTest, ProducerOfAFullQueueGivesUpWhenToldNobodyWillMakeRoom) {
  LogQueue queue(1);
  ASSERT_TRUE(queue.Push(Record("only"), kNever));
  int asked = 0;
  EXPECT_FALSE(queue.Push(Record("late"), [&] { return ++asked == 3; }));
  EXPECT_EQ(3, asked);
  EXPECT_EQ(1u, queue.Size());
  // Finding it full woke the writer: the wake waits for the writer's next look.
  EXPECT_EQ(0, queue.WaitForWork(1000));
  EXPECT_EQ(TaskEvent::kTimedOut, queue.WaitForWork(50));
}

}  // namespace

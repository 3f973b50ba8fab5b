#include "Handle.h"
#include "TestCommon.h"

namespace {

std::atomic<int> destroyed{0};

// Counts its destructions; may hold the next object of a chain, so that its
// destructor releases another handle.
struct Counted : RefCounter {
  explicit Counted(Counted* nextObject = nullptr) : next(nextObject) {}
  ~Counted() override { destroyed++; }
  Handle<Counted> next;
};

}  // namespace

TEST(HandleTest, CopiesShareTheObjectEvenAcrossThreadsAndTheLastOneDeletesItOnce) {
  destroyed = 0;
  Counted* object = new Counted;
  auto* first = new Handle<Counted>(object);
  Handle<Counted> second(*first);
  EXPECT_EQ(2, object->RefCount());
  delete first;
  Handle<Counted>& alias = second;
  second = alias;
  EXPECT_EQ(1, object->RefCount());
  Handle<Counted> third(new Counted);
  second = third;  // drops the last handle on `object`
  EXPECT_EQ(1, destroyed);
  EXPECT_EQ(2, third->RefCount());
  // Would deadlock if objects were deleted while the count mutex is held.
  { Handle<Counted> head(new Counted(new Counted(new Counted))); }
  EXPECT_EQ(4, destroyed);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&third] {
      for (int i = 0; i < 20000; ++i) {
        Handle<Counted> copy(third), other;
        other = copy;
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(2, third->RefCount());
}

TEST(BErrorTest, NullHandleThrowsOneAndGetMsgJoinsMessageAndOriginOnly) {
  String out("previous text");
  try {
    Handle<Counted>()->RefCount();
    ADD_FAILURE() << "nothing thrown";
  } catch (const BError& error) {
    EXPECT_STREQ("BError: '<UNDEFINED>',from 'Handle< T >::operator->'", error.GetMsg(out));
  }
  BError error("ListenPort::Initialize", "bind failed");
  EXPECT_EQ(1, error.AddErrorLine(3, "vigild::main"));
  EXPECT_EQ(1, error.AddErrorLine(-1, nullptr));
  EXPECT_STREQ("BError: 'bind failed',from 'ListenPort::Initialize'", BError(error).GetMsg(out));
  EXPECT_STREQ("BError: '',from ''", BError(nullptr, nullptr).GetMsg(out));
}

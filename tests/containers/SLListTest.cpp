#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SLList.h"
#include "String.h"

namespace {

// Keeps what the error hook receives, so tests can see misuse was noticed.
class RecordingList : public SLList<int> {
 public:
  mutable std::vector<std::string> errors;

 protected:
  void error(const char* msg) const override { errors.push_back(msg); }
};

template <class T, class R = T>
std::vector<R> Items(const SLList<T>& list) {
  std::vector<R> items;
  for (Pix p = list.first(); p != nullptr; list.next(p)) {
    items.push_back(R(list(p)));
  }
  return items;
}

}  // namespace

TEST(SLListTest, AppendPrependInsertDeleteAndClearKeepOrder) {
  SLList<int> list;
  list.clear();  // harmless on an empty list
  Pix one = list.append(1);
  Pix two = list.append(2);
  list.append(3);
  list.prepend(0);
  list.ins_after(two, 9);
  list.ins_after(list.ins_after(nullptr, -1), -2);
  EXPECT_EQ((std::vector<int>{-1, -2, 0, 1, 2, 9, 3}), Items(list));
  list.del_after(one);      // removes 2
  list.del_after(nullptr);  // removes -1
  EXPECT_EQ(-2, list.remove_front());
  list.append(4);  // after the last node, so last moved correctly
  EXPECT_EQ((std::vector<int>{0, 1, 9, 3, 4}), Items(list));
  EXPECT_EQ(5, list.length());
  EXPECT_EQ(1, list.OK());
  EXPECT_TRUE(list.owns(one));
  SLList<int> other;
  EXPECT_FALSE(list.owns(other.append(1)));
  EXPECT_FALSE(list.owns(nullptr));
  list.clear();
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(nullptr, list.first());
  list.append(7);
  EXPECT_EQ((std::vector<int>{7}), Items(list));
}

TEST(SLListTest, MisuseIsReportedAndChangesNothing) {
  RecordingList list;
  list.del_front();
  EXPECT_EQ(0, list.remove_front());
  list.del_after(nullptr);
  Pix only = list.append(8);
  list.del_after(only);
  EXPECT_EQ(0, list(nullptr));
  EXPECT_EQ((std::vector<int>{8}), Items(list));
  EXPECT_EQ(
      (std::vector<std::string>{"del_front of empty list", "remove_front of empty list",
                                "del_front of empty list", "cannot del_after last", "null Pix"}),
      list.errors);
}

TEST(SLListTest, CopiesAreDeepAndJoinMovesNodes) {
  SLList<String> a, c;
  a.append("x");
  a.append("y");
  SLList<String> b(a);
  c.append("old");
  c = a;
  c = c;
  a(a.first()) = "changed";
  a.append("z");
  const std::vector<std::string> xy{"x", "y"};
  EXPECT_EQ(xy, (Items<String, std::string>(b)));
  EXPECT_EQ(xy, (Items<String, std::string>(c)));
  a.join(b);
  EXPECT_TRUE(b.empty());
  b.join(a);
  EXPECT_EQ((std::vector<std::string>{"changed", "y", "z", "x", "y"}),
            (Items<String, std::string>(b)));
}

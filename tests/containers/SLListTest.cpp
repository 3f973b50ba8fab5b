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

std::vector<int> Items(const SLList<int>& list) {
  std::vector<int> items;
  for (Pix p = list.first(); p != nullptr; list.next(p)) {
    items.push_back(list(p));
  }
  return items;
}

}  // namespace

TEST(SLListTest, AppendPrependAndInsertKeepOrder) {
  SLList<int> list;
  Pix one = list.append(1);
  Pix two = list.append(2);
  list.append(3);
  EXPECT_EQ(3, list.length());
  EXPECT_EQ(1, list(list.first()));
  list.prepend(0);
  list.ins_after(two, 9);
  list.ins_after(list.ins_after(nullptr, -1), -2);
  EXPECT_EQ((std::vector<int>{-1, -2, 0, 1, 2, 9, 3}), Items(list));
  list.del_after(one);      // removes 2
  list.del_after(nullptr);  // removes -1
  EXPECT_EQ(-2, list.remove_front());
  EXPECT_EQ((std::vector<int>{0, 1, 9, 3}), Items(list));
  EXPECT_TRUE(list.owns(one));
  SLList<int> other;
  EXPECT_FALSE(list.owns(other.append(1)));
  EXPECT_FALSE(list.owns(nullptr));
  list.append(4);  // after the last node, so last moved correctly
  EXPECT_EQ((std::vector<int>{0, 1, 9, 3, 4}), Items(list));
  EXPECT_EQ(1, list.OK());
}

TEST(SLListTest, ClearEmptiesAndIsHarmlessOnAnEmptyList) {
  SLList<int> list;
  list.clear();
  EXPECT_EQ(0, list.length());
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(nullptr, list.first());
  list.append(5);
  list.append(6);
  list.clear();
  EXPECT_EQ(0, list.length());
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
  int& dummy = list(nullptr);
  EXPECT_EQ(0, dummy);
  EXPECT_EQ((std::vector<int>{8}), Items(list));
  EXPECT_EQ(
      (std::vector<std::string>{"del_front of empty list", "remove_front of empty list",
                                "del_front of empty list", "cannot del_after last", "null Pix"}),
      list.errors);
}

TEST(SLListTest, CopiesAreDeepAndJoinMovesNodes) {
  SLList<String> a;
  a.append("x");
  a.append("y");
  SLList<String> b(a);
  SLList<String> c;
  c.append("old");
  c = a;
  c = c;
  a(a.first()) = "changed";
  a.append("z");
  EXPECT_EQ(3, a.length());
  for (const SLList<String>* copy : {&b, &c}) {
    ASSERT_EQ(2, copy->length());
    EXPECT_EQ("x", (*copy)(copy->first()));
    Pix p = copy->first();
    copy->next(p);
    EXPECT_EQ("y", (*copy)(p));
  }
  a.join(b);
  EXPECT_EQ(5, a.length());
  EXPECT_TRUE(b.empty());
  b.join(a);
  EXPECT_EQ(5, b.length());
  EXPECT_EQ("changed", b.remove_front());
  EXPECT_EQ("y", b(b.first()));
}

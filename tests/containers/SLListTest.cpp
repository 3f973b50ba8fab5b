#include "SLList.h"
#include "TestCommon.h"

TEST(SLListTest, EditsKeepOrderCopiesAreDeepAndMisuseChangesNothing) {
  SLList<int> list;
  EXPECT_EQ(0, list.remove_front());
  Pix one = list.append(1);
  list.append(2);
  list.prepend(5);
  list.del_after(one);        // removes 2
  Pix four = list.append(4);  // after the last node, so the last one moved correctly
  list.del_after(four);       // nothing follows the last node
  EXPECT_EQ(0, list(nullptr));
  SLList<int> copy(list);
  copy(copy.first()) = 9;
  list.join(copy);
  EXPECT_TRUE(copy.empty());
  EXPECT_EQ(5, list.remove_front());  // the copy changed its own node only
  std::vector<int> items;
  for (Pix p = list.first(); p != nullptr; list.next(p)) {
    items.push_back(list(p));
  }
  EXPECT_EQ((std::vector<int>{1, 4, 9, 1, 4}), items);
  EXPECT_EQ(1, list.OK());
}

#include "service/registry/kel_list.h"

#include <gtest/gtest.h>

#include <thread>

#include "service/registry/registry_ops.h"

namespace {

int destroyed = 0;

struct Item : CKelRecord {
  explicit Item(int v = 0) : value(v) {}
  ~Item() override { ++destroyed; }
  Item& operator=(const Item& other) {
    CKelRecord::operator=(other);
    value = other.value;
    return *this;
  }
  int value;
};

int LiveSameValue(const CKelRecord* candidate, const CKelRecord* key) {
  return !candidate->pendingDelete &&
         static_cast<const Item*>(candidate)->value == static_cast<const Item*>(key)->value;
}

int Value(CKelNode* node) { return static_cast<Item*>(node->data)->value; }

// Registry operations may log; the logs stay inside this test's own network.
class KelListTest : public ::testing::Test {
 protected:
  void SetUp() override { destroyed = 0; }
};

TEST_F(KelListTest, EmptyListOperationsFindNothing) {
  CKelList list;
  Item key(1);
  EXPECT_TRUE(list.IsEmpty());
  EXPECT_EQ(list.GetHead(), nullptr);
  EXPECT_EQ(list.DetachHead(), nullptr);
  EXPECT_EQ(list.DetachTail(), nullptr);
  EXPECT_EQ(list.DetachData(&key), nullptr);
  EXPECT_EQ(list.Find(&key, LiveSameValue), nullptr);
  list.RemoveHead();
  list.RemoveTail();
  list.RemoveAll();
  EXPECT_EQ(list.GetCount(), 0);
}

TEST_F(KelListTest, OrderFindFromDetachAndRemove) {
  CKelList list;
  list.AddTail(new Item(2));
  list.AddTail(new Item(3));
  list.AddHead(new Item(1));
  CKelNode* first = list.GetHead();
  EXPECT_EQ(Value(first), 1);
  EXPECT_EQ(list.GetNext(list.GetNext(list.GetNext(first))), nullptr);

  Item two(2);
  CKelNode* found = list.Find(&two, LiveSameValue);
  EXPECT_EQ(list.FindFrom(found, &two, LiveSameValue), found);  // inclusive
  EXPECT_EQ(list.FindFrom(list.GetNext(found), &two, LiveSameValue), nullptr);

  Item foreign(2);
  list.RemoveData(&foreign);  // not in the list: nothing removed, nothing destroyed
  EXPECT_EQ(list.GetCount(), 3);
  EXPECT_EQ(destroyed, 0);

  CKelNode* detached = list.DetachData(found->data);  // the caller owns it now
  EXPECT_EQ(detached, found);
  EXPECT_EQ(list.GetCount(), 2);
  delete detached;
  list.RemoveTail();
  EXPECT_EQ(destroyed, 2);
  EXPECT_EQ(Value(list.GetHead()), 1);
}

// A list that cannot make nodes.
class NoNodeList : public CKelList {
 public:
  CKelNode* InsertAfter(CKelNode*, CKelRecord*, int) override {
    throw "I failed in making of CKelNode.";
  }
};

// A list whose searches dawdle after looking, so that an add which lets go of the lock between
// its duplicate check and its insertion lets a second adder slip through.
class SlowFindList : public CKelList {
 public:
  CKelNode* Find(const CKelRecord* key, CKelMatch match, int locked) override {
    CKelNode* found = CKelList::Find(key, match, locked);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    return found;
  }
};

TEST_F(KelListTest, RegistryAddRefusesDuplicatesAndNodeFailure) {
  CKelList list;
  EXPECT_EQ(RegistryAdd(list, new Item(7), LiveSameValue), 0);
  Item twin(7);
  EXPECT_EQ(RegistryAdd(list, &twin, LiveSameValue), -1);

  NoNodeList broken;
  EXPECT_EQ(RegistryAdd(broken, &twin, LiveSameValue), -1);
  std::thread([&] { broken.Lock(), broken.Unlock(); }).join();  // the lock was released

  SlowFindList slow;
  Item* first = new Item(4);
  Item* second = new Item(4);
  int results[2] = {1, 1};
  std::thread a([&] { results[0] = RegistryAdd(slow, first, LiveSameValue); });
  std::thread b([&] { results[1] = RegistryAdd(slow, second, LiveSameValue); });
  a.join();
  b.join();
  EXPECT_EQ(results[0] + results[1], -1);  // exactly one of the two got in
  EXPECT_EQ(slow.GetCount(), 1);
  delete (results[0] == 0 ? second : first);
}

TEST_F(KelListTest, MarkDeletedThenCopyToANonEmptyTarget) {
  CKelList list;
  for (int v : {5, 6, 5}) list.AddTail(new Item(v));
  Item five(5);
  RegistryMarkDeleted(list, five, LiveSameValue);
  RegistryMarkDeleted(list, Item(9), LiveSameValue);  // matching nothing is no error
  EXPECT_EQ(list.GetCount(), 3);
  std::string flags;
  for (CKelNode* n = list.GetHead(); n; n = list.GetNext(n)) flags += '0' + n->data->pendingDelete;
  EXPECT_EQ(flags, "101");
  // A marked record no longer blocks an equal one.
  Item* again = new Item(5);
  again->pendingAdd = 1;
  EXPECT_EQ(RegistryAdd(list, again, LiveSameValue), 0);

  CKelList target;
  target.AddTail(new Item(99));
  ASSERT_EQ(RegistryCopyTo<Item>(list, &target, LiveSameValue, "refused", "unmade"), 4);
  std::string copied;
  for (CKelNode* n = target.GetHead(); n; n = target.GetNext(n)) {
    EXPECT_NE(n->data, again);
    copied += std::to_string(Value(n)) + ":" + std::to_string(n->data->pendingAdd) +
              std::to_string(n->data->pendingDelete) + " ";
  }
  EXPECT_EQ(copied, "5:01 6:00 5:01 5:10 ");
  EXPECT_EQ(RegistryCopyTo<Item>(list, nullptr, LiveSameValue, "refused", "unmade"), -1);
}

}  // namespace

// The lock-free-for-readers list and the process's image list built on it.
#include "VUCrashAsyncImageList.h"
#include "VUCrashAsyncList.h"

#include <gtest/gtest.h>

#include <limits.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

using List = vucrash::VU::async::async_list<int>;

std::vector<int> values(List &list) {
  std::vector<int> out;
  list.set_reading(true);
  for (List::node *n = list.next(nullptr); n != nullptr; n = list.next(n))
    out.push_back(n->value());
  list.set_reading(false);
  return out;
}

List::node *find(List &list, int value) {
  list.set_reading(true);
  List::node *found = nullptr;
  for (List::node *n = list.next(nullptr); n != nullptr && found == nullptr; n = list.next(n))
    if (n->value() == value)
      found = n;
  list.set_reading(false);
  return found;
}

TEST(AsyncList, AppendPrependAndRemoveKeepOrderAndEnds) {
  List list;
  EXPECT_TRUE(values(list).empty());
  list.nasync_append(2);
  list.nasync_append(3);
  list.nasync_prepend(1);
  list.nasync_append(4);
  EXPECT_EQ(values(list), (std::vector<int>{1, 2, 3, 4}));

  list.nasync_remove_node(find(list, 1));  // head
  list.nasync_remove_node(find(list, 3));  // middle
  list.nasync_remove_node(find(list, 4));  // tail
  EXPECT_EQ(values(list), (std::vector<int>{2}));
  // The tail moved back: an append lands after the survivor.
  list.nasync_append(5);
  EXPECT_EQ(values(list), (std::vector<int>{2, 5}));

  list.nasync_remove_node(find(list, 2));
  list.nasync_remove_node(find(list, 5));
  EXPECT_TRUE(values(list).empty());
  list.nasync_append(6);
  EXPECT_EQ(values(list), (std::vector<int>{6}));
  list.nasync_prepend(7);
  EXPECT_EQ(values(list), (std::vector<int>{7, 6}));
}

TEST(AsyncList, NodesRemovedUnderAReaderStayReadableAndAreReused) {
  List list;
  for (int i = 1; i <= 3; ++i)
    list.nasync_append(i);
  list.set_reading(true);
  List::node *second = list.next(list.next(nullptr));
  ASSERT_EQ(second->value(), 2);
  list.nasync_remove_node(second);
  // The reader standing on the removed node can still read it.
  EXPECT_EQ(second->value(), 2);
  list.set_reading(false);
  EXPECT_EQ(values(list), (std::vector<int>{1, 3}));

  // The parked node is the next one used.
  list.nasync_append(9);
  EXPECT_EQ(find(list, 9), second);
  EXPECT_EQ(values(list), (std::vector<int>{1, 3, 9}));
}

TEST(AsyncList, RemovingANodeThatIsNotListedChangesNothing) {
  List list, other;
  list.nasync_append(1);
  other.nasync_append(2);
  list.nasync_remove_node(find(other, 2));
  EXPECT_EQ(values(list), (std::vector<int>{1}));
}

TEST(AsyncListDeathTest, WalkingWithoutMarkingAsReaderStopsTheProcess) {
  List list;
  list.nasync_append(1);
  EXPECT_DEATH(list.next(nullptr), "_refcount > 0");
}

int functionInThisProgram() { return 7; }

TEST(ImageList, LoaderImagesAreListedWithTheirRangesAndBuildIds) {
  vucrash_async_image_list_t list;
  ASSERT_EQ(vucrash_nasync_image_list_init(&list, vu_task_self()), VUCRASH_ERR_NONE);
  vucrash_nasync_image_list_refresh(&list);

  char exe[PATH_MAX] = {};
  ASSERT_GT(readlink("/proc/self/exe", exe, sizeof(exe) - 1), 0);

  vucrash_async_image_list_set_reading(&list, true);
  vucrash_async_image_t *first = vucrash_async_image_list_next(&list, nullptr);
  ASSERT_NE(first, nullptr);
  EXPECT_STREQ(first->elf.name, exe);
  size_t count = 0;
  bool sawLibc = false;
  for (vucrash_async_image_t *image = first; image != nullptr;
       image = vucrash_async_image_list_next(&list, image)) {
    ++count;
    sawLibc |= std::string(image->elf.name).find("libc.so") != std::string::npos;
  }
  EXPECT_TRUE(sawLibc);

  const auto address = reinterpret_cast<uintptr_t>(&functionInThisProgram);
  vucrash_async_image_t *holder = vucrash_async_image_containing_address(&list, address);
  ASSERT_EQ(holder, first);
  EXPECT_TRUE(holder->elf.has_uuid);  // Debian's toolchain always writes a build id
  EXPECT_EQ(vucrash_async_elf_cpu_type(&holder->elf), 0x01000007u);
  EXPECT_EQ(vucrash_async_image_containing_address(&list, 0x10), nullptr);
  vucrash_async_image_list_set_reading(&list, false);

  // A second refresh finds nothing new; a removed image comes back with the next one.
  vucrash_nasync_image_list_refresh(&list);
  vucrash_nasync_image_list_remove(&list, first->elf.header_addr);
  vucrash_async_image_list_set_reading(&list, true);
  EXPECT_EQ(vucrash_async_image_containing_address(&list, address), nullptr);
  vucrash_async_image_list_set_reading(&list, false);
  vucrash_nasync_image_list_refresh(&list);
  size_t after = 0;
  vucrash_async_image_list_set_reading(&list, true);
  for (auto *image = vucrash_async_image_list_next(&list, nullptr); image != nullptr;
       image = vucrash_async_image_list_next(&list, image))
    ++after;
  EXPECT_NE(vucrash_async_image_containing_address(&list, address), nullptr);
  vucrash_async_image_list_set_reading(&list, false);
  EXPECT_EQ(after, count);
  vucrash_nasync_image_list_free(&list);
}

}  // namespace

// Tests of the generic list: cursor and errno rules, ownership, sort order.
#include "common/blob_list.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<int> g_destroyed;
void record_destroy(void* data, uint32_t, int32_t index) {
    g_destroyed.push_back(index);
    free(data);
}

std::string text_at(blob_list* l, int i) { return static_cast<const char*>(blob_list_get(l, i)); }

TEST(BlobList, FixedCapacityRefusesInsertButAcceptsBulkCopy) {
    blob_list* fixed = blob_list_new(0, 0, nullptr);
    EXPECT_EQ(blob_list_insert(fixed, "a", 1, 0), 0);
    EXPECT_EQ(blob_list_count(fixed), 0);
    blob_list* src = blob_list_new(2, 1, nullptr);
    blob_list_append_text(src, "x");
    blob_list_append_text(src, "y");
    EXPECT_EQ(blob_list_append_all(fixed, src, 1), 2);
    EXPECT_EQ(text_at(fixed, 1), "y");
    blob_list_append_text(src, "z");
    EXPECT_EQ(blob_list_append_all(fixed, src, 0), 5); // copies go first, in source order
    EXPECT_EQ(text_at(fixed, 0), "x");
    EXPECT_EQ(text_at(fixed, 2), "z");
    EXPECT_EQ(text_at(fixed, 3), "x");
    blob_list_free(fixed);
    blob_list_free(src);
}

TEST(BlobList, InsertPositionsAndStoredCopy) {
    blob_list* l = blob_list_new(1, 1, nullptr);
    EXPECT_EQ(blob_list_insert(l, "abc", 3, 0), 1);
    EXPECT_EQ(blob_list_get_len(l, 0), 3);
    EXPECT_STREQ(static_cast<char*>(blob_list_get(l, 0)), "abc");
    EXPECT_EQ(blob_list_insert(l, "first", 5, 0), 2);
    EXPECT_EQ(blob_list_insert(l, "last", 4, 2), 3);
    errno = 0;
    EXPECT_EQ(blob_list_insert(l, "bad", 3, 4), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(text_at(l, 0), "first");
    EXPECT_EQ(text_at(l, 2), "last");
    errno = 0;
    EXPECT_EQ(blob_list_get(l, 3), nullptr);
    EXPECT_EQ(errno, EINVAL);
    blob_list_free(l);
}

TEST(BlobList, CursorWalkRules) {
    blob_list* l = blob_list_new(4, 4, nullptr);
    errno = 0;
    EXPECT_EQ(blob_list_first(l), nullptr);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(blob_list_cursor(l), 0);
    blob_list_append_text(l, "a");
    blob_list_append_text(l, "b");
    int seen = 0;
    for (void* p = blob_list_first(l); p; p = blob_list_next(l)) seen++;
    EXPECT_EQ(seen, 2);
    EXPECT_EQ(blob_list_cursor(l), 2);
    errno = 0;
    EXPECT_EQ(blob_list_next(l), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_STREQ(static_cast<char*>(blob_list_last(l)), "b");
    EXPECT_STREQ(static_cast<char*>(blob_list_prev(l)), "a");
    EXPECT_EQ(blob_list_prev(l), nullptr);
    EXPECT_EQ(blob_list_cursor(l), -1);
    blob_list_free(l);
}

TEST(BlobList, FindAndRemoveRules) {
    g_destroyed.clear();
    blob_list* l = blob_list_new(2, 2, record_destroy);
    for (const char* s : {"a", "b", "a", "c"}) blob_list_append_text(l, s);
    errno = 0;
    EXPECT_EQ(blob_list_find(l, "a", 1, 4, 1), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(blob_list_find(l, "a", 1, 3, 0), 2);
    EXPECT_EQ(blob_list_find(l, "x", 1, 0, 1), -1);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(blob_list_remove(l, 3, 2), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_TRUE(g_destroyed.empty());
    EXPECT_EQ(blob_list_remove_match(l, "b", 1), 3);
    EXPECT_EQ(g_destroyed, std::vector<int>{1});
    g_destroyed.clear();
    blob_list_free(l);
    EXPECT_EQ(g_destroyed, (std::vector<int>{0, 1, 2}));
}

TEST(BlobList, ReplaceCallsDestructorOnOldData) {
    g_destroyed.clear();
    blob_list* l = blob_list_new(1, 1, record_destroy);
    blob_list_append_text(l, "old");
    EXPECT_EQ(blob_list_replace(l, "newer", 5, 0), 0);
    EXPECT_EQ(g_destroyed, std::vector<int>{0});
    EXPECT_EQ(text_at(l, 0), "newer");
    EXPECT_EQ(blob_list_replace(l, "x", 1, 1), -1);
    blob_list_free(l);
}

int compare_first_char(const void* a, const void* b) {
    return *static_cast<const char*>(a) - *static_cast<const char*>(b);
}

TEST(BlobList, SortOrdersLargeAndSmallLists) {
    for (int n : {0, 1, 3, 4, 5, 6, 17, 200, 1000}) {
        blob_list* l = blob_list_new(1, 8, nullptr);
        unsigned seed = 12345u + static_cast<unsigned>(n);
        for (int i = 0; i < n; i++) {
            seed = seed * 1103515245u + 12345u;
            char s[24];
            snprintf(s, sizeof s, "%c%d", 'a' + (seed >> 16) % 26, i);
            blob_list_append_text(l, s);
        }
        blob_list_sort(l, compare_first_char);
        for (int i = 1; i < n; i++)
            EXPECT_LE(*static_cast<char*>(blob_list_get(l, i - 1)), *static_cast<char*>(blob_list_get(l, i)));
        EXPECT_EQ(blob_list_count(l), n);
        blob_list_free(l);
    }
}

// The method is fixed, so the final place of equal elements is too. The
// expected order below is what a median-of-three quicksort with the
// insertion pass produces for this input.
TEST(BlobList, SortPlacesEqualElementsByTheFixedMethod) {
    blob_list* l = blob_list_new(8, 8, nullptr);
    for (const char* s : {"b1", "a1", "b2", "a2", "b3", "a3"}) blob_list_append_text(l, s);
    blob_list_sort(l, compare_first_char);
    std::string order;
    for (void* p = blob_list_first(l); p; p = blob_list_next(l)) order += static_cast<char*>(p) + std::string(" ");
    EXPECT_EQ(order, "a3 a1 a2 b3 b1 b2 ");
    blob_list_free(l);
}

TEST(BlobList, CopyKeepsGrowthAndDestructor) {
    blob_list* l = blob_list_new(2, 7, record_destroy);
    blob_list_append_text(l, "q");
    blob_list* c = blob_list_copy(l);
    EXPECT_EQ(c->grow_by, 7);
    EXPECT_EQ(blob_list_destructor(c), record_destroy);
    EXPECT_EQ(blob_list_cursor(c), -1);
    EXPECT_EQ(text_at(c, 0), "q");
    blob_list_free(c);
    blob_list_free(l);
}

} // namespace

// Tests of the "filter=" value parser: fields, trimming, growth of the
// pattern array, and every way a value is ignored.
#include "backup/schedule/filter_value.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct filter_list {
    blob_list* list = blob_list_new(10, 10, folder_filter_destroy);
    ~filter_list() { blob_list_free(list); }
    const folder_filter* at(int i) const {
        return static_cast<const folder_filter*>(blob_list_get(list, i));
    }
};

} // namespace

TEST(FilterValue, ParsesFolderFlagsAndTrimmedPatterns) {
    filter_list f;
    parse_filter_value("C:\\Data|1|*.tmp; *.bak ;", f.list);
    ASSERT_EQ(blob_list_count(f.list), 1);
    EXPECT_STREQ(f.at(0)->folder, "C:\\Data");
    EXPECT_EQ(f.at(0)->flags, FILTER_EXCLUDE);
    ASSERT_EQ(f.at(0)->pattern_count, 2);
    EXPECT_STREQ(f.at(0)->patterns[0], "*.tmp");
    EXPECT_STREQ(f.at(0)->patterns[1], "*.bak");

    parse_filter_value("\\\\nas\\data| 3x|a|b",
                       f.list); // atoi-style flags; "|" inside patterns kept
    ASSERT_EQ(blob_list_count(f.list), 2);
    EXPECT_EQ(f.at(1)->flags, 3);
    ASSERT_EQ(f.at(1)->pattern_count, 1);
    EXPECT_STREQ(f.at(1)->patterns[0], "a|b");

    parse_filter_value("C:\\x|abc|*.doc", f.list); // no digits: flags 0
    ASSERT_EQ(blob_list_count(f.list), 3);
    EXPECT_EQ(f.at(2)->flags, 0);
}

TEST(FilterValue, PatternArrayGrowsPastItsFirstRoom) {
    std::string value = "C:\\Many|0|";
    for (int i = 0; i < 40; i++)
        value += "p" + std::to_string(i) + ";";
    filter_list f;
    parse_filter_value(value.c_str(), f.list);
    ASSERT_EQ(blob_list_count(f.list), 1);
    ASSERT_EQ(f.at(0)->pattern_count, 40);
    EXPECT_STREQ(f.at(0)->patterns[39], "p39");
}

TEST(FilterValue, IllFormedValuesAreIgnored) {
    filter_list f;
    std::string long_folder(300, 'f');
    std::string max_folder(299, 'f');
    for (const std::string& v :
         {std::string("C:\\Data"), std::string("C:\\Data|1"), std::string("C:\\Data|-1|*.x"),
          std::string("C:\\Data|1| ; ;  "), std::string("C:\\Data|1|"), long_folder + "|0|*.x",
          std::string("C:\\D|99999999999999999999999|")})
        parse_filter_value(v.c_str(), f.list);
    EXPECT_EQ(blob_list_count(f.list), 0);
    parse_filter_value((max_folder + "|99999999999999999999|*.x").c_str(), f.list);
    ASSERT_EQ(blob_list_count(f.list), 1);
    EXPECT_EQ(std::string(f.at(0)->folder), max_folder);
    EXPECT_GT(f.at(0)->flags, 0); // a huge number saturates instead of turning negative
    parse_filter_value("C:\\x|1|*.x", nullptr); // no list: nothing kept, nothing leaked
}

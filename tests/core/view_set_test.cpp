// The planner's set of paths: what goes in is found, what does not is not, through growth and
// clearing, with texts that share hashes' low bits and texts that are prefixes of each other.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/extract/view_set.h"

namespace {

using cartscope::core::detail::ViewSet;

TEST(ViewSet, HoldsWhatWasInsertedThroughGrowthAndClearing)
{
    std::vector<std::string> texts;
    for (int k = 0; k < 3000; ++k)
        texts.push_back("d/" + std::to_string(k));
    texts.push_back("d");
    texts.push_back("");
    for (const std::size_t reserved : {std::size_t{0}, std::size_t{5000}}) {
        ViewSet set;
        set.reserve(reserved);
        for (std::size_t i = 0; i < texts.size(); i += 2)
            set.insert(texts[i]);
        EXPECT_FALSE(set.insert(texts[0])); // again: still one
        EXPECT_TRUE(set.insert("new"));
        for (std::size_t i = 0; i < texts.size(); ++i)
            EXPECT_EQ(set.contains(texts[i]), i % 2 == 0) << texts[i];
        EXPECT_FALSE(set.contains("d/"));
        EXPECT_TRUE(set.contains("new"));
        EXPECT_FALSE(set.contains("d/30000"));
        set.clear();
        EXPECT_FALSE(set.contains(texts[0]));
        set.insert(texts[1]);
        EXPECT_TRUE(set.contains(texts[1]));
    }
}

} // namespace

// The console decodes Get Configuration as the agent's own record builders write it.
#include <gtest/gtest.h>

#include "outside/console_model/base_info_view.h"
#include "tests/console_model/agent_tables.h"

namespace pm::console {
namespace {

using test::Configuration;
using test::Utf8;

// NT mode: three tabs, seven signals, two enumerations; Windows 95 mode: one of each.
TEST(BaseInfoViewTest, NtAndWin95Configurations) {
    const struct {
        bool win95;
        size_t groups, first_columns, signals, enums;
    } rows[] = {{false, 3, 7, 7, 2}, {true, 1, 6, 1, 1}};
    for (const auto& r : rows) {
        BaseInfoView v;
        std::string error;
        ASSERT_TRUE(DecodeBaseInfo(Configuration(r.win95), &Utf8, &v, &error)) << error;
        EXPECT_EQ(v.num_groups, r.groups);
        ASSERT_EQ(v.groups.size(), r.groups);
        EXPECT_EQ(v.groups[0].columns.size(), r.first_columns);
        ASSERT_EQ(v.signals.size(), r.signals);
        ASSERT_EQ(v.enums.size(), r.enums);
        EXPECT_EQ(v.groups[0].name, "1");
        EXPECT_EQ(v.groups[0].columns[0].title, "Program Name");
        EXPECT_EQ(v.signals[0].name, "Close Application");
        EXPECT_EQ(v.EnumTexts(1).at(4), "Normal");
        EXPECT_EQ(v.language, "en");
        if (r.win95) continue;
        EXPECT_EQ(v.version, 0x00011000u);
        EXPECT_EQ(v.os_type, 4);
        EXPECT_EQ(v.os_major, 5);
        EXPECT_EQ(v.flags, 0x1Fu);
        EXPECT_EQ(v.groups[0].columns[1].data_type, 0x00018001u);
        EXPECT_EQ(v.groups[2].columns[1].title, "State");
        EXPECT_EQ(v.signals[6].tab, 3u);
        EXPECT_EQ(v.EnumTexts(2).at(4), "Running");
    }
}

TEST(BaseInfoViewTest, EveryTruncationIsRefusedOrRead) {
    const auto items = Configuration(false);
    for (size_t which = 0; which < 5; ++which) {
        for (size_t cut = 0; cut < items[which].size(); ++cut) {
            auto damaged = items;
            // A fresh buffer of exactly `cut` bytes: resize would keep the old memory behind
            // it, and the sanitizer would not see a read one byte past the cut.
            damaged[which] = std::vector<uint8_t>(items[which].begin(),
                                                  items[which].begin() + static_cast<long>(cut));
            damaged[which].shrink_to_fit();
            BaseInfoView v;
            std::string error;
            // Either refused with a reason or read without going past the bytes (ASan).
            if (!DecodeBaseInfo(damaged, &Utf8, &v, &error)) {
                EXPECT_FALSE(error.empty());
            }
        }
    }
    BaseInfoView v;
    std::string error;
    EXPECT_FALSE(DecodeBaseInfo(std::vector<std::string>{}, &Utf8, &v, &error));
}

} // namespace
} // namespace pm::console

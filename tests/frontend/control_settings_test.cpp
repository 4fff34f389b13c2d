// SPDX-License-Identifier: MIT
// Camera control settings as text: --control NAME=VALUE and the Controls list.
#include <gtest/gtest.h>

#include "frontend/control_settings.h"

namespace vistrel {
namespace {

TEST(ControlSettingsTest, ReadsAListInOrderAndWritesItBack) {
    const auto list = ParseControlList(QStringLiteral(
        "exposure_auto=1, Exposure_Time_Absolute = 300,,focus_automatic_continuous=0,"
        "power_line_frequency=50 Hz,label=,"));
    ASSERT_TRUE(list) << list.error.toStdString();
    EXPECT_EQ(*list.value, (std::vector<TControlSetting>{{"exposure_auto", "1"},
                                                         {"exposure_time_absolute", "300"},
                                                         {"focus_automatic_continuous", "0"},
                                                         {"power_line_frequency", "50 Hz"},
                                                         {"label", ""}}));
    const QString text = ControlListText(*list.value);
    EXPECT_EQ(text, QStringLiteral("exposure_auto=1,exposure_time_absolute=300,"
                                   "focus_automatic_continuous=0,power_line_frequency=50 Hz,"
                                   "label="));
    EXPECT_EQ(*ParseControlList(text).value, *list.value);
    EXPECT_TRUE(ParseControlList(QString()).value->empty());
}

TEST(ControlSettingsTest, RefusesBadItemsWithTheirText) {
    EXPECT_EQ(ParseControlSetting(QStringLiteral("brightness")).error,
              QStringLiteral("\"brightness\" is not NAME=VALUE"));
    EXPECT_EQ(ParseControlSetting(QStringLiteral(" =5")).error,
              QStringLiteral("\" =5\" has no control name before '='"));
    EXPECT_TRUE(ParseControlSetting(QStringLiteral("white balance=5"))
                    .error.startsWith(QStringLiteral("\"white balance=5\": a control name")));
    EXPECT_FALSE(ParseControlSetting(QStringLiteral("menu=a,b")));
    const auto list = ParseControlList(QStringLiteral("brightness=1,contrast"));
    EXPECT_FALSE(list);
    EXPECT_EQ(list.error, QStringLiteral("\"contrast\" is not NAME=VALUE"));
}

}  // namespace
}  // namespace vistrel

// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <algorithm>

#include "pipeline/frame_converter.h"
#include "pipeline/yuv_tables.h"
#include "pipeline_test_util.h"
#include "yuv_formula.h"

namespace vistrel {
namespace {

TYuvTables Tables() {
    TYuvTables t;
    FillYuvTables(t);
    return t;
}

TEST(YuvTables, ReferenceEntries) {
    const TYuvTables t = Tables();
    EXPECT_EQ(t.TableY[16], 4769);
    EXPECT_EQ(t.TableUB[128], -4769);
    EXPECT_EQ(t.TableUG[128], -12837);
    EXPECT_EQ(t.TableVG[128], 8068);
    EXPECT_EQ(t.TableVR[128], -4769);
    // Ends of the ranges, worked out by hand from the decimal coefficients.
    EXPECT_EQ(t.TableY[0], 0);
    EXPECT_EQ(t.TableY[255], 76011);    // 76010.91
    EXPECT_EQ(t.TableUB[0], -70870);    // -70870.016
    EXPECT_EQ(t.TableUG[255], -25574);  // -25574.205
    EXPECT_EQ(t.TableVG[255], -18363);  // -18363.144
    EXPECT_EQ(t.TableVR[255], 47121);   // 47120.889
}

// What the vector conversion computes instead of looking the entries up.
TEST(YuvTables, EachTableIsAMultiplyAddAndShiftOfTheIndex) {
    const TYuvTables t = Tables();
    const std::pair<const std::array<std::int32_t, 256>&, TTableFormula> tables[] = {
        {t.TableY, kTableYFormula},
        {t.TableUG, kTableUGFormula},
        {t.TableUB, kTableUBFormula},
        {t.TableVR, kTableVRFormula},
        {t.TableVG, kTableVGFormula}};
    for (const auto& [table, formula] : tables) {
        for (int i = 0; i < 256; ++i) {
            ASSERT_EQ(table[i], formula(i))
                << "entry " << i << " of multiplier " << formula.multiplier;
        }
    }
}

TEST(YuvTables, ClampTableHasThreeZones) {
    const TYuvTables t = Tables();
    ASSERT_EQ(t.ClampTable.size(), 2047u);
    const auto at = [&](int i) { return t.ClampTable[TYuvTables::kClampReach + i]; };
    EXPECT_EQ(at(-1023), 0);
    EXPECT_EQ(at(-1), 0);
    for (int i = 0; i <= 255; ++i) {
        ASSERT_EQ(at(i), i);
    }
    EXPECT_EQ(at(256), 255);
    EXPECT_EQ(at(1023), 255);
}

TEST(YuvTables, EverySumStaysInsideTheClampTable) {
    const TYuvTables t = Tables();
    const auto [yMin, yMax] = std::minmax_element(t.TableY.begin(), t.TableY.end());
    const auto [ubMin, ubMax] = std::minmax_element(t.TableUB.begin(), t.TableUB.end());
    const auto [vrMin, vrMax] = std::minmax_element(t.TableVR.begin(), t.TableVR.end());
    const auto [ugMin, ugMax] = std::minmax_element(t.TableUG.begin(), t.TableUG.end());
    const auto [vgMin, vgMax] = std::minmax_element(t.TableVG.begin(), t.TableVG.end());
    const int low = *yMin + std::min({*ubMin, *vrMin, *ugMin + *vgMin});
    const int high = *yMax + std::max({*ubMax, *vrMax, *ugMax + *vgMax});
    EXPECT_EQ(low, -70870);
    EXPECT_EQ(high, 136826);
    EXPECT_GE(low / 256, -TYuvTables::kClampReach);
    EXPECT_LE(high / 256, TYuvTables::kClampReach);
}

TEST(YuvTables, ClampTruncatesTowardZero) {
    const TYuvTables t = Tables();
    EXPECT_EQ(t.Clamp(255), 0);
    EXPECT_EQ(t.Clamp(256), 1);
    EXPECT_EQ(t.Clamp(-255), 0);
    EXPECT_EQ(t.Clamp(65535), 255);
    EXPECT_EQ(t.Clamp(65279), 254);
}

struct ReferencePixel {
    std::uint8_t y, u, v;
    test::Bgr bgr;
};

TEST(YuvTables, ReferencePixels) {
    const TYuvTables t = Tables();
    const ReferencePixel pixels[] = {
        {16, 128, 128, {0, 0, 0}},        {235, 128, 128, {255, 255, 255}},
        {128, 128, 128, {130, 130, 130}}, {0, 0, 0, {0, 135, 0}},
        {255, 255, 255, {255, 125, 255}}, {81, 90, 240, {0, 0, 254}},
        {145, 54, 34, {0, 255, 0}},       {41, 240, 110, {255, 0, 0}},
    };
    for (const ReferencePixel& p : pixels) {
        test::Bgr out{};
        YuvToBgr(t, p.y, p.u, p.v, out.data());
        EXPECT_EQ(out, p.bgr) << "Y " << int(p.y) << " U " << int(p.u) << " V " << int(p.v);
    }
}

TEST(YuvTables, ConverterBuildsItsTablesOnceAtTheFirstYuvFrame) {
    TFrameConverter converter;
    QImage picture = test::Filled(2, 2, {0, 0, 0});
    const test::Bytes rgb(12, 0);
    converter.Convert({.data = rgb.data(), .length = 12, .width = 2, .height = 2}, picture);
    EXPECT_FALSE(converter.TablesReady());

    const test::Bytes yuy2 = {81, 90, 81, 240, 81, 90, 81, 240};
    converter.Convert(
        {.data = yuy2.data(), .length = 8, .compression = fourcc::kYUY2, .width = 2, .height = 2},
        picture);
    EXPECT_TRUE(converter.TablesReady());
    EXPECT_EQ(converter.YuvTables().TableY[250], 74520);
    EXPECT_EQ(test::PixelAt(picture, 1, 1), (test::Bgr{0, 0, 254}));
}

}  // namespace
}  // namespace vistrel

// The picture at other DPIs: its size, and a filter that neither blocks,
// rings, aliases nor mixes channels.
#include "PictureScale.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace {

Pixels Filled(int nWidth, int nHeight, uint32_t (*color)(int x, int y))
{
    Pixels p;
    p.nWidth = nWidth;
    p.nHeight = nHeight;
    for (int y = 0; y < nHeight; ++y)
        for (int x = 0; x < nWidth; ++x)
            p.data.push_back(color(x, y));
    return p;
}

int Channel(uint32_t pixel, int c)
{
    return (pixel >> (8 * c)) & 0xFF;
}

} // namespace

TEST(PictureScale, LengthsAtCommonScalings)
{
    struct Case { int nLength, nDpi, nExpected; };
    const Case cases[] = {
        {209, 96, 209}, {80, 96, 80},     // 100 %: untouched
        {209, 120, 261}, {80, 120, 100},  // 125 %
        {209, 144, 314}, {80, 144, 120},  // 150 %: 313.5 rounds up
        {209, 192, 418}, {80, 192, 160},  // 200 %
        {209, 72, 157},                   // below 96, as some projectors report
    };
    for (const Case& c : cases)
        EXPECT_EQ(PictureLengthForDpi(c.nLength, c.nDpi), c.nExpected)
            << c.nLength << " px at " << c.nDpi << " DPI";
}

TEST(PictureScale, LengthsFollowTheDialogsUnits)
{
    // A dialog unit of 6 px at 96 DPI that became 8, 9 or 13: the picture
    // grows by the same factor, rounded; nonsense units leave it alone.
    struct Case { int nLength, nTo, nFrom, nExpected; };
    const Case cases[] = {
        {209, 6, 6, 209}, {209, 8, 6, 279}, {209, 9, 6, 314}, {80, 19, 13, 117},
        {209, 13, 6, 453}, {209, 0, 6, 209}, {209, 9, 0, 209},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ScaleLength(c.nLength, c.nTo, c.nFrom), c.nExpected)
            << c.nLength << " * " << c.nTo << " / " << c.nFrom;
}

TEST(PictureScale, UniformColourStaysExact)
{
    Pixels src = Filled(209, 80, [](int, int) { return 0x00C08040u; });
    for (auto [w, h] : {std::pair{314, 120}, {261, 100}, {418, 160}, {157, 60}}) {
        Pixels out = ScalePixels(src, w, h);
        ASSERT_EQ(out.nWidth, w);
        ASSERT_EQ(out.nHeight, h);
        ASSERT_EQ(out.data.size(), static_cast<size_t>(w) * h);
        EXPECT_TRUE(std::all_of(out.data.begin(), out.data.end(),
                                [](uint32_t p) { return p == 0x00C08040u; }))
            << w << "x" << h;
    }
}

TEST(PictureScale, EnlargedRampStaysSmoothAndInRange)
{
    // A ramp across 20 pixels, enlarged 1.5 times: every target pixel is
    // the ramp at its own centre (bilinear), so no steps and no overshoot.
    Pixels src = Filled(20, 4, [](int x, int) { return static_cast<uint32_t>(x * 10); });
    Pixels out = ScalePixels(src, 30, 6);
    for (int y = 0; y < out.nHeight; ++y) {
        for (int x = 0; x < out.nWidth; ++x) {
            double centre = std::clamp((x + 0.5) / 1.5 - 0.5, 0.0, 19.0);
            int value = Channel(out.data[y * out.nWidth + x], 0);
            EXPECT_NEAR(value, centre * 10, 1.0) << "x " << x << " y " << y;
        }
    }
}

TEST(PictureScale, ReducedCheckerboardAveragesToGrey)
{
    // One-pixel black and white squares halved: sampling would give all
    // black or all white; an area average gives grey.
    Pixels src = Filled(40, 40, [](int x, int y) { return (x + y) % 2 ? 0x00FFFFFFu : 0u; });
    Pixels out = ScalePixels(src, 20, 20);
    for (int y = 1; y < 19; ++y)
        for (int x = 1; x < 19; ++x)
            EXPECT_NEAR(Channel(out.data[y * 20 + x], 1), 127.5, 16) << "x " << x << " y " << y;
}

TEST(PictureScale, ChannelsAreFilteredApart)
{
    // Red changes across, blue down, green never: none leaks into another.
    Pixels src = Filled(8, 8, [](int x, int y) {
        return static_cast<uint32_t>((x * 30) << 16 | 0x80 << 8 | y * 30);
    });
    Pixels out = ScalePixels(src, 12, 12);
    for (int y = 0; y < 12; ++y) {
        for (int x = 0; x < 12; ++x) {
            uint32_t p = out.data[y * 12 + x];
            EXPECT_EQ(Channel(p, 1), 0x80);
            EXPECT_EQ(Channel(p, 3), 0);
            EXPECT_EQ(Channel(p, 2), Channel(out.data[x], 2)) << "red changes down a column";
            EXPECT_EQ(Channel(p, 0), Channel(out.data[y * 12], 0)) << "blue changes along a row";
        }
    }
}

TEST(PictureScale, NothingToScale)
{
    EXPECT_TRUE(ScalePixels(Pixels{}, 10, 10).data.empty());
    Pixels one = Filled(1, 1, [](int, int) { return 0x123456u; });
    EXPECT_TRUE(ScalePixels(one, 0, 5).data.empty());
    Pixels big = ScalePixels(one, 3, 2);
    EXPECT_EQ(big.data, std::vector<uint32_t>(6, 0x123456u));
}

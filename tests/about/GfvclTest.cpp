#include "AboutTesting.h"

#include "about/Gfabout.h"
#include "about/Gfvcl.h"
#include "runtime/Exception.h"

#include <QGuiApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <climits>
#include <map>
#include <set>

namespace {
// The picture the control paints, as a fresh paint would put it on screen.
QImage Painted(TGradientFill& fill) {
    return fill.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// The colours along the fill axis: one per column, or one per row.
std::vector<TRgb> ColumnColours(const QImage& image) {
    std::vector<TRgb> colours;
    for (int x = 0; x < image.width(); ++x)
        colours.push_back(PixelAt(image, x, 0));
    return colours;
}

std::vector<TRgb> RowColours(const QImage& image) {
    std::vector<TRgb> colours;
    for (int y = 0; y < image.height(); ++y)
        colours.push_back(PixelAt(image, 0, y));
    return colours;
}

// True when every row is the same as the first (columns: every column the same as the first).
bool RowsAlike(const QImage& image) {
    for (int y = 1; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixel(x, y) != image.pixel(x, 0))
                return false;
    return true;
}

bool ColumnsAlike(const QImage& image) {
    return RowsAlike(image.transformed(QTransform().rotate(90)));
}

TRgb Blue(int blue) {
    return {0, 0, blue};
}

// What the screen shows of a top-level window.
QImage OnScreen(QWidget& window) {
    return QGuiApplication::primaryScreen()
        ->grabWindow(window.winId(), 0, 0, window.width(), window.height())
        .toImage()
        .convertToFormat(QImage::Format_RGB32);
}
} // namespace

using GradientFill = TAboutTest;

TEST(MulDivTest, RoundsToNearestWithHalvesAwayFromZero) {
    EXPECT_EQ(MulDiv(1, 255, 2), 128);
    EXPECT_EQ(MulDiv(1, -255, 2), -128);
    EXPECT_EQ(MulDiv(-1, 255, 2), -128);
    EXPECT_EQ(MulDiv(1, 105, 2), 53);
    EXPECT_EQ(MulDiv(127, 256, 255), 127); // 127.498
    EXPECT_EQ(MulDiv(128, 256, 255), 129); // 128.502
    EXPECT_EQ(MulDiv(1, 1, 3), 0);
    EXPECT_EQ(MulDiv(2, 1, 3), 1);
    EXPECT_EQ(MulDiv(3, -255, 10), -77); // -76.5
    EXPECT_EQ(MulDiv(INT_MAX, INT_MAX, INT_MAX), INT_MAX) << "the product may exceed 32 bits";
    EXPECT_EQ(MulDiv(7, 5, 0), -1);
    EXPECT_EQ(MulDiv(INT_MAX, 4, 2), -1) << "a result that does not fit";
}

TEST_F(GradientFill, StartsWithItsDefaults) {
    TGradientFill fill;
    EXPECT_EQ(fill.size(), QSize(105, 105));
    EXPECT_EQ(fill.About(), nullptr);
    EXPECT_FALSE(fill.AutoSize());
    EXPECT_EQ(fill.BeginColor(), 16711680);
    EXPECT_EQ(fill.EndColor(), 0);
    EXPECT_EQ(fill.FillDirection(), TFillDirection::fdTopToBottom);
    EXPECT_FALSE(fill.HoldRedraw());
    EXPECT_EQ(fill.NumberOfColors(), 16);
    EXPECT_EQ(fill.BandCount(), 16);
    EXPECT_TRUE(fill.Realize());
    EXPECT_TRUE(fill.GradientBitmap().isNull());
    EXPECT_TRUE(fill.PaletteEntries().empty()) << "no palette before the first render";

    const QImage image = Painted(fill);
    EXPECT_TRUE(ColumnsAlike(image));
    std::vector<TRgb> rows = RowColours(image);
    EXPECT_EQ(rows.front(), Blue(255));
    EXPECT_EQ(rows.back(), Blue(255 - MulDiv(15, 255, 16))) << "the last band stops short of black";
    std::set<int> blues;
    for (const TRgb& row : rows)
        blues.insert(row.B);
    EXPECT_EQ(blues.size(), 16u);
}

TEST_F(GradientFill, AboutWindowGradientHas255BandsFromBlueOnTheRight) {
    TGradientFill fill;
    fill.resize(256, 191);
    fill.SetFillDirection(TFillDirection::fdRightToLeft);
    fill.SetNumberOfColors(255);
    const QImage image = Painted(fill);
    ASSERT_EQ(image.size(), QSize(256, 191));
    EXPECT_TRUE(RowsAlike(image));

    const std::vector<TRgb> columns = ColumnColours(image);
    EXPECT_EQ(columns[255], Blue(255)) << "the rightmost column";
    EXPECT_EQ(columns[254], Blue(254));
    EXPECT_EQ(columns[127], Blue(128));
    EXPECT_EQ(columns[128], Blue(128)) << "the band of blue 128 is two columns wide";
    EXPECT_EQ(columns[126], Blue(127));
    EXPECT_EQ(columns[129], Blue(129));
    EXPECT_EQ(columns[1], Blue(2));
    EXPECT_EQ(columns[0], Blue(1)) << "the leftmost column";
    std::map<int, int> widths;
    for (const TRgb& column : columns) {
        EXPECT_EQ(column.R, 0);
        EXPECT_EQ(column.G, 0);
        ++widths[column.B];
    }
    EXPECT_EQ(widths.size(), 255u) << "one band for each blue from 1 to 255";
    for (const auto& [blue, width] : widths)
        EXPECT_EQ(width, blue == 128 ? 2 : 1) << "blue " << blue;
}

TEST_F(GradientFill, OneBandIsTheBeginColourAndTwoBandsSplitAtTheRoundedMiddle) {
    TGradientFill fill; // 105 × 105
    fill.SetBeginColor(RGBColor(10, 20, 30));
    fill.SetEndColor(RGBColor(200, 100, 0));
    fill.SetNumberOfColors(1);
    EXPECT_EQ(fill.BandCount(), 1);
    QImage image = Painted(fill);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            ASSERT_EQ(PixelAt(image, x, y), (TRgb{10, 20, 30})) << x << ", " << y;
    EXPECT_EQ(fill.PaletteEntries(), (std::vector<TColor>{RGBColor(10, 20, 30), RGBColor(10, 20, 30)}));

    // Blue 255 to red 255: the second band is half way, halves away from zero.
    fill.SetBeginColor(RGBColor(0, 0, 255));
    fill.SetEndColor(RGBColor(255, 0, 0));
    fill.SetNumberOfColors(2);
    image = Painted(fill);
    EXPECT_TRUE(ColumnsAlike(image));
    const std::vector<TRgb> rows = RowColours(image);
    for (int y = 0; y < 105; ++y)
        EXPECT_EQ(rows[y], (y < 53 ? TRgb{0, 0, 255} : TRgb{128, 0, 127})) << "row " << y;

    fill.SetFillDirection(TFillDirection::fdLeftToRight);
    image = Painted(fill);
    EXPECT_TRUE(RowsAlike(image));
    const std::vector<TRgb> columns = ColumnColours(image);
    for (int x = 0; x < 105; ++x)
        EXPECT_EQ(columns[x], (x < 53 ? TRgb{0, 0, 255} : TRgb{128, 0, 127})) << "column " << x;
}

TEST_F(GradientFill, TwoHundredFiftySixColoursDraw255BandsWithRealizeAnd256Without) {
    TGradientFill fill;
    fill.resize(256, 4);
    fill.SetFillDirection(TFillDirection::fdLeftToRight);
    // Column 128 belongs to band 127 of 255 (blue 128, as column 127), but to
    // band 128 of 256 (blue 127).
    auto blueAt = [&fill](int column) { return PixelAt(Painted(fill), column, 0).B; };

    fill.SetNumberOfColors(256);
    EXPECT_EQ(fill.BandCount(), 255);
    EXPECT_EQ(blueAt(127), 128);
    EXPECT_EQ(blueAt(128), 128);
    EXPECT_EQ(blueAt(255), 1);
    const std::vector<TColor>& palette = fill.PaletteEntries();
    ASSERT_EQ(palette.size(), 256u) << "one entry more than bands";
    EXPECT_EQ(palette[0], clBlue);
    EXPECT_EQ(palette[1], clBlue);
    EXPECT_EQ(palette[2], RGBColor(0, 0, 254));
    EXPECT_EQ(palette[255], clBlack) << "the last entry is exactly the end colour";

    fill.SetRealize(false);
    EXPECT_EQ(fill.BandCount(), 255) << "only assigning the number of colours works it out";
    EXPECT_EQ(fill.PaletteEntries().size(), 256u) << "the palette is kept";
    fill.SetNumberOfColors(255);
    fill.SetNumberOfColors(256);
    EXPECT_EQ(fill.BandCount(), 256);
    EXPECT_EQ(blueAt(127), 128);
    EXPECT_EQ(blueAt(128), 127);
    EXPECT_EQ(blueAt(255), 1);

    fill.SetRealize(true);
    EXPECT_EQ(fill.BandCount(), 256);
    EXPECT_EQ(blueAt(128), 127) << "palette-relative colours show as the same colours";
    EXPECT_EQ(fill.PaletteEntries().size(), 257u);

    EXPECT_THROW(fill.SetNumberOfColors(0), ERangeError);
    EXPECT_THROW(fill.SetNumberOfColors(257), ERangeError);
    EXPECT_EQ(fill.NumberOfColors(), 256);
}

struct TNarrowCase {
    TFillDirection Direction;
    std::vector<int> Blues; // along the axis, in screen order
};

std::string DirectionName(const ::testing::TestParamInfo<TNarrowCase>& info) {
    static const char* const names[] = {"TopToBottom", "BottomToTop", "LeftToRight", "RightToLeft"};
    return names[static_cast<int>(info.param.Direction)];
}

class NarrowGradient : public ::testing::TestWithParam<TNarrowCase> {};

// Four pixels for ten bands: six bands are empty and draw nothing, the other
// four keep their own colours (blue 255 towards black, steps of 25.5).
TEST_P(NarrowGradient, EmptyBandsDrawNothing) {
    TGradientFill fill;
    const bool horizontal = GetParam().Direction == TFillDirection::fdLeftToRight ||
                            GetParam().Direction == TFillDirection::fdRightToLeft;
    fill.resize(horizontal ? QSize(4, 3) : QSize(3, 4));
    fill.SetFillDirection(GetParam().Direction);
    fill.SetNumberOfColors(10);
    const QImage image = Painted(fill);
    std::vector<int> blues;
    for (const TRgb& colour : horizontal ? ColumnColours(image) : RowColours(image))
        blues.push_back(colour.B);
    EXPECT_EQ(blues, GetParam().Blues);
    EXPECT_TRUE(horizontal ? RowsAlike(image) : ColumnsAlike(image));
}

INSTANTIATE_TEST_SUITE_P(GradientFill, NarrowGradient,
                         ::testing::Values(TNarrowCase{TFillDirection::fdTopToBottom, {229, 178, 102, 51}},
                                           TNarrowCase{TFillDirection::fdBottomToTop, {51, 102, 178, 229}},
                                           TNarrowCase{TFillDirection::fdLeftToRight, {229, 178, 102, 51}},
                                           TNarrowCase{TFillDirection::fdRightToLeft, {51, 102, 178, 229}}),
                         DirectionName);

TEST_F(GradientFill, HoldRedrawLeavesTheScreenAsItWasUntilReleased) {
    TGradientFill fill;
    fill.resize(64, 32);
    fill.SetFillDirection(TFillDirection::fdLeftToRight);
    fill.SetNumberOfColors(4);
    fill.show();
    ASSERT_TRUE(ProcessEventsUntil([&fill] { return !OnScreen(fill).isNull(); }));
    const QImage before = OnScreen(fill);
    EXPECT_EQ(PixelAt(before, 0, 0), Blue(255));
    EXPECT_EQ(PixelAt(before, 63, 0), Blue(255 - MulDiv(3, 255, 4)));

    fill.SetHoldRedraw(true);
    fill.SetBeginColor(clRed);
    fill.SetNumberOfColors(2);
    fill.SetFillDirection(TFillDirection::fdTopToBottom);
    fill.update();
    ProcessEventsFor(std::chrono::milliseconds(50));
    EXPECT_EQ(OnScreen(fill), before) << "neither changes nor paint requests reach the screen";

    fill.SetHoldRedraw(false);
    const QImage after = OnScreen(fill);
    EXPECT_EQ(PixelAt(after, 0, 0), (TRgb{255, 0, 0})) << "the latest state shows at once";
    EXPECT_EQ(PixelAt(after, 63, 15), (TRgb{255, 0, 0}));
    EXPECT_EQ(PixelAt(after, 0, 16), (TRgb{127, 0, 0})) << "two bands, top to bottom";
}

TEST_F(GradientFill, AutoSizeAndAboutAreOnlyStored) {
    TGradientFill fill;
    const QImage before = Painted(fill);
    fill.SetAutoSize(true);
    EXPECT_TRUE(fill.AutoSize());
    EXPECT_EQ(fill.size(), QSize(105, 105));
    EXPECT_EQ(Painted(fill), before);
    TGFAboutBox box;
    fill.SetAbout(&box);
    EXPECT_EQ(fill.About(), &box);
    EXPECT_FALSE(box.isVisible()) << "the control never shows it";
}

TEST_F(GradientFill, ItsAboutBoxSwapsItsPicturesAndClosesOnOk) {
    TGFAboutBox box;
    EXPECT_EQ(box.windowTitle(), "About");
    EXPECT_EQ(box.size(), QSize(323, 164));
    EXPECT_FALSE(box.windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_EQ(box.ProductName->text(), "Gradient Fill Component");
    EXPECT_EQ(box.Bits->text(), "(32-bit)");
    EXPECT_EQ(box.Version->text(), "Version 1.35");
    EXPECT_EQ(box.Comments->text(), "A component to fill an area with a gradient.");
    box.show();
    EXPECT_TRUE(box.ProgramIcon->isVisible());
    EXPECT_FALSE(box.ProgramIcon2->isVisible());

    auto doubleClick = [](QWidget* picture) {
        QMouseEvent event(QEvent::MouseButtonDblClick, QPointF(10, 10), picture->mapToGlobal(QPointF(10, 10)),
                          Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(picture, &event);
    };
    doubleClick(box.ProgramIcon);
    EXPECT_FALSE(box.ProgramIcon->isVisible());
    EXPECT_TRUE(box.ProgramIcon2->isVisible());
    doubleClick(box.ProgramIcon2);
    EXPECT_TRUE(box.ProgramIcon->isVisible());
    EXPECT_FALSE(box.ProgramIcon2->isVisible());

    box.BitBtn1->click();
    EXPECT_FALSE(box.isVisible());
}

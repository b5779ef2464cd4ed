#include "AboutTesting.h"

#include "about/ImageMp.h"
#include "runtime/Exception.h"

#include <QTimer>
#include <cmath>

namespace {
// The box around the pixels of one colour in an image.
struct TBounds {
    int Left = INT_MAX, Top = INT_MAX, Right = -1, Bottom = -1;
    int Pixels = 0;
};

TBounds BoundsOf(const QImage& image, const QColor& colour, QRect area) {
    TBounds bounds;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (image.pixelColor(x, y) == colour) {
                bounds.Left = std::min(bounds.Left, x);
                bounds.Top = std::min(bounds.Top, y);
                bounds.Right = std::max(bounds.Right, x);
                bounds.Bottom = std::max(bounds.Bottom, y);
                ++bounds.Pixels;
            }
    return bounds;
}

int CountOf(const QImage& image, const QColor& colour, QRect area) {
    return BoundsOf(image, colour, area).Pixels;
}

double Length(const T3DPoint& point) {
    return std::sqrt(point.X * point.X + point.Y * point.Y + point.Z * point.Z);
}
} // namespace

using AnimatedFigure = TAboutTest;

TEST_F(AnimatedFigure, StartsWithItsDefaultsAndTheOctahedron) {
    TImageMp figure;
    EXPECT_EQ(figure.size(), QSize(150, 150));
    EXPECT_EQ(figure.TimerRate(), 100);
    EXPECT_EQ(figure.PenColour(), 255);
    EXPECT_EQ(figure.BackColour(), 0);
    EXPECT_EQ(figure.Magnification(), 2.0);
    EXPECT_EQ(figure.AngleX(), 0.07);
    EXPECT_EQ(figure.AngleY(), 0.02);
    EXPECT_EQ(figure.FrameCount(), 0);
    ASSERT_TRUE(figure.FrameTimer());
    EXPECT_TRUE(figure.FrameTimer()->isActive()) << "the animation runs from construction";
    EXPECT_EQ(figure.FrameTimer()->interval(), 100);
    EXPECT_TRUE(figure.Picture().isNull());

    ASSERT_EQ(figure.PointCount(), 6);
    const T3DPoint corners[] = {{-1, 0, 0}, {0, 0, -1}, {1, 0, 0}, {0, 0, 1}, {0, 1, 0}, {0, -1, 0}};
    for (int i = 1; i <= 6; ++i) {
        EXPECT_EQ(figure.Points(i).X, corners[i - 1].X) << "point " << i;
        EXPECT_EQ(figure.Points(i).Y, corners[i - 1].Y) << "point " << i;
        EXPECT_EQ(figure.Points(i).Z, corners[i - 1].Z) << "point " << i;
    }
    ASSERT_EQ(figure.LineCount(), 12);
    const int from[] = {1, 2, 3, 4, 1, 2, 3, 4, 1, 2, 3, 4};
    const int to[] = {2, 3, 4, 1, 5, 5, 5, 5, 6, 6, 6, 6};
    for (int k = 1; k <= 12; ++k) {
        EXPECT_EQ(figure.LineStart(k), from[k - 1]) << "line " << k;
        EXPECT_EQ(figure.LineEnd(k), to[k - 1]) << "line " << k;
    }
    EXPECT_NO_THROW(figure.Points(200));
    EXPECT_THROW(figure.Points(0), ERangeError);
    EXPECT_THROW(figure.Points(201), ERangeError);
    EXPECT_THROW(figure.LineStart(201), ERangeError);
    EXPECT_THROW(figure.ScreenPoints(-1), ERangeError);
}

TEST_F(AnimatedFigure, FirstFrameIsARedOctahedronOfRadius20Near65) {
    TImageMp figure;
    figure.DrawFrame();
    EXPECT_EQ(figure.FrameCount(), 1);
    const QImage& picture = figure.Picture();
    ASSERT_EQ(picture.size(), QSize(150, 150)) << "an empty picture becomes a bitmap of the control's size";

    const TBounds red = BoundsOf(picture, Qt::red, picture.rect());
    EXPECT_EQ(red.Pixels + CountOf(picture, Qt::black, picture.rect()), 150 * 150) << "red lines on black";
    EXPECT_NEAR((red.Left + red.Right) / 2.0, 65.2, 0.75);
    EXPECT_NEAR((red.Top + red.Bottom) / 2.0, 65.2, 0.75);
    EXPECT_NEAR((red.Right - red.Left) / 2.0, 20, 0.75);
    EXPECT_NEAR((red.Bottom - red.Top) / 2.0, 20, 0.75);
    EXPECT_EQ(red.Left, 45) << "the leftmost corner, x 45.27";
    EXPECT_EQ(red.Right, 85) << "the rightmost corner, x 85.17";

    for (int i = 1; i <= 6; ++i)
        EXPECT_NEAR(Length(figure.Points(i)), 10, 1e-9) << "scaled to 20 units across on the first frame";
    EXPECT_NEAR(figure.ScreenPoints(5).X, 150 / 2.3, 1e-9) << "the top corner stands above the centre";
    const double factor = 10000 / (10000 + 10 * std::sin(0.02)) * 2;
    EXPECT_NEAR(figure.ScreenPoints(5).Y, 150 / 2.3 - 10 * std::cos(0.02) * factor, 1e-9);
}

TEST_F(AnimatedFigure, InTheAboutWindowItsCentreIsNear35AndCornersPastTheEdgeStayAtZero) {
    TImageMp figure;
    figure.resize(81, 77);
    figure.SetPenColour(clBlue);
    figure.SetMagnification(4.0);
    figure.SetAngleX(0.04);
    figure.SetAngleY(0.03);
    QImage picture(121, 121, QImage::Format_RGB888);
    picture.fill(Qt::black);
    figure.SetPicture(picture);
    figure.DrawFrame();

    EXPECT_EQ(figure.ScreenPoints(1).X, 0) << "the left corner swung past the edge";
    EXPECT_EQ(figure.ScreenPoints(5).Y, 0) << "the top corner swung past the edge";
    EXPECT_NEAR(figure.ScreenPoints(3).X - 40, 35.2, 0.1) << "centre 81 / 2.3, radius 40";
    EXPECT_NEAR(figure.ScreenPoints(6).Y - 40, 35.2, 0.1);

    ASSERT_EQ(figure.Picture().size(), QSize(121, 121)) << "the frame lands on the picture it has";
    const TBounds blue = BoundsOf(figure.Picture(), Qt::blue, figure.Picture().rect());
    EXPECT_EQ(blue.Left, 0);
    EXPECT_EQ(blue.Top, 0);
    EXPECT_EQ(blue.Right, 75);
    EXPECT_NEAR(blue.Bottom, 75, 1);
}

TEST_F(AnimatedFigure, FramesAreDrawnInTheRectangleFixedAtConstruction) {
    TImageMp figure;
    figure.resize(300, 300);
    figure.DrawFrame();
    const QImage& picture = figure.Picture();
    ASSERT_EQ(picture.size(), QSize(300, 300));
    const QRect frame(0, 0, 150, 150);
    EXPECT_GT(CountOf(picture, Qt::red, frame), 0);
    EXPECT_EQ(CountOf(picture, Qt::red, frame) + CountOf(picture, Qt::black, frame), 150 * 150);
    EXPECT_EQ(CountOf(picture, Qt::white, QRect(150, 0, 150, 300)), 150 * 300) << "nothing drawn beyond it";
    EXPECT_EQ(CountOf(picture, Qt::white, QRect(0, 150, 150, 150)), 150 * 150);
    EXPECT_NEAR(figure.ScreenPoints(5).X, 300 / 2.3, 1e-9) << "the projection follows the current width";
}

TEST_F(AnimatedFigure, CounterWrapsFrom32700To3WithoutGrowingAgain) {
    TImageMp figure;
    for (int frame = 1; frame <= 32699; ++frame)
        figure.DrawFrame();
    EXPECT_EQ(figure.FrameCount(), 32699);
    figure.DrawFrame();
    EXPECT_EQ(figure.FrameCount(), 3);
    figure.DrawFrame();
    EXPECT_EQ(figure.FrameCount(), 4);
    for (int i = 1; i <= 6; ++i)
        EXPECT_NEAR(Length(figure.Points(i)), 10, 1e-6) << "point " << i;
}

TEST_F(AnimatedFigure, StillFigureIsRedrawnEveryFrame) {
    TImageMp figure;
    figure.SetAngleX(0);
    figure.SetAngleY(0);
    figure.DrawFrame();
    const QImage first = figure.Picture();
    figure.SetPicture(QImage());
    figure.DrawFrame();
    EXPECT_EQ(figure.FrameCount(), 2);
    EXPECT_EQ(figure.Picture(), first);
    EXPECT_EQ(figure.Points(1).X, -10);
    EXPECT_EQ(figure.Points(5).Y, 10);

    figure.SetPenColour(clBlue);
    figure.DrawFrame();
    EXPECT_EQ(CountOf(figure.Picture(), Qt::red, figure.Picture().rect()), 0);
    EXPECT_EQ(CountOf(figure.Picture(), Qt::blue, figure.Picture().rect()),
              CountOf(first, Qt::red, first.rect()));
}

TEST_F(AnimatedFigure, ProjectionKeepsCoordinatesWithin0To1000) {
    const TScreenPoint centre = ProjectPoint({0, 0, 0}, 150, 10000, 2);
    EXPECT_NEAR(centre.X, 65.217, 0.001);
    EXPECT_NEAR(centre.Y, 65.217, 0.001);

    // Exactly minus the view distance deep: projected at depth 0.5, factor 40000.
    const TScreenPoint eye = ProjectPoint({0, 0, -10000}, 150, 10000, 2);
    EXPECT_NEAR(eye.X, 150 / 2.3, 1e-9);
    EXPECT_NEAR(eye.Y, 150 / 2.3, 1e-9);
    const TScreenPoint pastRight = ProjectPoint({1, 1, -10000}, 150, 10000, 2);
    EXPECT_EQ(pastRight.X, 1000);
    EXPECT_EQ(pastRight.Y, 0);
    const TScreenPoint pastLeft = ProjectPoint({-2, -0.001, -10000}, 150, 10000, 2);
    EXPECT_EQ(pastLeft.X, 0);
    EXPECT_NEAR(pastLeft.Y, 150 / 2.3 + 40, 1e-6);

    const T3DPoint turned = RotatePoint({10, 0, 0}, std::acos(-1) / 2, 0);
    EXPECT_NEAR(turned.X, 0, 1e-12);
    EXPECT_NEAR(turned.Z, -10, 1e-12) << "a quarter turn about the vertical axis";
    const T3DPoint tilted = RotatePoint({0, 10, 0}, 0, std::acos(-1) / 2);
    EXPECT_NEAR(tilted.Y, 0, 1e-12);
    EXPECT_NEAR(tilted.Z, 10, 1e-12);
}

TEST_F(AnimatedFigure, TimerDrivesFramesAndRefusesANegativeRate) {
    TImageMp figure;
    EXPECT_THROW(figure.SetTimerRate(-1), ERangeError);
    EXPECT_EQ(figure.TimerRate(), 100);
    EXPECT_EQ(figure.FrameTimer()->interval(), 100) << "the timer keeps its interval";
    figure.SetTimerRate(0);
    EXPECT_EQ(figure.FrameTimer()->interval(), 0);
    figure.SetTimerRate(5);
    EXPECT_EQ(figure.FrameTimer()->interval(), 5);
    EXPECT_TRUE(ProcessEventsUntil([&figure] { return figure.FrameCount() >= 3; }));
    EXPECT_TRUE(figure.FrameTimer()->isActive()) << "started again after each frame";
}

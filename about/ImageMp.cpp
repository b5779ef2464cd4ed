#include "about/ImageMp.h"

#include "toolkit/Application.h"
#include "runtime/Exception.h"

#include <QCoreApplication>
#include <QPainter>
#include <QPointer>
#include <QTimer>
#include <cmath>
#include <iterator>

namespace {
constexpr int FrameCountWrap = 32700;
constexpr int FrameCountRestart = 3;
constexpr double ScreenLimit = 1000;

double Clamped(double coordinate) {
    if (coordinate > ScreenLimit)
        return ScreenLimit;
    if (coordinate < 0)
        return 0;
    return coordinate;
}

// To the nearest integer, halves to even.
int Rounded(double value) {
    return static_cast<int>(std::lrint(value));
}
} // namespace

T3DPoint RotatePoint(const T3DPoint& point, double angleX, double angleY) {
    const double sx = std::sin(angleX), cx = std::cos(angleX);
    const double sy = std::sin(angleY), cy = std::cos(angleY);
    const double x = point.X * cx + point.Z * sx;
    const double z1 = -point.X * sx + point.Z * cx;
    const double y = point.Y * cy - z1 * sy;
    const double z = point.Y * sy + z1 * cy;
    return {x, y, z};
}

TScreenPoint ProjectPoint(const T3DPoint& point, int width, double viewDistance, double magnification) {
    double depth = point.Z + viewDistance;
    if (depth == 0)
        depth = 0.5;
    const double factor = viewDistance / depth * magnification;
    const double centre = width / 2.3;
    return {Clamped(point.X * factor + centre), Clamped(centre - point.Y * factor)};
}

TImageMp::TImageMp(QWidget* parent) : QWidget(parent) {
    resize(150, 150);
    FFrameTimer = new QTimer(this);
    FFrameTimer->setInterval(FTimerRate);
    connect(FFrameTimer, &QTimer::timeout, this, [this] { RunHandler([this] { TimerTick(); }); });
    FFrameRect = QRect(0, 0, width(), height());
    FFrameBitmap = QImage(FFrameRect.size(), QImage::Format_RGB32);
    DefineFigure();
    FFrameBitmap.fill(ToQColor(FBackColour));
    FFrameTimer->start();
}

TImageMp::~TImageMp() = default;

void TImageMp::DefineFigure() {
    static constexpr T3DPoint octahedron[] = {{-1, 0, 0}, {0, 0, -1}, {1, 0, 0}, {0, 0, 1}, {0, 1, 0}, {0, -1, 0}};
    static constexpr int from[] = {1, 2, 3, 4, 1, 2, 3, 4, 1, 2, 3, 4};
    static constexpr int to[] = {2, 3, 4, 1, 5, 5, 5, 5, 6, 6, 6, 6};
    FPointCount = std::size(octahedron);
    for (int i = 1; i <= FPointCount; ++i)
        FPoints[CheckedIndex(i)] = octahedron[i - 1];
    FLineCount = std::size(from);
    for (int k = 1; k <= FLineCount; ++k) {
        FLineStart[CheckedIndex(k)] = from[k - 1];
        FLineEnd[CheckedIndex(k)] = to[k - 1];
    }
}

int TImageMp::CheckedIndex(int index) {
    if (index < 1 || index > MaxPoints)
        throw ERangeError("Range check error");
    return index - 1;
}

const T3DPoint& TImageMp::Points(int index) const {
    return FPoints[CheckedIndex(index)];
}

const TScreenPoint& TImageMp::ScreenPoints(int index) const {
    return FScreenPoints[CheckedIndex(index)];
}

int TImageMp::LineStart(int index) const {
    return FLineStart[CheckedIndex(index)];
}

int TImageMp::LineEnd(int index) const {
    return FLineEnd[CheckedIndex(index)];
}

void TImageMp::SetTimerRate(int value) {
    if (value < 0)
        throw ERangeError("Range check error");
    FTimerRate = value;
    FFrameTimer->setInterval(value);
}

void TImageMp::SetPenColour(TColor value) {
    FPenColour = value;
}

void TImageMp::SetBackColour(TColor value) {
    FBackColour = value;
}

void TImageMp::SetPicture(QImage picture) {
    FPicture = std::move(picture);
    update();
}

void TImageMp::TimerTick() {
    QPointer<TImageMp> alive(this);
    QCoreApplication::processEvents();
    if (alive)
        DrawFrame();
}

void TImageMp::DrawFrame() {
    FFrameTimer->stop();
    if (++FFrameCount == FrameCountWrap)
        FFrameCount = FrameCountRestart;
    if (FFrameCount == 1) {
        for (int i = 1; i <= FPointCount; ++i) {
            T3DPoint& point = FPoints[CheckedIndex(i)];
            point = {point.X * 10, point.Y * 10, point.Z * 10};
        }
    }
    for (int i = 1; i <= FPointCount; ++i) {
        T3DPoint& point = FPoints[CheckedIndex(i)];
        point = RotatePoint(point, FAngleX, FAngleY);
        FScreenPoints[CheckedIndex(i)] = ProjectPoint(point, width(), FViewDistance, FMagnification);
    }
    {
        QPainter canvas(&FFrameBitmap);
        canvas.setPen(QPen(ToQColor(FPenColour), 1));
        for (int k = 1; k <= FLineCount; ++k) {
            const TScreenPoint& from = FScreenPoints[CheckedIndex(LineStart(k))];
            const TScreenPoint& to = FScreenPoints[CheckedIndex(LineEnd(k))];
            canvas.drawLine(Rounded(from.X), Rounded(from.Y), Rounded(to.X), Rounded(to.Y));
        }
    }
    FFrameTimer->start();

    if (FPicture.isNull()) {
        FPicture = QImage(size(), QImage::Format_RGB32);
        FPicture.fill(Qt::white);
    }
    if (!FPicture.isNull()) {
        QPainter(&FPicture).drawImage(FFrameRect.topLeft(), FFrameBitmap, FFrameRect);
        update(FFrameRect);
    }
    FFrameBitmap.fill(ToQColor(FBackColour));
}

void TImageMp::paintEvent(QPaintEvent*) {
    RunHandler([this] {
        if (!FPicture.isNull())
            QPainter(this).drawImage(0, 0, FPicture);
    });
}

#pragma once

#include "toolkit/Graphics.h"

#include <QImage>
#include <QRect>
#include <QWidget>
#include <array>

class QTimer;

// A point of the figure in space.
struct T3DPoint {
    double X = 0, Y = 0, Z = 0;
};

// A point's place on the control, in pixels, before rounding.
struct TScreenPoint {
    double X = 0, Y = 0;
};

// Turns a point about the vertical axis by angleX, then about the horizontal
// axis by angleY (radians).
T3DPoint RotatePoint(const T3DPoint& point, double angleX, double angleY);

// Projects a point with a weak perspective onto a control of the given width:
// the figure's centre lands at (width / 2.3, width / 2.3), y grows downwards,
// and each coordinate is kept within 0 to 1000. A point at depth exactly
// -viewDistance is projected as if at half a unit in front of the eye.
TScreenPoint ProjectPoint(const T3DPoint& point, int width, double viewDistance, double magnification);

// An image control showing a wire-frame octahedron that turns in space. A
// timer drives it: every tick the figure's points turn a little about two
// axes, are projected onto the control and drawn as lines into an off-screen
// bitmap, which reaches the control's picture in one copy. The animation
// runs from construction until the control is destroyed, shown or not.
//
// The off-screen bitmap and the rectangle drawn each frame are fixed at
// construction (150 × 150); the projection uses the control's current width.
class TImageMp : public QWidget {
public:
    static constexpr int MaxPoints = 200;

    explicit TImageMp(QWidget* parent = nullptr);
    ~TImageMp() override;

    // Milliseconds between frames; a negative value raises ERangeError and
    // keeps the interval.
    int TimerRate() const { return FTimerRate; }
    void SetTimerRate(int value);
    TColor PenColour() const { return FPenColour; }
    void SetPenColour(TColor value);
    TColor BackColour() const { return FBackColour; }
    void SetBackColour(TColor value);
    // The following three apply from the next frame.
    double Magnification() const { return FMagnification; }
    void SetMagnification(double value) { FMagnification = value; }
    double AngleX() const { return FAngleX; }
    void SetAngleX(double value) { FAngleX = value; }
    double AngleY() const { return FAngleY; }
    void SetAngleY(double value) { FAngleY = value; }

    // The picture the control shows at its top-left corner. An empty picture
    // becomes a bitmap of the control's size when the first frame lands on it.
    const QImage& Picture() const { return FPicture; }
    void SetPicture(QImage picture);

    // Frames drawn so far: 1, 2, ..., 32699, then 3 again (the figure is
    // scaled up only on frame 1).
    int FrameCount() const { return FFrameCount; }
    int PointCount() const { return FPointCount; }
    int LineCount() const { return FLineCount; }
    // Indexes run from 1 to MaxPoints; any other raises ERangeError.
    const T3DPoint& Points(int index) const;
    const TScreenPoint& ScreenPoints(int index) const;
    int LineStart(int index) const;
    int LineEnd(int index) const;
    const QTimer* FrameTimer() const { return FFrameTimer; }

    // One tick: lets the messages already waiting run, then draws a frame.
    void TimerTick();
    // Turns, projects and draws the next frame and copies it to the picture.
    void DrawFrame();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void DefineFigure();
    static int CheckedIndex(int index);

    int FTimerRate = 100;
    TColor FPenColour = clRed;
    TColor FBackColour = clBlack;
    double FMagnification = 2.0;
    double FAngleX = 0.07;
    double FAngleY = 0.02;

    QTimer* FFrameTimer;
    QImage FFrameBitmap;
    QRect FFrameRect;
    QImage FPicture;
    double FViewDistance = 10000.0;
    int FFrameCount = 0;
    int FPointCount = 0;
    int FLineCount = 0;
    std::array<T3DPoint, MaxPoints> FPoints{};
    std::array<TScreenPoint, MaxPoints> FScreenPoints{};
    std::array<int, MaxPoints> FLineStart{};
    std::array<int, MaxPoints> FLineEnd{};
};

#pragma once

#include "toolkit/Graphics.h"

#include <QImage>
#include <QWidget>
#include <cstdint>
#include <vector>

class TGFAboutBox;

enum class TFillDirection { fdTopToBottom, fdBottomToTop, fdLeftToRight, fdRightToLeft };

// The number of bands asked for: 1 to 256.
using TNumberOfColors = std::uint16_t;

// A control that fills its whole area with a colour gradient made of solid
// bands, from BeginColor towards EndColor in one of four directions. Each
// band's colour and extent come from MulDiv arithmetic, so a band's edges
// and colour are exact for any size. The gradient is composed in an
// off-screen bitmap of the control's size and reaches the screen in one copy.
//
// With Realize the control also builds a palette of its own (BandCount + 1
// entries, from the begin colour to exactly the end colour) and fills with
// palette-relative colours; a true-colour display shows those as the same
// RGB colours, so the picture is the same either way.
class TGradientFill : public QWidget {
public:
    explicit TGradientFill(QWidget* parent = nullptr);
    ~TGradientFill() override;

    // A place for a designer to keep the control's about dialog; the control
    // itself never creates, reads or shows it.
    TGFAboutBox* About() const { return FAbout; }
    void SetAbout(TGFAboutBox* value) { FAbout = value; }
    // Stored only: it changes neither the size nor the picture.
    bool AutoSize() const { return FAutoSize; }
    void SetAutoSize(bool value);
    TColor BeginColor() const { return FBeginColor; }
    void SetBeginColor(TColor value);
    TColor EndColor() const { return FEndColor; }
    void SetEndColor(TColor value);
    TFillDirection FillDirection() const { return FFillDirection; }
    void SetFillDirection(TFillDirection value);
    // While true, nothing is rendered or painted; turning it off shows the
    // latest state at once.
    bool HoldRedraw() const { return FHoldRedraw; }
    void SetHoldRedraw(bool value);
    // Raises ERangeError outside 1 to 256.
    TNumberOfColors NumberOfColors() const { return FNumberOfColors; }
    void SetNumberOfColors(TNumberOfColors value);
    bool Realize() const { return FRealize; }
    void SetRealize(bool value);

    // The number of bands drawn, worked out when NumberOfColors is assigned:
    // 255 for 256 while Realize is on (a palette of 256 entries then holds
    // every band and the end colour), otherwise NumberOfColors.
    int BandCount() const { return FBandCount; }
    // The entries of the palette last built, as RGB colours; empty until the
    // first render with Realize on, kept when Realize turns off.
    const std::vector<TColor>& PaletteEntries() const { return FPalette; }
    // The off-screen picture of the last render.
    const QImage& GradientBitmap() const { return FGradientBitmap; }

    // Composes the gradient in the off-screen bitmap.
    void RenderGradient();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void BuildPalette(int r0, int g0, int b0, int dr, int dg, int db);
    // Renders and repaints at once, unless HoldRedraw.
    void Redraw();

    TGFAboutBox* FAbout = nullptr;
    bool FAutoSize = false;
    TColor FBeginColor = clBlue;
    TColor FEndColor = clBlack;
    TFillDirection FFillDirection = TFillDirection::fdTopToBottom;
    bool FHoldRedraw = false;
    TNumberOfColors FNumberOfColors = 16;
    bool FRealize = true;
    int FBandCount = 16;
    QImage FGradientBitmap;
    std::vector<TColor> FPalette;
};

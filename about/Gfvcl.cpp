#include "about/Gfvcl.h"

#include "runtime/Exception.h"

#include "toolkit/Application.h"

#include <QPainter>

TGradientFill::TGradientFill(QWidget* parent) : QWidget(parent) {
    // Its bands cover it whole; while redrawing is held, what was there stays.
    setAttribute(Qt::WA_OpaquePaintEvent);
    resize(105, 105);
}

TGradientFill::~TGradientFill() = default;

void TGradientFill::SetAutoSize(bool value) {
    if (value == FAutoSize)
        return;
    FAutoSize = value;
    update();
}

void TGradientFill::SetBeginColor(TColor value) {
    if (value == FBeginColor)
        return;
    FBeginColor = value;
    Redraw();
}

void TGradientFill::SetEndColor(TColor value) {
    if (value == FEndColor)
        return;
    FEndColor = value;
    Redraw();
}

void TGradientFill::SetFillDirection(TFillDirection value) {
    if (value == FFillDirection)
        return;
    FFillDirection = value;
    Redraw();
}

void TGradientFill::SetHoldRedraw(bool value) {
    if (value == FHoldRedraw)
        return;
    FHoldRedraw = value;
    Redraw();
}

void TGradientFill::SetNumberOfColors(TNumberOfColors value) {
    if (value < 1 || value > 256)
        throw ERangeError("Range check error");
    if (value == FNumberOfColors)
        return;
    FNumberOfColors = value;
    FBandCount = FRealize && value == 256 ? 255 : value;
    Redraw();
}

void TGradientFill::SetRealize(bool value) {
    if (value == FRealize)
        return;
    FRealize = value;
    Redraw();
}

void TGradientFill::Redraw() {
    if (FHoldRedraw)
        return;
    RenderGradient();
    repaint();
}

void TGradientFill::paintEvent(QPaintEvent*) {
    if (FHoldRedraw)
        return;
    RunHandler([this] {
        RenderGradient();
        QPainter(this).drawImage(0, 0, FGradientBitmap);
    });
}

void TGradientFill::RenderGradient() {
    if (FGradientBitmap.size() != size())
        FGradientBitmap = QImage(size(), QImage::Format_RGB32);
    const TColor begin = ColorToRGB(FBeginColor);
    const TColor end = ColorToRGB(FEndColor);
    const int r0 = GetRValue(begin), g0 = GetGValue(begin), b0 = GetBValue(begin);
    const int dr = GetRValue(end) - r0, dg = GetGValue(end) - g0, db = GetBValue(end) - b0;
    if (FRealize)
        BuildPalette(r0, g0, b0, dr, dg, db);

    const int bands = FBandCount;
    const int w = width(), h = height();
    if (FGradientBitmap.isNull())
        return; // no area to fill
    QPainter canvas(&FGradientBitmap);
    for (int i = 0; i < bands; ++i) {
        QRect band;
        switch (FFillDirection) {
        case TFillDirection::fdTopToBottom:
            band.setCoords(0, MulDiv(i, h, bands), w - 1, MulDiv(i + 1, h, bands) - 1);
            break;
        case TFillDirection::fdBottomToTop:
            band.setCoords(0, MulDiv(bands - i - 1, h, bands), w - 1, MulDiv(bands - i, h, bands) - 1);
            break;
        case TFillDirection::fdLeftToRight:
            band.setCoords(MulDiv(i, w, bands), 0, MulDiv(i + 1, w, bands) - 1, h - 1);
            break;
        case TFillDirection::fdRightToLeft:
            band.setCoords(MulDiv(bands - i - 1, w, bands), 0, MulDiv(bands - i, w, bands) - 1, h - 1);
            break;
        }
        const TColor rgb = bands < 2 ? begin
                                     : RGBColor(r0 + MulDiv(i, dr, bands), g0 + MulDiv(i, dg, bands),
                                                b0 + MulDiv(i, db, bands));
        const TColor brush = FRealize ? PaletteRGB(GetRValue(rgb), GetGValue(rgb), GetBValue(rgb)) : rgb;
        // An empty band (start and end equal) draws nothing.
        if (band.isValid())
            canvas.fillRect(band, ToQColor(brush));
    }
}

void TGradientFill::BuildPalette(int r0, int g0, int b0, int dr, int dg, int db) {
    const int bands = FBandCount;
    FPalette.assign(1, RGBColor(r0, g0, b0));
    for (int n = 1; n <= bands; ++n) {
        if (bands < 2)
            FPalette.push_back(RGBColor(r0, g0, b0));
        else
            FPalette.push_back(RGBColor(r0 + MulDiv(n - 1, dr, bands - 1), g0 + MulDiv(n - 1, dg, bands - 1),
                                        b0 + MulDiv(n - 1, db, bands - 1)));
    }
}

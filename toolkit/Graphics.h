#pragma once

#include <QColor>
#include <cstdint>

// A colour as the program's controls store it: 0x00BBGGRR for a plain RGB
// value; a value with the top bit set names a system colour by its index in
// the low byte (0x8000000F is the button face); a value with 2 in its top
// byte is the palette-relative form of the RGB value in its low three bytes.
using TColor = std::int32_t;

constexpr TColor clBlack = 0x000000;
constexpr TColor clRed = 0x0000FF;
constexpr TColor clBlue = 0xFF0000;
constexpr TColor clWhite = 0xFFFFFF;
constexpr TColor clBtnFace = static_cast<TColor>(0x8000000F);

constexpr TColor RGBColor(int red, int green, int blue) {
    return (red & 0xFF) | (green & 0xFF) << 8 | (blue & 0xFF) << 16;
}
constexpr int GetRValue(TColor color) { return color & 0xFF; }
constexpr int GetGValue(TColor color) { return color >> 8 & 0xFF; }
constexpr int GetBValue(TColor color) { return color >> 16 & 0xFF; }
// The palette-relative form of an RGB colour: 2 in the top byte.
constexpr TColor PaletteRGB(int red, int green, int blue) {
    return 0x02000000 | RGBColor(red, green, blue);
}

// A system colour becomes the desktop's colour for that role; any other
// colour is returned as it is.
TColor ColorToRGB(TColor color);

// The colour Qt paints with: system colours resolved, the top byte ignored.
QColor ToQColor(TColor color);

// a * b / c computed without overflow and rounded to the nearest integer,
// halves away from zero; -1 when c is 0 or the result does not fit.
int MulDiv(int a, int b, int c);

#include "toolkit/Graphics.h"

#include <QGuiApplication>
#include <QPalette>
#include <climits>
#include <cstdlib>

namespace {
// The palette role standing for each system colour index the program uses.
QPalette::ColorRole RoleOfSystemColor(int index) {
    switch (index) {
    case 5: // window background
        return QPalette::Base;
    case 8: // window text
        return QPalette::Text;
    case 13: // selection
        return QPalette::Highlight;
    case 14: // selected text
        return QPalette::HighlightedText;
    case 15: // button face
        return QPalette::Button;
    case 18: // button text
        return QPalette::ButtonText;
    default:
        return QPalette::Window;
    }
}
} // namespace

TColor ColorToRGB(TColor color) {
    if (color >= 0)
        return color;
    const QColor system = QGuiApplication::palette().color(RoleOfSystemColor(color & 0xFF));
    return RGBColor(system.red(), system.green(), system.blue());
}

QColor ToQColor(TColor color) {
    const TColor rgb = ColorToRGB(color);
    return QColor(GetRValue(rgb), GetGValue(rgb), GetBValue(rgb));
}

int MulDiv(int a, int b, int c) {
    if (c == 0)
        return -1;
    const long long product = static_cast<long long>(a) * b;
    const bool negative = (product < 0) != (c < 0);
    const unsigned long long magnitude = static_cast<unsigned long long>(std::llabs(product));
    const unsigned long long divisor = static_cast<unsigned long long>(std::llabs(static_cast<long long>(c)));
    const unsigned long long rounded = (2 * magnitude + divisor) / (2 * divisor);
    if (rounded > static_cast<unsigned long long>(INT_MAX) + (negative ? 1 : 0))
        return -1;
    return negative ? static_cast<int>(-static_cast<long long>(rounded)) : static_cast<int>(rounded);
}

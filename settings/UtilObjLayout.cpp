#include "settings/UtilObj.h"
#include "toolkit/WindowPlacement.h"

#include <QWidget>
#include <charconv>
#include <optional>

namespace {
std::optional<int> ParseInteger(const std::string& text) {
    int value = 0;
    const char* end = text.data() + text.size();
    auto [at, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || at != end)
        return std::nullopt;
    return value;
}

} // namespace

TUtilObj::TSectionWrite TUtilObj::LayoutOf(const QWidget& window) {
    const QRect outer = WindowFrameGeometry(window);
    return {"Layout",
            {"Top=" + std::to_string(outer.y()), "Left=" + std::to_string(outer.x()),
             "Width=" + std::to_string(outer.width()), "Height=" + std::to_string(outer.height())},
            false};
}

void TUtilObj::SaveLayout(const QWidget& window) const {
    WriteSections({LayoutOf(window)});
}

// The frame goes where it was, also when the window manager frames the
// window only after this; a place off every screen is brought back onto one.
void TUtilObj::RestoreLayout(QWidget& window) const {
    std::vector<std::string> list;
    ReadSection("Layout", list);
    const QRect outer = WindowFrameGeometry(window);
    const int top = ParseInteger(ValueOfKey(list, "Top")).value_or(outer.y());
    const int left = ParseInteger(ValueOfKey(list, "Left")).value_or(outer.x());
    const int width = ParseInteger(ValueOfKey(list, "Width")).value_or(outer.width());
    const int height = ParseInteger(ValueOfKey(list, "Height")).value_or(outer.height());
    PlaceWindowFrame(window, QRect(left, top, width, height));
}

#pragma once

#include "Testing.h"

#include "about/AboutUnit.h"
#include "platform/desktop/ShellOpen.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QImage>
#include <QPointer>
#include <gtest/gtest.h>
#include <string>
#include <vector>

// Frees the objects whose deletion is pending, as the event loop does when
// control returns to it.
inline void FlushDeletes() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// The About windows open now, in no particular order.
inline std::vector<TAboutForm*> OpenAboutForms() {
    std::vector<TAboutForm*> forms;
    for (QWidget* window : QApplication::topLevelWidgets())
        if (auto* form = dynamic_cast<TAboutForm*>(window))
            forms.push_back(form);
    return forms;
}

// The targets handed to the desktop to open, recorded in place of opening
// them; About windows left open by a test are freed after it.
class TAboutTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetShellOpenAnswer([this](const std::string& target) {
            Opened.push_back(target);
            return true;
        });
    }
    void TearDown() override {
        for (TAboutForm* form : OpenAboutForms())
            delete form;
        SetShellOpenAnswer([](const std::string&) { return true; });
    }

    std::vector<std::string> Opened;
};

// The colour of one pixel as red, green, blue.
struct TRgb {
    int R, G, B;
    bool operator==(const TRgb&) const = default;
};

inline TRgb PixelAt(const QImage& image, int x, int y) {
    const QRgb pixel = image.pixel(x, y);
    return {qRed(pixel), qGreen(pixel), qBlue(pixel)};
}

inline void PrintTo(const TRgb& colour, std::ostream* out) {
    *out << "(" << colour.R << ", " << colour.G << ", " << colour.B << ")";
}

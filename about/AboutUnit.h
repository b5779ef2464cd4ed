#pragma once

#include "about/WebLabel.h"

#include <QWidget>
#include <string>

class QLabel;
class QPushButton;
class TGradientFill;
class TImageMp;

// The About window: a small black tool window that stays on top, with the
// turning figure at its left and, on a blue-to-black gradient, the product
// name, the maker's line, the maker's web address as a link, an OK button and
// the version line.
//
// It has no owner and frees itself: OK (or Enter) and the close box both
// destroy it once the events already queued for it have been handled, and
// its figure's timer goes with it. Each About command makes a new one, so
// several can be open at once, each with its own animation.
class TAboutForm : public QWidget {
public:
    // The maker's line shown in the window.
    static constexpr const char* MakerLine = "Sentrel developers";
    // Where the link leads: the home page set at build time; else the
    // README installed beside the program (share/doc/sentrel), or for a
    // copy run where it was built, the README of its sources.
    struct TLink {
        std::string Text;
        std::string Target; // without its scheme
        TURLType Type;
    };
    static TLink DocumentationLink();

    TAboutForm();
    ~TAboutForm() override;

    void FormShow();
    void BitBtnCloseClick();

    TImageMp* ImageMp1;
    QWidget* Panel1;
    TGradientFill* GradientFill1;
    QLabel* label1;
    QLabel* Label3;
    TWebLabel* WebLabel1;
    QPushButton* BitBtnClose;
    QLabel* Label2;

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void CreateControls();
    QLabel* CreateLabel(const char* caption, QRect place, int pixelHeight);
};

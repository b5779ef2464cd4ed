#include "about/Gfabout.h"

#include "toolkit/Application.h"

#include <QEvent>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <functional>

namespace {
// A 50 × 50 picture of a gradient square, from one colour to another.
QPixmap GradientPicture(const QColor& from, const QColor& to) {
    QPixmap picture(50, 50);
    QPainter painter(&picture);
    QLinearGradient gradient(0, 0, 50, 50);
    gradient.setColorAt(0, from);
    gradient.setColorAt(1, to);
    painter.fillRect(picture.rect(), gradient);
    return picture;
}

// Calls a handler on every double click that reaches the watched pictures.
class TDoubleClickFilter : public QObject {
public:
    TDoubleClickFilter(QObject* parent, std::function<void()> handler)
        : QObject(parent), FHandler(std::move(handler)) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::MouseButtonDblClick) {
            RunHandler(FHandler);
            return true;
        }
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<void()> FHandler;
};

QLabel* AddLabel(QWidget* parent, const char* text, QRect place, int pixelHeight, bool bold, bool italic) {
    auto* label = new QLabel(QString::fromUtf8(text), parent);
    label->setGeometry(place);
    QFont font = label->font();
    font.setPixelSize(pixelHeight);
    font.setBold(bold);
    font.setItalic(italic);
    label->setFont(font);
    return label;
}
} // namespace

TGFAboutBox::TGFAboutBox(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
    setWindowTitle(QStringLiteral("About"));
    setFixedSize(323, 164);

    auto* bevel = new QFrame(this);
    bevel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    bevel->setLineWidth(2);
    bevel->setGeometry(8, 8, 307, 113);
    Panel1 = bevel;
    ProgramIcon = new QLabel(Panel1);
    ProgramIcon->setGeometry(8, 8, 50, 50);
    ProgramIcon->setPixmap(GradientPicture(Qt::blue, Qt::black));
    ProgramIcon2 = new QLabel(Panel1);
    ProgramIcon2->setGeometry(8, 8, 50, 50);
    ProgramIcon2->setPixmap(GradientPicture(Qt::red, Qt::yellow));
    ProgramIcon2->hide();
    auto* filter = new TDoubleClickFilter(this, [this] { ProgramIconDblClick(); });
    ProgramIcon->installEventFilter(filter);
    ProgramIcon2->installEventFilter(filter);

    ProductName = AddLabel(Panel1, "Gradient Fill Component", {70, 8, 230, 22}, 19, true, true);
    Bits = AddLabel(Panel1, "(32-bit)", {70, 30, 120, 22}, 19, true, true);
    Version = AddLabel(Panel1, "Version 1.35", {70, 56, 120, 14}, 11, true, false);
    Copyright = AddLabel(Panel1, "Sentrel developers", {8, 72, 290, 14}, 11, false, false);
    Comments = AddLabel(Panel1, "A component to fill an area with a gradient.", {8, 90, 290, 14}, 11, false,
                        false);

    Panel2 = new QWidget(this);
    Panel2->setGeometry(0, 124, 323, 40);
    BitBtn1 = new QPushButton(QStringLiteral("OK"), Panel2);
    BitBtn1->setIcon(style()->standardIcon(QStyle::SP_DialogOkButton));
    BitBtn1->setGeometry(124, 6, 75, 25);
    BitBtn1->setDefault(true);
    connect(BitBtn1, &QPushButton::clicked, this, [this] { RunHandler([this] { Button1Click(); }); });

    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

void TGFAboutBox::ProgramIconDblClick() {
    ProgramIcon->setVisible(!ProgramIcon->isVisibleTo(Panel1));
    ProgramIcon2->setVisible(!ProgramIcon->isVisibleTo(Panel1));
}

void TGFAboutBox::Button1Click() {
    close();
}

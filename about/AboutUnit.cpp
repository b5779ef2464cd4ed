#include "about/AboutUnit.h"

#include "about/Gfvcl.h"
#include "about/ImageMp.h"
#include "about/WebLabel.h"
#include "runtime/ProgramInfo.h"
#include "toolkit/Application.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QStyle>
#include <QVBoxLayout>

namespace {
constexpr int StartTimerRate = 320000; // only until the window is shown
constexpr int ShownTimerRate = 30;

void SetTextColour(QWidget* control, const QColor& colour) {
    QPalette colours = control->palette();
    colours.setColor(QPalette::WindowText, colour);
    control->setPalette(colours);
}

void SetPixelFont(QWidget* control, int pixelHeight) {
    QFont font = control->font();
    font.setPixelSize(pixelHeight);
    control->setFont(font);
}
} // namespace

TAboutForm::TAboutForm()
    : QWidget(nullptr, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowCloseButtonHint) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("About"));
    setFixedSize(352, 191);
    QPalette colours = palette();
    colours.setColor(QPalette::Window, Qt::black);
    setPalette(colours);
    setAutoFillBackground(true);
    SetPixelFont(this, 11);
    CreateControls();
    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    // A window still open when the program ends is freed with it.
    connect(qApp, &QCoreApplication::aboutToQuit, this, [this] { delete this; });
}

TAboutForm::~TAboutForm() = default;

void TAboutForm::CreateControls() {
    ImageMp1 = new TImageMp(this);
    ImageMp1->setGeometry(12, 44, 81, 77);
    ImageMp1->SetTimerRate(StartTimerRate);
    ImageMp1->SetPenColour(clBlue);
    ImageMp1->SetBackColour(clBlack);
    ImageMp1->SetMagnification(4.0);
    ImageMp1->SetAngleX(0.04);
    ImageMp1->SetAngleY(0.03);
    QImage picture(121, 121, QImage::Format_RGB888);
    picture.fill(Qt::black);
    ImageMp1->SetPicture(std::move(picture));

    Panel1 = new QWidget(this);
    Panel1->setGeometry(96, 0, 256, 191);
    GradientFill1 = new TGradientFill(Panel1);
    auto* fill = new QVBoxLayout(Panel1);
    fill->setContentsMargins(0, 0, 0, 0);
    fill->addWidget(GradientFill1);
    GradientFill1->SetFillDirection(TFillDirection::fdRightToLeft);
    GradientFill1->SetNumberOfColors(255);

    label1 = CreateLabel("Sentrel", {74, 16, 95, 17}, 15);
    Label3 = CreateLabel(MakerLine, {68, 38, 112, 14}, 11);

    const TLink link = DocumentationLink();
    WebLabel1 = new TWebLabel(Panel1);
    WebLabel1->setGeometry(64, 64, 116, 16);
    WebLabel1->setText(QString::fromStdString(link.Text));
    WebLabel1->SetLink(link.Target);
    WebLabel1->SetLinkTyp(link.Type);
    WebLabel1->SetHover(false);
    SetPixelFont(WebLabel1, 13);
    SetTextColour(WebLabel1, Qt::white);

    BitBtnClose = new QPushButton(QStringLiteral("OK"), Panel1);
    BitBtnClose->setGeometry(92, 100, 65, 25);
    BitBtnClose->setIcon(style()->standardIcon(QStyle::SP_DialogOkButton));
    BitBtnClose->setDefault(true);
    connect(BitBtnClose, &QPushButton::clicked, this, [this] { RunHandler([this] { BitBtnCloseClick(); }); });

    Label2 = CreateLabel((std::string("Version ") + ProgramVersion()).c_str(), {62, 142, 137, 13}, 9);
}

TAboutForm::TLink TAboutForm::DocumentationLink() {
    const std::string homePage = ProgramHomePage();
    for (const auto& [scheme, type] : {std::pair{"https://", TURLType::lnHttps}, std::pair{"http://", TURLType::lnHttp}})
        if (homePage.starts_with(scheme)) {
            const std::string target = homePage.substr(std::string(scheme).size());
            return {target.substr(0, target.find('/')), target, type};
        }
    const QString installed =
        QCoreApplication::applicationDirPath() + QStringLiteral("/../share/doc/sentrel/README.md");
    const std::string readme =
        QFileInfo::exists(installed) ? QFileInfo(installed).canonicalFilePath().toStdString() : SourceReadme();
    return {"Documentation", readme, TURLType::lnFile};
}

QLabel* TAboutForm::CreateLabel(const char* caption, QRect place, int pixelHeight) {
    auto* label = new QLabel(QString::fromUtf8(caption), Panel1);
    label->setGeometry(place);
    SetPixelFont(label, pixelHeight);
    SetTextColour(label, Qt::white);
    return label;
}

void TAboutForm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (event->spontaneous())
        return; // the desktop restoring the window, not the program showing it
    RunHandler([this] { FormShow(); });
}

void TAboutForm::FormShow() {
    ImageMp1->SetTimerRate(ShownTimerRate);
}

void TAboutForm::BitBtnCloseClick() {
    deleteLater();
}

void TAboutForm::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        BitBtnClose->click();
        return;
    }
    QWidget::keyPressEvent(event);
}

#include "dialogs/WatchLimitUnit.h"

#include "platform/changes/inotify/InotifyLimits.h"
#include "platform/helper/Pkexec.h"
#include "runtime/Exception.h"
#include "runtime/SysUtils.h"
#include "toolkit/Application.h"
#include "toolkit/Dialogs.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <algorithm>
#include <limits>

namespace {
std::string Count(uint64_t value) {
    std::string digits = std::to_string(value);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3)
        digits.insert(static_cast<size_t>(at), ",");
    return digits;
}

std::string Mebibytes(uint64_t bytes) {
    return Count((bytes + (1u << 19)) >> 20) + " MiB";
}
} // namespace

uint64_t SuggestedWatchLimit(uint64_t limit, uint64_t userWatches) {
    const uint64_t wanted = std::max(limit * 2, userWatches + 100000);
    return std::clamp(wanted, LeastWatchLimit, std::min<uint64_t>(MostWatchLimit, std::numeric_limits<int>::max()));
}

std::string WatchLimitHelperFor(const std::string& programFolder) {
    const std::string installed = programFolder + "/../libexec/sentrel/sentrel-watch-limit";
    if (QFileInfo(QString::fromStdString(installed)).isExecutable())
        return QFileInfo(QString::fromStdString(installed)).canonicalFilePath().toStdString();
    return programFolder + "/sentrel-watch-limit";
}

TWatchLimitForm::TWatchLimitForm(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Watch Limit"));
    Helper = WatchLimitHelperFor(QCoreApplication::applicationDirPath().toStdString());
    CreateControls();
    Refresh();
}

TWatchLimitForm::~TWatchLimitForm() {
    if (FRaising)
        FRaising->disconnect(this);
}

void TWatchLimitForm::CreateControls() {
    lbOwn = new QLabel(this);
    lbUser = new QLabel(this);
    lbLimit = new QLabel(this);
    lbMemory = new QLabel(this);
    seNewLimit = new QSpinBox(this);
    seNewLimit->setRange(static_cast<int>(LeastWatchLimit), std::numeric_limits<int>::max());
    seNewLimit->setGroupSeparatorShown(true);
    connect(seNewLimit, &QSpinBox::valueChanged, this, [this] { RunHandler([this] { ShowCommands(); }); });
    btRaiseForThisBoot = new QPushButton(QStringLiteral("Raise for This Boot"), this);
    connect(btRaiseForThisBoot, &QPushButton::clicked, this, [this] { RunHandler([this] { RaiseForThisBootClick(); }); });
    btRaiseForGood = new QPushButton(QStringLiteral("Raise for Good"), this);
    connect(btRaiseForGood, &QPushButton::clicked, this, [this] { RunHandler([this] { RaiseForGoodClick(); }); });
    meCommands = new QPlainTextEdit(this);
    meCommands->setReadOnly(true);
    lbResult = new QLabel(this);
    lbResult->setWordWrap(true);

    auto* figures = new QGridLayout;
    figures->addWidget(lbOwn, 0, 0);
    figures->addWidget(lbUser, 1, 0);
    figures->addWidget(lbLimit, 2, 0);
    figures->addWidget(lbMemory, 3, 0);
    auto* raise = new QHBoxLayout;
    raise->addWidget(new QLabel(QStringLiteral("New limit:"), this));
    raise->addWidget(seNewLimit);
    raise->addWidget(btRaiseForThisBoot);
    raise->addWidget(btRaiseForGood);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(figures);
    layout->addLayout(raise);
    layout->addWidget(new QLabel(QStringLiteral("Or run these commands yourself:"), this));
    layout->addWidget(meCommands);
    layout->addWidget(lbResult);
    resize(560, 320);
}

void TWatchLimitForm::Refresh() {
    const TInotifyUsage usage = ReadInotifyUsage();
    lbOwn->setText(QString::fromStdString("Watches used by Sentrel: " + Count(usage.OwnWatches)));
    std::string user = "Watches used by all your programs: " + Count(usage.UserWatches);
    if (usage.UnreadProcesses > 0)
        user += " (" + Count(usage.UnreadProcesses) + " of your processes could not be read)";
    lbUser->setText(QString::fromStdString(user));
    lbLimit->setText(QString::fromStdString(
        "Limit: " + (usage.Limit > 0 ? Count(usage.Limit) : std::string("unknown")) + " (fs.inotify.max_user_watches)"));
    lbMemory->setText(QString::fromStdString("Kernel memory per watch: about 1 KiB; at the limit, about " +
                                             Mebibytes(usage.Limit * KernelBytesPerWatch) +
                                             ", used only as watches are"));
    seNewLimit->setValue(static_cast<int>(SuggestedWatchLimit(usage.Limit, usage.UserWatches)));
    ShowCommands();
}

void TWatchLimitForm::ShowCommands() {
    const std::string limit = std::to_string(seNewLimit->value());
    meCommands->setPlainText(QString::fromStdString(
        "# for this boot\n"
        "echo " + limit + " | sudo tee /proc/sys/fs/inotify/max_user_watches\n"
        "# for good\n"
        "echo 'fs.inotify.max_user_watches = " + limit + "' | sudo tee /etc/sysctl.d/60-sentrel-inotify.conf\n"));
}

void TWatchLimitForm::RaiseForThisBootClick() {
    Raise(false);
}

void TWatchLimitForm::RaiseForGoodClick() {
    Raise(true);
}

// The helper runs while the window stays responsive: pkexec's question for
// the password is a window of its own.
void TWatchLimitForm::Raise(bool forGood) {
    if (FRaising)
        return;
    if (!QFileInfo(QString::fromStdString(Helper)).isExecutable())
        throw Exception("The limit on watched folders cannot be raised here: the program's helper " + Helper +
                        " is missing; run the commands shown instead");
    std::vector<std::string> command = Elevation;
    command.push_back(Helper);
    command.push_back(std::to_string(seNewLimit->value()));
    if (forGood)
        command.push_back("--persist");
    QStringList arguments;
    for (auto word = command.begin() + 1; word != command.end(); ++word)
        arguments << QString::fromStdString(*word);
    FRaising = new QProcess(this);
    connect(FRaising, &QProcess::finished, this, [this](int exitCode, QProcess::ExitStatus status) {
        RunHandler([&] {
            Raised(status == QProcess::NormalExit ? exitCode : -1,
                   QString::fromLocal8Bit(FRaising->readAllStandardError()).trimmed().toStdString(), true);
        });
    });
    connect(FRaising, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            RunHandler([&] { Raised(-1, FRaising->errorString().toStdString(), false); });
    });
    btRaiseForThisBoot->setEnabled(false);
    btRaiseForGood->setEnabled(false);
    lbResult->setText(QStringLiteral("Raising the limit…"));
    FRaising->start(QString::fromStdString(command.front()), arguments);
}

void TWatchLimitForm::Raised(int exitCode, const std::string& errorOutput, bool started) {
    const std::string program = QFileInfo(FRaising->program()).fileName().toStdString();
    FRaising->deleteLater();
    FRaising = nullptr;
    btRaiseForThisBoot->setEnabled(true);
    btRaiseForGood->setEnabled(true);
    const std::string wanted = Count(static_cast<uint64_t>(seNewLimit->value()));
    if (exitCode == 0) {
        Refresh();
        lbResult->setText(QString::fromStdString("The limit is now " + wanted +
                                                 ": the folders left unwatched are being watched."));
        return;
    }
    std::string why = started ? PkexecRefusal(exitCode, errorOutput) : program + " could not be started (" + errorOutput + ")";
    if (why.empty())
        why = errorOutput.empty() ? "the helper failed (exit code " + std::to_string(exitCode) + ")" : errorOutput;
    lbResult->setText(QString::fromStdString("The limit was not raised: " + why + "."));
    ShowErrorBox("The limit on watched folders was not raised to " + wanted + ": " + why);
}

#include "platform/desktop/ShellOpen.h"

#include <QDesktopServices>
#include <cctype>
#include <filesystem>

namespace {
TShellOpenAnswer& Answer() {
    static TShellOpenAnswer answer;
    return answer;
}

// scheme = letter *( letter / digit / "+" / "-" / "." ) ":"; a single letter
// before the colon is a drive, not a scheme.
bool HasScheme(const std::string& text) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos || colon < 2 || !std::isalpha(static_cast<unsigned char>(text[0])))
        return false;
    for (size_t i = 1; i < colon; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (!std::isalnum(c) && c != '+' && c != '-' && c != '.')
            return false;
    }
    return true;
}
} // namespace

QUrl ShellOpenUrl(const std::string& target) {
    if (HasScheme(target))
        return QUrl(QString::fromUtf8(target.data(), static_cast<qsizetype>(target.size())),
                    QUrl::TolerantMode);
    QByteArray path(target.data(), static_cast<qsizetype>(target.size()));
    if (!path.startsWith('/')) {
        std::error_code ignored;
        path = QByteArray::fromStdString(std::filesystem::current_path(ignored).string()) + '/' + path;
    }
    // Percent-encoding the bytes themselves keeps a name that is not valid
    // UTF-8 intact: the file URL names exactly those bytes.
    return QUrl::fromEncoded("file://" + path.toPercentEncoding("/"), QUrl::StrictMode);
}

bool ShellOpen(const std::string& target, std::string* reason) {
    // The desktop's opener would start and then fail where no one sees it.
    if (!HasScheme(target)) {
        std::error_code error;
        static_cast<void>(std::filesystem::status(target, error));
        if (error) {
            if (reason)
                *reason = error.message();
            return false;
        }
    }
    if (Answer())
        return Answer()(target);
    if (QDesktopServices::openUrl(ShellOpenUrl(target)))
        return true;
    if (reason)
        *reason = "the desktop has no program to open it with";
    return false;
}

void SetShellOpenAnswer(TShellOpenAnswer answer) {
    Answer() = std::move(answer);
}

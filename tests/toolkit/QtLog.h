#pragma once

#include <QString>
#include <QtGlobal>
#include <string>
#include <utility>
#include <vector>

// Qt's critical messages while an instance lives. The event dispatch logs
// one for every error that unwound through Qt's code before it was caught.
class TQtLog {
public:
    TQtLog() : FPrevious(qInstallMessageHandler(&Record)) { Lines().clear(); }
    ~TQtLog() { qInstallMessageHandler(FPrevious); }
    TQtLog(const TQtLog&) = delete;
    TQtLog& operator=(const TQtLog&) = delete;

    std::vector<std::string> TakeCritical() { return std::exchange(Lines(), {}); }

private:
    static std::vector<std::string>& Lines() {
        static std::vector<std::string> lines;
        return lines;
    }
    static void Record(QtMsgType type, const QMessageLogContext&, const QString& text) {
        if (type == QtCriticalMsg || type == QtFatalMsg)
            Lines().push_back(text.toStdString());
    }

    QtMessageHandler FPrevious;
};

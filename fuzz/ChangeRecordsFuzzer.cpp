// Names come from anyone who can make a file in a watched folder: any bytes
// in a path must give one line in every output, that reads back to the
// same bytes and holds nothing a terminal or a line reader acts on.
#include "FuzzSupport.h"

#include "records/ChangeRecords.h"
#include "records/PathText.h"
#include "records/ResultLines.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

namespace {
bool HasControl(const std::string& text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7f;
    });
}

std::string PathBytes(const QJsonObject& record) {
    if (record.contains(QStringLiteral("path")))
        return record.value(QStringLiteral("path")).toString().toStdString();
    return QByteArray::fromBase64(record.value(QStringLiteral("path_base64")).toString().toLatin1()).toStdString();
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    StartFuzzApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path(reinterpret_cast<const char*>(data), size);
    const std::string shown = ShownPath(path);
    FUZZ_CHECK(!HasControl(shown));
    FUZZ_CHECK(PathOfShown(shown) == path);
    FUZZ_CHECK(PathOfShown(ShownPath(PathOfShown(path))) == PathOfShown(path));

    const TResultLine line = TResultLine::Of("12:00:00", "Added", path);
    FUZZ_CHECK(line.Text.find('\n') == std::string::npos);
    FUZZ_CHECK(RecordOfLine(line.Text).Path == path);

    const std::string json = JsonRecord({"t", "Added", path, std::nullopt, "/w", path});
    FUZZ_CHECK(json.find('\n') == std::string::npos);
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(json), &error);
    FUZZ_CHECK(error.error == QJsonParseError::NoError && document.isObject());
    FUZZ_CHECK(path.find('\0') != std::string::npos || PathBytes(document.object()) == path);

    const std::string csv = SavedChangeList({line.Text}, TSavedListType::Csv);
    FUZZ_CHECK(std::count(csv.begin(), csv.end(), '\n') == 2);
    return 0;
}

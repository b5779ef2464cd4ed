#include "platform/changes/DirChanges.h"

namespace {
TDirChangeReaderFactory& Factory() {
    static TDirChangeReaderFactory factory;
    return factory;
}
} // namespace

void SetDirChangeReaderFactory(TDirChangeReaderFactory factory) {
    Factory() = std::move(factory);
}

std::unique_ptr<TDirChangeReader> TDirChangeReader::Open(const std::string& directory,
                                                          TOpenFailure& failure) {
    if (Factory())
        return Factory()(directory, failure);
    return OpenNative(directory, failure);
}

std::string DescribeOpenFailure(uint32_t errorCode) {
    switch (errorCode) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return "not found";
    case ERROR_ACCESS_DENIED:
        return "no permission";
    case ERROR_DIRECTORY:
        return "not a folder";
    case ERROR_FILENAME_EXCED_RANGE:
        return "name too long";
    case ERROR_CANT_RESOLVE_FILENAME:
        return "too many symbolic links";
    case ERROR_TOO_MANY_OPEN_FILES:
        return "too many open files";
    case ERROR_NOT_ENOUGH_MEMORY:
        return "not enough memory";
    default:
        return "cannot be opened";
    }
}

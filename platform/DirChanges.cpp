#include "platform/DirChanges.h"

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

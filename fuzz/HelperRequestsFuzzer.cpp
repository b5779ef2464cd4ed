// What the privileged helper reads from the program it serves: whatever the
// bytes, the parse reads nothing outside them, and a request it accepts
// keeps every rule and says, written again, exactly what it said.
#include "platform/helper/HelperProtocol.h"

#include <cstdint>
#include <string_view>

using namespace helper;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    std::optional<TRequest> request = ParseRequest(body);
    if (!request)
        return 0;
    const bool kept =
        request->Watch < MaxWatches &&
        (request->Kind != TRequestKind::Watch || (!request->Folder.empty() && request->Folder.front() == '/' &&
                                                  request->Folder.find('\0') == std::string::npos)) &&
        (request->Kind != TRequestKind::Read || (request->Length > 0 && request->Length <= MaxReadLength));
    if (!kept || EncodeRequest(*request).substr(sizeof(uint32_t)) != body)
        __builtin_trap();
    return 0;
}

// File names cross from the system to the program as 16-bit text: any bytes
// must come back as the same bytes, and any 16-bit text must convert without
// harm and settle after one round.
#include "FuzzSupport.h"

#include "platform/system/TextConversion.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    FUZZ_CHECK(WideToLocal8(Local8ToWide(bytes)) == bytes);

    std::u16string wide(size / sizeof(char16_t), u'\0');
    std::memcpy(wide.data(), data, wide.size() * sizeof(char16_t));
    const std::string once = WideToLocal8(wide);
    FUZZ_CHECK(WideToLocal8(Local8ToWide(once)) == once);
    return 0;
}

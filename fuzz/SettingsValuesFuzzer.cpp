// Settings values come from file names and from what users type: any bytes
// saved into the settings file must load back byte for byte, and no value
// may add a key or a section. A stored value of any text decodes, and
// settles after one more round.
#include "FuzzSupport.h"

#include "settings/UtilObj.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <unistd.h>
#include <vector>

namespace {
// The input as values: each byte up to a 0xFF byte, or the input's end.
std::vector<std::string> ValuesOf(const std::string& input) {
    std::vector<std::string> values;
    std::size_t start = 0;
    for (std::size_t end; (end = input.find('\xff', start)) != std::string::npos; start = end + 1)
        values.push_back(input.substr(start, end - start));
    values.push_back(input.substr(start));
    return values;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    StartFuzzApplication();
    std::string pattern = "/tmp/sentrel-fuzz-XXXXXX";
    const int fd = ::mkstemp(pattern.data());
    ::close(fd);
    UtilObj.SetIniFileName(pattern);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::string decoded = TUtilObj::DecodeIniValue(input);
    FUZZ_CHECK(TUtilObj::DecodeIniValue(TUtilObj::EncodeIniValue(decoded)) == decoded);

    const std::vector<std::string> values = ValuesOf(input);
    for (const std::string& value : values) {
        const std::string stored = TUtilObj::EncodeIniValue(value);
        FUZZ_CHECK(stored.find_first_of(std::string("\r\n\0", 3)) == std::string::npos);
        FUZZ_CHECK(TUtilObj::DecodeIniValue(stored) == value);
    }
    ::truncate(UtilObj.GetIniFileName().c_str(), 0);
    UtilObj.WriteSections({{"WatchDirs", values, true}, {"Misc", {"HexEditor=" + values.front().substr(0, 1000)}, false}});
    const TIniSections sections = UtilObj.ReadSections();
    FUZZ_CHECK(sections.size() == 2);
    FUZZ_CHECK(TUtilObj::ListValues(sections.at("WatchDirs")) == values);
    FUZZ_CHECK(sections.at("Misc") == std::vector<std::string>{"HexEditor=" + values.front().substr(0, 1000)});
    return 0;
}

#pragma once

#include <cstring>

// A value of type T from bytes the kernel wrote, wherever they lie: records
// in its buffers need not be aligned for every field.
template <typename T> T ReadUnaligned(const char* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

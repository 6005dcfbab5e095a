// The CRC-32 register advanced bit by bit, straight from the definition: the reference the
// table and folding code are checked against.
#pragma once

#include <cstdint>

inline std::uint32_t BitwiseCrc32(std::uint32_t r, const unsigned char* p, std::uint32_t n) {
    while (n-- > 0) {
        r ^= *p++;
        for (int k = 0; k < 8; ++k) {
            r = (r & 1u) ? (r >> 1) ^ 0xEDB88320u : r >> 1;
        }
    }
    return r;
}

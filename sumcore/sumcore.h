// Public interface of the sumcore shared library: one exported function.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#define SUMCORE_API
#if defined(_M_IX86) || defined(__i386__)
#define SUMCORE_CALL __stdcall
#else
#define SUMCORE_CALL
#endif
#else
#define SUMCORE_API __attribute__((visibility("default")))
#define SUMCORE_CALL
#endif

extern "C" {
// CRC-32 (ISO-HDLC / IEEE 802.3) of `length` bytes at `data`. Zero bytes are ordinary data.
SUMCORE_API std::uint32_t SUMCORE_CALL CRCBuffer(const unsigned char* data, std::uint32_t length);
}

// The signature the program binds by name at run time.
using CRCBufferFn = std::uint32_t(SUMCORE_CALL*)(const unsigned char*, std::uint32_t);

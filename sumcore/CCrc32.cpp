#include "CCrc32.h"

#include <array>

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define SUMCORE_X86_FOLDING 1
#include <immintrin.h>
#elif defined(__aarch64__) && defined(__GNUC__)
#define SUMCORE_ARM_CRC 1
#include <arm_acle.h>
#if defined(__linux__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif
#endif

namespace {

// Table for the reflected polynomial 0xEDB88320, built at compile time; seven more tables
// let the table code fold eight bytes per step ("slicing by eight").
constexpr int kSlices = 8;

constexpr std::array<std::array<std::uint32_t, 256>, kSlices> MakeTables() {
    std::array<std::array<std::uint32_t, 256>, kSlices> t{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k) {
            c = (c & 1u) ? (c >> 1) ^ 0xEDB88320u : (c >> 1);
        }
        t[0][n] = c;
    }
    for (std::uint32_t n = 0; n < 256; ++n) {
        for (int s = 1; s < kSlices; ++s) {
            t[s][n] = (t[s - 1][n] >> 8) ^ t[0][t[s - 1][n] & 0xFFu];
        }
    }
    return t;
}

constexpr auto kTables = MakeTables();

#if SUMCORE_X86_FOLDING
// Folding pays off from one 16-byte block on; shorter buffers go through the tables.
constexpr std::uint32_t kFoldMinimum = 16;

__attribute__((target("sse2"))) inline __m128i load(const unsigned char* at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// One block folded forward by the distance the constants stand for, onto the next block.
__attribute__((target("pclmul,sse2"))) inline __m128i fold(__m128i x, __m128i k, __m128i next) {
    const __m128i lo = _mm_clmulepi64_si128(x, k, 0x00);
    const __m128i hi = _mm_clmulepi64_si128(x, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(lo, hi), next);
}

// Constants of the folding for the reflected polynomial: x^(k) mod P(x) for the distances
// folded over (four blocks, one block, 64 and 32 bits), and Barrett's mu with P(x) itself.
__attribute__((target("pclmul,sse2"))) std::uint32_t
FoldX86(std::uint32_t crc, const unsigned char* p, std::uint32_t length) {
    const __m128i r2r1 = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
    const __m128i r4r3 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
    const __m128i r5 = _mm_set_epi64x(0, 0x163cd6124);
    const __m128i mask32 = _mm_set_epi32(0, 0, 0, -1);
    const __m128i poly = _mm_set_epi64x(0x1f7011641, 0x1db710641); // mu, P(x)

    __m128i x1 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
    p += 16;
    length -= 16;
    if (length >= 48) {
        // Four lanes of 16 bytes, each folded 64 bytes ahead, then joined into one.
        __m128i x2 = load(p);
        __m128i x3 = load(p + 16);
        __m128i x4 = load(p + 32);
        p += 48;
        length -= 48;
        while (length >= 64) {
            x1 = fold(x1, r2r1, load(p));
            x2 = fold(x2, r2r1, load(p + 16));
            x3 = fold(x3, r2r1, load(p + 32));
            x4 = fold(x4, r2r1, load(p + 48));
            p += 64;
            length -= 64;
        }
        x1 = fold(x1, r4r3, x2);
        x1 = fold(x1, r4r3, x3);
        x1 = fold(x1, r4r3, x4);
    }
    // The remaining whole blocks, one lane.
    while (length >= 16) {
        x1 = fold(x1, r4r3, load(p));
        p += 16;
        length -= 16;
    }
    // 128 to 64 bits, appending 32 zero bits.
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(r4r3, x1, 0x01), _mm_srli_si128(x1, 8));
    // 64 to 32 bits.
    const __m128i upper = _mm_srli_si128(x1, 4);
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, mask32), r5, 0x00), upper);
    // Barrett reduction to the 32-bit remainder.
    const __m128i kept = x1;
    x1 = _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), poly, 0x10);
    x1 = _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), poly, 0x00);
    x1 = _mm_xor_si128(x1, kept);
    const auto folded = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(x1, 4)));
    return length == 0 ? folded : CCrc32::UpdateTable(folded, p, length);
}

bool CpuFolds() {
    static const bool yes = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse2");
    return yes;
}
#endif

#if SUMCORE_ARM_CRC
constexpr std::uint32_t kFoldMinimum = 8;

__attribute__((target("+crc"))) std::uint32_t FoldArm(std::uint32_t crc, const unsigned char* p,
                                                      std::uint32_t length) {
    while (length >= 8) {
        std::uint64_t word;
        __builtin_memcpy(&word, p, 8);
        crc = __crc32d(crc, word);
        p += 8;
        length -= 8;
    }
    while (length-- > 0) {
        crc = __crc32b(crc, *p++);
    }
    return crc;
}

bool CpuFolds() {
#if defined(__linux__) && defined(HWCAP_CRC32)
    static const bool yes = (getauxval(AT_HWCAP) & HWCAP_CRC32) != 0;
    return yes;
#elif defined(__ARM_FEATURE_CRC32)
    return true;
#else
    return false;
#endif
}
#endif

} // namespace

std::uint32_t CCrc32::UpdateTable(std::uint32_t r, const unsigned char* data,
                                  std::uint32_t length) {
    auto word = [](const unsigned char* p) {
        return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
               (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
    };
    while (length >= 8) {
        r ^= word(data);
        const std::uint32_t hi = word(data + 4);
        r = kTables[7][r & 0xFFu] ^ kTables[6][(r >> 8) & 0xFFu] ^ kTables[5][(r >> 16) & 0xFFu] ^
            kTables[4][r >> 24] ^ kTables[3][hi & 0xFFu] ^ kTables[2][(hi >> 8) & 0xFFu] ^
            kTables[1][(hi >> 16) & 0xFFu] ^ kTables[0][hi >> 24];
        data += 8;
        length -= 8;
    }
    while (length-- > 0) {
        r = (r >> 8) ^ kTables[0][(r ^ *data++) & 0xFFu];
    }
    return r;
}

bool CCrc32::HasFolding() {
#if SUMCORE_X86_FOLDING || SUMCORE_ARM_CRC
    return CpuFolds();
#else
    return false;
#endif
}

bool CCrc32::UpdateFolded(std::uint32_t* r, const unsigned char* data, std::uint32_t length) {
    if (!HasFolding()) {
        return false;
    }
#if SUMCORE_X86_FOLDING
    *r = length >= kFoldMinimum ? FoldX86(*r, data, length) : UpdateTable(*r, data, length);
    return true;
#elif SUMCORE_ARM_CRC
    *r = FoldArm(*r, data, length);
    return true;
#else
    (void)r;
    (void)data;
    (void)length;
    return false;
#endif
}

void CCrc32::Update(const unsigned char* data, std::uint32_t length) {
#if SUMCORE_X86_FOLDING || SUMCORE_ARM_CRC
    // Short chat messages stay on the table code without asking the processor anything.
    if (length >= kFoldMinimum && CpuFolds()) {
        UpdateFolded(&register_, data, length);
        return;
    }
#endif
    register_ = UpdateTable(register_, data, length);
}

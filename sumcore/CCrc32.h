// The CRC register used inside sumcore; not exported.
#pragma once

#include <cstdint>

class CCrc32 {
public:
    CCrc32() = default;
    CCrc32(const CCrc32&) = default;
    CCrc32& operator=(const CCrc32&) = default;
    virtual ~CCrc32() = default;

    void Reset() { register_ = 0xFFFFFFFFu; }
    // Uses the fastest way this processor offers; every way gives the same register.
    void Update(const unsigned char* data, std::uint32_t length);
    void Final() {
        register_ = ~register_;
        value_ = register_;
    }
    std::uint32_t Value() const { return value_; }

    // The two ways, for cross-checking: table lookups, and carry-less multiplication
    // folding. Folded returns false (and does nothing) where the processor cannot do it.
    static std::uint32_t UpdateTable(std::uint32_t r, const unsigned char* data,
                                     std::uint32_t length);
    static bool UpdateFolded(std::uint32_t* r, const unsigned char* data, std::uint32_t length);
    static bool HasFolding();

private:
    std::uint32_t register_ = 0xFFFFFFFFu;
    std::uint32_t value_ = 0;
};

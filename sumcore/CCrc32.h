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
    void Update(const unsigned char* data, std::uint32_t length);
    void Final() {
        register_ = ~register_;
        value_ = register_;
    }
    std::uint32_t Value() const { return value_; }

private:
    std::uint32_t register_ = 0xFFFFFFFFu;
    std::uint32_t value_ = 0;
};

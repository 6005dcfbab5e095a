#include "NetCodec.h"

QByteArray EncodeLong(std::int32_t v) {
    const auto u = static_cast<std::uint32_t>(v);
    QByteArray out(4, Qt::Uninitialized);
    out[0] = static_cast<char>(u & 0xFFu);
    out[1] = static_cast<char>((u >> 8) & 0xFFu);
    out[2] = static_cast<char>((u >> 16) & 0xFFu);
    out[3] = static_cast<char>((u >> 24) & 0xFFu);
    return out;
}

std::int32_t DecodeLong(const QByteArray& s, bool* ok) {
    if (ok != nullptr) {
        *ok = true;
    }
    if (s.size() != 4) {
        return 0;
    }
    const auto c = [&](int k) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(s[k]));
    };
    if (c(3) >= 128) {
        if (ok != nullptr) {
            *ok = false;
        }
        return 0;
    }
    return static_cast<std::int32_t>(c(0) | (c(1) << 8) | (c(2) << 16) | (c(3) << 24));
}

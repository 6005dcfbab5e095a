#include "Cipher.h"

#include <array>
#include <utility>

namespace {

std::array<std::uint8_t, 256> S{};
std::array<std::uint8_t, 256> K{};
std::uint8_t i = 0;
std::uint8_t j = 0;

} // namespace

void CipherSetKey(const QByteArray& password) {
    const qsizetype L = password.size();
    if (L == 0) {
        return; // no key: callers never pass one, and the repetition below needs a character
    }
    qsizetype p = 0;
    for (int n = 0; n < 256; ++n) {
        ++p;
        if (p > L) {
            p = 1;
        }
        K[n] = static_cast<std::uint8_t>(password.at(p - 1));
    }
    for (int n = 0; n < 256; ++n) {
        S[n] = static_cast<std::uint8_t>(n);
    }
    std::uint8_t jj = 0;
    for (int n = 0; n < 256; ++n) {
        jj = static_cast<std::uint8_t>(jj + S[n] + K[n]);
        std::swap(S[n], S[jj]);
    }
}

std::uint8_t CipherByte(std::uint8_t b) {
    i = static_cast<std::uint8_t>(i + 1);
    j = static_cast<std::uint8_t>(j + S[i]);
    std::swap(S[i], S[j]);
    const auto t = static_cast<std::uint8_t>(S[i] + S[j]);
    return static_cast<std::uint8_t>(b ^ S[t]);
}

QByteArray CipherText(const QByteArray& text, const QByteArray& password) {
    if (password.isEmpty()) {
        return text;
    }
    i = 0;
    j = 0;
    CipherSetKey(password);
    QByteArray result(text.size(), Qt::Uninitialized);
    const char* src = text.constData();
    char* dst = result.data();
    for (qsizetype k = 0; k < text.size(); ++k) {
        dst[k] = static_cast<char>(CipherByte(static_cast<std::uint8_t>(src[k])));
    }
    return result;
}

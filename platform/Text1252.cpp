#include "Text1252.h"

#include <array>

namespace platform {
namespace {

// 0x80..0x9F of Windows-1252; the five unassigned codes map to the C1 control of the same
// value, as Windows itself does, so every byte survives a round trip.
constexpr std::array<char16_t, 32> kHigh = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char EncodeOne(char16_t u) {
    if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) {
        return static_cast<char>(u);
    }
    for (std::size_t k = 0; k < kHigh.size(); ++k) {
        if (kHigh[k] == u) {
            return static_cast<char>(0x80 + k);
        }
    }
    return '?';
}

} // namespace

QByteArray ToAnsi(const QString& text) {
    QByteArray out;
    out.reserve(text.size());
    for (qsizetype k = 0; k < text.size(); ++k) {
        const QChar c = text.at(k);
        if (c.isHighSurrogate() && k + 1 < text.size() && text.at(k + 1).isLowSurrogate()) {
            ++k; // one character outside the code page, one "?"
            out.append('?');
            continue;
        }
        out.append(EncodeOne(c.unicode()));
    }
    return out;
}

int Unmappable(const QString& text) {
    int lost = 0;
    for (qsizetype k = 0; k < text.size(); ++k) {
        const QChar c = text.at(k);
        if (c.isHighSurrogate() && k + 1 < text.size() && text.at(k + 1).isLowSurrogate()) {
            ++k;
            ++lost;
        } else if (c != QLatin1Char('?') && EncodeOne(c.unicode()) == '?') {
            ++lost;
        }
    }
    return lost;
}

QString FromAnsi(const QByteArray& bytes) {
    QString out(bytes.size(), Qt::Uninitialized);
    QChar* dst = out.data();
    for (qsizetype k = 0; k < bytes.size(); ++k) {
        const auto b = static_cast<unsigned char>(bytes.at(k));
        dst[k] = (b >= 0x80 && b < 0xA0) ? QChar(kHigh[b - 0x80]) : QChar(b);
    }
    return out;
}

} // namespace platform

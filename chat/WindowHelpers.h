// Small helpers the chat window's source files share.
#pragma once

#include "platform/LocaleText.h"

#include <QColor>
#include <QDateTime>
#include <QString>

namespace chat {

inline const QString kAppTitle = QStringLiteral("Palaver");

// Colours given as the window system's &HBBGGRR values.
inline QColor FromBgr(unsigned bgr) {
    return {static_cast<int>(bgr & 0xFFu), static_cast<int>((bgr >> 8) & 0xFFu),
            static_cast<int>((bgr >> 16) & 0xFFu)};
}

// The date and time as the call stamps and reports show it.
inline QString Now() {
    return platform::GeneralDate(QDateTime::currentDateTime());
}

} // namespace chat

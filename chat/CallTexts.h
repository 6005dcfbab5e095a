// What a call reports, in the words the user knows.
#pragma once

#include "call/Call.h"

#include <QString>

namespace chat {

struct Shown {
    QString text;
    bool status = false; // for the status line rather than the log
};

Shown CallText(const CallReport& report);

} // namespace chat

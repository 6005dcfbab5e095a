// What a call reports, in the words the user knows.
#pragma once

#include "call/Call.h"
#include "call/LoginPool.h"

#include <QString>

namespace chat {

struct Shown {
    QString text;
    bool status = false; // for the status line rather than the log
};

Shown CallText(const CallReport& report);
// Why a call is not secure, as a clause: "the peer presented no key".
QString InsecureText(Insecure why, const QString& detail = {}, const QString& was = {});
// An address is being held back for wrong login passwords.
QString HeldBackNote(const QString& address);
// What is wrong with the key file or the pinned keys.
QString KeyTroubleText(const KeyTrouble& trouble);
// A call closed before it logged in, or the last minute's sum of them.
QString PoolText(const PoolReport& report);

} // namespace chat

// Drives one call's real session with arbitrary bytes: split and merged reads, before and
// after login, as caller or answerer, under 0 to 5 password layers.
#include "FuzzMain.h"

#include "call/CallSession.h"
#include "call/LoginGuard.h"
#include "protocol/NetCodec.h"
#include "settings/Settings.h"

#include <QCoreApplication>

namespace {

const char* const kLayers[] = {"a", "", "c", "", "e"};

void UseLayers(int n) {
    for (int k = 1; k <= 5; ++k) {
        Settings.Passwords[static_cast<std::size_t>(k)] =
            k <= n ? QString::fromLatin1(kLayers[k - 1]) : QString();
    }
    // Some inputs also exercise a full set without gaps.
    if (n == 5) {
        Settings.Passwords[2] = QStringLiteral("b");
    }
}

QByteArray Message(std::uint8_t cmd, const QByteArray& body, std::int32_t userId = 1) {
    CNetMsg out;
    out.CreateMessage(kAppMarker, 0, userId, cmd, body);
    for (int k = 1; k <= 5; ++k) {
        out.CipherMessage(Settings.Passwords[static_cast<std::size_t>(k)].toLatin1());
    }
    return out.FullMessage();
}

} // namespace

#ifdef PALAVER_LIBFUZZER
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    // Timers and the checksum library's search path want an application object.
    static QCoreApplication app(*argc, *argv);
    return 0;
}
#endif

QList<QByteArray> FuzzSeeds() {
    QList<QByteArray> seeds;
    for (const QByteArray& body :
         {QByteArray("hello"), QByteArray("OK") + EncodeLong(77), QByteArray("AUTH"),
          QByteArray("PASS\0nick", 9), QByteArray("ACPTBea"), QByteArray("CAPS UTF8"),
          QByteArray("WANT UTF8"), QByteArray("CAPS UTF8 X Y Z W"), QByteArray("CAPS UTF8 TLS"),
          QByteArray("WANT UTF8 TLS"), QByteArray("GO TLS"), QByteArray()}) {
        for (std::uint8_t cmd : {CmdText, CmdAck, CmdLogin}) {
            seeds.append(QByteArray(1, '\x21') + Message(cmd, body));
            seeds.append(QByteArray(1, '\xA1') + Message(cmd, body)); // secure calls offered
        }
    }
    return seeds;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    // The first byte chooses how the rest is read: read size, role, login state, layers.
    const std::uint8_t mode = data[0];
    const qsizetype chunk = 1 + (mode & 0x1F) * 3;
    const bool answerer = (mode & 0x20) != 0;
    const bool loggedIn = (mode & 0x40) != 0;
    UseLayers((mode >> 5) % 6);
    // A login password makes a plain answer to a secure caller a question for the user.
    Settings.LoginPassword = (mode & 0x10) != 0 ? QStringLiteral("pw") : QString();
    Settings.Nickname = QStringLiteral("Fuzz");
    CallSession session;
    // Every input starts with no history of wrong logins, unless it asks for a held address.
    if ((mode & 0x07) == 0x07) {
        for (int k = 0; k < LoginGuard::kFreeTries; ++k) {
            session.Guard().Wrong(QStringLiteral("192.0.2.1"));
        }
    }
    // The top bit offers secure calls; with it, two low bits set also demand them, and the
    // third says the peer answered securely before. The user's answer to the question of a
    // plain login comes from the fourth.
    const bool tls = (mode & 0x80) != 0;
    session.SetTlsPolicy({tls, tls && (mode & 0x03) == 0x03, tls && (mode & 0x04) != 0});
    bool asked = false;
    QObject::connect(&session, &CallSession::PlainAsked, &session, [&asked] { asked = true; });
    session.Start(answerer ? CallSession::Role::Answerer : CallSession::Role::Caller,
                  QStringLiteral("192.0.2.1"));
    if (loggedIn) {
        session.Feed(answerer ? Message(CmdLogin, QByteArray("PASS\0Peer", 9))
                              : Message(CmdLogin, "ACPTPeer"));
    }
    QByteArray wire;
    session.Line("pending line", &wire);
    const QByteArray input(reinterpret_cast<const char*>(data + 1),
                           static_cast<qsizetype>(size - 1));
    for (qsizetype pos = 0; pos < input.size() && session.Active(); pos += chunk) {
        session.Feed(input.mid(pos, chunk));
        if (std::exchange(asked, false)) {
            session.AnswerPlainLogin((mode & 0x08) != 0); // as the user answers, later
        }
        if (session.TlsSwitchPending()) {
            // As if the handshake had succeeded: the login goes on inside it.
            session.TlsEstablished();
        }
    }
    // What an event loop would have handled by now; without one, it piles up run after run.
    QCoreApplication::sendPostedEvents();
    return 0;
}

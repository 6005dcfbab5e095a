// Contacts and who of them is here, between copies with keys and history files of their own.
#include "platform/Address.h"
#include "settings/Settings.h"
#include "support/Copies.h"

#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

namespace {

std::optional<People::Person> Find(const Copy& copy, const QByteArray& key) {
    for (const People::Person& p : copy.people.List()) {
        if (p.contact.key == key) {
            return p;
        }
    }
    return std::nullopt;
}

QByteArray KeyOf(Copy& copy) {
    return copy.board.SecurityState()->identity.Fingerprint();
}

// Ann calls `port` and hangs up once she knows `key` as a contact.
bool Meet(Copy& ann, int port, const QByteArray& key) {
    Call* call = ann.board.NewCall();
    call->Place("127.0.0.1", port);
    const bool met = QTest::qWaitFor([&] { return Find(ann, key) != std::nullopt; });
    call->Hangup();
    return met;
}

QString At(int port) {
    return QStringLiteral("127.0.0.1:%1").arg(port);
}

} // namespace

class TestPeople : public QObject {
    Q_OBJECT
private slots:
    void contactsMade_data();
    void contactsMade();
    void presence();
    void linesWaitForAnAbsentContact_data();
    void linesWaitForAnAbsentContact();
    void renameAndForget();
};

void TestPeople::contactsMade_data() {
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("made");
    QTest::newRow("a secure call logs in") << "secure" << true;
    QTest::newRow("a plain call") << "plain" << false;
    QTest::newRow("a login refused") << "refused" << false;
    QTest::newRow("a stranger who never logs in") << "stranger" << false;
}

void TestPeople::contactsMade() {
    QFETCH(QString, how);
    QFETCH(bool, made);
    Settings.LoginPassword = QStringLiteral("right");
    Settings.Nickname = QStringLiteral("Ann");
    QTemporaryDir annDir;
    QTemporaryDir bobDir;
    const int port = FreePort();
    Copy ann(annDir.path(), port);
    Copy bob(bobDir.path(), 0);
    if (how == "plain") {
        ann.board.SetSecureCalls(false, false);
    }
    if (how == "stranger") {
        QTcpSocket stranger;
        stranger.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
        QTRY_VERIFY(stranger.bytesAvailable() > 0); // AUTH came; it leaves without a word
        stranger.abort();
        QTRY_VERIFY(ann.board.Pending().Size() == 0);
        QVERIFY(ann.board.SecurityState()->keys.Contacts().isEmpty());
        return;
    }
    Call* call = bob.board.NewCall();
    // The password changes on the answering side once the caller has sent it.
    QObject::connect(call, &Call::ReadFinished, call, [call, how] {
        if (how == "refused" && call->Secure() && call->LoginFlag() == 0) {
            Settings.LoginPassword = QStringLiteral("changed");
        }
    });
    // The user agrees to a plain login.
    QObject::connect(call, &Call::PlainLoginAsked, call, [call] { call->AnswerPlainLogin(true); });
    call->Place("127.0.0.1", port);
    if (made) {
        QTRY_VERIFY(call->LoginFlag() == 1 && ann.arrived.size() == 1);
        QTRY_VERIFY(Find(ann, KeyOf(bob)) != std::nullopt && Find(bob, KeyOf(ann)) != std::nullopt);
        // The caller keeps the address it called; the answering side, the caller's host.
        QCOMPARE(Find(bob, KeyOf(ann))->contact.addresses, QStringList{At(port)});
        QCOMPARE(Find(bob, KeyOf(ann))->contact.name, Settings.Nickname);
        QCOMPARE(Find(ann, KeyOf(bob))->presence, People::Presence::Call);
        return;
    }
    QTRY_VERIFY(call->Idle() || call->LoginFlag() == 1);
    QTRY_VERIFY(ann.board.Pending().Size() == 0);
    QVERIFY(ann.board.SecurityState()->keys.Contacts().isEmpty());
    QVERIFY(bob.board.SecurityState()->keys.Contacts().isEmpty());
}

void TestPeople::presence() {
    QTemporaryDir annDir;
    QTemporaryDir bobDir;
    QTemporaryDir catDir;
    const int bobPort = FreePort();
    Copy ann(annDir.path(), 0);
    Copy bob(bobDir.path(), bobPort);
    const int catPort = FreePort();
    Copy cat(catDir.path(), catPort);
    Call* call = ann.board.NewCall();
    call->Place("127.0.0.1", bobPort);
    QTRY_VERIFY(Find(ann, KeyOf(bob)) != std::nullopt);
    QCOMPARE(Find(ann, KeyOf(bob))->presence, People::Presence::Call);
    call->Hangup();
    QTRY_COMPARE(Find(ann, KeyOf(bob))->presence, People::Presence::Away);

    // An announcement naming Bob's key at Cat's address: the address answers with another.
    // Bob is told nothing of the checks of a contact; Cat, who does not know Ann, is.
    QSignalSpy bobTold(&bob.board, &Switchboard::Report);
    QSignalSpy catTold(&cat.board, &Switchboard::Report);
    ann.people.SetAnnounced({{KeyOf(bob), At(catPort)}});
    QVERIFY(ann.people.Checking(KeyOf(bob)));
    QTRY_VERIFY(!ann.people.Checking(KeyOf(bob)));
    QCOMPARE(Find(ann, KeyOf(bob))->presence, People::Presence::Away);
    QVERIFY(!Find(ann, KeyOf(bob))->contact.addresses.contains(At(catPort)));
    QVERIFY(ann.board.SecurityState()->keys.PinFor(At(catPort)).isEmpty());
    QTRY_COMPARE(catTold.size(), 1);

    // Bob's own announcement, checked: here, until it goes.
    ann.people.SetAnnounced({{KeyOf(bob), At(bobPort)}});
    QTRY_COMPARE(Find(ann, KeyOf(bob))->presence, People::Presence::Nearby);
    QCOMPARE(Find(ann, KeyOf(bob))->reachAt, At(bobPort));
    ann.people.SetAnnounced({});
    QTRY_COMPARE(Find(ann, KeyOf(bob))->presence, People::Presence::Away);
    // A quick check of its addresses finds it too; Bob's copy gone, it does not.
    ann.people.CheckNow(KeyOf(bob));
    QTRY_COMPARE(Find(ann, KeyOf(bob))->presence, People::Presence::Checked);
    QCOMPARE(bob.board.Pending().Size(), 0);
    QCOMPARE(bobTold.size(), 0);
    bob.board.StopServer(0);
    ann.people.checkEveryMs = 0;
    ann.people.CheckNow(KeyOf(bob));
    QTRY_COMPARE(Find(ann, KeyOf(bob))->presence, People::Presence::Away);
}

void TestPeople::linesWaitForAnAbsentContact_data() {
    QTest::addColumn<bool>("restart");
    QTest::newRow("the line is still open") << false;
    QTest::newRow("Ann's copy started again meanwhile") << true;
}

void TestPeople::linesWaitForAnAbsentContact() {
    QFETCH(bool, restart);
    QTemporaryDir annDir;
    QTemporaryDir bobDir;
    auto ann = std::make_unique<Copy>(annDir.path(), 0);
    const int firstPort = FreePort();
    auto bob = std::make_unique<Copy>(bobDir.path(), firstPort);
    const QByteArray bobKey = KeyOf(*bob);
    QVERIFY(Meet(*ann, firstPort, bobKey));
    bob.reset(); // Bob's copy ends

    // Written to while away: the lines wait, and the list says how many.
    Call* line = ann->board.NewCall();
    line->Await(bobKey, "127.0.0.1", firstPort);
    for (const char* text : {"one", "two", "three"}) {
        QCOMPARE(line->SendLine(text), Call::SendResult::Queued);
    }
    QTRY_COMPARE(Find(*ann, bobKey)->waiting, 3);
    QCOMPARE(Find(*ann, bobKey)->presence, People::Presence::Away);
    if (restart) {
        ann = std::make_unique<Copy>(annDir.path(), 0);
        QCOMPARE(Find(*ann, bobKey)->waiting, 3);
    }
    // With no line waiting for him, the program places the call (as the window table does).
    QObject::connect(&ann->people, &People::DeliveryWanted, &ann->board,
                     [&ann](const QByteArray& key, const QString& address) {
                         const auto where = platform::ParseAddress(address, 0);
                         ann->board.NewCall()->Place(where->host, where->port, key);
                     });

    // Bob's copy starts again on another port and is announced there.
    const int secondPort = FreePort();
    bob = std::make_unique<Copy>(bobDir.path(), secondPort);
    QSignalSpy delivered(&ann->people, &People::Delivered);
    ann->people.SetAnnounced({{bobKey, At(secondPort)}});
    QTRY_COMPARE(bob->heard, (QStringList{"one", "two", "three"}));
    QTRY_COMPARE(delivered.size(), 1);
    QCOMPARE(delivered.first().at(2).toInt(), 3);
    QCOMPARE(Find(*ann, bobKey)->waiting, 0);
    QCOMPARE(Find(*ann, bobKey)->contact.addresses.first(), At(secondPort));
    QCOMPARE(bob->arrived.size(), 1);
}

void TestPeople::renameAndForget() {
    QTemporaryDir annDir;
    QTemporaryDir bobDir;
    const int port = FreePort();
    Copy ann(annDir.path(), 0);
    Copy bob(bobDir.path(), port);
    QVERIFY(Meet(ann, port, KeyOf(bob)));
    KeyStore& keys = ann.board.SecurityState()->keys;
    QVERIFY(!ann.people.Rename(KeyOf(bob), " \n\u202e"));
    QVERIFY(ann.people.Rename(KeyOf(bob), "  Robert\u202e\n"));
    KeyStore again;
    again.Load(annDir.path() + "/keys.json");
    QCOMPARE(again.ContactOf(KeyOf(bob))->name, QStringLiteral("Robert"));

    Call* line = ann.board.NewCall();
    line->Await(KeyOf(bob), "127.0.0.1", port);
    line->SendLine("waits");
    keys.SetVerified(KeyOf(bob));
    ann.people.Forget(KeyOf(bob));
    QVERIFY(keys.ContactOf(KeyOf(bob)) == nullptr);
    QVERIFY(keys.PinFor(At(port)).isEmpty());
    QVERIFY(!keys.Verified(KeyOf(bob)));
    QVERIFY(ann.waiting.Load("key:" + KeyOf(bob).toHex()).waiting.isEmpty());
    again.Load(annDir.path() + "/keys.json");
    QVERIFY(again.Contacts().isEmpty() && again.PinFor(At(port)).isEmpty());
}

QTEST_MAIN(TestPeople)
#include "tst_people.moc"

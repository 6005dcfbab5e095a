// Two copies find and call each other through the system's real mDNS daemon: avahi-daemon
// from the system's packages on a private system bus of the test's own.
#include "app/Announcer.h"
#include "app/Nearby.h"
#include "app/frmSettings.h"
#include "call/People.h"
#include "call/Switchboard.h"
#include "chat/frmClient.h"
#include "settings/Settings.h"
#include "support/AppFixture.h"
#include "support/CallHelpers.h"
#include "support/PrivateAvahi.h"

#include <QDBusConnection>
#include <QLineEdit>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QtTest>

namespace {

// A listening switchboard that announces itself and lists what it finds.
struct Copy {
    Switchboard board;
    Announcer announcer;
    Nearby nearby;
    QList<Call*> arrived;
    int port = 0;

    explicit Copy(const QDBusConnection& bus) : announcer(bus), nearby(bus, announcer.Id()) {
        QObject::connect(&board, &Switchboard::CallArrived, &board,
                         [this](Call* c) { arrived << c; });
        QTcpServer probe;
        probe.listen(QHostAddress::Any, 0);
        port = probe.serverPort();
        probe.close();
        nearby.Start();
    }
    void Server(bool on, const QString& nickname, const QByteArray& key = {}) {
        if (on) {
            board.StartServer(0, port);
        } else {
            board.StopServer(0);
        }
        announcer.Set({on, port, nickname, key});
    }
    const Nearby::Entry* Find(const QString& id) const {
        for (const Nearby::Entry& e : nearby.Entries()) {
            if (e.id == id) {
                return &e;
            }
        }
        return nullptr;
    }
};

} // namespace

class TestAvahi : public QObject {
    Q_OBJECT
    PrivateAvahi avahi;
    QString address;

private slots:
    void initTestCase();
    void twoCopiesFindAndCallEachOther();
    void theSwitchboardListsAndCalls();
    void contactsAreHereByTheirKeys();
};

void TestAvahi::initTestCase() {
    if (!avahi.Start()) {
        QSKIP(qPrintable(avahi.Why()));
    }
    address = avahi.Address();
    // The program's own system bus is this one too.
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", address.toLocal8Bit());
}

void TestAvahi::twoCopiesFindAndCallEachOther() {
    ResetSettings();
    Settings.Nickname = QStringLiteral("Ann");
    Copy ann(QDBusConnection::connectToBus(address, "ann"));
    Copy bob(QDBusConnection::connectToBus(address, "bob"));
    ann.Server(true, "Ann");
    bob.Server(true, "Bob");
    // Each finds the other and not itself.
    QTRY_VERIFY_WITH_TIMEOUT(ann.Find(bob.announcer.Id()) && bob.Find(ann.announcer.Id()), 20000);
    QVERIFY(!ann.Find(ann.announcer.Id()));
    const Nearby::Entry found = *ann.Find(bob.announcer.Id());
    QCOMPARE(found.nickname, QStringLiteral("Bob"));
    QCOMPARE(found.port, bob.port);
    // Called at the address and port it was found at.
    Call* call = ann.board.NewCall();
    call->Place(found.address, found.port);
    QTRY_VERIFY_WITH_TIMEOUT(call->LoginFlag() == 1 && bob.arrived.size() == 1, 10000);
    // Bob's server switched off: he leaves Ann's list.
    bob.Server(false, "Bob");
    QTRY_VERIFY_WITH_TIMEOUT(!ann.Find(bob.announcer.Id()), 20000);
}

void TestAvahi::theSwitchboardListsAndCalls() {
    // A real Palaver start with "Accept calls at start": it is announced, its Nearby panel
    // lists another copy, and a double-click there calls it.
    AppFixture app;
    // A port of its own: tests run side by side, and the default one may be taken.
    app.WriteSettings("Cat\r\n\r\n" + QByteArray::number(FreePort()) + "\r\n");
    QDir().mkpath(app.Dir() + "/config/Palaver");
    QFile options(app.Dir() + "/config/Palaver/windows.ini");
    QVERIFY(options.open(QIODevice::WriteOnly));
    options.write("[General]\naccept-at-start=true\n");
    options.close();
    Copy bob(QDBusConnection::connectToBus(address, "bob2"));
    bob.Server(true, "Bob");
    frmClient* board = app.Start();
    auto* list = Find<QTreeWidget>(board, "lstPeople");
    // (The last test's copies may still be leaving.)
    const auto bobsItem = [list]() -> QTreeWidgetItem* {
        const auto found = list->findItems("Bob - ", Qt::MatchStartsWith, 0);
        return found.isEmpty() ? nullptr : found.first();
    };
    QTRY_VERIFY_WITH_TIMEOUT(bobsItem() != nullptr && list->isVisible(), 20000);
    QTRY_VERIFY_WITH_TIMEOUT(
        std::any_of(bob.nearby.Entries().begin(), bob.nearby.Entries().end(),
                    [](const Nearby::Entry& e) { return e.nickname == "Cat"; }),
        20000);
    const QRect item = list->visualItemRect(bobsItem());
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, item.center());
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, item.center());
    QTRY_VERIFY_WITH_TIMEOUT(bob.arrived.size() == 1, 10000);
    QCOMPARE(bob.arrived.first()->Nickname(), QStringLiteral("Cat"));
    // Renamed in the settings: the network hears the new name at once.
    Menu(board, "mnuTools(0)");
    auto* nickname = Find<QLineEdit>(frmSettings::Instance(), "txtNickname");
    nickname->selectAll();
    QTest::keyClicks(nickname, "Kat");
    Click(frmSettings::Instance(), "cmdOK");
    QTRY_VERIFY_WITH_TIMEOUT(
        std::any_of(bob.nearby.Entries().begin(), bob.nearby.Entries().end(),
                    [](const Nearby::Entry& e) { return e.nickname == "Kat"; }),
        20000);
}

void TestAvahi::contactsAreHereByTheirKeys() {
    QTemporaryDir dir;
    Copy ann(QDBusConnection::connectToBus(address, "ann3"));
    Copy bob(QDBusConnection::connectToBus(address, "bob3"));
    Copy eve(QDBusConnection::connectToBus(address, "eve3"));
    for (auto [copy, name] : {std::pair{&ann, "ann"}, {&bob, "bob"}, {&eve, "eve"}}) {
        copy->board.EnableSecurity(dir.filePath(name) + ".pem", dir.filePath(name) + ".json");
    }
    People people(ann.board);
    QObject::connect(&ann.nearby, &Nearby::Changed, &people,
                     [&] { people.SetAnnounced(ann.nearby.Announced()); });
    const QByteArray bobKey = bob.board.SecurityState()->identity.Fingerprint();
    const auto presence = [&people, &bobKey] {
        const QList<People::Person> list = people.List();
        return list.size() == 1 && list[0].contact.key == bobKey ? list[0].presence
                                                                 : People::Presence::Call;
    };
    bob.board.StartServer(0, bob.port);
    Call* call = ann.board.NewCall();
    call->Place("127.0.0.1", bob.port);
    QTRY_VERIFY_WITH_TIMEOUT(call->LoginFlag() == 1, 10000);
    call->Hangup();
    QTRY_COMPARE(presence(), People::Presence::Away);

    // Eve announces Bob's key: her copy answers with her own, and Bob stays away.
    QSignalSpy eveAsked(&eve.board, &Switchboard::Report); // a caller left before its login
    eve.Server(true, "Eve", bobKey);
    QTRY_VERIFY_WITH_TIMEOUT(!eveAsked.isEmpty() && !people.Checking(bobKey), 20000);
    QCOMPARE(presence(), People::Presence::Away);
    // Bob's own announcement: here, at the address it was announced at.
    bob.Server(true, "Bob3", bobKey);
    QTRY_COMPARE_WITH_TIMEOUT(presence(), People::Presence::Nearby, 20000);
    const Nearby::Entry* found = ann.Find(bob.announcer.Id());
    QVERIFY(found != nullptr);
    QCOMPARE(people.List()[0].reachAt, KeyStore::NormalAddress(found->address, bob.port));
}

QTEST_MAIN(TestAvahi)
#include "tst_avahi.moc"

// Files between copies: the names they land under, a hostile peer per fault, and transfers
// between two real copies that survive either side's end.
#include "../support/Copies.h"
#include "../support/Relay.h"
#include "../support/ScriptedPeer.h"

#include "call/FileNames.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

namespace {

QString MakeFile(const QString& path, qint64 size) {
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    QByteArray block(1 << 20, '\0');
    for (qint64 at = 0; at < size; at += block.size()) {
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(block.data()),
                                              block.size() / 4);
        f.write(block.left(std::min<qint64>(block.size(), size - at)));
    }
    return path;
}

QByteArray Sha(const QString& path) {
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    QCryptographicHash h(QCryptographicHash::Sha256);
    h.addData(&f);
    return h.result().toHex();
}

const Transfer* Only(Call* call) {
    const auto ids = call->Files().Ids();
    return ids.size() == 1 ? call->Files().Find(ids.first()) : nullptr;
}

// A scripted peer logged in as a copy that takes files.
bool LogInAsCopy(ScriptedPeer& peer, int port) {
    if (!peer.ConnectTo(port) || !peer.WaitForMessages(1)) {
        return false;
    }
    peer.Send(peer.Build(CmdLogin, "WANT UTF8 NO"));
    if (!peer.LogIn("", "Mallory")) {
        return false;
    }
    peer.Send(peer.Build(CmdLogin, "FILE1"));
    return true;
}

QByteArray Data(const QByteArray& id, qint64 offset, const QByteArray& bytes) {
    QByteArray body = QByteArray::fromHex(id);
    for (int i = 0; i < 8; ++i) {
        body.append(static_cast<char>((offset >> (8 * i)) & 0xFF));
    }
    return body + bytes;
}

} // namespace

class TestFiles : public QObject {
    Q_OBJECT
private slots:
    void names_data();
    void names();
    void namesStayInside();
    void hostilePeer_data();
    void hostilePeer();
    void betweenCopies_data();
    void betweenCopies();
    void overTwoGigabytes();
};

void TestFiles::names_data() {
    QTest::addColumn<QString>("offered");
    QTest::addColumn<QString>("lands");
    QTest::newRow("plain") << "photo.png"
                           << "photo.png";
    QTest::newRow("climbs out") << "../../.bashrc"
                                << "bashrc";
    QTest::newRow("windows path") << "C:\\Users\\x\\evil.exe"
                                  << "evil.exe";
    QTest::newRow("controls and direction")
        << QString::fromUtf8("a\x01\x1b\u202Egnp.exe") << "agnp.exe";
    QTest::newRow("reserved characters") << "a<b>c:d\"e|f?g*h.txt"
                                         << "abcdefgh.txt";
    QTest::newRow("leading dots, trailing dots") << "...hidden. . "
                                                 << "hidden";
    QTest::newRow("empty") << ""
                           << "file";
    QTest::newRow("dot dot") << ".."
                             << "file";
    QTest::newRow("device") << "con.txt"
                            << "_con.txt";
    QTest::newRow("device with digit") << "LPT1"
                                       << "_LPT1";
    QTest::newRow("not a device") << "console.txt"
                                  << "console.txt";
    QTest::newRow("long keeps extension")
        << QString(300, QChar(u'é')) + ".jpeg" << QString(97, QChar(u'é')) + ".jpeg";
}

void TestFiles::names() {
    QFETCH(QString, offered);
    QFETCH(QString, lands);
    QCOMPARE(files::CleanName(offered), lands);
    QVERIFY(files::CleanName(offered).toUtf8().size() <= files::kMaxNameBytes);
}

void TestFiles::namesStayInside() {
    // Fuzzed names: whatever a peer offers lands as one new file directly in the folder.
    QTemporaryDir dir;
    QFile(dir.filePath("taken.txt")).open(QIODevice::WriteOnly);
    QCOMPARE(files::FreeName(dir.path(), "taken.txt"), QString("taken (1).txt"));
    const QString alphabet = QString::fromUtf8("./\\:<>*?\"| \x01\x7f\u202e\u0301aé😀");
    for (int round = 0; round < 20000; ++round) {
        QString offered;
        for (int n = QRandomGenerator::global()->bounded(40); n > 0; --n) {
            offered += alphabet.at(QRandomGenerator::global()->bounded(alphabet.size()));
        }
        const QString name = files::FreeName(dir.path(), files::CleanName(offered));
        const QString path = QDir::cleanPath(dir.filePath(name));
        QVERIFY2(QFileInfo(path).absolutePath() == QDir(dir.path()).absolutePath() && name != "." &&
                     name != ".." && !name.startsWith('.'),
                 qPrintable(offered));
    }
}

void TestFiles::hostilePeer_data() {
    QTest::addColumn<QByteArray>("offer"); // size and name
    QTest::addColumn<QByteArray>("sends"); // what follows the acceptance
    QTest::addColumn<QString>("lands");    // the file that landed, or empty
    QTest::addColumn<int>("reason");
    QTest::newRow("a name that climbs out")
        << QByteArray("5 0 file ../../../.bashrc") << QByteArray("hello") << "bashrc"
        << int(Transfer::Reason::None);
    QTest::newRow("more than offered")
        << QByteArray("3 0 file a") << QByteArray("hello") << "" << int(Transfer::Reason::Damaged);
    QTest::newRow("a 10 TB offer") << QByteArray("10000000000000 0 file big") << QByteArray() << ""
                                   << int(Transfer::Reason::DiskFull);
    QTest::newRow("an offset gap")
        << QByteArray("10 0 file a") << QByteArray("gap") << "" << int(Transfer::Reason::Damaged);
    QTest::newRow("a wrong hash") << QByteArray("5 0 file a") << QByteArray("wrong") << ""
                                  << int(Transfer::Reason::Damaged);
    QTest::newRow("a disk that fills") << QByteArray("200000 0 file a") << QByteArray("fill") << ""
                                       << int(Transfer::Reason::DiskFull);
}

void TestFiles::hostilePeer() {
    QFETCH(QByteArray, offer);
    QFETCH(QByteArray, sends);
    QFETCH(QString, lands);
    QFETCH(int, reason);
    QTemporaryDir dir;
    const int port = FreePort();
    Copy ann(dir.path(), port);
    QDir().mkpath(ann.files.downloads);
    if (sends == "fill") {
        // A folder on a file system of 64 kB that the offer's free-space check cannot see:
        // its room is taken after the acceptance.
        if (geteuid() != 0 || unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", qPrintable(ann.files.downloads), "tmpfs", 0, "size=256k") != 0) {
            QSKIP("needs root and a mount namespace for a small file system");
        }
    }
    ScriptedPeer peer;
    QVERIFY(LogInAsCopy(peer, port));
    QTRY_COMPARE(ann.arrived.size(), 1);
    Call* call = ann.arrived.first();
    const QByteArray id = "00112233445566ff";
    peer.Send(peer.Build(CmdFile, "OFFER " + id + ' ' + offer));
    QTRY_VERIFY(Only(call) != nullptr);
    if (sends == "fill") {
        MakeFile(ann.files.downloads + "/filler", 200 * 1024);
    }
    call->Files().Accept(id);
    if (sends == "hello" || sends == "wrong") {
        peer.Send(peer.Build(CmdFileData, Data(id, 0, sends)));
        peer.Send(peer.Build(
            CmdFile, "DONE " + id + ' ' +
                         QCryptographicHash::hash("hello", QCryptographicHash::Sha256).toHex()));
    } else if (sends == "gap") {
        peer.Send(peer.Build(CmdFileData, Data(id, 4, "gap")));
    } else if (sends == "fill") {
        for (int at = 0; at < 200000; at += 20000) {
            peer.Send(peer.Build(CmdFileData, Data(id, at, QByteArray(20000, 'x'))));
        }
    }
    QTRY_VERIFY(Only(call)->state == Transfer::State::Done ||
                Only(call)->state == Transfer::State::Failed);
    QCOMPARE(int(Only(call)->reason), reason);
    QStringList landed = QDir(ann.files.downloads).entryList(QDir::Files | QDir::Hidden);
    landed.removeAll("filler");
    QCOMPARE(landed, lands.isEmpty() ? QStringList() : QStringList{lands});
    if (reason != int(Transfer::Reason::None)) {
        // The peer is told why, and the call goes on.
        QTRY_VERIFY(peer.Received().contains("CANCEL " + id + ' ' +
                                             Transfers::ReasonWord(Transfer::Reason(reason))));
    }
    // Offered and cancelled without end: the finished ones are forgotten.
    for (int n = 0; n < 100; ++n) {
        const QByteArray other = QByteArray::number(0x1000000000000000LL + n, 16);
        peer.Send(peer.Build(CmdFile, "OFFER " + other + " 1 0 file x"));
        peer.Send(peer.Build(CmdFile, "CANCEL " + other + " cancelled"));
    }
    peer.Send(peer.Build(CmdText, "still here"));
    QTRY_COMPARE(ann.heard, QStringList{"still here"});
    QTRY_COMPARE(call->Files().Ids().size(), Transfers::kMaxFinished);
    if (sends == "fill") {
        umount2(qPrintable(ann.files.downloads), MNT_DETACH);
    }
}

void TestFiles::betweenCopies_data() {
    QTest::addColumn<QString>("kill");  // who ends at 40%: "", "sender", "receiver"
    QTest::addColumn<int>("relayRate"); // bytes a second, 0: as fast as it goes
    QTest::newRow("whole") << "" << 0;
    QTest::newRow("the receiver killed at 40%") << "receiver" << (4 << 20);
    QTest::newRow("the sender killed at 40%") << "sender" << (4 << 20);
    QTest::newRow("chat beside a file through a slow relay") << "" << (2 << 20);
}

void TestFiles::betweenCopies() {
    QFETCH(QString, kill);
    QFETCH(int, relayRate);
    QTemporaryDir annDir, bobDir;
    auto ann = std::make_unique<Copy>(annDir.path(), 0);
    int bobPort = FreePort();
    auto bob = std::make_unique<Copy>(bobDir.path(), bobPort);
    const qint64 size = 8 * 1024 * 1024;
    const QString source = MakeFile(annDir.filePath("big.bin"), size);
    std::unique_ptr<Relay> relay;
    qint64 carried = 0; // what reached the receiving side of the relays
    const auto dial = [&] {
        carried += relay != nullptr ? relay->passedOn : 0;
        relay = std::make_unique<Relay>();
        relay->bytesPerSecond = relayRate;
        Call* call = ann->board.NewCall();
        call->Place("127.0.0.1", relay->Listen(bobPort));
        return call;
    };
    Call* out = dial();
    // A busy machine (the sanitized build beside) may take its time to log in.
    QTRY_VERIFY_WITH_TIMEOUT(out->Files().Available(), 30000);
    QTRY_COMPARE(bob->arrived.size(), 1);
    QVERIFY(!out->Files().Send(source).isEmpty());
    QTRY_VERIFY(Only(bob->arrived.last()) != nullptr);
    bob->arrived.last()->Files().Accept(Only(bob->arrived.last())->id);
    QTRY_VERIFY(Only(bob->arrived.last())->done >= size * 4 / 10);
    if (relayRate > 0) {
        // A line typed now goes in front of what of the file still waits.
        QCOMPARE(out->SendLine("ahead of the file"), Call::SendResult::Sent);
        QTRY_COMPARE(bob->heard, QStringList{"ahead of the file"});
        QVERIFY(Only(bob->arrived.last())->state == Transfer::State::Running);
        // A second call between the two meanwhile leaves the moving file to the first.
        Call* second = ann->board.NewCall();
        second->Place("127.0.0.1", bobPort);
        QTRY_VERIFY_WITH_TIMEOUT(second->Files().Available() && bob->arrived.size() == 2, 30000);
        QVERIFY(second->Files().Ids().isEmpty() && bob->arrived.last()->Files().Ids().isEmpty());
        bob->arrived.removeLast();
    }
    if (kill == "receiver") {
        bob.reset();
        bob = std::make_unique<Copy>(bobDir.path(), bobPort = FreePort());
        out = dial();
    } else if (kill == "sender") {
        ann = std::make_unique<Copy>(annDir.path(), 0);
        out = dial();
    }
    QTRY_VERIFY_WITH_TIMEOUT(Only(out) != nullptr && Only(out)->state == Transfer::State::Done,
                             60000);
    const Transfer* in = Only(bob->arrived.last());
    QCOMPARE(in->state, Transfer::State::Done);
    QCOMPARE(Sha(in->path), Sha(source));
    QCOMPARE(in->path, bob->files.downloads + "/big.bin");
    QVERIFY(!(QFileInfo(in->path).permissions() &
              (QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther)));
    QVERIFY2(carried + relay->passedOn <= size * 11 / 10, qPrintable(QString::number(carried)));
}

void TestFiles::overTwoGigabytes() {
    if (!qEnvironmentVariableIsSet("PALAVER_SLOW")) {
        QSKIP("slow: run as tst_files_big");
    }
    QTemporaryDir annDir, bobDir;
    Copy ann(annDir.path(), 0);
    const int port = FreePort();
    Copy bob(bobDir.path(), port);
    const qint64 size = (qint64(1) << 31) + 12345;
    QFile sparse(annDir.filePath("sparse.img"));
    QVERIFY(sparse.open(QIODevice::WriteOnly) && sparse.resize(size) && sparse.seek(size - 4) &&
            sparse.write("tail") == 4);
    sparse.close();
    Call* out = ann.board.NewCall();
    out->Place("127.0.0.1", port);
    QTRY_VERIFY_WITH_TIMEOUT(out->Files().Available(), 30000);
    const QByteArray id = out->Files().Send(sparse.fileName());
    QTRY_COMPARE(bob.arrived.size(), 1);
    QTRY_VERIFY(Only(bob.arrived.first()) != nullptr);
    bob.arrived.first()->Files().Accept(id);
    QTRY_VERIFY_WITH_TIMEOUT(out->Files().Find(id)->state == Transfer::State::Done, 500000);
    const Transfer* in = Only(bob.arrived.first());
    QCOMPARE(QFileInfo(in->path).size(), size);
    QCOMPARE(in->hash, Sha(sparse.fileName()));
    QFile::remove(in->path);
}

QTEST_MAIN(TestFiles)
#include "tst_files.moc"

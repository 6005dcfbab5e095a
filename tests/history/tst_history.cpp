// The conversation history: a real SQLite file in a scratch folder, written by the store and
// by a running switchboard, searched, migrated, broken and shared between processes.
#include "app/Main.h"
#include "chat/ClientWindows.h"
#include "chat/frmClient.h"
#include "history/HistoryStore.h"
#include "history/HistoryWindow.h"
#include "protocol/NetCodec.h"
#include "settings/Settings.h"
#include "support/AppFixture.h"
#include "support/CallHelpers.h"
#include "support/ScriptedPeer.h"

#include <QCheckBox>
#include <QDateEdit>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTextBrowser>
#include <QtEndian>
#include <QtTest>

#include <sys/stat.h>

namespace {

HistoryEvent Event(HistoryEvent::Kind kind, quint64 call, const QString& text = {},
                   bool outgoing = false) {
    HistoryEvent e;
    e.kind = kind;
    e.call = call;
    e.at = QDateTime::currentMSecsSinceEpoch();
    e.peer = QStringLiteral("Bob");
    e.address = QStringLiteral("192.0.2.7");
    e.text = text;
    e.outgoing = outgoing;
    e.ackOk = true;
    return e;
}

// A child process that writes `count` lines "line N", one transaction each, as fast as it can.
int WriteLines(const QString& path, int count) {
    HistoryStore store;
    QObject::connect(&store, &HistoryStore::Failed,
                     [](const QString& why) { qWarning("%s", qPrintable(why)); });
    if (!store.Open(path)) {
        return 3;
    }
    const quint64 call = QCoreApplication::applicationPid();
    store.Record(Event(HistoryEvent::Kind::CallStarted, call));
    for (int k = 0; k < count; ++k) {
        store.Record(Event(HistoryEvent::Kind::Line, call, QStringLiteral("line %1").arg(k)));
        if (!store.Flush()) {
            return 4;
        }
        if (k % 100 == 99) {
            std::puts("100 more"); // the parent kills it after some of these
            std::fflush(stdout);
        }
    }
    return 0;
}

// Ann's switchboard, started and listening.
frmClient* AnnListening(AppFixture& app) {
    app.WriteSettings("Ann\r\n");
    frmClient* board = app.Start();
    StartListening(board);
    return board;
}

} // namespace

class TestHistory : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QString Path(const char* name) const { return dir.filePath(QString::fromLatin1(name)); }

private slots:
    void keepsCallsLinesAndAcks();
    void searchInputIsData_data();
    void searchInputIsData();
    void aReadSharesARow_data();
    void aReadSharesARow();
    void foundAfterForgetting_data();
    void foundAfterForgetting();
    void migratesOlderVersions_data();
    void migratesOlderVersions();
    void brokenFileKeepsTheChatGoing_data();
    void brokenFileKeepsTheChatGoing();
    void lockedByAnotherCopy();
    void twoWritersAndAKill();
    void throughTheWindows();
    void acknowledgementsFindTheirLines_data();
    void acknowledgementsFindTheirLines();
    void conferenceIsKeptAsOne();
    void historyWindowControls_data();
    void historyWindowControls();
    void acknowledgedLinesSurviveAKill_data();
    void acknowledgedLinesSurviveAKill();
};

void TestHistory::keepsCallsLinesAndAcks() {
    {
        HistoryStore store;
        QVERIFY(store.Open(Path("a.sqlite")));
        store.Record(Event(HistoryEvent::Kind::CallStarted, 1));
        store.Record(Event(HistoryEvent::Kind::Line, 1, "hello Bob", true));
        store.Record(Event(HistoryEvent::Kind::Ack, 1));
        store.Record(Event(HistoryEvent::Kind::Line, 1, "hi Ann"));
        HistoryEvent bad = Event(HistoryEvent::Kind::Line, 1, "lost?", true);
        store.Record(bad);
        bad.kind = HistoryEvent::Kind::Ack;
        bad.ackOk = false;
        store.Record(bad);
        store.Record(Event(HistoryEvent::Kind::CallEnded, 1));
        HistoryEvent conference = Event(HistoryEvent::Kind::Line, 2, "to all", true);
        conference.address = QString(); // a conference has no one address
        conference.conference = true;
        store.Record(conference);
        // Nothing is written while switched off.
        store.SetKeep(false);
        store.Record(Event(HistoryEvent::Kind::Line, 1, "off the record"));
        store.SetKeep(true);
    }
    QFileInfo info(Path("a.sqlite"));
    QCOMPARE(info.permissions() & 0x0077, QFileDevice::Permissions{}); // nobody else reads it
    HistoryStore again;                                                // a restart finds everything
    QVERIFY(again.Open(Path("a.sqlite")));
    const auto calls = again.Conversations();
    QCOMPARE(calls.size(), 2);
    QVERIFY(calls[0].conference && !calls[1].conference);
    QVERIFY(calls[1].ended.isValid());
    const auto lines = again.Lines(calls[1].id);
    QCOMPARE(lines.size(), 3);
    QCOMPARE(lines[0].text, QStringLiteral("hello Bob"));
    QCOMPARE(lines[0].ack, 1);
    QCOMPARE(lines[1].outgoing, false);
    QCOMPARE(lines[2].ack, 0);
    QCOMPARE(frmHistory::Render(lines.mid(2), false).section(' ', 2),
             QStringLiteral("me> lost? (CRC BAD)\n"));
}

void TestHistory::searchInputIsData_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("found");
    QTest::newRow("word") << "address" << 1;
    QTest::newRow("prefix as typed") << "addr" << 1;
    QTest::newRow("two words") << "my addr" << 1;
    QTest::newRow("quotes") << "\"address\"" << 1;
    QTest::newRow("lone quote") << "\"" << 0;
    QTest::newRow("star") << "*" << 1;
    QTest::newRow("NEAR") << "NEAR" << 1;
    QTest::newRow("AND OR NOT") << "AND OR NOT" << 0;
    QTest::newRow("column filter") << "text:address" << 0;
    QTest::newRow("10000 characters") << QString(10000, 'x') << 0;
    QTest::newRow("accents folded") << "cafe" << 1;
    QTest::newRow("CJK") << "日本" << 2;
    QTest::newRow("CJK inside a sentence") << "工作" << 1;
    QTest::newRow("two characters") << "ok" << 1;
    QTest::newRow("emoji") << "🙂" << 1;
    QTest::newRow("emoji with a joiner") << "👩‍👧" << 1;
    QTest::newRow("emoji and a word") << "🙂 ok" << 1;
    QTest::newRow("a zero and a control") << QString("addr") + QChar(0) + QChar(1) << 1;
    QTest::newRow("Greek without its accent") << "καλημερα" << 1;
    QTest::newRow("Greek as written, a prefix") << "καλημέ" << 1;
    QTest::newRow("a decomposed ñ") << "man\u0303ana" << 1;
}

void TestHistory::searchInputIsData() {
    QFETCH(QString, typed);
    QFETCH(int, found);
    HistoryStore store;
    QVERIFY(store.Open(Path("search.sqlite")));
    if (store.Conversations().isEmpty()) {
        store.Record(Event(HistoryEvent::Kind::Line, 7, "my address is NEAR the café"));
        store.Record(Event(HistoryEvent::Kind::Line, 7, "日本語 AND OR"));
        store.Record(
            Event(HistoryEvent::Kind::Line, 7, "5 * 3 🙂 我在日本工作 ok 👩‍👧"));
        store.Record(Event(HistoryEvent::Kind::Line, 7, "καλημέρα, mañana"));
        QVERIFY(store.Flush());
    }
    QCOMPARE(store.Search(typed).size(), found);
    QVERIFY(store.SearchWorked());
}

void TestHistory::aReadSharesARow_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QStringList>("found"); // newest first
    QTest::newRow("word in two lines") << "beta" << QStringList{"beta gamma", "alpha beta"};
    QTest::newRow("never across lines") << "beta gamma" << QStringList{"beta gamma"};
    QTest::newRow("prefix") << "gam" << QStringList{"beta gamma", "gamma"};
    QTest::newRow("accents folded") << "cafe" << QStringList{"café au lait"};
    QTest::newRow("as text") << "🙂" << QStringList{"ok 🙂"};
    QTest::newRow("word and text") << "ok 🙂" << QStringList{"ok 🙂"};
    QTest::newRow("line with a break") << "parts" << QStringList{"two\nparts"};
    QTest::newRow("after our own line") << "after" << QStringList{"after mine"};
}

void TestHistory::aReadSharesARow() {
    QFETCH(QString, typed);
    QFETCH(QStringList, found);
    const QStringList read{"alpha beta",   "gamma",   "beta gamma", "two\nparts",
                           "café au lait", "ok 🙂", "mine",       "after mine"};
    const QString path = Path("oneread.sqlite");
    HistoryStore store;
    QVERIFY(store.Open(path));
    if (store.Conversations().isEmpty()) {
        store.Record(Event(HistoryEvent::Kind::CallStarted, 9));
        for (const QString& text : read) {
            HistoryEvent e = Event(HistoryEvent::Kind::Line, 9, text, text == "mine");
            e.at = 1700000000000; // one read: shown at the same moment
            store.Record(e);
        }
        QVERIFY(store.Flush());
        {
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "peek");
            db.setDatabaseName(path);
            QVERIFY(db.open());
            QSqlQuery rows(QStringLiteral("SELECT count(*) FROM lines"), db);
            QVERIFY(rows.next());
            QCOMPARE(rows.value(0).toInt(), 5); // 3 shared, the break, ours, the one after
        }
        QSqlDatabase::removeDatabase("peek");
    }
    const QList<HistoryStore::Conversation> calls = store.Conversations();
    QCOMPARE(calls.size(), 1);
    QCOMPARE(calls.first().lines, read.size());
    QStringList shown;
    for (const HistoryStore::Line& l : store.Lines(calls.first().id)) {
        QCOMPARE(l.at.toMSecsSinceEpoch(), 1700000000000);
        shown << l.text;
    }
    QCOMPARE(shown, read);
    QStringList hits;
    for (const HistoryStore::Line& l : store.Search(typed)) {
        hits << l.text;
    }
    QCOMPARE(hits, found);
    QCOMPARE(store.Search(typed, {}, {}, 1).size(), 1);
}

void TestHistory::foundAfterForgetting_data() {
    QTest::addColumn<QString>("forget");
    QTest::addColumn<bool>("searchedBefore"); // the index had caught up with what goes
    QTest::newRow("everyone") << "" << true;
    QTest::newRow("the newest peer") << "Carl" << true;
    QTest::newRow("never searched") << "Carl" << false;
}

void TestHistory::foundAfterForgetting() {
    QFETCH(QString, forget);
    QFETCH(bool, searchedBefore);
    HistoryStore store;
    QVERIFY(store.Open(Path(QTest::currentDataTag())));
    store.Record(Event(HistoryEvent::Kind::Line, 1, "kept words"));
    HistoryEvent carl = Event(HistoryEvent::Kind::Line, 2, "gone words");
    carl.peer = QStringLiteral("Carl");
    store.Record(carl);
    carl.text = QStringLiteral("more gone words");
    store.Record(carl);
    QVERIFY(store.Flush());
    if (searchedBefore) {
        QCOMPARE(store.Search("words").size(), 3);
    }
    QVERIFY(store.Forget(forget));
    // Lines kept after it reuse the numbers of the forgotten ones, and are found all the same.
    store.Record(Event(HistoryEvent::Kind::Line, 3, "fresh words"));
    QVERIFY(store.Flush());
    QCOMPARE(store.Search("fresh").size(), 1);
    QVERIFY(store.Search("gone").isEmpty());
    QCOMPARE(store.Search("words").size(), forget.isEmpty() ? 1 : 2);
    QVERIFY(store.SearchWorked());
}

void TestHistory::migratesOlderVersions_data() {
    QTest::addColumn<int>("version");
    QTest::newRow("the first") << 1;
    QTest::newRow("with the search index") << 2;
}

void TestHistory::migratesOlderVersions() {
    QFETCH(int, version);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "v1");
        db.setDatabaseName(Path(qPrintable(QStringLiteral("v%1.sqlite").arg(version))));
        QVERIFY(db.open());
        QSqlQuery q(db);
        for (const char* sql :
             {"CREATE TABLE calls(id INTEGER PRIMARY KEY, peer TEXT NOT NULL, address TEXT NOT "
              "NULL, port INTEGER NOT NULL, window INTEGER NOT NULL, conference INTEGER NOT "
              "NULL, started INTEGER NOT NULL, ended INTEGER)",
              "CREATE TABLE lines(id INTEGER PRIMARY KEY, call INTEGER NOT NULL, at INTEGER NOT "
              "NULL, outgoing INTEGER NOT NULL, conference INTEGER NOT NULL, ack INTEGER, text "
              "TEXT NOT NULL)",
              "INSERT INTO calls VALUES (1, 'Old', '10.0.0.1', 7000, 0, 0, 1000, NULL)",
              "INSERT INTO lines VALUES (1, 1, 1000, 0, 0, NULL, 'kept from before')",
              "PRAGMA user_version = 1"}) {
            QVERIFY2(q.exec(sql), sql);
        }
        // The second version as it was written: the search index, kept by triggers.
        for (const char* sql :
             {"CREATE INDEX lines_call ON lines(call)",
              "CREATE INDEX calls_peer ON calls(peer, started)",
              "CREATE VIRTUAL TABLE lines_fts USING fts5(text, content='lines', "
              "content_rowid='id', tokenize='unicode61 remove_diacritics 2')",
              "CREATE TRIGGER lines_ai AFTER INSERT ON lines BEGIN INSERT INTO lines_fts(rowid, "
              "text) VALUES (new.id, new.text); END",
              "CREATE TRIGGER lines_ad AFTER DELETE ON lines BEGIN INSERT INTO "
              "lines_fts(lines_fts, rowid, text) VALUES ('delete', old.id, old.text); END",
              "INSERT INTO lines_fts(lines_fts) VALUES ('rebuild')", "PRAGMA user_version = 2"}) {
            QVERIFY2(version < 2 || q.exec(sql), sql);
        }
        db.close();
    }
    QSqlDatabase::removeDatabase("v1");
    HistoryStore store;
    QVERIFY(store.Open(Path(qPrintable(QStringLiteral("v%1.sqlite").arg(version)))));
    QCOMPARE(store.Search("before").size(), 1);
    QCOMPARE(store.Conversations().value(0).peer, QStringLiteral("Old"));
}

void TestHistory::brokenFileKeepsTheChatGoing_data() {
    QTest::addColumn<QByteArray>("damage");
    QTest::newRow("corrupt file") << QByteArray("garbage");
    QTest::newRow("newer schema") << QByteArray("PRAGMA user_version = 99");
    QTest::newRow("folder in its place") << QByteArray("folder");
}

void TestHistory::brokenFileKeepsTheChatGoing() {
    QFETCH(QByteArray, damage);
    AppFixture app;
    const QString file = qEnvironmentVariable("XDG_DATA_HOME") + "/Palaver/history.sqlite";
    QDir().mkpath(QFileInfo(file).absolutePath());
    if (damage == "folder") {
        QDir().mkpath(file);
    } else if (damage.startsWith("PRAGMA")) {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "newer");
        db.setDatabaseName(file);
        QVERIFY(db.open());
        QSqlQuery(db).exec(QString::fromLatin1(damage));
        db.close();
        db = {};
        QSqlDatabase::removeDatabase("newer");
    } else {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(4096, 'x'));
    }
    app.WriteSettings("Ann\r\n");
    frmClient* board = app.Start();
    QTRY_COMPARE(LogText(board).count("History is off: "), 1);
    StartListening(board);
    ScriptedPeer peer;
    QVERIFY(peer.ConnectTo(Settings.Port));
    QVERIFY(peer.LogIn("", "Bob"));
    peer.Send(peer.Build(CmdText, "still shown"));
    QTRY_VERIFY(LogText(board).endsWith("Bob: still shown\n"));
    QCOMPARE(LogText(board).count("History is off: "), 1);
}

void TestHistory::lockedByAnotherCopy() {
    AppFixture app;
    frmClient* board = AnnListening(app);
    QTRY_VERIFY(History()->IsOpen());
    ScriptedPeer peer; // stays on the line: nothing new comes to write the waiting line
    {
        QSqlDatabase other = QSqlDatabase::addDatabase("QSQLITE", "other");
        other.setDatabaseName(HistoryStore::DefaultPath());
        QVERIFY(other.open());
        QSqlQuery lock(other);
        QVERIFY(lock.exec("BEGIN EXCLUSIVE"));
        QVERIFY(peer.ConnectTo(Settings.Port));
        QVERIFY(peer.LogIn("", "Bob"));
        peer.Send(peer.Build(CmdText, "while locked"));
        // The chat goes on; the read's write was tried (and put off) before it showed.
        QTRY_VERIFY(LogText(board).endsWith("Bob: while locked\n"));
        QVERIFY(History()->Search("locked").isEmpty()); // not written while held
        QVERIFY(lock.exec("COMMIT"));
    }
    QSqlDatabase::removeDatabase("other");
    QTRY_COMPARE_WITH_TIMEOUT(History()->Search("locked").size(), 1, 3000); // nothing lost
    QVERIFY(!LogText(board).contains("History is off"));
}

void TestHistory::twoWritersAndAKill() {
    const QString path = Path("shared.sqlite");
    QProcess a;
    QProcess b;
    for (QProcess* p : {&a, &b}) {
        p->start(QCoreApplication::applicationFilePath(), {"--write", path, "300"});
    }
    QVERIFY(a.waitForFinished(30000) && b.waitForFinished(30000));
    QCOMPARE(a.exitCode(), 0);
    QCOMPARE(b.exitCode(), 0);
    {
        HistoryStore store;
        QVERIFY(store.Open(path));
        QCOMPARE(store.Conversations().size(), 2);
        QCOMPARE(store.Search("line").size(), 500); // the search's own limit
    }
    // Killed at a random moment of a burst: the file opens and holds a prefix of the lines.
    for (int round = 0; round < 3; ++round) {
        const QString killed = Path("killed") + QString::number(round);
        QProcess p;
        p.start(QCoreApplication::applicationFilePath(), {"--write", killed, "100000"});
        QVERIFY(p.waitForStarted());
        // Killed after a random number of committed hundreds, not after a fixed time.
        const int hundreds = QRandomGenerator::global()->bounded(1, 40);
        int seen = 0;
        QTRY_VERIFY_WITH_TIMEOUT((seen += int(p.readAllStandardOutput().count('\n'))) >= hundreds,
                                 20000);
        p.kill();
        p.waitForFinished();
        HistoryStore store;
        QVERIFY(store.Open(killed));
        const auto calls = store.Conversations();
        const auto lines = calls.isEmpty() ? QList<HistoryStore::Line>{} : store.Lines(calls[0].id);
        for (int k = 0; k < lines.size(); ++k) {
            QCOMPARE(lines[k].text, QStringLiteral("line %1").arg(k));
        }
    }
}

void TestHistory::throughTheWindows() {
    AppFixture app;
    frmClient* board = AnnListening(app);
    ScriptedPeer bob;
    QVERIFY(bob.ConnectTo(Settings.Port));
    QVERIFY(bob.LogIn("", "Bob"));
    bob.Send(bob.Build(CmdText, "my address is 42 Elm Street"));
    QTRY_VERIFY(LogText(board).endsWith("Bob: my address is 42 Elm Street\n"));
    Type(board, "thanks");
    QVERIFY(bob.WaitForMessages(4)); // AUTH, ACPT, the answer to Bob's line, ours
    const WireMessage line = bob.Messages().last();
    bob.Send(bob.Build(CmdAck, "OK" + EncodeLong(line.crc)));
    QTRY_VERIFY(Find<QPlainTextEdit>(board, "txtSend")->toPlainText().isEmpty());

    // Ctrl+H, a search typed as a user types it, an export.
    board->activateWindow();
    QTest::keyClick(board, Qt::Key_H, Qt::ControlModifier);
    QTRY_VERIFY(frmHistory::Instance() != nullptr);
    frmHistory* history = frmHistory::Instance();
    QCOMPARE(Find<QListWidget>(history, "lstConversations")->count(), 1);
    // The buttons in a row below the lines.
    const int linesBottom = Find<QWidget>(history, "txtLines")->mapTo(history, QPoint(0, 0)).y() +
                            Find<QWidget>(history, "txtLines")->height();
    for (const char* button : {"cmdForget", "cmdExport", "cmdClose"}) {
        QVERIFY(Find<QWidget>(history, button)->mapTo(history, QPoint(0, 0)).y() > linesBottom);
    }
    QTest::keyClicks(Find<QLineEdit>(history, "txtSearch"), "elm");
    QTRY_VERIFY(Find<QTextBrowser>(history, "txtLines")->toHtml().contains("Elm</"));
    const QString exported = app.Dir() + "/out.html";
    history->SetSaveChooser([&](QWidget*, const QString&) { return exported; });
    Click(history, "cmdExport");
    QFile out(exported);
    QVERIFY(out.open(QIODevice::ReadOnly));
    QVERIFY(out.readAll().contains("Bob: </span><span>my address is 42 Elm Street"));
    Find<QLineEdit>(history, "txtSearch")->clear();
    const auto lines = History()->Lines(History()->Conversations()[0].id);
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines[1].ack, 1);
    QVERIFY(!History()->Conversations()[0].secure); // Bob's program knows no TLS
    // Forget, behind its question.
    app.boxes->answers << platform::MsgResult::Yes;
    Click(history, "cmdForget");
    QCOMPARE(app.boxes->texts.last(), QStringLiteral("Forget every conversation with Bob?"));
    QCOMPARE(Find<QListWidget>(history, "lstConversations")->count(), 0);
    QVERIFY(History()->Search("elm").isEmpty());
    Click(history, "cmdExport"); // nothing shown: an empty file, and no complaint
    QCOMPARE(app.boxes->texts.size(), 1);
    history->close();
}

void TestHistory::acknowledgementsFindTheirLines_data() {
    QTest::addColumn<QByteArray>("answers"); // for each of our two lines: O(K) or B(C)
    QTest::addColumn<QList<int>>("marks");
    QTest::newRow("in order") << QByteArray("OO") << QList<int>{1, 1};
    QTest::newRow("second first") << QByteArray("oO") << QList<int>{1, 1};
    QTest::newRow("first refused") << QByteArray("BO") << QList<int>{0, 1};
    QTest::newRow("only the second") << QByteArray("-O") << QList<int>{-1, 1};
}

void TestHistory::acknowledgementsFindTheirLines() {
    // Two lines in flight: each acknowledgement marks the line whose CRC it names.
    QFETCH(QByteArray, answers);
    QFETCH(QList<int>, marks);
    AppFixture app;
    frmClient* board = AnnListening(app);
    ScriptedPeer bob;
    QVERIFY(bob.ConnectTo(Settings.Port));
    QVERIFY(bob.LogIn("", "Bob"));
    QTRY_VERIFY(board->LoginFlag() == 1);
    QTRY_VERIFY(History()->IsOpen());
    Type(board, "first");
    Type(board, "second");
    QVERIFY(bob.WaitForMessages(4));
    QList<WireMessage> ours = bob.Messages().mid(2);
    if (answers[0] == 'o') {
        std::swap(ours[0], ours[1]);
    }
    for (int k = 0; k < 2; ++k) {
        const char a = answers[k];
        if (a != '-') {
            bob.Send(bob.Build(CmdAck, (a == 'B' ? "BC" : "OK") + EncodeLong(ours[k].crc)));
        }
    }
    // A line from Bob after the answers: once it shows, they have been handled.
    bob.Send(bob.Build(CmdText, "done"));
    QTRY_VERIFY(LogText(board).endsWith("Bob: done\n"));
    QVERIFY(History()->Flush());
    const auto lines = History()->Lines(History()->Conversations()[0].id);
    QCOMPARE(lines.size(), 3);
    QCOMPARE(lines[0].text, QStringLiteral("first"));
    QCOMPARE((QList<int>{lines[0].ack, lines[1].ack}), marks);
}

void TestHistory::conferenceIsKeptAsOne() {
    // What the switchboard says to its conference is one conversation with all its members,
    // marked by the first member's acknowledgement.
    AppFixture app;
    frmClient* board = AnnListening(app);
    QTRY_VERIFY(History()->IsOpen());
    ScriptedPeer fay; // the switchboard's own call
    ScriptedPeer bob;
    ScriptedPeer cat;
    for (auto [peer, name] : {std::pair{&fay, "Fay"}, {&bob, "Bob"}, {&cat, "Cat"}}) {
        QVERIFY(peer->ConnectTo(Settings.Port));
        QVERIFY(peer->LogIn("", name));
    }
    QTRY_VERIFY(ClientWindows().Line(board, 1) >= 0);
    Click(board, "cmdConf");
    Type(board, "to all");
    QTRY_VERIFY(bob.ChatBodies().contains("to all"));
    bob.Send(bob.Build(CmdAck, "OK" + EncodeLong(bob.Messages().last().crc)));
    bob.Send(bob.Build(CmdText, "done"));
    QTRY_VERIFY(LogText(board).endsWith("Bob: done\n"));
    QVERIFY(History()->Flush());
    const auto all = History()->Conversations();
    const auto conference = std::find_if(all.begin(), all.end(), [](const auto& c) {
        return c.conference && c.peer == QLatin1String("Bob, Cat");
    });
    QVERIFY(conference != all.end());
    const auto lines = History()->Lines(conference->id);
    QCOMPARE(lines.size(), 1);
    QCOMPARE(lines[0].text, QStringLiteral("to all"));
    QCOMPARE(lines[0].ack, 1);
}

void TestHistory::historyWindowControls_data() {
    QTest::addColumn<QString>("control");
    QTest::newRow("the list") << "lstConversations";
    QTest::newRow("from") << "dtpFrom";
    QTest::newRow("to") << "dtpTo";
    QTest::newRow("close") << "cmdClose";
}

void TestHistory::historyWindowControls() {
    // Ann in January, Bob in March: each control of the History window does its part.
    QFETCH(QString, control);
    HistoryStore store;
    QVERIFY(store.Open(Path(qPrintable("controls-" + control + ".sqlite"))));
    for (auto [key, peer, month] : {std::tuple{1, "Ann", 1}, {2, "Bob", 3}}) {
        HistoryEvent e = Event(HistoryEvent::Kind::Line, key, QStringLiteral("hi from ") + peer);
        e.peer = QString::fromLatin1(peer);
        e.at = QDateTime(QDate(2026, month, 10), QTime(12, 0)).toMSecsSinceEpoch();
        store.Record(e);
    }
    QVERIFY(store.Flush());
    frmHistory* w = frmHistory::ShowFor(&store);
    const auto closeIt = qScopeGuard([] {
        if (frmHistory* open = frmHistory::Instance()) {
            open->close();
        }
    });
    auto* list = Find<QListWidget>(w, "lstConversations");
    QCOMPARE(list->count(), 2);
    if (control == "lstConversations") {
        QCOMPARE(list->accessibleName(), QStringLiteral("Conversations"));
        // The list stands beside the lines, as tall as they are.
        auto* lines = Find<QTextBrowser>(w, "txtLines");
        QVERIFY(!QRect(list->mapTo(w, QPoint()), list->size())
                     .intersects(QRect(lines->mapTo(w, QPoint()), lines->size())));
        QCOMPARE(list->height(), lines->height());
        QCOMPARE(Find<QLineEdit>(w, "txtSearch")->accessibleName(),
                 QStringLiteral("Search the history"));
        QTest::keyClick(list, Qt::Key_Down); // the older one
        QVERIFY(Find<QTextBrowser>(w, "txtLines")->toPlainText().contains("hi from Ann"));
    } else if (control == "cmdClose") {
        Click(w, "cmdClose");
        QTRY_VERIFY(frmHistory::Instance() == nullptr || !w->isVisible());
        return;
    } else {
        Click(w, "chkDates");
        const bool from = control == "dtpFrom";
        // The other end first, wide open; then this one, which leaves one conversation.
        Find<QDateEdit>(w, from ? "dtpTo" : "dtpFrom")->setDate(QDate(from ? 2030 : 2020, 1, 1));
        Find<QDateEdit>(w, control)->setDate(QDate(2026, 2, 1));
        QCOMPARE(list->count(), 1);
        QVERIFY(list->item(0)->text().startsWith(from ? "Bob" : "Ann"));
        // A screen reader says which end it is.
        QCOMPARE(Find<QDateEdit>(w, control)->accessibleName(),
                 QString::fromLatin1(from ? "From date" : "To date"));
    }
}

void TestHistory::acknowledgedLinesSurviveAKill_data() {
    QTest::addColumn<int>("killAfter"); // acknowledgements seen before the kill
    QTest::newRow("the first") << 1;
    QTest::newRow("37") << 37;
    QTest::newRow("137") << 137;
    QTest::newRow("at random") << int(QRandomGenerator::global()->bounded(2, 199));
    QTest::newRow("all 200") << 200;
}

void TestHistory::acknowledgedLinesSurviveAKill() {
    // A real Palaver answers in a child process and is killed during a burst: every line
    // whose acknowledgement reached the sender is in the child's history file.
    QFETCH(int, killAfter);
    QTemporaryDir home;
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_DATA_HOME", home.filePath("data"));
    env.insert("XDG_CONFIG_HOME", home.filePath("config"));
    env.insert("QT_QPA_PLATFORM", "offscreen");
    child.setProcessEnvironment(env);
    child.setWorkingDirectory(home.path());
    const int port = FreePort();
    child.start(QCoreApplication::applicationFilePath(), {"--answer", QString::number(port)});
    QVERIFY(child.waitForReadyRead(10000));
    QVERIFY(child.readAll().contains("ready"));
    ScriptedPeer bob;
    QVERIFY(bob.ConnectTo(port));
    QVERIFY(bob.LogIn("", "Bob"));
    QByteArray burst;
    QHash<std::int32_t, QByteArray> byCrc;
    for (int k = 0; k < 200; ++k) {
        const QByteArray line = "burst line " + QByteArray::number(k);
        const QByteArray wire = bob.Build(CmdText, line);
        byCrc.insert(qFromLittleEndian<std::int32_t>(wire.constData() + 21), line); // its CRC
        burst += wire;
    }
    bob.Send(burst);
    QVERIFY(bob.WaitForMessages(2 + killAfter, 10000));
    child.kill();
    child.waitForFinished();
    QSet<QByteArray> confirmed;
    for (const WireMessage& m : bob.Messages()) {
        if (m.cmd == CmdAck && m.body.startsWith("OK")) {
            confirmed.insert(byCrc.value(DecodeLong(m.body.mid(2, 4))));
        }
    }
    QVERIFY(confirmed.size() >= killAfter);
    HistoryStore store;
    QVERIFY(store.Open(home.filePath("data/Palaver/history.sqlite")));
    QSet<QByteArray> kept;
    for (const auto& c : store.Conversations()) {
        for (const auto& line : store.Lines(c.id)) {
            kept.insert(line.text.toLatin1());
        }
    }
    for (const QByteArray& line : std::as_const(confirmed)) {
        QVERIFY2(kept.contains(line), line.constData());
    }
}

// A running Palaver answering on `port` until it is killed; "ready" once it listens with its
// history open.
int Answer(int port) {
    App palaver;
    Main();
    Settings.Port = port;
    ClientWindows(0)->ToggleServer();
    QTimer::singleShot(0, [] {
        std::puts(History()->IsOpen() ? "ready" : "no history");
        std::fflush(stdout);
    });
    return QApplication::exec();
}

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc == 4 && qstrcmp(argv[1], "--write") == 0) {
        return WriteLines(QString::fromLocal8Bit(argv[2]), QByteArray(argv[3]).toInt());
    }
    if (argc == 3 && qstrcmp(argv[1], "--answer") == 0) {
        return Answer(QByteArray(argv[2]).toInt());
    }
    TestHistory test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_history.moc"

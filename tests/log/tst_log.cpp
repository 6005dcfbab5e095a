#include "log/CLog.h"
#include "log/frmDebug.h"
#include "platform/LocaleText.h"

#include <QRegularExpression>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QtTest>

class TestLog : public QObject {
    Q_OBJECT
private slots:
    void purgeBoundary();
    void batchesWaitForTheFrame();
    void purgeLineWithTimestamp();
    void lineEndsCountTwo();
    void startArguments();
    void fileSink();
    void stampTokens();
    void debugWindowReleasesLog();
    void viewFollowsTheEndOnlyFromTheEnd();
    void localeSeparators_data();
    void localeSeparators();
};

void TestLog::purgeBoundary() {
    QPlainTextEdit box;
    CLog log;
    log.Start(std::nullopt, &box);
    box.setPlainText(QString(59988, 'x')); // one line: 59990 with its line break
    QCOMPARE(CLog::BoxLength(&box), 59990);
    log.Log(QString(10, 'a')); // exactly 60000: kept
    QVERIFY(box.toPlainText().startsWith(QString(59988, 'x')));
    QCOMPARE(CLog::BoxLength(&box), 60002);

    box.setPlainText(QString(59988, 'x'));
    log.Log(QString(11, 'b')); // 60001: purged first
    QCOMPARE(box.toPlainText(), QStringLiteral("Log Purged\n") + QString(11, 'b'));
    QCOMPARE(CLog::BoxLength(&box), 10 + 2 + 11 + 2);

    // The same within a batch: the rule counts the lines still waiting to be shown.
    box.setPlainText(QString(59978, 'x'));
    {
        const CLog::Batch batch(log);
        log.Log(QString(8, 'c'));                         // 59980 + 10: kept
        log.Log(QString(8, 'd'));                         // 59990 + 10: kept
        QCOMPARE(box.toPlainText(), QString(59978, 'x')); // not shown yet
        log.Log(QString(9, 'e'));                         // 60000 + 11: purged, with what waited
    }
    QTRY_COMPARE(box.toPlainText(), QStringLiteral("Log Purged\n") + QString(9, 'e'));
}

void TestLog::batchesWaitForTheFrame() {
    QPlainTextEdit box;
    CLog log;
    qint64 now = 1000;
    log.SetClock([&now] { return now; });
    log.Start(std::nullopt, &box);
    const auto read = [&log](const char* line) {
        const CLog::Batch batch(log);
        log.Log(QString::fromLatin1(line));
    };
    log.Log("mine"); // our own line: at once
    read("one");     // a read within the same frame waits for its end...
    QVERIFY(log.Waiting());
    QCOMPARE(box.toPlainText(), QStringLiteral("mine"));
    read("two");
    QTRY_COMPARE(box.toPlainText(), QStringLiteral("mine\none\ntwo")); // ...in order
    QVERIFY(!log.Waiting());
    now += CLog::kFrameMs; // a frame later: at once
    read("three");
    QCOMPARE(box.toPlainText(), QStringLiteral("mine\none\ntwo\nthree"));
    read("four");
    log.Log("mine again"); // our own line comes after what waited, at once
    QCOMPARE(box.toPlainText(), QStringLiteral("mine\none\ntwo\nthree\nfour\nmine again"));
    read("gone");
    log.Clear(); // what waited is gone for good
    log.Log("after");
    QCOMPARE(box.toPlainText(), QStringLiteral("after"));
}

void TestLog::purgeLineWithTimestamp() {
    QPlainTextEdit box;
    CLog log;
    log.Start(QString(), &box);
    box.setPlainText(QString(59999, 'x'));
    log.Log("next");
    const QStringList lines = box.toPlainText().split('\n');
    QCOMPARE(lines.size(), 2);
    QVERIFY(lines[0].endsWith(": Log Purged"));
    QVERIFY(lines[1].endsWith(": next"));
}

void TestLog::lineEndsCountTwo() {
    QPlainTextEdit box;
    CLog log;
    log.Start(std::nullopt, &box);
    log.Log("ab");
    log.Log("cd\r\n"); // a line that itself ends with a break leaves an empty line
    QCOMPARE(CLog::BoxLength(&box), 4 + 4 + 2);
    QCOMPARE(box.toPlainText(), QStringLiteral("ab\ncd\n"));
    log.Clear();
    QCOMPARE(CLog::BoxLength(&box), 0);
}

void TestLog::startArguments() {
    QPlainTextEdit box;
    CLog log;
    log.Start(std::nullopt, &box);
    QVERIFY(log.DateFilter().isEmpty());
    log.Log("plain");
    QCOMPARE(box.toPlainText(), QStringLiteral("plain"));

    log.Start(QString(), nullptr);
    QCOMPARE(log.DateFilter(), CLog::kDefaultPattern);
    log.Start(std::nullopt); // omitted: kept
    QCOMPARE(log.DateFilter(), CLog::kDefaultPattern);
    log.Start(QStringLiteral("yyyy"));
    QCOMPARE(log.DateFilter(), QStringLiteral("yyyy"));

    log.AttachFile("x.log");
    log.Start(std::nullopt); // no LogFile: no file
    QVERIFY(log.LogFile().isEmpty());

    CLog none; // nothing attached: nothing happens
    none.Log("ignored");
}

void TestLog::fileSink() {
    QTemporaryDir dir;
    const QString path = dir.filePath("palaver.log");
    CLog log;
    log.AttachFile(path);
    log.Log(QStringLiteral("caf\u00e9 \u20ac \u4e2d"));
    log.Log("two");
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), QByteArray("caf\xe9 \x80 ?\r\ntwo\r\n"));
    f.close();
    log.Clear(); // omitted flag: the file stays
    QVERIFY(QFile::exists(path));
    log.Clear(true);
    QVERIFY(!QFile::exists(path));
    log.Clear(true); // already gone: nothing happens
}

void TestLog::stampTokens() {
    const QDateTime when(QDate(2026, 3, 4), QTime(15, 6, 7));
    const QString d = platform::DateSeparator();
    const QString t = platform::TimeSeparator();
    QCOMPARE(platform::FormatStamp(CLog::kDefaultPattern, when),
             "03" + d + "04" + d + "2026 03" + t + "06" + t + "07 " + platform::PmText());
    const QDateTime midnight(QDate(2026, 12, 31), QTime(0, 0, 1));
    QCOMPARE(platform::FormatStamp(CLog::kDefaultPattern, midnight),
             "12" + d + "31" + d + "2026 12" + t + "00" + t + "01 " + platform::AmText());
    // Without ampm the hour is on the 24-hour clock; other characters stand for themselves.
    QCOMPARE(platform::FormatStamp("hh-nn [x]", when), QStringLiteral("15-06 [x]"));

    QPlainTextEdit box;
    CLog log;
    log.Start(QString(), &box);
    log.Log("Debugger started");
    static const QRegularExpression re(R"(^\d\d.\d\d.\d{4} \d\d.\d\d.\d\d \S+: Debugger started$)");
    QVERIFY2(re.match(box.toPlainText()).hasMatch(), qPrintable(box.toPlainText()));
}

void TestLog::debugWindowReleasesLog() {
    frmDebug* w = LoadDebugWindow();
    QCOMPARE(w->windowTitle(), QStringLiteral("Debug Window"));
    QCOMPARE(w->objectName(), QStringLiteral("frmDebug"));
    QVERIFY(w->findChild<QPlainTextEdit*>("txtLog") != nullptr);
    w->StartLog();
    LogDebug("line");
    QTRY_VERIFY(w->txtLog()->toPlainText().endsWith("line"));
    QVERIFY(!w->isVisible());
    QPointer<frmDebug> guard(w);
    UnloadDebugWindow();
    QVERIFY(!w->Logging());
    QTRY_VERIFY(guard.isNull());
    QVERIFY(DebugWindow() == nullptr);
    // A fresh window after the first one was unloaded is empty.
    frmDebug* again = LoadDebugWindow();
    QVERIFY(again->txtLog()->toPlainText().isEmpty());
    UnloadDebugWindow();
    QTRY_VERIFY(DebugWindow() == nullptr);
}

void TestLog::viewFollowsTheEndOnlyFromTheEnd() {
    QPlainTextEdit box;
    box.resize(300, 120);
    box.show();
    CLog log;
    log.Start(std::nullopt, &box);
    for (int k = 0; k < 50; ++k) {
        log.Log(QStringLiteral("line %1").arg(k));
    }
    QScrollBar* bar = box.verticalScrollBar();
    QVERIFY(bar->maximum() > 0);
    QCOMPARE(bar->value(), bar->maximum()); // the newest line is in view
    // A user reading further up stays where they are.
    bar->setValue(3);
    log.Log(QStringLiteral("while reading"));
    QCOMPARE(bar->value(), 3);
    // Back at the end, the view follows again.
    bar->setValue(bar->maximum());
    log.Log(QStringLiteral("at the end"));
    QCOMPARE(bar->value(), bar->maximum());
    QVERIFY(box.toPlainText().endsWith("while reading\nat the end"));
}

void TestLog::localeSeparators_data() {
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("separator");
    QTest::newRow("US date") << "M/d/yy"
                             << "/";
    QTest::newRow("German date") << "dd.MM.yy"
                                 << ".";
    QTest::newRow("ISO date") << "yyyy-MM-dd"
                              << "-";
    QTest::newRow("quoted text first") << "'le' d.M"
                                       << ".";
    QTest::newRow("time") << "HH:mm"
                          << ":";
    QTest::newRow("none: fallback") << "d MMMM"
                                    << "~";
}

void TestLog::localeSeparators() {
    QFETCH(QString, format);
    QFETCH(QString, separator);
    QCOMPARE(platform::FirstSeparator(format, "~"), separator);
}

QTEST_MAIN(TestLog)
#include "tst_log.moc"

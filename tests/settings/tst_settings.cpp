#include "settings/Settings.h"
#include "support/AppFixture.h"

#include <QDir>
#include <QFile>
#include <QtTest>

#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

class TestSettings : public QObject {
    Q_OBJECT
private slots:
    void numericValue();
    void readerTrickyFiles_data();
    void readerTrickyFiles();
    void hundredAddresses();
    void missingFileAndGarbage();
    void roundTripByteForByte();
    void nicknameBeyondTheCodePage_data();
    void nicknameBeyondTheCodePage();
    void failedWriteKeepsOldFile();
    void readOnlyFolderWritesInPlace();
};

void TestSettings::numericValue() {
    QCOMPARE(NumericValue("7000"), 7000.0);
    QCOMPARE(NumericValue("  12abc"), 12.0);
    QCOMPARE(NumericValue("-3.5x"), -3.5);
    QCOMPARE(NumericValue("1 2"), 12.0); // blanks are skipped
    QCOMPARE(NumericValue("abc"), 0.0);
    QCOMPARE(NumericValue(""), 0.0);
    QCOMPARE(NumericValue("."), 0.0);
    QCOMPARE(*RoundToInt32(7000.5), 7000);
    QCOMPARE(*RoundToInt32(7001.5), 7002);
    QCOMPARE(*RoundToInt32(-2.5), -2);
    QCOMPARE(*RoundToInt32(2147483647.0), 2147483647);
    QVERIFY(!RoundToInt32(2147483648.0));
    QVERIFY(!RoundToInt32(1e300));
}

void TestSettings::readerTrickyFiles_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("nick");
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("timeout");
    QTest::addColumn<QStringList>("addresses");

    QTest::newRow("blank line counts against N")
        << QByteArray("Ann\r\n\r\n7000\r\n30\r\n 2 \r\nhost1\r\n\r\nhost3\r\n") << "Ann" << 7000
        << 30 << QStringList{"host1"};
    QTest::newRow("N of 2.5 reads two") << QByteArray("Bo\r\n\r\n1\r\n2\r\n2.5\r\na\r\nb\r\nc\r\n")
                                        << "Bo" << 1 << 2 << QStringList{"a", "b"};
    QTest::newRow("N of 0") << QByteArray("x\r\n\r\n1\r\n2\r\n0\r\na\r\n") << "x" << 1 << 2
                            << QStringList{};
    QTest::newRow("negative N") << QByteArray("x\r\n\r\n1\r\n2\r\n-4\r\na\r\n") << "x" << 1 << 2
                                << QStringList{};
    QTest::newRow("port 7000.5") << QByteArray("n\r\n\r\n7000.5\r\n0\r\n") << "n" << 7000 << 0
                                 << QStringList{};
    QTest::newRow("port 7001.5") << QByteArray("n\r\n\r\n7001.5\r\n0\r\n") << "n" << 7002 << 0
                                 << QStringList{};
    QTest::newRow("padded addresses kept untrimmed")
        << QByteArray("  Nick  \r\n\r\n8\r\n9\r\n 1 \r\n  host.example  \r\n") << "  Nick  " << 8
        << 9 << QStringList{"  host.example  "};
    QTest::newRow("not a number gives 0")
        << QByteArray("n\r\n\r\nabc\r\n\r\n") << "n" << 0 << 0 << QStringList{};
    QTest::newRow("port too large ends reading")
        << QByteArray("n\r\n\r\n99999999999\r\n5\r\n") << "n" << 0 << 0 << QStringList{};
    QTest::newRow("file ends early")
        << QByteArray("n\r\n\r\n1234") << "n" << 1234 << 0 << QStringList{};
    QTest::newRow("N larger than the file")
        << QByteArray("n\r\n\r\n1\r\n2\r\n5\r\na\r\nb") << "n" << 1 << 2 << QStringList{"a", "b"};
    QTest::newRow("lone LF line ends")
        << QByteArray("n\n\n1\n2\n1\nhost\n") << "n" << 1 << 2 << QStringList{"host"};
}

void TestSettings::readerTrickyFiles() {
    QFETCH(QByteArray, file);
    AppFixture app;
    ResetSettings();
    app.WriteSettings(file);
    LoadSettings();
    QTEST(Settings.Nickname, "nick");
    QTEST(static_cast<int>(Settings.Port), "port");
    QTEST(static_cast<int>(Settings.Timeout), "timeout");
    QTEST(Addresses(), "addresses");
}

void TestSettings::hundredAddresses() {
    AppFixture app;
    QByteArray file("n\r\n\r\n1\r\n2\r\n101\r\n");
    for (int k = 1; k <= 101; ++k) {
        file += "h" + QByteArray::number(k) + "\r\n";
    }
    app.WriteSettings(file);
    LoadSettings();
    QCOMPARE(Settings.AddressCount, 100);
    QCOMPARE(Settings.AddressList[100], QStringLiteral("h100"));
}

void TestSettings::missingFileAndGarbage() {
    {
        AppFixture app;
        LoadSettings();
        QVERIFY(Settings.Nickname.isEmpty());
        QCOMPARE(Settings.Port, 0);
        QCOMPARE(Settings.AddressCount, 0);
    }
    {
        // Binary bytes, an endless line and a huge N: bounded, no crash.
        AppFixture app;
        QByteArray junk(3 << 20, '\0');
        for (int k = 0; k < junk.size(); ++k) {
            junk[k] = static_cast<char>((static_cast<long long>(k) * 7919) % 251);
        }
        app.WriteSettings(junk);
        LoadSettings();
        QVERIFY(Settings.Nickname.size() <= (1 << 20));
        ResetSettings();
        app.WriteSettings("n\r\n\r\n1\r\n2\r\n1e300\r\n" + QByteArray(2 << 20, '\n'));
        LoadSettings();
        QCOMPARE(Settings.AddressCount, 0);
        ResetSettings();
        app.WriteSettings(QByteArray(5 << 20, 'x'));
        LoadSettings();
        QCOMPARE(Settings.Nickname.size(), 1 << 20);
    }
}

void TestSettings::roundTripByteForByte() {
    AppFixture app;
    Settings.Nickname = QStringLiteral("Zo\u00eb");
    Settings.Port = -12;
    Settings.Timeout = 45;
    Settings.LoginPassword = QStringLiteral("secret");
    Settings.Passwords[1] = QStringLiteral("p1");
    QVERIFY(WriteSettingsFile({"alpha", "  beta ", "10.0.0.1"}));
    const QByteArray expected("Zo\xeb\r\n\r\n-12\r\n45\r\n 3 \r\nalpha\r\n  beta \r\n10.0.0.1\r\n");
    QCOMPARE(app.ReadSettings(), expected);
    QVERIFY(!app.ReadSettings().contains("secret"));
    ResetSettings();
    LoadSettings();
    QCOMPARE(Settings.Nickname, QStringLiteral("Zo\u00eb"));
    QCOMPARE(Settings.Port, -12);
    QCOMPARE(Settings.Timeout, 45);
    QCOMPARE(Addresses(), (QStringList{"alpha", "  beta ", "10.0.0.1"}));
    QVERIFY(Settings.LoginPassword.isEmpty());
    QVERIFY(Settings.Passwords[1].isEmpty());
}

void TestSettings::nicknameBeyondTheCodePage_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QByteArray>("editedTo"); // the file's first line, changed by hand
    QTest::addColumn<QString>("read");
    QTest::newRow("Greek") << "Ζωή" << QByteArray() << "Ζωή";
    QTest::newRow("Japanese") << "さくら" << QByteArray() << "さくら";
    QTest::newRow("the file edited since") << "Ζωή" << QByteArray("Bob") << "Bob";
    QTest::newRow("the code page holds it") << "Zoë" << QByteArray() << "Zoë";
}

void TestSettings::nicknameBeyondTheCodePage() {
    QFETCH(QString, typed);
    QFETCH(QByteArray, editedTo);
    QFETCH(QString, read);
    AppFixture app;
    Settings.Nickname = typed;
    QVERIFY(WriteSettingsFile({}));
    QCOMPARE(QFileInfo::exists(NicknamePath()), typed != "Zoë");
    if (!editedTo.isEmpty()) {
        app.WriteSettings(editedTo + "\r\n");
    }
    ResetSettings();
    LoadSettings();
    QCOMPARE(Settings.Nickname, read);
    QFile::remove(NicknamePath());
}

void TestSettings::failedWriteKeepsOldFile() {
    AppFixture app;
    // A file in a folder nobody may create files in, root included: the old file stays.
    QFile proc("/proc/version");
    QVERIFY(proc.open(QIODevice::ReadOnly));
    const QByteArray before = proc.readAll();
    proc.close();
    QString error;
    QVERIFY(!WriteSettingsFile({"x"}, &error, "/proc/version"));
    QVERIFY(!error.isEmpty());
    QVERIFY(proc.open(QIODevice::ReadOnly));
    QCOMPARE(proc.readAll(), before);
    // A path that cannot be replaced (a folder of that name) fails for everyone, reports
    // why, and leaves what was there.
    const QString blocked = QDir(app.Dir()).filePath("blocked.ini");
    QVERIFY(QDir().mkpath(blocked + "/inner"));
    error.clear();
    QVERIFY(!WriteSettingsFile({"x"}, &error, blocked));
    QVERIFY(!error.isEmpty());
    QVERIFY(QFileInfo(blocked + "/inner").isDir());
}

void TestSettings::readOnlyFolderWritesInPlace() {
    // A folder the user may not create files in, holding a settings file the user may
    // write. Root may create files anywhere, so as root the write runs as "nobody".
    QTemporaryDir dir;
    const QString path = QDir(dir.path()).filePath("insettings.ini");
    QFile seed(path);
    QVERIFY(seed.open(QIODevice::WriteOnly));
    seed.write("old\r\n");
    seed.close();
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                    QFileDevice::ReadOther | QFileDevice::WriteOther);
    QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner |
                                          QFileDevice::ReadOther | QFileDevice::ExeOther);
    Settings.Nickname = "Zoe";
    bool written = false;
    if (geteuid() == 0) {
        const passwd* nobody = getpwnam("nobody");
        QVERIFY(nobody != nullptr);
        // The file is the writer's own: one of someone else's is never written.
        QVERIFY(chown(QFile::encodeName(path).constData(), nobody->pw_uid, nobody->pw_gid) == 0);
        const pid_t child = fork();
        if (child == 0) {
            // All of root's groups go too, or the file's group bits would still apply.
            const bool ok = setgroups(0, nullptr) == 0 && setgid(nobody->pw_gid) == 0 &&
                            setuid(nobody->pw_uid) == 0 && WriteSettingsFile({"h"}, nullptr, path);
            _exit(ok ? 0 : 1);
        }
        int status = 0;
        waitpid(child, &status, 0);
        written = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    } else {
        written = WriteSettingsFile({"h"}, nullptr, path);
    }
    QFile::setPermissions(dir.path(),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QVERIFY(written);
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QVERIFY(f.readAll().startsWith("Zoe\r\n"));
}

QTEST_MAIN(TestSettings)
#include "tst_settings.moc"

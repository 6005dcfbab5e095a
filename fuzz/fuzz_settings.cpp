// Arbitrary settings files: read safely whatever they hold.
#include "FuzzMain.h"

#include "settings/Settings.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

QList<QByteArray> FuzzSeeds() {
    return {QByteArray("Ann\r\n\r\n7000\r\n30\r\n 2 \r\nhost1\r\n\r\nhost3\r\n"),
            QByteArray("x\r\n\r\n7000.5\r\n-1\r\n2.5\r\na\r\nb\r\nc\r\n"),
            QByteArray("\xff\x00\r\r\n\n 1e300 \r\n")};
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static QTemporaryDir dir;
    const QString path = QDir(dir.path()).filePath("insettings.ini");
    {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly)) {
            return 0;
        }
        f.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size));
    }
    ResetSettings();
    LoadSettings(path);
    if (Settings.AddressCount < 0 || Settings.AddressCount > SettingsRecord::kMaxAddresses) {
        std::abort();
    }
    QStringList addresses;
    for (int k = 1; k <= Settings.AddressCount; ++k) {
        addresses << Settings.AddressList[static_cast<std::size_t>(k)];
    }
    // What was read is written back and reads back the same.
    const SettingsRecord before = Settings;
    if (WriteSettingsFile(addresses, nullptr, path)) {
        ResetSettings();
        LoadSettings(path);
        if (Settings.Port != before.Port || Settings.Timeout != before.Timeout ||
            Settings.AddressCount != before.AddressCount) {
            std::abort();
        }
    }
    return 0;
}

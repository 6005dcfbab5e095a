// Arbitrary settings files: read safely whatever they hold, and what was read writes back
// to a file that reads the same.
#include "FuzzMain.h"

#include "settings/Settings.h"

#include <cstdlib>

QList<QByteArray> FuzzSeeds() {
    return {QByteArray("Ann\r\n\r\n7000\r\n30\r\n 2 \r\nhost1\r\n\r\nhost3\r\n"),
            QByteArray("x\r\n\r\n7000.5\r\n-1\r\n2.5\r\na\r\nb\r\nc\r\n"),
            QByteArray("\xff\x00\r\r\n\n 1e300 \r\n")};
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ResetSettings();
    ParseSettings(QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)));
    if (Settings.AddressCount < 0 || Settings.AddressCount > SettingsRecord::kMaxAddresses) {
        std::abort();
    }
    QStringList addresses;
    for (int k = 1; k <= Settings.AddressCount; ++k) {
        addresses << Settings.AddressList[static_cast<std::size_t>(k)];
    }
    const SettingsRecord before = Settings;
    const QByteArray written = SettingsFileBytes(addresses);
    ResetSettings();
    ParseSettings(written);
    if (Settings.Port != before.Port || Settings.Timeout != before.Timeout ||
        Settings.AddressCount != before.AddressCount) {
        std::abort();
    }
    return 0;
}

// The process-wide settings record and the settings file that keeps part of it.
#pragma once

#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <optional>

struct SettingsRecord {
    static constexpr int kMaxAddresses = 100;
    // The login message carries "PASS", the login password, a zero byte and the nickname
    // in one message body (at most 32746 characters): each gets half of what is left.
    static constexpr int kMaxNicknameLength = (32746 - 5) / 2;
    static constexpr int kMaxPasswordLength = (32746 - 5) / 2;

    QString Nickname;
    std::int32_t Port = 0;
    std::int32_t Timeout = 0;
    QString LoginPassword;
    std::array<QString, 6> Passwords; // entries 1 to 5; entry 0 is unused
    std::optional<int> EncryptAll;
    std::optional<int> SecureOnly;
    std::array<QString, kMaxAddresses + 1> AddressList; // entries 1 to 100
    std::int16_t AddressCount = 0;
};

extern SettingsRecord Settings;

inline const QString kSettingsFileName = QStringLiteral("insettings.ini");

// The leading number of a text (sign, digits, decimal point and digits; blanks skipped),
// 0 when the text does not begin with one.
double NumericValue(const QString& text);
// Rounded to the nearest 32-bit integer, halves to even; nothing when out of range.
std::optional<std::int32_t> RoundToInt32(double value);

// Where a nickname the settings file's code page cannot hold is kept, in UTF-8.
QString NicknamePath(const QString& settingsPath = kSettingsFileName);
// Reads the settings file into Settings. Fails silently; what was read before a failure
// stays. `path` defaults to the file in the current working directory.
void LoadSettings(const QString& path = kSettingsFileName);
// The same from the file's bytes.
void ParseSettings(const QByteArray& bytes);
// What the settings file holds for Settings and the given addresses.
QByteArray SettingsFileBytes(const QStringList& addresses);

// Writes the file from Settings and the given addresses, replacing the old file only once
// the new one is complete. On failure the old file stays and `error` says why.
bool WriteSettingsFile(const QStringList& addresses, QString* error = nullptr,
                       const QString& path = kSettingsFileName);

// The remembered addresses, in order: the one list every window shows and the file keeps.
QStringList Addresses();
// Forgets the first entry equal to `address`; false when there is none.
bool RemoveAddress(const QString& address);

// The longest start of `text` whose UTF-8 takes at most `maxBytes`, never half a character:
// a nickname or password must fit one login message in whichever form it travels.
QString FitUtf8(const QString& text, int maxBytes);

// Back to the start values (tests).
void ResetSettings();

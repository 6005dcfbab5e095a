#include "Settings.h"

#include "platform/PrivateFile.h"
#include "platform/Text1252.h"

#include <QFile>

#include <cfenv>
#include <cmath>
#include <limits>

SettingsRecord Settings;

namespace {

// A settings file is a few kilobytes; anything past this is not read, so a huge or
// endless file costs bounded memory and time.
constexpr qint64 kMaxFileBytes = 1 << 20;

// Splits the raw bytes into lines ending in CR LF (or a lone CR or LF).
class LineReader {
public:
    explicit LineReader(QByteArray data) : data_(std::move(data)) {}

    std::optional<QString> Next() {
        if (pos_ >= data_.size()) {
            return std::nullopt;
        }
        qsizetype end = pos_;
        while (end < data_.size() && data_[end] != '\r' && data_[end] != '\n') {
            ++end;
        }
        const QByteArray line = data_.mid(pos_, end - pos_);
        pos_ = end;
        if (pos_ < data_.size() && data_[pos_] == '\r') {
            ++pos_;
        }
        if (pos_ < data_.size() && data_[pos_] == '\n') {
            ++pos_;
        }
        return platform::FromAnsi(line);
    }

private:
    QByteArray data_;
    qsizetype pos_ = 0;
};

} // namespace

double NumericValue(const QString& text) {
    QByteArray number;
    bool sign = false;
    bool digits = false;
    bool point = false;
    for (const QChar c : text) {
        if (c == QLatin1Char(' ') || c == QLatin1Char('\t')) {
            continue;
        }
        if ((c == QLatin1Char('-') || c == QLatin1Char('+')) && !sign && !digits && !point) {
            sign = true;
            number.append(static_cast<char>(c.unicode()));
        } else if (c >= QLatin1Char('0') && c <= QLatin1Char('9')) {
            digits = true;
            number.append(static_cast<char>(c.unicode()));
        } else if (c == QLatin1Char('.') && !point) {
            point = true;
            number.append('.');
        } else {
            break;
        }
    }
    if (!digits) {
        return 0.0;
    }
    return std::strtod(number.constData(), nullptr);
}

std::optional<std::int32_t> RoundToInt32(double value) {
    if (!std::isfinite(value)) {
        return std::nullopt;
    }
    const int previous = std::fegetround();
    std::fesetround(FE_TONEAREST);
    const double r = std::nearbyint(value);
    std::fesetround(previous);
    if (r < std::numeric_limits<std::int32_t>::min() ||
        r > std::numeric_limits<std::int32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(r);
}

QString NicknamePath(const QString& settingsPath) {
    return settingsPath + QStringLiteral(".nickname");
}

void LoadSettings(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return;
    }
    const QByteArray bytes = file.read(kMaxFileBytes);
    file.close();
    ParseSettings(bytes);
    // A nickname the code page cannot hold is kept beside the file in UTF-8; it counts only
    // while it agrees with the file (someone may have edited the file since).
    QFile beside(NicknamePath(path));
    if (beside.open(QIODevice::ReadOnly)) {
        QString typed = QString::fromUtf8(beside.read(1024));
        typed.chop(typed.endsWith(QLatin1Char('\n')) ? 1 : 0);
        if (!typed.isEmpty() && platform::FromAnsi(platform::ToAnsi(typed)) == Settings.Nickname) {
            Settings.Nickname = typed;
        }
    }
}

void ParseSettings(const QByteArray& bytes) {
    LineReader in(bytes.left(kMaxFileBytes));

    const auto nickname = in.Next();
    if (!nickname) {
        return;
    }
    Settings.Nickname = *nickname;
    if (!in.Next()) {
        return;
    }
    auto readInt = [&in](std::int32_t& field) {
        const auto line = in.Next();
        if (!line) {
            return false;
        }
        const auto v = RoundToInt32(NumericValue(*line));
        if (!v) {
            return false;
        }
        field = *v;
        return true;
    };
    if (!readInt(Settings.Port) || !readInt(Settings.Timeout)) {
        return;
    }
    const auto countLine = in.Next();
    if (!countLine) {
        return;
    }
    const double n = NumericValue(*countLine);
    for (double i = 1; i <= n; ++i) {
        const auto line = in.Next();
        if (!line) {
            return;
        }
        if (line->trimmed().isEmpty()) {
            continue; // a blank line counts against N but is not stored
        }
        if (Settings.AddressCount >= SettingsRecord::kMaxAddresses) {
            return;
        }
        ++Settings.AddressCount;
        Settings.AddressList[Settings.AddressCount] = *line;
    }
}

QByteArray SettingsFileBytes(const QStringList& addresses) {
    QByteArray out;
    const QByteArray crlf = QByteArrayLiteral("\r\n");
    out += platform::ToAnsi(Settings.Nickname) + crlf;
    out += crlf;
    out += QByteArray::number(Settings.Port) + crlf;
    out += QByteArray::number(Settings.Timeout) + crlf;
    out += ' ' + QByteArray::number(addresses.size()) + ' ' + crlf;
    for (const QString& a : addresses) {
        out += platform::ToAnsi(a) + crlf;
    }
    return out;
}

bool WriteSettingsFile(const QStringList& addresses, QString* error, const QString& path) {
    // It holds the remembered addresses: the user's alone, and never written through a link
    // that someone who can write the folder put there.
    if (!platform::WritePrivateFile(path, SettingsFileBytes(addresses), true, error)) {
        return false;
    }
    const QString beside = NicknamePath(path);
    if (platform::Unmappable(Settings.Nickname) == 0) {
        if (platform::UnsafeToWrite(beside).isEmpty()) {
            QFile::remove(beside); // the file holds the whole name
        }
        return true;
    }
    return platform::WritePrivateFile(beside, Settings.Nickname.toUtf8() + '\n', true, error);
}

QStringList Addresses() {
    QStringList out;
    for (int k = 1; k <= Settings.AddressCount; ++k) {
        out << Settings.AddressList[static_cast<std::size_t>(k)];
    }
    return out;
}

bool RemoveAddress(const QString& address) {
    for (int k = 1; k <= Settings.AddressCount; ++k) {
        if (Settings.AddressList[static_cast<std::size_t>(k)] == address) {
            for (int j = k; j < Settings.AddressCount; ++j) {
                Settings.AddressList[static_cast<std::size_t>(j)] =
                    Settings.AddressList[static_cast<std::size_t>(j + 1)];
            }
            Settings.AddressList[static_cast<std::size_t>(Settings.AddressCount)].clear();
            --Settings.AddressCount;
            return true;
        }
    }
    return false;
}

QString FitUtf8(const QString& text, int maxBytes) {
    qsizetype bytes = 0;
    qsizetype k = 0;
    while (k < text.size()) {
        const qsizetype width =
            text.at(k).isHighSurrogate() && k + 1 < text.size() && text.at(k + 1).isLowSurrogate()
                ? 2
                : 1;
        const qsizetype size = QStringView(text).mid(k, width).toUtf8().size();
        if (bytes + size > maxBytes) {
            break;
        }
        bytes += size;
        k += width;
    }
    return text.left(k);
}

void ResetSettings() {
    Settings = SettingsRecord{};
}

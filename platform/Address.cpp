#include "Address.h"

#include <QHostAddress>
#include <QUrl>

namespace platform {

namespace {

std::optional<int> PortOf(const QString& text) {
    bool ok = false;
    const int port = text.toInt(&ok);
    // Digits only: no sign, no blanks, no hexadecimal.
    const bool digits = !text.isEmpty() && text.size() <= 5 &&
                        std::all_of(text.begin(), text.end(), [](QChar c) { return c.isDigit(); });
    if (!ok || !digits || port < 1 || port > 65535) {
        return std::nullopt;
    }
    return port;
}

} // namespace

bool PlainHost(const QString& host) {
    // Names and IPv4 addresses: letters, digits, dots, hyphens and underscores.
    return !host.isEmpty() && host.size() <= 253 &&
           std::all_of(host.begin(), host.end(), [](QChar c) {
               return (c.isLetterOrNumber() && c.unicode() < 128) || c == QLatin1Char('.') ||
                      c == QLatin1Char('-') || c == QLatin1Char('_');
           });
}

std::optional<Address> ParseAddress(const QString& raw, int defaultPort) {
    const QString text = raw.trimmed();
    if (text.startsWith(QLatin1Char('['))) {
        const qsizetype close = text.indexOf(QLatin1Char(']'));
        if (close < 0) {
            return std::nullopt;
        }
        const QString host = text.mid(1, close - 1);
        const QString rest = text.mid(close + 1);
        if (QHostAddress(host).protocol() != QAbstractSocket::IPv6Protocol) {
            return std::nullopt;
        }
        if (rest.isEmpty()) {
            return Address{host, defaultPort};
        }
        if (!rest.startsWith(QLatin1Char(':'))) {
            return std::nullopt;
        }
        const auto port = PortOf(rest.mid(1));
        return port ? std::optional<Address>(Address{host, *port}) : std::nullopt;
    }
    const qsizetype colons = text.count(QLatin1Char(':'));
    if (colons >= 2) {
        // A bare IPv6 address; its last group is never read as a port.
        if (QHostAddress(text).protocol() != QAbstractSocket::IPv6Protocol) {
            return std::nullopt;
        }
        return Address{text, defaultPort};
    }
    if (colons == 1) {
        const qsizetype at = text.indexOf(QLatin1Char(':'));
        const QString host = text.left(at);
        const auto port = PortOf(text.mid(at + 1));
        if (!PlainHost(host) || !port) {
            return std::nullopt;
        }
        return Address{host, *port};
    }
    if (text.isEmpty()) {
        return std::nullopt;
    }
    // A plain host is taken as typed; the resolver says what it makes of it.
    return Address{text, defaultPort};
}

bool LooksLikeHost(const QString& host) {
    return PlainHost(host) || !QHostAddress(host).isNull();
}

QString LinkTarget(const QString& link) {
    static const QString scheme = QStringLiteral("palaver://");
    if (!link.startsWith(scheme, Qt::CaseInsensitive)) {
        return {};
    }
    QString rest = link.mid(scheme.size());
    if (rest.endsWith(QLatin1Char('/'))) {
        rest.chop(1);
    }
    rest = QUrl::fromPercentEncoding(rest.toUtf8());
    if (rest.contains(QLatin1Char('/')) || rest.contains(QLatin1Char('?')) ||
        rest.contains(QLatin1Char('#')) || rest.contains(QLatin1Char('@'))) {
        return {};
    }
    return rest;
}

std::optional<Address> ParseLink(const QString& link, int defaultPort) {
    const QString target = LinkTarget(link);
    return target.isEmpty() ? std::nullopt : ParseAddress(target, defaultPort);
}

} // namespace platform

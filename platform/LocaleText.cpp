#include "LocaleText.h"

#include <QLocale>

namespace platform {
namespace {

QString Two(int v) {
    return QStringLiteral("%1").arg(v, 2, 10, QLatin1Char('0'));
}

} // namespace

QString FirstSeparator(const QString& format, const QString& fallback) {
    for (const QChar c : format) {
        if (!c.isLetter() && c != QLatin1Char('\'') && !c.isSpace()) {
            return QString(c);
        }
    }
    return fallback;
}

QString DateSeparator() {
    return FirstSeparator(QLocale::system().dateFormat(QLocale::ShortFormat), QStringLiteral("/"));
}

QString TimeSeparator() {
    return FirstSeparator(QLocale::system().timeFormat(QLocale::ShortFormat), QStringLiteral(":"));
}

QString AmText() {
    const QString t = QLocale::system().amText();
    return t.isEmpty() ? QStringLiteral("AM") : t;
}

QString PmText() {
    const QString t = QLocale::system().pmText();
    return t.isEmpty() ? QStringLiteral("PM") : t;
}

QString TimeFormatWithoutZone(const QString& format) {
    // Drops the zone tokens ("t") outside quoted text, with the blank before them.
    QString out;
    bool quoted = false;
    for (const QChar c : format) {
        if (c == QLatin1Char('\'')) {
            quoted = !quoted;
        } else if (!quoted && c == QLatin1Char('t')) {
            while (out.endsWith(QLatin1Char(' '))) {
                out.chop(1);
            }
            continue;
        }
        out += c;
    }
    return out.trimmed();
}

QString GeneralDate(const QDateTime& when) {
    const QLocale loc = QLocale::system();
    return loc.toString(when.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
           loc.toString(when.time(), TimeFormatWithoutZone(loc.timeFormat(QLocale::LongFormat)));
}

QString FormatStamp(const QString& pattern, const QDateTime& when) {
    const bool twelveHour = pattern.contains(QLatin1String("ampm"), Qt::CaseInsensitive);
    const QDate d = when.date();
    const QTime t = when.time();
    const QString dateSep = DateSeparator();
    const QString timeSep = TimeSeparator();
    QString out;
    qsizetype k = 0;
    auto at = [&](QLatin1String token) {
        return pattern.mid(k, token.size()).compare(token, Qt::CaseInsensitive) == 0;
    };
    while (k < pattern.size()) {
        if (at(QLatin1String("ampm"))) {
            out += t.hour() < 12 ? AmText() : PmText();
            k += 4;
        } else if (at(QLatin1String("yyyy"))) {
            out += QStringLiteral("%1").arg(d.year(), 4, 10, QLatin1Char('0'));
            k += 4;
        } else if (at(QLatin1String("mm"))) {
            out += Two(d.month());
            k += 2;
        } else if (at(QLatin1String("dd"))) {
            out += Two(d.day());
            k += 2;
        } else if (at(QLatin1String("hh"))) {
            int h = t.hour();
            if (twelveHour) {
                h %= 12;
                if (h == 0) {
                    h = 12;
                }
            }
            out += Two(h);
            k += 2;
        } else if (at(QLatin1String("nn"))) {
            out += Two(t.minute());
            k += 2;
        } else if (at(QLatin1String("ss"))) {
            out += Two(t.second());
            k += 2;
        } else if (pattern.at(k) == QLatin1Char('/')) {
            out += dateSep;
            ++k;
        } else if (pattern.at(k) == QLatin1Char(':')) {
            out += timeSep;
            ++k;
        } else {
            out += pattern.at(k);
            ++k;
        }
    }
    return out;
}

} // namespace platform

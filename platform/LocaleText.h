// The locale's date and time texts.
#pragma once

#include <QDateTime>
#include <QString>

namespace platform {

// The first character of a locale format that is neither a letter, a quote nor a blank:
// the separator the locale writes between the date's or the time's parts.
QString FirstSeparator(const QString& format, const QString& fallback);
QString DateSeparator();
QString TimeSeparator();
QString AmText();
QString PmText();

// The general date format: short date, a blank, long time without a time zone.
QString GeneralDate(const QDateTime& when);
// A time format with its time-zone part taken out.
QString TimeFormatWithoutZone(const QString& format);

// Formats `when` with a pattern of the tokens mm dd yyyy hh nn ss ampm; "/" and ":" stand
// for the locale's separators, anything else for itself. With ampm the hour is 12-hour.
QString FormatStamp(const QString& pattern, const QDateTime& when);

} // namespace platform

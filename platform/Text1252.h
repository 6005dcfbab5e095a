// Conversion between the program's text and the single-byte code page used on the wire and
// in files (Windows-1252). A character the code page cannot hold becomes "?".
#pragma once

#include <QByteArray>
#include <QString>

namespace platform {

QByteArray ToAnsi(const QString& text);
QString FromAnsi(const QByteArray& bytes);
// How many characters of `text` the code page cannot hold (each becomes one "?").
int Unmappable(const QString& text);

} // namespace platform

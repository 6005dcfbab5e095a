// Files that are the user's alone: written whole or not at all, readable by the user only,
// never through a symbolic link and never into a file that belongs to someone else. Another
// account that can write the folder must not be able to point our writes at our own secrets.
#pragma once

#include <QByteArray>
#include <QString>

namespace platform {

// Why `path` may not be written by us, or empty when it may: it is a symbolic link, or it
// belongs to another user, or it is not a regular file.
QString UnsafeToWrite(const QString& path);

// Writes `data` beside `path` and renames it over it, mode 0600 from its first byte. Without
// `replace` an existing file is left alone (false). Where the folder cannot take a new file
// but the file is ours, the file is rewritten in place. False with `error` set otherwise.
bool WritePrivateFile(const QString& path, const QByteArray& data, bool replace = true,
                      QString* error = nullptr);

} // namespace platform

// What a file is called where it lands: a name a peer offered made safe to keep in the
// download folder, and a place there that holds nothing yet.
#pragma once

#include <QString>

namespace files {

// At most this many bytes of UTF-8 in a name that lands.
inline constexpr int kMaxNameBytes = 200;

// The offered name as a name of one file in one folder: the last path component, without
// control, direction or reserved characters, leading dots or trailing dots and spaces; a
// device name is made an ordinary one; never empty, "." or "..". A long name is cut at a
// character boundary and keeps its extension.
QString CleanName(const QString& offered);

// The first of `name`, `name (1)`, `name (2)`, ... that `folder` holds neither as a file nor
// as an unfinished `.part` (other than `ownPart`); `name` must be clean.
QString FreeName(const QString& folder, const QString& name, const QString& ownPart = {});

} // namespace files

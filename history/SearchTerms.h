// How what the user types into the search box becomes words, shared by the query builder and
// the search itself.
#pragma once

#include <QString>
#include <QStringList>

namespace history {

// The words the user typed, at most `maxTerms` of them, never half a character.
QStringList Terms(const QString& typed, int maxChars, int maxTerms);
// A word the word index cannot find (scripts without spaces, symbols): looked up as text.
bool FoundAsText(const QString& term);

} // namespace history

// What a search asks the word index: the user's words made into a query that is always valid
// FTS5 and never read as query syntax.
#include "SearchTerms.h"
#include "HistoryStore.h"

#include <QRegularExpression>

#include <algorithm>

namespace history {

// The words the user typed, at most kMaxTerms of them, never half a character.
QStringList Terms(const QString& typed, int maxChars, int maxTerms) {
    qsizetype cut = std::min<qsizetype>(typed.size(), maxChars);
    if (cut > 0 && cut < typed.size() && typed.at(cut - 1).isHighSurrogate()) {
        --cut;
    }
    // Control characters are never part of a word, and a zero would end the query early.
    QString text = typed.left(cut);
    for (QChar& c : text) {
        if (c.category() == QChar::Other_Control || c.isNull()) {
            c = QLatin1Char(' ');
        }
    }
    return text.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts)
        .mid(0, maxTerms);
}

// A term the word index cannot find: one with no letter or digit (an emoji, "*"), or
// one in a script written without spaces, whose words the index does not separate.
bool FoundAsText(const QString& term) {
    bool wordChar = false;
    for (const uint c : term.toUcs4()) {
        const QChar::Script script = QChar::script(c);
        if (script == QChar::Script_Han || script == QChar::Script_Hiragana ||
            script == QChar::Script_Katakana || script == QChar::Script_Hangul ||
            script == QChar::Script_Thai) {
            return true;
        }
        wordChar = wordChar || QChar::isLetterOrNumber(c);
    }
    return !wordChar;
}

} // namespace history

namespace {

// Greek is written with one accent a word, which the index keeps as it is: a Greek term is
// looked up without accents and with the accent on each of its vowels in turn. Anything else
// is looked up as typed (composed, so that a decomposed letter finds its composed form).
QStringList Forms(const QString& term) {
    static const QString plain = QStringLiteral("αεηιουωΑΕΗΙΟΥΩ");
    static const QString accented = QStringLiteral("άέήίόύώΆΈΉΊΌΎΏ");
    const QString composed = term.normalized(QString::NormalizationForm_C);
    const bool greek = std::any_of(composed.begin(), composed.end(),
                                   [](QChar c) { return c.script() == QChar::Script_Greek; });
    if (!greek) {
        return {composed};
    }
    QString bare = term.normalized(QString::NormalizationForm_D);
    bare.remove(QRegularExpression(QStringLiteral("\\p{Mn}")));
    bare = bare.normalized(QString::NormalizationForm_C);
    QStringList forms{bare};
    for (qsizetype i = 0; i < bare.size() && forms.size() < HistoryStore::kMaxForms; ++i) {
        if (const qsizetype v = plain.indexOf(bare.at(i)); v >= 0) {
            QString form = bare;
            form[i] = accented.at(v);
            forms << form;
        }
    }
    return forms;
}

} // namespace

QString HistoryStore::MatchQuery(const QString& typed) {
    using history::FoundAsText;
    using history::Terms;
    QStringList terms;
    for (const QString& term : Terms(typed, kMaxQueryChars, kMaxTerms)) {
        if (!FoundAsText(term)) {
            terms << term;
        }
    }
    QStringList quoted;
    for (qsizetype t = 0; t < terms.size(); ++t) {
        QStringList forms;
        for (QString form : Forms(terms[t])) {
            form.replace(QLatin1Char('"'), QStringLiteral("\"\""));
            // The last term is found as it is typed: a prefix.
            forms << QLatin1Char('"') + form + QLatin1Char('"') +
                         (t + 1 == terms.size() ? QStringLiteral("*") : QString());
        }
        quoted << (forms.size() == 1
                       ? forms.first()
                       : QLatin1Char('(') + forms.join(QStringLiteral(" OR ")) + QLatin1Char(')'));
    }
    // Only phrases may stand side by side; a group of forms needs the AND spelled out.
    return quoted.join(QStringLiteral(" AND "));
}

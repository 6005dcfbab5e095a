#include "FileNames.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

namespace files {

namespace {

bool Unwanted(char32_t c) {
    // Controls, and the format characters that reorder or hide text (direction marks,
    // embeddings, isolates, zero-width joiners): a name must read as it is stored.
    const auto category = QChar::category(c);
    return category == QChar::Other_Control || category == QChar::Other_Format ||
           category == QChar::Other_Surrogate || category == QChar::Other_NotAssigned ||
           category == QChar::Separator_Line || category == QChar::Separator_Paragraph ||
           QStringView(u"<>:\"|?*").contains(QChar(static_cast<char16_t>(c <= 0xFFFF ? c : 0)));
}

// Names a Windows machine would take for a device, whatever follows the first dot.
bool DeviceName(const QString& name) {
    static const QStringList kDevices = {QStringLiteral("CON"), QStringLiteral("PRN"),
                                         QStringLiteral("AUX"), QStringLiteral("NUL")};
    const QString stem = name.section(QLatin1Char('.'), 0, 0).trimmed().toUpper();
    if (kDevices.contains(stem)) {
        return true;
    }
    return stem.size() == 4 &&
           (stem.startsWith(QLatin1String("COM")) || stem.startsWith(QLatin1String("LPT"))) &&
           stem.at(3) >= QLatin1Char('1') && stem.at(3) <= QLatin1Char('9');
}

// The longest start of `text` that takes at most `bytes` bytes of UTF-8, whole characters.
QString CutTo(const QString& text, qsizetype bytes) {
    QString out;
    qsizetype used = 0;
    for (const char32_t c : text.toUcs4()) {
        const qsizetype size = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
        if (used + size > bytes) {
            break;
        }
        used += size;
        out += QString::fromUcs4(&c, 1);
    }
    return out;
}

} // namespace

QString CleanName(const QString& offered) {
    // Both separators count: a name from any system names one file.
    QString name = offered.section(QLatin1Char('/'), -1).section(QLatin1Char('\\'), -1);
    QString kept;
    for (const char32_t c : name.toUcs4()) {
        if (!Unwanted(c)) {
            kept += QString::fromUcs4(&c, 1);
        }
    }
    // Dots and spaces together: ". .x" must not become ".x" once its space is trimmed.
    name = kept;
    while (!name.isEmpty() && (name.front() == QLatin1Char('.') || name.front().isSpace())) {
        name.remove(0, 1);
    }
    while (!name.isEmpty() && (name.back() == QLatin1Char('.') || name.back().isSpace())) {
        name.chop(1);
    }
    if (name.isEmpty()) {
        name = QStringLiteral("file");
    }
    if (DeviceName(name)) {
        name.prepend(QLatin1Char('_'));
    }
    if (name.toUtf8().size() > kMaxNameBytes) {
        const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
        const QString extension = dot > 0 ? CutTo(name.mid(dot), 32) : QString();
        const QString stem = dot > 0 ? name.left(dot) : name;
        name = CutTo(stem, kMaxNameBytes - extension.toUtf8().size()).trimmed() + extension;
    }
    return name;
}

QString FreeName(const QString& folder, const QString& name, const QString& ownPart) {
    const QDir dir(folder);
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const QString stem = dot > 0 ? name.left(dot) : name;
    const QString extension = dot > 0 ? name.mid(dot) : QString();
    for (int n = 0;; ++n) {
        const QString candidate =
            n == 0 ? name : QStringLiteral("%1 (%2)%3").arg(stem).arg(n).arg(extension);
        const QString part = dir.filePath(candidate + QStringLiteral(".part"));
        if (!QFileInfo::exists(dir.filePath(candidate)) &&
            (part == ownPart || !QFileInfo::exists(part))) {
            return candidate;
        }
    }
}

} // namespace files

// Whatever is typed into the History window's search box: the query built from it is always
// valid FTS5, runs without an SQLite error, and stays bounded.
#include "FuzzMain.h"

#include "history/HistoryStore.h"

#include <QDir>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <memory>

QList<QByteArray> FuzzSeeds() {
    return {QByteArray("address"),
            QByteArray("\"hello\" NEAR(a b) AND c* OR NOT d"),
            QByteArray("text:x ^y -z +w (u) {v} [t]"),
            QByteArray("caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac"),
            QByteArray("\""),
            QByteArray("\xce\xba\xce\xb1\xce\xbb\xce\xb7\xce\xbc\xce\xb5\xcf\x81\xce\xb1 x")};
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static QTemporaryDir dir;
    static std::unique_ptr<HistoryStore> store = [] {
        auto s = std::make_unique<HistoryStore>();
        QObject::connect(s.get(), &HistoryStore::Failed,
                         [](const QString& why) { std::fprintf(stderr, "%s\n", qPrintable(why)); });
        if (!s->Open(QDir(dir.path()).filePath(QStringLiteral("fuzz.sqlite")))) {
            std::abort();
        }
        HistoryEvent e;
        e.call = 1;
        e.text = QStringLiteral("my address is NEAR the caf\u00e9 \"quoted\" x*y");
        s->Record(e);
        s->Flush();
        return s;
    }();
    const QString typed =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QString query = HistoryStore::MatchQuery(typed);
    if (query.size() > HistoryStore::kMaxForms *
                           (3 * HistoryStore::kMaxQueryChars + 8 * HistoryStore::kMaxTerms)) {
        std::abort();
    }
    store->Search(typed);
    if (!store->SearchWorked()) {
        std::abort();
    }
    return 0;
}

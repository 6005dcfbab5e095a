#include "HistoryStore.h"
#include "SearchTerms.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QRegularExpression>
#include <QSettings>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QVariant>

#include <functional>
#include <limits>

namespace {

QSettings Options() {
    return QSettings(QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation) +
                         QStringLiteral("/history.ini"),
                     QSettings::IniFormat);
}

qint64 Ms(const QDate& date) {
    return date.startOfDay().toMSecsSinceEpoch();
}

const char* const kSchemaV1[] = {
    "CREATE TABLE calls(id INTEGER PRIMARY KEY, peer TEXT NOT NULL, address TEXT NOT NULL, "
    "port INTEGER NOT NULL, window INTEGER NOT NULL, conference INTEGER NOT NULL, "
    "started INTEGER NOT NULL, ended INTEGER)",
    "CREATE TABLE lines(id INTEGER PRIMARY KEY, call INTEGER NOT NULL REFERENCES calls(id) "
    "ON DELETE CASCADE, at INTEGER NOT NULL, outgoing INTEGER NOT NULL, conference INTEGER "
    "NOT NULL, ack INTEGER, text TEXT NOT NULL)",
    "PRAGMA user_version = 1",
};

// Version 2: full-text search over the lines, kept up to date by triggers.
const char* const kSchemaV2[] = {
    "CREATE INDEX lines_call ON lines(call)",
    "CREATE INDEX calls_peer ON calls(peer, started)",
    "CREATE VIRTUAL TABLE lines_fts USING fts5(text, content='lines', content_rowid='id', "
    "tokenize='unicode61 remove_diacritics 2')",
    "CREATE TRIGGER lines_ai AFTER INSERT ON lines BEGIN INSERT INTO lines_fts(rowid, text) "
    "VALUES (new.id, new.text); END",
    "CREATE TRIGGER lines_ad AFTER DELETE ON lines BEGIN INSERT INTO lines_fts(lines_fts, "
    "rowid, text) VALUES ('delete', old.id, old.text); END",
    "CREATE TRIGGER lines_au AFTER UPDATE OF text ON lines BEGIN INSERT INTO "
    "lines_fts(lines_fts, rowid, text) VALUES ('delete', old.id, old.text); INSERT INTO "
    "lines_fts(rowid, text) VALUES (new.id, new.text); END",
    "INSERT INTO lines_fts(lines_fts) VALUES ('rebuild')",
    "PRAGMA user_version = 2",
};

// Version 3: the search index catches up with the lines in batches rather than in every
// write, so that the write that must precede an acknowledgement stays small. fts_indexed
// holds the last line the index has.
const char* const kSchemaV3[] = {
    "DROP TRIGGER lines_ai",
    "CREATE TABLE fts_indexed(upto INTEGER NOT NULL)",
    "INSERT INTO fts_indexed SELECT coalesce(max(id), 0) FROM lines",
    "PRAGMA user_version = 3",
};

// Version 4: whether each call was secure, and with which key.
const char* const kSchemaV4[] = {
    "ALTER TABLE calls ADD COLUMN secure INTEGER NOT NULL DEFAULT 0",
    "ALTER TABLE calls ADD COLUMN peer_key TEXT",
    "PRAGMA user_version = 4",
};

// Version 5: the lines of one read from one peer share a row, `n` of them, one per line of
// its text; a burst costs a few rows instead of one for every line.
// The search index catches up only when a search needs it, so a line it never had is
// forgotten without it.
const char* const kSchemaV5[] = {
    "ALTER TABLE lines ADD COLUMN n INTEGER NOT NULL DEFAULT 1",
    "DROP TRIGGER lines_ad",
    "CREATE TRIGGER lines_ad AFTER DELETE ON lines WHEN old.id <= (SELECT upto FROM "
    "fts_indexed) BEGIN INSERT INTO lines_fts(lines_fts, rowid, text) VALUES ('delete', "
    "old.id, old.text); END",
    "PRAGMA user_version = 5",
};

// Version 6: the lines that wait for a peer, and the numbers each pair of copies gives its
// lines, so that a restart loses none and shows none twice.
const char* const kSchemaV6[] = {
    "CREATE TABLE waiting(peer TEXT PRIMARY KEY, last_out INTEGER NOT NULL, last_in INTEGER "
    "NOT NULL, lines BLOB NOT NULL)",
    "PRAGMA user_version = 6",
};

// A shared row never grows past this, so that showing or searching it stays cheap.
constexpr qsizetype kMaxShared = 1000;

// Lines that can share a row with `first`: the peer's, of the same call, shown at the same
// moment, each one line of text.
bool Shares(const HistoryEvent& first, const HistoryEvent& e) {
    return e.kind == HistoryEvent::Kind::Line && !e.outgoing && e.call == first.call &&
           e.at == first.at && e.conference == first.conference &&
           !e.text.contains(QLatin1Char('\n'));
}

} // namespace

HistoryStore::HistoryStore(QObject* parent)
    : QObject(parent),
      connection_(QStringLiteral("history-%1").arg(reinterpret_cast<quintptr>(this))) {
    keep_ = Options().value(QStringLiteral("keep"), true).toBool();
    flush_.setSingleShot(true);
    // Gathered for a moment: the acknowledgements of a read leave before the disk is touched,
    // and a burst costs one transaction, not one per read.
    flush_.setInterval(kGatherMs);
    connect(&flush_, &QTimer::timeout, this, &HistoryStore::Flush);
    retry_.setSingleShot(true);
    retry_.setInterval(1000);
    connect(&retry_, &QTimer::timeout, this, &HistoryStore::Flush);
}

HistoryStore::~HistoryStore() {
    Flush();
    statements_.clear();
    if (QSqlDatabase::contains(connection_)) {
        QSqlDatabase::database(connection_, false).close();
    }
    QSqlDatabase::removeDatabase(connection_);
}

QString HistoryStore::DefaultPath() {
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) +
           QStringLiteral("/history.sqlite");
}

void HistoryStore::SetKeep(bool keep) {
    keep_ = keep;
    QSettings options = Options();
    options.setValue(QStringLiteral("keep"), keep);
}

bool HistoryStore::Fail(const QString& why) {
    open_ = false;
    pending_.clear();
    if (!failed_) {
        failed_ = true;
        emit Failed(why);
    }
    return false;
}

bool HistoryStore::Open(const QString& path) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    {
        // Created private before SQLite sees it; its journal files take the same mode.
        QFile file(path);
        if (!file.exists()) {
            if (!file.open(QIODevice::WriteOnly)) {
                return Fail(QStringLiteral("cannot create ") + path + QStringLiteral(": ") +
                            file.errorString());
            }
            file.close();
        }
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }
    // Two copies starting at once set the file up one after the other.
    QLockFile setUp(path + QStringLiteral(".setup-lock"));
    if (!setUp.tryLock(5000)) {
        return Fail(QStringLiteral("another copy of Palaver keeps the history file busy"));
    }
    QSqlDatabase db = QSqlDatabase::contains(connection_)
                          ? QSqlDatabase::database(connection_, false)
                          : QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection_);
    db.setDatabaseName(path);
    // Another copy of Palaver may be setting the file up: wait for it at start-up.
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=3000"));
    if (!db.open()) {
        return Fail(db.lastError().text());
    }
    QSqlQuery q(db);
    for (const char* pragma : {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=NORMAL",
                               "PRAGMA foreign_keys=ON", "PRAGMA secure_delete=ON"}) {
        if (!q.exec(QString::fromLatin1(pragma))) {
            return Fail(q.lastError().text());
        }
    }
    open_ = true;
    if (!Migrate()) {
        return false;
    }
    // While chatting, another copy's write is waited for only briefly; a busy file is
    // written on the next try.
    return q.exec(QStringLiteral("PRAGMA busy_timeout=200")) || Fail(q.lastError().text());
}

bool HistoryStore::Migrate() {
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    QSqlQuery q(db);
    // One copy at a time sets the file up; the version is read inside that transaction.
    if (!q.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
        return Fail(QStringLiteral("cannot set up the history file: ") + q.lastError().text());
    }
    auto fail = [&](const QString& why) {
        q.exec(QStringLiteral("ROLLBACK"));
        return Fail(why);
    };
    if (!q.exec(QStringLiteral("PRAGMA user_version")) || !q.next()) {
        return fail(QStringLiteral("not a history file: ") + q.lastError().text());
    }
    const int version = q.value(0).toInt();
    if (version > kSchemaVersion) {
        return fail(
            QStringLiteral("the history file is from a newer Palaver (version %1)").arg(version));
    }
    auto run = [&](const auto& statements) {
        for (const char* sql : statements) {
            if (!q.exec(QString::fromLatin1(sql))) {
                return false;
            }
        }
        return true;
    };
    if ((version < 1 && !run(kSchemaV1)) || (version < 2 && !run(kSchemaV2)) ||
        (version < 3 && !run(kSchemaV3)) || (version < 4 && !run(kSchemaV4)) ||
        (version < 5 && !run(kSchemaV5)) || (version < 6 && !run(kSchemaV6))) {
        return fail(QStringLiteral("cannot set up the history file: ") + q.lastError().text());
    }
    if (!q.exec(QStringLiteral("COMMIT"))) {
        return fail(q.lastError().text());
    }
    return true;
}

void HistoryStore::Record(const HistoryEvent& event) {
    if (!open_ || !keep_) {
        return;
    }
    pending_.append(event);
    if (pending_.size() > 10000) {
        pending_.removeFirst(); // a disk that never answers must not eat the memory
    }
    if (!flush_.isActive()) {
        flush_.start();
    }
}

bool HistoryStore::Flush() {
    if (!open_ || pending_.isEmpty()) {
        return open_;
    }
    const QHash<quint64, qint64> rowsBefore = rows_;
    const auto unansweredBefore = unanswered_;
    const auto failed = [&](const QSqlError& error) {
        QSqlQuery(QSqlDatabase::database(connection_, false)).exec(QStringLiteral("ROLLBACK"));
        rows_ = rowsBefore; // calls written in the rolled-back transaction are not there
        unanswered_ = unansweredBefore;
        // Another copy holds the file: what waits is written on a later try, nothing lost.
        const QString code = error.nativeErrorCode();
        if (code == QLatin1String("5") || code == QLatin1String("6")) {
            if (!retry_.isActive()) {
                retry_.start();
            }
            return true;
        }
        return Fail(error.text().trimmed().isEmpty()
                        ? QStringLiteral("cannot write the history file")
                        : error.text());
    };
    // Prepared once, like every statement here: a read's commit is most of what a line costs.
    QSqlQuery& begin = Statement("BEGIN IMMEDIATE");
    if (!begin.exec()) {
        return failed(begin.lastError());
    }
    for (qsizetype k = 0; k < pending_.size();) {
        const HistoryEvent& e = pending_.at(k);
        qsizetype end = k + 1;
        if (Shares(e, e)) {
            while (end < pending_.size() && end - k < kMaxShared && Shares(e, pending_.at(end))) {
                ++end;
            }
        }
        if (!(end - k > 1 ? WriteShared(k, end) : WriteOne(e))) {
            return failed(writeError_);
        }
        k = end;
    }
    QSqlQuery& commit = Statement("COMMIT");
    if (!commit.exec()) {
        return failed(commit.lastError());
    }
    pending_.clear();
    return true;
}

bool HistoryStore::Index() {
    if (!open_) {
        return false;
    }
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    const bool done =
        q.exec(QStringLiteral("BEGIN IMMEDIATE")) &&
        q.exec(QStringLiteral("INSERT INTO lines_fts(rowid, text) SELECT id, text FROM lines "
                              "WHERE id > (SELECT upto FROM fts_indexed)")) &&
        q.exec(QStringLiteral("UPDATE fts_indexed SET upto = (SELECT coalesce(max(id), 0) FROM "
                              "lines)")) &&
        q.exec(QStringLiteral("COMMIT"));
    if (!done) {
        q.exec(QStringLiteral("ROLLBACK")); // another copy holds the file: the next search
    }
    return done;
}

QSqlQuery& HistoryStore::Statement(const char* sql) {
    // Each statement is prepared once per file and bound anew for every row.
    auto it = statements_.find(sql);
    if (it == statements_.end()) {
        it = statements_.emplace(sql, QSqlQuery(QSqlDatabase::database(connection_, false))).first;
        it->second.prepare(QString::fromLatin1(sql));
    }
    return it->second;
}

bool HistoryStore::Exec(QSqlQuery& q, std::initializer_list<QVariant> values) {
    int k = 0;
    for (const QVariant& v : values) {
        // An empty text is stored as one, never as NULL (a conference has no address).
        const bool nullText = v.typeId() == QMetaType::QString && v.toString().isNull();
        q.bindValue(k++, nullText ? QVariant(QStringLiteral("")) : v);
    }
    if (q.exec()) {
        return true;
    }
    writeError_ = q.lastError();
    return false;
}

qint64 HistoryStore::CallRow(const HistoryEvent& e) {
    if (const auto it = rows_.constFind(e.call); it != rows_.constEnd()) {
        return *it;
    }
    QSqlQuery& q = Statement("INSERT INTO calls(peer, address, port, window, conference, "
                             "started, secure, peer_key) VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
    if (!Exec(q, {e.peer, e.address, e.port, e.window, e.conference ? 1 : 0, e.at, e.secure ? 1 : 0,
                  e.peerKey.isEmpty() ? QVariant() : QVariant(e.peerKey)})) {
        return -1;
    }
    const qint64 row = q.lastInsertId().toLongLong();
    rows_.insert(e.call, row);
    return row;
}

bool HistoryStore::WriteShared(qsizetype from, qsizetype to) {
    const HistoryEvent& e = pending_.at(from);
    const qint64 call = CallRow(e);
    QString text;
    for (qsizetype k = from; k < to; ++k) {
        if (k > from) {
            text += QLatin1Char('\n');
        }
        text += pending_.at(k).text;
    }
    return call >= 0 && Exec(Statement("INSERT INTO lines(call, at, outgoing, conference, text, n) "
                                       "VALUES (?, ?, 0, ?, ?, ?)"),
                             {call, e.at, e.conference ? 1 : 0, text, to - from});
}

bool HistoryStore::WriteOne(const HistoryEvent& e) {
    switch (e.kind) {
    case HistoryEvent::Kind::CallStarted:
        rows_.remove(e.call);
        return CallRow(e) >= 0;
    case HistoryEvent::Kind::Line: {
        const qint64 call = CallRow(e);
        QSqlQuery& q = Statement("INSERT INTO lines(call, at, outgoing, conference, text) "
                                 "VALUES (?, ?, ?, ?, ?)");
        if (call < 0 || !Exec(q, {call, e.at, e.outgoing ? 1 : 0, e.conference ? 1 : 0, e.text})) {
            return false;
        }
        if (e.outgoing && e.crc != 0) {
            unanswered_[{e.call, e.crc}].append(q.lastInsertId().toLongLong());
        }
        return true;
    }
    case HistoryEvent::Kind::Ack: {
        const auto it = rows_.constFind(e.call);
        if (it == rows_.constEnd()) {
            return true; // nothing of ours was kept for that call
        }
        if (e.crc != 0) {
            // The line the acknowledgement names, however many are in flight.
            const auto line = unanswered_.find({e.call, e.crc});
            if (line == unanswered_.end()) {
                return true;
            }
            const qint64 id = line->takeFirst();
            if (line->isEmpty()) {
                unanswered_.erase(line);
            }
            return Exec(Statement("UPDATE lines SET ack = ? WHERE id = ?"), {e.ackOk ? 1 : 0, id});
        }
        return Exec(Statement("UPDATE lines SET ack = ? WHERE id = (SELECT max(id) FROM lines "
                              "WHERE call = ? AND outgoing = 1 AND ack IS NULL)"),
                    {e.ackOk ? 1 : 0, *it});
    }
    case HistoryEvent::Kind::CallEnded: {
        const auto it = rows_.constFind(e.call);
        if (it == rows_.constEnd()) {
            return true;
        }
        const qint64 row = *it;
        rows_.remove(e.call);
        unanswered_.removeIf([&e](const auto& entry) { return entry.key().first == e.call; });
        return Exec(Statement("UPDATE calls SET ended = ? WHERE id = ?"), {e.at, row});
    }
    }
    return true;
}

HistoryStore::Waiting HistoryStore::WaitingFor(const QString& peer) const {
    Waiting waiting;
    if (!open_ || !keep_) {
        return waiting;
    }
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.prepare(QStringLiteral("SELECT last_out, last_in, lines FROM waiting WHERE peer = ?"));
    q.addBindValue(peer);
    if (q.exec() && q.next()) {
        waiting.lastOut = q.value(0).toLongLong();
        waiting.lastIn = q.value(1).toLongLong();
        waiting.lines = q.value(2).toByteArray();
    }
    return waiting;
}

bool HistoryStore::SetWaiting(const QString& peer, const Waiting& waiting) {
    if (!open_ || !keep_) {
        return false;
    }
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.prepare(QStringLiteral("INSERT INTO waiting(peer, last_out, last_in, lines) VALUES (?, ?, "
                             "?, ?) ON CONFLICT(peer) DO UPDATE SET last_out = excluded.last_out, "
                             "last_in = excluded.last_in, lines = excluded.lines"));
    q.addBindValue(peer);
    q.addBindValue(waiting.lastOut);
    q.addBindValue(waiting.lastIn);
    q.addBindValue(waiting.lines);
    return q.exec();
}

bool HistoryStore::SecureBefore(const QString& address) const {
    if (!open_) {
        return false;
    }
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.prepare(QStringLiteral("SELECT 1 FROM calls WHERE address = ? AND secure = 1 LIMIT 1"));
    q.addBindValue(address);
    return q.exec() && q.next();
}

QList<HistoryStore::Conversation> HistoryStore::Conversations(const QDate& from,
                                                              const QDate& to) const {
    QList<Conversation> out;
    if (!open_) {
        return out;
    }
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.prepare(QStringLiteral(
        "SELECT c.id, c.peer, c.address, c.started, c.ended, c.conference, "
        "(SELECT coalesce(sum(l.n), 0) FROM lines l WHERE l.call = c.id), c.secure, c.peer_key "
        "FROM calls c "
        "WHERE c.started >= ? AND c.started < ? AND EXISTS (SELECT 1 FROM lines l WHERE "
        "l.call = c.id) ORDER BY c.started DESC, c.id DESC"));
    q.addBindValue(from.isValid() ? Ms(from) : std::numeric_limits<qint64>::min());
    q.addBindValue(to.isValid() ? Ms(to.addDays(1)) : std::numeric_limits<qint64>::max());
    if (!q.exec()) {
        return out;
    }
    while (q.next()) {
        Conversation c;
        c.id = q.value(0).toLongLong();
        c.peer = q.value(1).toString();
        c.address = q.value(2).toString();
        c.started = QDateTime::fromMSecsSinceEpoch(q.value(3).toLongLong());
        if (!q.value(4).isNull()) {
            c.ended = QDateTime::fromMSecsSinceEpoch(q.value(4).toLongLong());
        }
        c.conference = q.value(5).toInt() != 0;
        c.lines = q.value(6).toInt();
        c.secure = q.value(7).toInt() != 0;
        c.peerKey = q.value(8).toString();
        out.append(c);
    }
    return out;
}

namespace {

// The lines of each row the query brings (columns: call, peer, at, outgoing, conference, ack,
// text, n), oldest first or, for a search, newest first; of a shared row only those `keep`
// accepts, until there are `limit`.
QList<HistoryStore::Line>
ReadLines(QSqlQuery& q, bool newestFirst = false, qsizetype limit = -1,
          const std::function<QList<bool>(const QStringList&)>& keep = {}) {
    QList<HistoryStore::Line> out;
    while ((limit < 0 || out.size() < limit) && q.next()) {
        HistoryStore::Line l;
        l.conversation = q.value(0).toLongLong();
        l.peer = q.value(1).toString();
        l.at = QDateTime::fromMSecsSinceEpoch(q.value(2).toLongLong());
        l.outgoing = q.value(3).toInt() != 0;
        l.conference = q.value(4).toInt() != 0;
        l.ack = q.value(5).isNull() ? -1 : q.value(5).toInt();
        if (q.value(7).toLongLong() <= 1) {
            l.text = q.value(6).toString();
            out.append(l);
            continue;
        }
        const QStringList parts = q.value(6).toString().split(QLatin1Char('\n'));
        const QList<bool> kept = keep ? keep(parts) : QList<bool>(parts.size(), true);
        for (qsizetype k = 0; k < parts.size() && (limit < 0 || out.size() < limit); ++k) {
            const qsizetype at = newestFirst ? parts.size() - 1 - k : k;
            if (kept.value(at)) {
                l.text = parts.at(at);
                out.append(l);
            }
        }
    }
    return out;
}

} // namespace

QList<HistoryStore::Line> HistoryStore::Lines(qint64 conversation) const {
    if (!open_) {
        return {};
    }
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.prepare(
        QStringLiteral("SELECT l.call, c.peer, l.at, l.outgoing, l.conference, l.ack, "
                       "l.text, l.n FROM lines l JOIN calls c ON c.id = l.call WHERE l.call = ? "
                       "ORDER BY l.id"));
    q.addBindValue(conversation);
    return q.exec() ? ReadLines(q) : QList<Line>{};
}

QList<HistoryStore::Line> HistoryStore::Search(const QString& text, const QDate& from,
                                               const QDate& to, int limit) const {
    const QString match = MatchQuery(text);
    QStringList asText;
    for (const QString& term : history::Terms(text, kMaxQueryChars, kMaxTerms)) {
        if (history::FoundAsText(term)) {
            asText << term;
        }
    }
    searchWorked_ = true;
    if (!open_ || (match.isEmpty() && asText.isEmpty())) {
        return {};
    }
    // Whatever is kept is found, even a line the index has not caught up with yet.
    const_cast<HistoryStore*>(this)->Index();
    // Words through the index; the rest as the text itself, newest line first, stopping at
    // the limit.
    QString sql =
        match.isEmpty()
            ? QStringLiteral("SELECT l.call, c.peer, l.at, l.outgoing, l.conference, "
                             "l.ack, l.text, l.n FROM lines l JOIN calls c ON c.id = l.call "
                             "WHERE 1")
            : QStringLiteral("SELECT l.call, c.peer, l.at, l.outgoing, l.conference, "
                             "l.ack, l.text, l.n FROM lines_fts f JOIN lines l ON l.id = "
                             "f.rowid JOIN calls c ON c.id = l.call WHERE lines_fts "
                             "MATCH ?");
    for (qsizetype k = 0; k < asText.size(); ++k) {
        sql += QStringLiteral(" AND instr(l.text, ?) > 0");
    }
    sql += match.isEmpty() ? QStringLiteral(" AND l.at >= ? AND l.at < ? ORDER BY l.id DESC")
                           : QStringLiteral(" AND l.at >= ? AND l.at < ? ORDER BY f.rowid DESC");
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.prepare(sql);
    if (!match.isEmpty()) {
        q.addBindValue(match);
    }
    for (const QString& term : asText) {
        q.addBindValue(term);
    }
    q.addBindValue(from.isValid() ? Ms(from) : std::numeric_limits<qint64>::min());
    q.addBindValue(to.isValid() ? Ms(to.addDays(1)) : std::numeric_limits<qint64>::max());
    searchWorked_ = q.exec();
    // A shared row was found for its text as a whole: only its lines that match are shown.
    const auto matching = [&](const QStringList& parts) {
        QList<bool> keep(parts.size(), true);
        for (qsizetype k = 0; k < parts.size(); ++k) {
            for (const QString& term : asText) {
                keep[k] = keep[k] && parts.at(k).contains(term);
            }
        }
        if (!match.isEmpty()) {
            const QList<bool> words = Probe(parts, match);
            for (qsizetype k = 0; k < parts.size(); ++k) {
                keep[k] = keep[k] && words.value(k);
            }
        }
        return keep;
    };
    return searchWorked_ ? ReadLines(q, true, limit, matching) : QList<Line>{};
}

QList<bool> HistoryStore::Probe(const QStringList& parts, const QString& match) const {
    // Each line in a private index of its own, asked the same question as the real one.
    QList<bool> found(parts.size(), false);
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    if (!q.exec(QStringLiteral("CREATE VIRTUAL TABLE IF NOT EXISTS temp.probe USING fts5(text, "
                               "tokenize='unicode61 remove_diacritics 2')")) ||
        !q.exec(QStringLiteral("DELETE FROM temp.probe"))) {
        return found;
    }
    q.prepare(QStringLiteral("INSERT INTO temp.probe(rowid, text) VALUES (?, ?)"));
    for (qsizetype k = 0; k < parts.size(); ++k) {
        q.bindValue(0, k);
        q.bindValue(1, parts.at(k));
        q.exec();
    }
    q.prepare(QStringLiteral("SELECT rowid FROM temp.probe WHERE probe MATCH ?"));
    q.addBindValue(match);
    if (q.exec()) {
        while (q.next()) {
            const qsizetype k = q.value(0).toLongLong();
            if (k >= 0 && k < found.size()) {
                found[k] = true;
            }
        }
    }
    return found;
}

bool HistoryStore::Forget(const QString& peer) {
    return ForgetWhere(peer.isEmpty() ? nullptr : "peer", peer);
}

bool HistoryStore::ForgetKey(const QString& keyHex) {
    return !keyHex.isEmpty() && ForgetWhere("peer_key", keyHex);
}

bool HistoryStore::ForgetWhere(const char* column, const QString& value) {
    if (!open_) {
        return false;
    }
    Flush();
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    QSqlQuery q(db);
    db.transaction();
    bool ok = true;
    if (column == nullptr) {
        ok = q.exec(QStringLiteral("DELETE FROM lines")) &&
             q.exec(QStringLiteral("DELETE FROM calls"));
    } else {
        const QString where = QStringLiteral(" WHERE %1 = ?").arg(QLatin1String(column));
        q.prepare(QStringLiteral("DELETE FROM lines WHERE call IN (SELECT id FROM calls") + where +
                  QStringLiteral(")"));
        q.addBindValue(value);
        ok = q.exec();
        q.prepare(QStringLiteral("DELETE FROM calls") + where);
        q.addBindValue(value);
        ok = ok && q.exec();
    }
    // Lines kept later may take the numbers of those forgotten: the index has to know it
    // has not seen them.
    ok = ok && q.exec(QStringLiteral("UPDATE fts_indexed SET upto = min(upto, (SELECT "
                                     "coalesce(max(id), 0) FROM lines))"));
    if (!ok || !db.commit()) {
        db.rollback();
        return false;
    }
    rows_.clear();
    return true;
}

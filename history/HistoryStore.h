// Every conversation kept in one SQLite file per user, searchable with FTS5. Writes are
// gathered and committed once the current event has been handled, one transaction for all
// the lines of one read, which share a row; the search index catches up when a search needs
// it. A store that cannot be opened or written says why once and keeps out of the chat's way.
#pragma once

#include "HistoryEvent.h"

#include <QDate>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QTimer>
#include <QVariant>

#include <initializer_list>
#include <map>

class HistoryStore : public QObject {
    Q_OBJECT
public:
    static constexpr int kSchemaVersion = 6;
    // Search terms and characters beyond these are ignored: a pasted novel stays a query.
    static constexpr int kMaxTerms = 16;
    static constexpr int kMaxQueryChars = 1000;
    // Forms a term is looked up in at most (a Greek word without its accent: each vowel).
    static constexpr int kMaxForms = 16;
    // What is recorded waits this long to be written with what follows it.
    static constexpr int kGatherMs = 100;

    struct Conversation {
        qint64 id = 0;
        QString peer;
        QString address;
        QDateTime started;
        QDateTime ended;
        bool conference = false;
        int lines = 0;
        // Travelled inside TLS, with the peer's key fingerprint (hex).
        bool secure = false;
        QString peerKey;
    };
    struct Line {
        qint64 conversation = 0;
        QString peer;
        QDateTime at;
        bool outgoing = false;
        bool conference = false;
        // 1 acknowledged, 0 answered with a bad CRC, -1 no answer (or not ours).
        int ack = -1;
        QString text;
    };

    explicit HistoryStore(QObject* parent = nullptr);
    ~HistoryStore() override;

    // The user's file, under the application data folder.
    static QString DefaultPath();
    // Opens (creating with mode 0600, migrating older schemas); false and Failed otherwise.
    bool Open(const QString& path);
    bool IsOpen() const { return open_; }

    // "Keep conversations": kept outside the settings file, in the configuration folder.
    bool Keep() const { return keep_; }
    void SetKeep(bool keep);

    void Record(const HistoryEvent& event);
    // Writes what is waiting now (also run by itself once the current event is handled).
    bool Flush();
    // Brings the search index up to the lines written. Run by a search, never by a chat:
    // a user who does not search does not pay for it, and a burst of lines is not slowed.
    bool Index();

    // Newest first; an invalid date leaves that end open.
    QList<Conversation> Conversations(const QDate& from = {}, const QDate& to = {}) const;
    QList<Line> Lines(qint64 conversation) const;
    QList<Line> Search(const QString& text, const QDate& from = {}, const QDate& to = {},
                       int limit = 500) const;
    // False when the last search failed in SQLite (what a user types must never do that).
    bool SearchWorked() const { return searchWorked_; }
    // A call with the peer at this remote address was secure once.
    bool SecureBefore(const QString& address) const;
    // Forgets one peer's conversations, or all of them when `peer` is empty.
    bool Forget(const QString& peer);
    // Forgets every conversation with the peer whose key is `keyHex`.
    bool ForgetKey(const QString& keyHex);

    // The lines that wait for a peer and the numbers of the pair, kept over a restart:
    // `lines` is the caller's own encoding. Nothing (zeros) when none is kept.
    struct Waiting {
        qint64 lastOut = 0;
        qint64 lastIn = 0;
        QByteArray lines;
    };
    Waiting WaitingFor(const QString& peer) const;
    bool SetWaiting(const QString& peer, const Waiting& waiting);

    // The FTS5 query for what the user typed: every term quoted as plain text, the last one
    // a prefix, so that no input is ever read as query syntax. Empty when nothing to find.
    static QString MatchQuery(const QString& text);

signals:
    // History is off, and why (raised once).
    void Failed(const QString& why);

private:
    bool Fail(const QString& why);
    bool Migrate();
    // Forgets the conversations whose `column` holds `value`; every one without a column.
    bool ForgetWhere(const char* column, const QString& value);
    bool WriteOne(const HistoryEvent& event);
    // One row for pending_[from, to), lines that arrived together.
    bool WriteShared(qsizetype from, qsizetype to);
    QSqlQuery& Statement(const char* sql);
    bool Exec(QSqlQuery& query, std::initializer_list<QVariant> values);
    qint64 CallRow(const HistoryEvent& event);
    // Which of the lines of a shared row the search index query `match` finds.
    QList<bool> Probe(const QStringList& parts, const QString& match) const;

    QString connection_;
    bool open_ = false;
    bool failed_ = false;
    bool keep_ = true;
    mutable bool searchWorked_ = true;
    QList<HistoryEvent> pending_;
    QHash<quint64, qint64> rows_;
    // Our lines still waiting for their acknowledgement, by call and CRC, oldest first.
    QHash<QPair<quint64, qint32>, QList<qint64>> unanswered_;
    std::map<const char*, QSqlQuery> statements_;
    QTimer flush_;
    // Runs Flush again while another copy holds the file.
    QTimer retry_;
    QSqlError writeError_;
};

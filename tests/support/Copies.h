// Running copies of the program's model in one process: each a switchboard with its own key,
// its own history file and the contacts it met.
#pragma once

#include "app/WaitingLines.h"
#include "call/Lines.h"
#include "call/People.h"
#include "call/Switchboard.h"
#include "history/HistoryStore.h"

#include <QPointer>
#include <QTcpServer>

#include <memory>

// One running copy: a switchboard with its key and its history file in `dir`.
struct Copy {
    std::unique_ptr<HistoryStore> history = std::make_unique<HistoryStore>();
    WaitingLines waiting{history};
    TransferPlaces files;
    Switchboard board;
    People people{board};
    // Its switchboard line takes the first call, as a free switchboard does.
    Lines lines{board};
    int boardLine = lines.OpenBoard();
    QList<QPointer<Call>> arrived;
    QStringList heard;
    int heldBack = 0;

    Copy(const QString& dir, int port) {
        history->Open(dir + "/history.db");
        board.limits.keeper = &waiting;
        files = {dir + "/Download/Palaver", dir + "/transfers.json"};
        board.limits.files = &files;
        // Short, but long enough that a slow (sanitized) event loop never looks like a loss.
        board.limits.pingAfterMs = 500;
        board.limits.lostAfterMs = 2000;
        board.limits.confirmWithinMs = 100; // lines sent into the silence go late first
        board.limits.jitter = [] { return 0.0; };
        board.EnableSecurity(dir + "/identity.pem", dir + "/keys.json");
        QObject::connect(&board, &Switchboard::CallArrived, &board, [this](Call* c) {
            arrived << c;
            QObject::connect(c, &Call::ChatLine, &board,
                             [this](const QString&, const QString& t) { heard << t; });
        });
        QObject::connect(&board, &Switchboard::HeldBack, &board, [this] { ++heldBack; });
        if (port != 0) {
            board.StartServer(0, port);
        }
    }
};

inline int FreePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

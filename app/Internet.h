// Tools > "Accept calls from the Internet": while it is on and the server accepts calls, the
// router is asked to open the server's port, and the switchboard says the truth of it: where
// the Internet reaches this copy, or why it cannot. The option is kept outside the settings
// file; it is off until the user switches it on.
#pragma once

#include "reach/PortMapper.h"

#include <QObject>

#include <functional>

class QMenu;
class Switchboard;
class frmClient;

class Internet : public QObject {
    Q_OBJECT
public:
    Internet(Switchboard& model, std::function<frmClient*()> board, QObject* parent = nullptr);

    // The option and "Copy Internet Link" in a window's Tools menu.
    void AddTo(QMenu* tools);
    // The server or the option changed: map, or remove the mapping.
    void Update();
    // The network came back or the system woke: map again.
    void NetworkChanged(bool online);
    PortMapper& Mapper() { return mapper_; }

    static bool On();
    static void SetOn(bool on);
    // What the switchboard says of `state` for a server on `port`.
    static QString Text(const PortMapper::State& state, int port);
    // palaver://HOST:PORT for a reachable mapping; empty otherwise.
    static QString Link(const PortMapper::State& state);

private:
    void Show(const PortMapper::State& state);

    Switchboard& model_;
    std::function<frmClient*()> board_;
    PortMapper mapper_;
    bool toldNoRouter_ = false;
};

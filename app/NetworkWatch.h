// Tells the calls when the system's network comes and goes, and when the system wakes: a
// connection may have died meanwhile, and a call that waits to be dialled again need not
// wait out its delay.
#pragma once

#include <QObject>

class Switchboard;

class NetworkWatch : public QObject {
    Q_OBJECT
public:
    explicit NetworkWatch(Switchboard& model, QObject* parent = nullptr);

signals:
    // The network came back (true) or went, or the system woke (true).
    void Changed(bool online);

public slots:
    // logind's PrepareForSleep: true before the system sleeps, false once it woke.
    void PrepareForSleep(bool sleeping);

private:
    void Tell(bool online);

    Switchboard& model_;
};

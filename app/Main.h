#pragma once

#include <QString>

#include <cstdint>
#include <memory>

#include "app/WaitingLines.h"
#include "chat/ClientWindows.h"

class Announcer;
class Attention;
class HistoryStore;
class Internet;
class NetworkWatch;
class People;
class Recorder;
namespace outside {
class CallServer;
}

// The program: it owns the window table (and with it the switchboard's calls and the line
// table), the history and its recorder, notifications and the tray, the announcement on the
// local network and the hand-over of calls from outside, and hands each the others it needs.
class App {
public:
    App();
    ~App();
    App(const App&) = delete;
    App& operator=(const App&) = delete;

    // Debug log, settings, the switchboard; then a call to `callAddress` in a new line window
    // when one is given. Started again, it starts afresh.
    void Start(const QString& callAddress = {}, const QStringList& files = {});

    WindowTable& Table() { return table_; }
    // The conversation history (null before Start and once the program ends).
    std::unique_ptr<HistoryStore>& History() { return history_; }
    std::unique_ptr<Attention>& Attentions() { return attention_; }
    // Publishes or withdraws this copy on the local network, as the switchboard's server,
    // the nickname, the key and "Show me on the local network" now say.
    void UpdateAnnouncement();
    // Calls `address` in a new line of the switchboard, or shows the line already calling it.
    // `front`: the line comes to the front (not for a call the program places itself).
    frmClient* Place(const QString& address, const QByteArray& key = {}, bool front = true);
    // Calls `address` in a line and offers it `files` once the call takes them.
    void SendTo(const QString& address, const QStringList& files);
    // A contact: the line with its call shown, or it is called where it answered, or (away)
    // a line opened whose lines wait for it.
    void Reach(const QByteArray& key);
    // The contacts and who of them is here (null before Start).
    People* Contacts() { return people_.get(); }
    // Calls from the Internet through the router (null before Start).
    Internet* InternetReach() { return internet_.get(); }

    // The App of this process while there is one: what the menus and dialogs act on, and
    // what tests and benchmarks drive.
    static App& Current();

private:
    // The contacts, the copies nearby and the panel that lists them.
    void StartPeople(frmClient* board);

    std::unique_ptr<HistoryStore> history_;
    // Before the window table: every call holds it, and the calls go with the table.
    WaitingLines waiting_{history_};
    // Where received files land, and what is kept of unfinished transfers.
    TransferPlaces files_;
    WindowTable table_;
    std::unique_ptr<Attention> attention_;
    std::unique_ptr<Recorder> recorder_;
    std::unique_ptr<Announcer> announcer_;
    std::unique_ptr<outside::CallServer> calls_;
    std::unique_ptr<NetworkWatch> network_;
    std::unique_ptr<People> people_;
    std::unique_ptr<Internet> internet_;
    static App* current_;
};

// The program's entry procedure on the current App.
void Main(const QString& callAddress = {});
// The current App's parts.
WindowTable& ClientWindows();
frmClient* ClientWindows(int slot);
std::int16_t CreateClientWindow();
std::unique_ptr<HistoryStore>& History();
std::unique_ptr<Attention>& Attentions();
void UpdateAnnouncement();

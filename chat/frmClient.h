// The chat window: the switchboard (slot 0) and every line window alike. It shows what its
// call reports and hands the call what the user types; the window table owns the windows
// and which window's lines are whose.
#pragma once

#include "ChatLog.h"

#include "call/Call.h"
#include "call/Conference.h"
#include "call/Switchboard.h"

#include "log/CLog.h"
#include "platform/MessageBox.h"

#include <QHash>
#include <QLabel>
#include <QList>
#include <QMainWindow>
#include <QPointer>
#include <QTextBlock>

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

class FileRows;
class QAction;
class QComboBox;
class QDockWidget;
class QPlainTextEdit;
class QPushButton;
class WindowTable;

// A label that reports clicks (the server switch).
class ClickLabel : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;
signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    // Space toggles it from the keyboard, like a button.
    void keyPressEvent(QKeyEvent* event) override;
    // With the keyboard focus it wears a focus ring, as a button does.
    void paintEvent(QPaintEvent* event) override;
};

// One row of the connection report: a line of a window and what it shows.
struct LineReport {
    int entry = 0; // the entry of the owner's line table
    int id = 0;
    int level = 0;
    int serverState = 0;
    QString nickname;
    QString startStamp;
};

// The menu items the layer above puts on a window; each is connected to its command.
struct MenuItems {
    QAction* exit = nullptr;
    QAction* settings = nullptr;
    QAction* server = nullptr;
    QAction* clearSettings = nullptr;
    QAction* clearChat = nullptr;
    QAction* debug = nullptr;
    QAction* report = nullptr;
    QAction* history = nullptr;
    QAction* about = nullptr;
    QAction* sendFile = nullptr;
};

class frmClient : public QMainWindow {
    Q_OBJECT
public:
    static constexpr int kLines = 10;

    frmClient(std::int16_t id, Switchboard& model, Call* call, QWidget* parent = nullptr);
    ~frmClient() override;

    // The window's slot in the window table.
    std::int16_t ID() const { return ID_; }
    // The slot of the window that owns this line (its own for the switchboard); the name
    // says "level" but it means the owner, not the security level shown in lblLevels.
    std::int16_t Level() const { return Level_; }
    // True for a line window, false for the switchboard.
    bool Tag() const { return Tag_; }
    // The peer's nickname (not ours, which is the settings' Nickname).
    QString Nickname() const { return call_ != nullptr ? call_->Nickname() : QString(); }
    QString StartStamp() const { return call_ != nullptr ? call_->StartStamp() : QString(); }
    std::int16_t LoginFlag() const { return call_ != nullptr ? call_->LoginFlag() : 0; }
    // The call this window shows (null once it has been handed to a conference).
    Call* ShownCall() const { return call_; }
    Conference* ShownConference() const { return conference_; }

    void SetTitle();
    void SetLayers();
    void DisplayConn();
    void LogInfo(const QString& msg);
    // A line for the log that the status line shows too.
    void Tell(const QString& msg) {
        LogInfo(msg);
        ShowStatus(QStringLiteral(" ") + msg);
    }
    // False, with the reason in the status line and the log, when nothing listens.
    bool StartServer();
    void StopServer();
    void SetPasswords(const QString& lpwd, const QString& pwd1, const QString& pwd2 = {},
                      const QString& pwd3 = {}, const QString& pwd4 = {}, const QString& pwd5 = {});
    bool SaveSettings();
    // Calls `address` as if the user had typed it and pressed Call.
    // Calls `address`; with `expectedKey` only a secure answer with that key goes on.
    void PlaceCall(const QString& address, const QByteArray& expectedKey = {});
    // This line writes to a contact who is away: what is typed waits, and goes once the
    // contact is here. `address` is its newest address, or empty.
    void WriteTo(const QByteArray& key, const QString& name, const QString& address);
    // The server switch, as a click on it.
    void ToggleServer() { lblServer_Click(); }
    // The remembered addresses changed; the box shows them again.
    void ShowAddresses();
    // Closing hides the window instead (it keeps running in the tray).
    void SetHideOnClose(bool hide) { hideOnClose_ = hide; }
    // Runs the unload rules; false when the close is refused or postponed.
    bool Unload();
    // Lines read but not shown yet: they reach the log at the end of the frame.
    bool LogWaiting() const { return log_.Waiting(); }
    // Each new line of the log starts with the time (hours and minutes) when on.
    void ShowTimes(bool on) { log_.SetDateFilter(on ? QStringLiteral("hh:nn") : QString()); }
    // The layer above puts its menus on the window.
    void SetMenus(const MenuItems& items);
    // Offers the files at `paths` to the peer (a plain call asks first); false when none went.
    bool SendFiles(const QStringList& paths, bool picture = false);

signals:
    // An idle line window is wanted ("+ Line").
    void LineWanted();
    void ConferenceWanted();
    // "Bye": the line's call, and every member's in a conference, should end.
    void HangupWanted();
    void UnloadWanted();
    // A line for the log of this line's owner.
    void OwnerNote(const QString& text);
    // A line for the switchboard's log.
    void SwitchboardNote(const QString& text);
    void ReportWanted();
    void SettingsCleared();
    // The user added or removed a remembered address.
    void AddressesChanged();
    void HistoryWanted();
    void SettingsWanted();
    void AboutWanted();

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    friend class WindowTable;

    // Steps the window table takes.
    void MoveTwips(int left, int top);
    void Load();
    void BecomeLine(std::int16_t owner);
    // Takes over a call that has logged in; a line says nothing of its arrival itself.
    void Adopt(Call* call, bool asLine);
    // Hands the call over (to a conference); the window shows nothing from then on.
    Call* GiveUpCall();
    // Shows the line's conference (null: none yet).
    void ShowConference(Conference* conference);
    bool Free() const {
        return call_ != nullptr && call_->Idle() && !call_->Down() &&
               (conference_ == nullptr || conference_->Empty());
    }
    void LogConnections(const QList<LineReport>& lines);
    platform::MsgResult Ask(const platform::MessageRequest& request);
    void Inform(const QString& text, platform::MsgIcon icon);
    void ShowStatus(const QString& text);
    void Teardown();

    void BuildControls();
    // Puts every control where it belongs in a client area of `area` pixels.
    void Relayout(const QSize& area);
    void ConnectCall();
    void ConnectConference();
    void AlertIfInactive();
    void ClearHeader();
    void ShowSecurity();
    void lblSecure_Click();
    void AskPlainLogin(const QString& address, Insecure why);
    // A yes-or-no question asked once the current event is handled; `answered` gets the answer.
    void AskLater(const QString& title, platform::MsgIcon icon, const QString& text,
                  const std::function<void(bool)>& answered);
    void ClearSent(const QString& text);
    void FitSecurityText();
    void AskAcceptNewKey(const QString& address, const QString& oldNumber,
                         const QString& newNumber);
    void ShowLoggedIn();
    void ShowChatLine(const QString& nickname, const QString& text);
    void AckMatched(std::int32_t crc);
    void ShowDecodeError();
    void CallRefused(const QString& reason);
    void CallLost(const QString& nickname, const QString& remote);
    void ClearSettings();
    void SetLabelColour(QLabel* label, const QColor& background);

    // Event handlers, named control_event.
    void cmdSend_Click();
    void lblServer_Click();
    void cmdLine2_Click();
    void cmdConf_Click();
    void cmdConnect_Click();
    void cmdClose_Click();
    void cmbIP_KeyPress(int KeyAscii);
    // Returns the key to pass on (0 swallows it).
    int txtSend_KeyPress(int KeyAscii);

    CLog log_;
    std::int16_t ID_ = 0;
    std::int16_t Level_ = 0;
    bool Tag_ = false;
    Switchboard& model_;
    QPointer<Call> call_;
    QPointer<Conference> conference_;
    bool decodeBoxWaiting_ = false;
    bool alertPending_ = false;
    bool unloaded_ = false;
    bool hideOnClose_ = false;
    // While a modal box opened by this window is up, an unload is postponed until it closes.
    int modalDepth_ = 0;
    bool unloadPending_ = false;
    // The text of each of our lines still waiting for its acknowledgement, by CRC, and of the
    // last line sent: a confirmation empties the send box only while it holds that text.
    QHash<std::int32_t, QString> sentTexts_;
    QString lastSent_;
    // The key a call placed from the Nearby list must answer with; empty otherwise.
    QByteArray placeKey_;
    // The contact this line waits for, while it has never reached it.
    QString awaiting_;

    // The design's client area in twips: the default and smallest size.
    static constexpr int kAreaWidth = 5640;
    static constexpr int kAreaHeight = 4455;
    struct Placed {
        QWidget* widget;
        QRect design; // pixels at the design's size
    };
    std::vector<Placed> placed_;

    QLabel* lblConn;
    QLabel* lblConnIP;
    ChatLog* txtLog;
    // Our lines in the log the call's ledger still holds, by their ids there, oldest first.
    struct Marked {
        qint64 id = 0;
        QTextBlock block;
        QString text;
    };
    QList<Marked> marks_;
    void MarkLine(qint64 id, ChatLog::Mark mark);
    // A lost call and the lines that wait for it to come back (frmClientComeback.cpp).
    void ConnectComeback();
    void ShowRedial(qint64 inMs);
    void ShowLogMenu(const QPoint& at);
    void ShowKept(qint64 id, const QString& text);
    // Files (frmClientFiles.cpp).
    void BuildFiles();
    void ConnectFiles();
    void ShowFileControls();
    void ChooseFiles();
    bool PasteImage();
    QAction* sendFile_ = nullptr;
    QDockWidget* dockFiles = nullptr;
    FileRows* fraFiles = nullptr;
    QPushButton* cmdReconnect;
    QPushButton* cmdStopCalling;
    QLabel* lblStatus;
    QLabel* lblLevels;
    // Whether this window's call is secure; a click compares the safety number.
    ClickLabel* lblSecure;
    QPlainTextEdit* txtSend;
    QComboBox* cmbIP;
    QPushButton* cmdConnect;
    QPushButton* cmdClose;
    QPushButton* cmdLine2;
    QPushButton* cmdConf;
    ClickLabel* lblServer;
};

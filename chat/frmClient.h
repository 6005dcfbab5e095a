// The chat window: the switchboard (slot 0) and every line window alike. It shows what its
// call reports and hands the call what the user types; the window table owns the windows
// and which window's lines are whose.
#pragma once

#include "Call.h"
#include "Conference.h"

#include "history/HistoryEvent.h"
#include "log/CLog.h"
#include "platform/MessageBox.h"

#include <QLabel>
#include <QList>
#include <QMainWindow>

#include <cstdint>
#include <utility>

class QComboBox;
class QMenu;
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
};

class frmClient : public QMainWindow {
    Q_OBJECT
public:
    static constexpr int kLines = 10;

    frmClient(std::int16_t id, const CallLimits& limits, QWidget* parent = nullptr);
    ~frmClient() override;

    // The window's slot in the window table.
    std::int16_t ID() const { return ID_; }
    // The slot of the window that owns this line (its own for the switchboard); the name
    // says "level" but it means the owner, not the security level shown in lblLevels.
    std::int16_t Level() const { return Level_; }
    // True for a line window, false for the switchboard.
    bool Tag() const { return Tag_; }
    // The peer's nickname (not ours, which is the settings' Nickname).
    const QString& Nickname() const { return call_->Nickname(); }
    const QString& StartStamp() const { return call_->StartStamp(); }
    std::int16_t LoginFlag() const { return call_->LoginFlag(); }

    void SetTitle();
    void SetLayers();
    void DisplayConn();
    void LogInfo(const QString& msg);
    void StartServer();
    void StopServer();
    void SetPasswords(const QString& lpwd, const QString& pwd1, const QString& pwd2 = {},
                      const QString& pwd3 = {}, const QString& pwd4 = {}, const QString& pwd5 = {});
    bool SaveSettings();
    // Calls `address` as if the user had typed it and pressed Call.
    void PlaceCall(const QString& address);
    // Closing hides the window instead (it keeps running in the tray).
    void SetHideOnClose(bool hide) { hideOnClose_ = hide; }
    // Runs the unload rules; false when the close is refused or postponed.
    bool Unload();
    // The layer above puts its menus on the window; their items are named "mnuTools(3)".
    void SetMenus(QMenu* file, QMenu* tools, QMenu* help);

signals:
    // An idle line window is wanted ("+ Line").
    void LineWanted();
    // A call has come in to this window's server.
    void CallArrived(int requestID);
    void ConferenceWanted();
    void UnloadWanted();
    // A line for the log of this line's owner.
    void OwnerNote(const QString& text);
    // A line for the switchboard's log.
    void SwitchboardNote(const QString& text);
    void ReportWanted();
    void SettingsCleared();
    // What the history keeps: calls, the lines shown, the peer's answers to ours.
    void Recorded(const HistoryEvent& event);
    void HistoryWanted();
    // Something the user should hear of when elsewhere: a line, a call, a lost call. Raised
    // whether or not the window is active; the layer above decides.
    void Notice(const QString& summary, const QString& body);
    void SettingsWanted();
    void AboutWanted();

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    friend class WindowTable;

    // Steps the window table takes.
    void MoveTwips(int left, int top);
    void Load();
    void AddAddresses();
    void BecomeLine(std::int16_t owner);
    // Takes over a call that has logged in; a line says nothing of its arrival itself.
    void Adopt(Call* call, bool asLine);
    void Merge(frmClient* line);
    Conference& conference() { return conference_; }
    Call& call() { return *call_; }
    bool Member() const { return member_; }
    void LogConnections(const QList<std::pair<int, frmClient*>>& lines);
    platform::MsgResult Ask(const platform::MessageRequest& request);
    void Inform(const QString& text, platform::MsgIcon icon);
    void ShowStatus(const QString& text);
    void Teardown();

    void BuildControls();
    void ConnectCall();
    void ConnectConference();
    void AlertIfInactive();
    void ClearHeader();
    void ShowLoggedIn();
    void ShowChatLine(const QString& nickname, const QString& text);
    void AckMatched(std::int32_t crc);
    void ShowDecodeError();
    void CallRefused(const QString& reason);
    void CallLost(const QString& nickname, const QString& remote);
    void ClearSettings();
    void Record(HistoryEvent::Kind kind, quint64 call, const QString& text = {},
                bool outgoing = false, bool ackOk = false);
    void EndRecordedCall();
    static quint64 NextRecordKey();
    void SetLabelColour(QLabel* label, const QColor& background);

    // Event handlers, named control_event.
    void cmdSend_Click();
    void lblServer_Click();
    void cmdLine2_Click();
    void cmdConf_Click();
    void cmdConnect_Click();
    void cmdClose_Click();
    void sckServer_ConnectionRequest(int requestID);
    void cmbIP_KeyPress(int KeyAscii);
    // Returns the key to pass on (0 swallows it).
    int txtSend_KeyPress(int KeyAscii);
    void mnuFile_Click(int Index);
    void mnuTools_Click(int Index);
    void mnuHelp_Click(int Index);

    CLog log_;
    std::int16_t ID_ = 0;
    std::int16_t Level_ = 0;
    bool Tag_ = false;
    bool member_ = false;
    Call* call_;
    Conference conference_;
    bool decodeBoxWaiting_ = false;
    // The history's keys for this window's logged-in call and for its conference.
    quint64 recordedCall_ = 0;
    quint64 recordedConference_ = 0;
    bool unloaded_ = false;
    bool hideOnClose_ = false;
    // While a modal box opened by this window is up, an unload is postponed until it closes.
    int modalDepth_ = 0;
    bool unloadPending_ = false;

    platform::TcpSocket* sckServer_;
    QLabel* lblConn;
    QLabel* lblConnIP;
    QPlainTextEdit* txtLog;
    QLabel* lblStatus;
    QLabel* lblLevels;
    QPlainTextEdit* txtSend;
    QComboBox* cmbIP;
    QPushButton* cmdConnect;
    QPushButton* cmdClose;
    QPushButton* cmdLine2;
    QPushButton* cmdConf;
    ClickLabel* lblServer;
};

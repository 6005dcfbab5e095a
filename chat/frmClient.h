// The chat window: the switchboard (slot 0) and every line window alike.
#pragma once

#include "CallSession.h"

#include "log/CLog.h"
#include "platform/MessageBox.h"

#include <QLabel>
#include <QMainWindow>
#include <QPointer>

#include <array>
#include <cstdint>

class QComboBox;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QTimer;

namespace platform {
class TcpSocket;
}

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
    // Interval of the call retry timer; tests shorten it.
    static inline int RetryIntervalMs = 5000;
    // Bytes that may wait to be written on one call before a peer that does not read is
    // cut off; tests lower it.
    static inline qint64 MaxPendingWrite = 1024 * 1024;

    frmClient();
    ~frmClient() override;

    // Properties.
    const QString& StartStamp() const { return StartStamp_; }
    void SetStartStamp(const QString& stamp) { StartStamp_ = stamp; }
    std::int16_t ID() const { return ID_; }
    void SetID(std::int16_t IDNum) { ID_ = IDNum; }
    std::int16_t Level() const { return Level_; }
    void SetLevel(std::int16_t LevelNum) { Level_ = LevelNum; }
    const QString& Nickname() const { return Nickname_; }
    void SetNickname(const QString& Nick) { Nickname_ = Nick; }
    QString GetIP() const;
    void SetIP(const QString& ip);
    std::int32_t Port() const;
    void SetPort(std::int32_t PortNum);
    const QString& Tag() const { return Tag_; }
    void SetTag(const QString& tag) { Tag_ = tag; }

    // Public operations.
    bool RemoveClient(std::int16_t ID);
    void DisplayConn();
    void SetTitle();
    void StartServer();
    void StopServer();
    void SetPasswords(const QString& lpwd, const QString& pwd1, const QString& pwd2 = {},
                      const QString& pwd3 = {}, const QString& pwd4 = {}, const QString& pwd5 = {});
    void SetLayers();
    void FinishSwitch();
    void LogInfo(const QString& msg);
    void cmdSend_Click();
    bool SaveSettings();
    void ShowSettings();

    // Event handlers, public so that menus, owners and tests can run them.
    void lblServer_Click();
    void cmdLine2_Click();
    void cmdConf_Click();
    void cmdConnect_Click();
    void cmdClose_Click();
    void Timer1_Timer();
    void sckServer_ConnectionRequest(int requestID);
    void sckClient_DataArrival(qint64 bytesTotal);
    void sckClient_Connect();
    void sckClient_Close();
    void sckClient_Error(int number, const QString& description);
    void cmbIP_KeyPress(int KeyAscii);
    // Returns the key to pass on (0 swallows it).
    int txtSend_KeyPress(int KeyAscii);
    void mnuFile_Click(int Index);
    void mnuTools_Click(int Index);
    void mnuHelp_Click(int Index);

    // Runs the unload rules; false when the close is refused.
    bool Unload();

    // Draws the user's eye to this window when it is not the active one.
    void AlertIfInactive();

    // Window creation steps (the window table calls these).
    void MoveTwips(int left, int top);
    void Load();
    void AddAddresses();

    // State the tests and the report read.
    std::int16_t Lines(int k) const { return lines_[static_cast<std::size_t>(k)]; }
    std::int16_t LoginFlag() const { return session_->LoginFlag(); }
    CallSession& Session() const { return *session_; }
    CNetMsg& Incoming() { return session_->Incoming(); }
    CNetMsg& Outgoing() { return session_->Outgoing(); }
    // The address this window's own call was placed to (retries go there).
    const QString& CallAddress() const { return callAddress_; }
    CLog& Log() { return log_; }
    platform::TcpSocket* sckServer() const { return sckServer_; }
    platform::TcpSocket* sckClient() const { return sckClient_; }
    QTimer* Timer1() const { return Timer1_; }

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
    // Put on the window by the layer above; null until then.
    QMenu* mnuFile = nullptr;
    QMenu* mnuTools = nullptr;
    QMenu* mnuHelp = nullptr;

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildControls();
    void ConnectSession();
    bool AttachLine(frmClient* line);
    // Writes to the call, or cuts off a peer that leaves too much unread.
    bool Write(const QByteArray& wire);
    void DropCall(const QString& logLine);
    void SessionClosed(const QString& reason, bool wasLoggedIn);
    void ShowLoggedIn();
    void ShowChatLine(const QString& text);
    void AckMatched(std::int32_t crc);
    void ShowDecodeError();
    static int PendingLogins(const QString& address);
    void PlaceCallAttempt();
    void AnswerOnLine(frmClient* line, int requestID);
    frmClient* Owner() const;
    int ConferenceMembers() const;
    void LogConnections();
    void ClearSettings();
    platform::MsgResult Ask(const platform::MessageRequest& request);
    void SetLabelColour(QLabel* label, const QColor& background);

    CLog log_;
    QString Nickname_;
    CallSession* session_;
    QString StartStamp_;
    std::int16_t ID_ = 0;
    std::int16_t Level_ = 0;
    std::array<std::int16_t, kLines> lines_{};
    QString Tag_;
    QString callAddress_;
    int retriesLeft_ = 0;
    bool decodeBoxWaiting_ = false;
    bool unloaded_ = false;
    // While a modal box opened by this window is up, an unload is postponed until it closes.
    int modalDepth_ = 0;
    bool unloadPending_ = false;

    platform::TcpSocket* sckServer_;
    platform::TcpSocket* sckClient_;
    QTimer* Timer1_;
};

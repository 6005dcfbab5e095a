// The chat window's calls: the server switch, answering and placing calls, and what the
// window shows of its call's session.
#include "frmClient.h"

#include "ClientWindows.h"
#include "LoginGuard.h"
#include "WindowHelpers.h"

#include "log/frmDebug.h"
#include "platform/Desktop.h"
#include "platform/LocaleText.h"
#include "platform/TcpSocket.h"
#include "platform/Text1252.h"
#include "settings/Settings.h"

#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QTimer>

using chat::FromBgr;
using chat::kAppTitle;
using chat::Now;

// ---------------------------------------------------------------------------------------
// The server switch and incoming calls

void frmClient::lblServer_Click() {
    int port = sckServer_->LocalPort();
    if (port == 0) {
        port = Settings.Port != 0 ? Settings.Port : 7000;
    }
    const QString local = sckServer_->LocalIP();
    lblServer->setToolTip(local.isEmpty() ? QString()
                                          : QStringLiteral("Your Server: ") + local +
                                                QStringLiteral(":") + QString::number(port));
    if (lblServer->text() != QLatin1String("Reject")) {
        StopServer();
        lblServer->setText(QStringLiteral("Reject"));
        lblServer->setAccessibleName(QStringLiteral("Server switch: Reject"));
        SetLabelColour(lblServer, FromBgr(0x000080));
    } else {
        StartServer();
        lblServer->setText(QStringLiteral("Accept"));
        lblServer->setAccessibleName(QStringLiteral("Server switch: Accept"));
        SetLabelColour(lblServer, FromBgr(0x008000));
    }
}

void frmClient::StartServer() {
    if (sckServer_->state() != platform::TcpSocket::Closed) {
        sckServer_->Close();
    }
    if (sckServer_->LocalPort() != Settings.Port) {
        sckServer_->SetLocalPort(Settings.Port);
    }
    // One attempt per click: a failure stays on the status line until the next click.
    if (!sckServer_->Listen()) {
        lblStatus->setText(QStringLiteral("Error #") +
                           QString::number(sckServer_->LastErrorNumber()) + QStringLiteral(" - ") +
                           sckServer_->LastErrorDescription());
        return;
    }
    const QString where =
        sckServer_->LocalIP() + QStringLiteral(":") + QString::number(sckServer_->LocalPort());
    lblStatus->setText(QStringLiteral(" Server accepting calls on ") + where);
    LogDebug(QStringLiteral("Server accepting calls on ") + where);
}

void frmClient::StopServer() {
    if (sckServer_->state() != platform::TcpSocket::Closed) {
        const QString where =
            sckServer_->LocalIP() + QStringLiteral(":") + QString::number(sckServer_->LocalPort());
        sckServer_->Close();
        lblStatus->setText(QString());
        LogDebug(QStringLiteral("Server stopped on ") + where);
    } else {
        LogDebug(QStringLiteral("Server is currently stopped"));
    }
}

int frmClient::PendingLogins(const QString& address) {
    int count = 0;
    for (int slot = 0; slot < kWindowSlots; ++slot) {
        const frmClient* w = ClientWindows(slot);
        if (w != nullptr && !w->unloaded_ && w->session_->Active() &&
            w->session_->role() == CallSession::Role::Answerer && w->LoginFlag() == 0 &&
            w->session_->PeerAddress() == address) {
            ++count;
        }
    }
    return count;
}

void frmClient::sckServer_ConnectionRequest(int requestID) {
    const int members = ConferenceMembers();
    const QString from = platform::TcpSocket::RequestAddress(requestID);
    LogDebug(QStringLiteral("Server receiving call from ") + from + QStringLiteral(" / ") +
             QString::number(platform::TcpSocket::RequestPort(requestID)));
    // A request left unaccepted is closed by the socket layer: no AUTH, no window.
    if (const qint64 held = Logins().HoldMs(from); held > 0) {
        LogDebug(QStringLiteral("Call from ") + from +
                 QStringLiteral(" closed: logins from there are held back for %1 ms").arg(held));
        return;
    }
    if (PendingLogins(from) >= LoginGuard::kMaxPendingPerAddress) {
        LogDebug(QStringLiteral("Call from ") + from +
                 QStringLiteral(" closed: %1 calls from there are still to log in")
                     .arg(LoginGuard::kMaxPendingPerAddress));
        return;
    }
    if (sckClient_->state() == platform::TcpSocket::Closed && members == 0) {
        StartStamp_ = Now();
        Nickname_.clear();
        sckClient_->SetLocalPort(0);
        if (!sckClient_->Accept(requestID)) {
            return;
        }
        session_->Start(CallSession::Role::Answerer, sckClient_->RemoteHostIP());
        log_.Log(QStringLiteral("Incomming call from ") + sckClient_->RemoteHostIP());
        FinishSwitch();
        AlertIfInactive();
        return;
    }
    LogDebug(QStringLiteral("Creating new client window"));
    const std::int16_t slot = CreateClientWindow();
    if (slot == -1) {
        return; // no window left: the request is closed unanswered
    }
    log_.Log(QStringLiteral("*** Connecting ") + from + QStringLiteral(" to line #") +
             QString::number(slot + 1));
    frmClient* line = ClientWindows(slot);
    line->SetStartStamp(Now());
    if (!AttachLine(line)) {
        // Every line entry is taken: release the window again and leave the call unanswered.
        line->Unload();
        return;
    }
    LogDebug(QStringLiteral("Client Window #") + QString::number(slot));
    AnswerOnLine(line, requestID);
}

void frmClient::AnswerOnLine(frmClient* line, int requestID) {
    if (line->sckClient_->Accept(requestID)) {
        line->session_->Start(CallSession::Role::Answerer, line->sckClient_->RemoteHostIP());
        line->FinishSwitch();
        line->AlertIfInactive();
    }
}

void frmClient::FinishSwitch() {
    QByteArray wire;
    const CNetMsg::CreateResult built = session_->Auth(&wire);
    if (built != CNetMsg::CreateResult::Ok) {
        lblStatus->setText(QStringLiteral(" Login not sent: ") + CallSession::Why(built));
        return;
    }
    Write(wire);
}

// ---------------------------------------------------------------------------------------
// What the window shows of its call's session

void frmClient::ConnectSession() {
    connect(session_, &CallSession::Send, this, &frmClient::Write);
    connect(session_, &CallSession::LogLine, this, [this](const QString& text) { log_.Log(text); });
    connect(session_, &CallSession::ChatLine, this, &frmClient::ShowChatLine);
    connect(session_, &CallSession::AckMatched, this, &frmClient::AckMatched);
    connect(session_, &CallSession::PeerNamed, this,
            [this](const QString& nickname) { Nickname_ = nickname; });
    connect(session_, &CallSession::LoggedIn, this, &frmClient::ShowLoggedIn);
    connect(session_, &CallSession::Closed, this, &frmClient::SessionClosed);
    connect(session_, &CallSession::NotSent, this,
            [this](const QString& why) { lblStatus->setText(QStringLiteral(" ") + why); });
    connect(session_, &CallSession::DecodeFailed, this, &frmClient::ShowDecodeError);
    connect(session_, &CallSession::HeldBack, this, [](const QString& address) {
        if (frmClient* board = ClientWindows(0)) {
            board->LogInfo(QStringLiteral("Slowing down logins from ") + address +
                           QStringLiteral(" after %1 wrong passwords").arg(LoginGuard::kFreeTries));
        }
    });
}

void frmClient::sckClient_DataArrival(qint64 /*bytesTotal*/) {
    // What one read brings is shown together: one append and one repaint per read.
    const CLog::Batch batch(log_);
    session_->Feed(sckClient_->GetData());
}

bool frmClient::Write(const QByteArray& wire) {
    if (sckClient_->BytesToWrite() + wire.size() > MaxPendingWrite) {
        DropCall(sckClient_->RemoteHostIP() +
                 QStringLiteral(" does not read what is sent (over %1 bytes waiting) - call "
                                "closed")
                     .arg(MaxPendingWrite));
        return false;
    }
    return sckClient_->SendData(wire);
}

void frmClient::DropCall(const QString& logLine) {
    session_->End();
    log_.Log(logLine);
    sckClient_->Close();
    lblConn->setText(QString());
    lblConnIP->setText(QString());
    // The next call's close must not be reported under this peer's name.
    Nickname_.clear();
}

void frmClient::SessionClosed(const QString& reason, bool wasLoggedIn) {
    if (!wasLoggedIn && !Tag_.isEmpty() && session_->role() == CallSession::Role::Answerer) {
        // A call refused before it logged in leaves no window and no line entry behind;
        // the owner keeps the reason.
        sckClient_->Close();
        if (frmClient* owner = Owner(); owner != nullptr && owner != this) {
            owner->LogInfo(reason);
            owner->RemoveClient(ID_);
        }
        Unload();
        return;
    }
    DropCall(reason);
}

void frmClient::ShowLoggedIn() {
    log_.Log(Nickname_ + QStringLiteral(" connected at ") + Now() + QStringLiteral("\r\n"));
    lblConn->setText(QStringLiteral(" ") + Nickname_);
    lblConnIP->setText(sckClient_->RemoteHostIP());
}

void frmClient::ShowChatLine(const QString& text) {
    const QString line = Nickname_ + QStringLiteral(": ") + text;
    log_.Log(line);
    if (ID_ != 0 && !isVisible()) {
        if (frmClient* owner = Owner(); owner != nullptr && owner != this) {
            owner->LogInfo(line);
            owner->AlertIfInactive(); // a conference member is seen in its owner
        }
        return;
    }
    AlertIfInactive();
}

void frmClient::AlertIfInactive() {
    if (isVisible() && !isActiveWindow()) {
        platform::Alert(this);
    }
}

void frmClient::AckMatched(std::int32_t crc) {
    lblStatus->setText(QStringLiteral(" CRC OK (") +
                       QString::number(static_cast<std::uint32_t>(crc), 16).toUpper() +
                       QStringLiteral(")"));
    txtSend->clear();
    // The owner's box held the text only when this line is a conference member it relayed
    // to; a separate line's acknowledgement leaves the owner's draft alone.
    if (frmClient* owner = Owner(); owner != nullptr && owner != this && !isVisible()) {
        owner->txtSend->clear();
    }
}

void frmClient::ShowDecodeError() {
    // One box per call at a time: a peer cannot bury the user in boxes.
    if (decodeBoxWaiting_) {
        return;
    }
    decodeBoxWaiting_ = true;
    QTimer::singleShot(0, this, [this] {
        platform::MessageRequest box;
        box.parent = this;
        box.text = QStringLiteral("Error decoding message. Maybe passwords don't match.");
        box.icon = platform::MsgIcon::Exclamation;
        Ask(box);
        decodeBoxWaiting_ = false;
    });
}

void frmClient::SetPasswords(const QString& lpwd, const QString& pwd1, const QString& pwd2,
                             const QString& pwd3, const QString& pwd4, const QString& pwd5) {
    Settings.LoginPassword = lpwd;
    Settings.Passwords = {QString(), pwd1, pwd2, pwd3, pwd4, pwd5};
}

void frmClient::SetLayers() {
    int n = 0;
    for (int k = 1; k <= 5; ++k) {
        if (!Settings.Passwords[static_cast<std::size_t>(k)].isEmpty()) {
            ++n;
        }
    }
    // The login indicator goes to the tool tip; the caption shows the level word.
    QString indicator;
    if (!Settings.LoginPassword.isEmpty()) {
        indicator = QStringLiteral("Login+") + QString::number(n);
    } else if (n > 0) {
        indicator = QStringLiteral("No Login+") + QString::number(n);
    } else {
        indicator = QStringLiteral("No Security");
    }
    lblLevels->setToolTip(indicator);
    static const struct {
        const char* caption;
        unsigned colour;
    } levels[] = {{"None", 0x0C0C0C}, {"Lowest", 0x800000}, {"Low", 0x008000},
                  {"Mid", 0x008080},  {"High", 0x004080},   {"Highest", 0x000080}};
    lblLevels->setText(QString::fromLatin1(levels[n].caption));
    SetLabelColour(lblLevels, FromBgr(levels[n].colour));
}

// ---------------------------------------------------------------------------------------
// Sending

int frmClient::txtSend_KeyPress(int KeyAscii) {
    if (KeyAscii == 13) {
        if (!txtSend->toPlainText().isEmpty()) {
            cmdSend_Click();
        }
        return 0;
    }
    return KeyAscii;
}

void frmClient::LogInfo(const QString& msg) {
    log_.Log(msg);
}

void frmClient::cmdSend_Click() {
    const QPointer<frmClient> alive(this);
    const QString text = txtSend->toPlainText();
    QByteArray wire;
    const CNetMsg::CreateResult built = session_->Line(platform::ToAnsi(text), &wire);
    if (built != CNetMsg::CreateResult::Ok) {
        lblStatus->setText(QStringLiteral(" Not sent: ") + CallSession::Why(built));
        return;
    }
    const bool switchboard = Tag_.isEmpty() && ID_ == 0;
    int c = 0;
    if (switchboard) {
        for (std::int16_t entry : lines_) {
            if (entry < 0) {
                continue;
            }
            frmClient* member = ClientWindows(entry);
            if (member == nullptr || member->isVisible()) {
                continue;
            }
            ++c;
            member->txtSend->setPlainText(text);
            member->cmdSend_Click();
            if (alive.isNull()) {
                return;
            }
        }
    }
    const bool closed = sckClient_->state() == platform::TcpSocket::Closed;
    if (!(switchboard && closed && c == 0)) {
        log_.Log(Settings.Nickname + QStringLiteral("> ") + text);
    }
    if (closed) {
        if (switchboard && c == 0) {
            platform::MessageRequest box;
            box.parent = this;
            box.text = QStringLiteral("Your not connected to anyone");
            box.title = kAppTitle;
            box.icon = platform::MsgIcon::Information;
            Ask(box);
        }
        return;
    }
    if (sckClient_->state() != platform::TcpSocket::Connected) {
        lblStatus->setText(QStringLiteral(" Not sent: the call is not connected yet"));
        return;
    }
    Write(wire);
}

// ---------------------------------------------------------------------------------------
// Outgoing calls and line control

void frmClient::cmdConnect_Click() {
    if (cmbIP->currentText().trimmed().isEmpty()) {
        // Nothing to call: say so rather than retry an empty address five times.
        lblStatus->setText(QStringLiteral(" Type or pick an address to call"));
        cmbIP->setFocus();
        return;
    }
    if (sckClient_->state() != platform::TcpSocket::Closed) {
        const QPointer<frmClient> alive(this);
        platform::MessageRequest box;
        box.parent = this;
        box.text =
            QStringLiteral("Break current connection with ") + Nickname_ + QStringLiteral("?");
        box.icon = platform::MsgIcon::Question;
        box.buttons = platform::MsgButtons::YesNo;
        const platform::MsgResult answer = Ask(box);
        if (alive.isNull() || unloaded_ || unloadPending_ || answer != platform::MsgResult::Yes) {
            return;
        }
    }
    sckClient_->Close();
    // A new call starts unauthenticated, whatever the last one reached.
    session_->End();
    Nickname_.clear();
    IP = cmbIP->currentText();
    // Retries go where this window was asked to call, whatever other windows call later.
    callAddress_ = IP;
    sckClient_->SetLocalPort(0);
    PlaceCallAttempt();
    retriesLeft_ = 4;
    Timer1_->setInterval(RetryIntervalMs);
    Timer1_->start();
    txtSend->setFocus();
}

void frmClient::PlaceCallAttempt() {
    log_.Log(QStringLiteral("Calling ") + callAddress_ + QStringLiteral(":") +
             QString::number(Settings.Port) + QStringLiteral("..."));
    sckClient_->Connect(callAddress_, Settings.Port);
    lblConn->setText(QStringLiteral("<Unknown Name>"));
    lblConnIP->setText(callAddress_);
}

void frmClient::Timer1_Timer() {
    if (retriesLeft_ > 0) {
        sckClient_->Close();
        session_->End();
        PlaceCallAttempt();
        --retriesLeft_;
    } else {
        Timer1_->stop();
        // An attempt still under way may yet connect; a failed one leaves nothing to keep.
        if (sckClient_->state() == platform::TcpSocket::Error) {
            sckClient_->Close();
        }
        log_.Log(QStringLiteral("Call cancalled after 5 tries."));
        lblConn->setText(QString());
        lblConnIP->setText(QString());
    }
}

void frmClient::sckClient_Connect() {
    Timer1_->stop();
    session_->Start(CallSession::Role::Caller, sckClient_->RemoteHostIP());
}

void frmClient::cmdClose_Click() {
    Timer1_->stop();
    sckClient_->Close();
    session_->End();
    log_.Log(QStringLiteral("Line Disconnected"));
    lblConn->setText(QString());
    lblConnIP->setText(QString());
    Nickname_.clear();
    cmbIP->setFocus();
}

void frmClient::sckClient_Close() {
    const QString remote = sckClient_->RemoteHostIP();
    session_->End();
    if (!Tag_.isEmpty()) {
        sckClient_->Close();
        frmClient* owner = Owner();
        if (owner != nullptr && owner != this) {
            owner->LogInfo(QStringLiteral("Lost client call ") + Nickname_ + QStringLiteral(" - ") +
                           remote);
            owner->RemoveClient(ID_);
            owner->DisplayConn();
        }
        // The slot stays taken until the window is really gone: its unload may wait for a
        // box of its own that is still up.
        Unload();
        return;
    }
    if (!Nickname_.isEmpty()) {
        log_.Log(QStringLiteral("Lost call ") + Nickname_ + QStringLiteral(" - ") + remote);
    } else {
        log_.Log(QStringLiteral("Call rejected - Bad Password? - ") + remote);
    }
    lblStatus->setText(QStringLiteral(" Connection closed with ") + remote);
    sckClient_->Close();
    Nickname_.clear();
    lblConn->setText(QString());
    lblConnIP->setText(QString());
    DisplayConn();
}

void frmClient::sckClient_Error(int number, const QString& description) {
    lblStatus->setText(QStringLiteral("Error #") + QString::number(number) + QStringLiteral(" - ") +
                       description);
    if (sckClient_->WasConnected()) {
        // An established call that fails has ended, as if the peer had closed it.
        sckClient_Close();
        return;
    }
    // A failed attempt while retrying stays as it is: the socket is not free for an incoming
    // call, and the next tick starts a new attempt. Outside the retries the attempt is over.
    if (!Timer1_->isActive()) {
        sckClient_->Close();
        log_.Log(QStringLiteral("Call failed: ") + description);
        lblConn->setText(QString());
        lblConnIP->setText(QString());
    }
}

void frmClient::cmbIP_KeyPress(int KeyAscii) {
    if (KeyAscii == 27) {
        const int index = cmbIP->currentIndex();
        if (index >= 0) {
            lblStatus->setText(cmbIP->currentText() + QStringLiteral(" Removed "));
            cmbIP->removeItem(index);
        }
        return;
    }
    if (KeyAscii != 13) {
        return;
    }
    const QString address = cmbIP->currentText();
    if (address.isEmpty() || cmbIP->findText(address, Qt::MatchExactly) >= 0) {
        return;
    }
    cmbIP->addItem(address);
    cmbIP->setEditText(QString());
    cmbIP->setCurrentIndex(cmbIP->count() - 1);
    lblStatus->setText(address + QStringLiteral(" Added "));
    // The shared list has room for 100; beyond that only this window's list grows.
    if (Settings.AddressCount < SettingsRecord::kMaxAddresses) {
        ++Settings.AddressCount;
        Settings.AddressList[static_cast<std::size_t>(Settings.AddressCount)] = address;
    }
}

bool frmClient::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress) {
        return QMainWindow::eventFilter(watched, event);
    }
    const auto* key = static_cast<QKeyEvent*>(event);
    const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
    if (watched == txtSend && enter) {
        txtSend_KeyPress(13);
        return true;
    }
    if (watched == cmbIP || watched == cmbIP->lineEdit()) {
        if (enter) {
            cmbIP_KeyPress(13);
            return true;
        }
        if (key->key() == Qt::Key_Escape) {
            cmbIP_KeyPress(27);
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

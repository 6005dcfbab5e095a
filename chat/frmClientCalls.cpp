// The chat window's calls: the server switch, answering and placing calls, and what the
// window shows of its call.
#include "frmClient.h"

#include "LoginGuard.h"
#include "WindowHelpers.h"

#include "log/frmDebug.h"
#include "platform/Address.h"
#include "platform/Desktop.h"
#include "platform/TcpSocket.h"
#include "settings/Settings.h"

#include <QComboBox>
#include <QDateTime>
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

void frmClient::sckServer_ConnectionRequest(int requestID) {
    LogDebug(QStringLiteral("Server receiving call from ") +
             platform::TcpSocket::RequestAddress(requestID) + QStringLiteral(" / ") +
             QString::number(platform::TcpSocket::RequestPort(requestID)));
    // The call waits apart until it has logged in; only then does a window take it. A
    // request nobody takes is closed by the socket layer: no AUTH, no window.
    emit CallArrived(requestID);
}

void frmClient::Adopt(Call* call, bool asLine) {
    Call* const old = std::exchange(call_, call);
    call->setParent(this);
    delete old;
    ConnectCall();
    if (!asLine) {
        log_.Log(QStringLiteral("Incomming call from ") + // sic: the wording users know
                 call_->RemoteAddress());
    }
    ShowLoggedIn();
    AlertIfInactive();
    emit Notice(call_->Nickname(), QStringLiteral("Call from ") + call_->RemoteAddress());
}

// ---------------------------------------------------------------------------------------
// What the window shows of its call

void frmClient::ConnectCall() {
    connect(call_, &Call::ReadStarted, this, [this] { log_.BeginBatch(); });
    connect(call_, &Call::ReadFinished, this, [this] { log_.EndBatch(); });
    connect(call_, &Call::LogLine, this, &frmClient::LogInfo);
    connect(call_, &Call::DebugLine, this, [](const QString& text) { LogDebug(text); });
    connect(call_, &Call::Status, this, &frmClient::ShowStatus);
    connect(call_, &Call::Calling, this, [this](const QString& address) {
        lblConn->setText(QStringLiteral("<Unknown Name>"));
        lblConnIP->setText(address);
    });
    connect(call_, &Call::LoggedIn, this, &frmClient::ShowLoggedIn);
    connect(call_, &Call::Echo, this, [this](const QString& text) {
        log_.Log(Settings.Nickname + QStringLiteral("> ") + text);
        // A line relayed to a member is kept once, by the window it was typed in.
        if (member_) {
            return;
        }
        if (call_->LoginFlag() != 0) {
            Record(HistoryEvent::Kind::Line, recordedCall_, text, true);
        } else if (!conference_.Empty()) {
            if (recordedConference_ == 0) {
                recordedConference_ = NextRecordKey();
                Record(HistoryEvent::Kind::CallStarted, recordedConference_);
            }
            Record(HistoryEvent::Kind::Line, recordedConference_, text, true);
        }
    });
    connect(call_, &Call::AckFailed, this, [this] {
        if (!member_) {
            Record(HistoryEvent::Kind::Ack, recordedCall_, {}, true, false);
        }
    });
    connect(call_, &Call::ChatLine, this, &frmClient::ShowChatLine);
    connect(call_, &Call::AckMatched, this, &frmClient::AckMatched);
    connect(call_, &Call::DecodeFailed, this, &frmClient::ShowDecodeError);
    connect(call_, &Call::HeldBack, this,
            [this](const QString& address) { emit SwitchboardNote(HeldBackNote(address)); });
    connect(call_, &Call::Refused, this, &frmClient::CallRefused);
    connect(call_, &Call::Dropped, this, [this] {
        EndRecordedCall();
        ClearHeader();
    });
    connect(call_, &Call::Lost, this, &frmClient::CallLost);
    connect(call_, &Call::GaveUp, this, &frmClient::ClearHeader);
}

void frmClient::ConnectConference() {
    // What conference members say and acknowledge shows here.
    connect(&conference_, &Conference::MemberLine, this,
            [this](const QString& nickname, const QString& text) {
                log_.Log(nickname + QStringLiteral(": ") + text);
                AlertIfInactive();
                emit Notice(nickname, text);
            });
    connect(&conference_, &Conference::MemberAck, this, [this] {
        txtSend->clear();
        Record(HistoryEvent::Kind::Ack,
               call_->LoginFlag() != 0 ? recordedCall_ : recordedConference_, {}, true, true);
    });
    connect(&conference_, &Conference::Changed, this, [this] {
        DisplayConn();
        if (conference_.Empty()) {
            Record(HistoryEvent::Kind::CallEnded, std::exchange(recordedConference_, 0));
        }
    });
}

void frmClient::CallRefused(const QString& reason) {
    if (Tag_) {
        // A call refused before it logged in leaves no window behind; the owner keeps the
        // reason.
        emit OwnerNote(reason);
        Unload();
        return;
    }
    log_.Log(reason);
    ClearHeader();
}

quint64 frmClient::NextRecordKey() {
    static quint64 serial = 0;
    return ++serial;
}

void frmClient::Record(HistoryEvent::Kind kind, quint64 call, const QString& text, bool outgoing,
                       bool ackOk) {
    if (call == 0) {
        return;
    }
    HistoryEvent e;
    e.kind = kind;
    e.call = call;
    e.at = QDateTime::currentMSecsSinceEpoch();
    e.outgoing = outgoing;
    e.ackOk = ackOk;
    e.conference = member_ || !conference_.Empty() || call == recordedConference_;
    e.window = ID_;
    e.port = Settings.Port;
    if (call == recordedConference_) {
        e.peer = lblConn->text().trimmed();
    } else {
        e.peer = call_->Nickname();
        e.address = call_->RemoteAddress();
    }
    e.text = text;
    emit Recorded(e);
}

void frmClient::EndRecordedCall() {
    Record(HistoryEvent::Kind::CallEnded, std::exchange(recordedCall_, 0));
}

void frmClient::CallLost(const QString& nickname, const QString& remote) {
    EndRecordedCall();
    if (!nickname.isEmpty()) {
        emit Notice(nickname, QStringLiteral("Lost call - ") + remote);
    }
    if (Tag_) {
        emit OwnerNote(QStringLiteral("Lost client call ") + nickname + QStringLiteral(" - ") +
                       remote);
        Unload();
        return;
    }
    if (!nickname.isEmpty()) {
        log_.Log(QStringLiteral("Lost call ") + nickname + QStringLiteral(" - ") + remote);
    } else {
        log_.Log(QStringLiteral("Call rejected - Bad Password? - ") + remote);
    }
    lblStatus->setText(QStringLiteral(" Connection closed with ") + remote);
    ClearHeader();
    DisplayConn();
}

void frmClient::ShowLoggedIn() {
    EndRecordedCall();
    recordedCall_ = NextRecordKey();
    Record(HistoryEvent::Kind::CallStarted, recordedCall_);
    log_.Log(call_->Nickname() + QStringLiteral(" connected at ") + Now() + QStringLiteral("\r\n"));
    lblConn->setText(QStringLiteral(" ") + call_->Nickname());
    lblConnIP->setText(call_->RemoteAddress());
}

void frmClient::ShowChatLine(const QString& nickname, const QString& text) {
    log_.Log(nickname + QStringLiteral(": ") + text);
    Record(HistoryEvent::Kind::Line, recordedCall_, text);
    // A conference member is seen, and alerts, in its owner.
    if (!member_) {
        AlertIfInactive();
        emit Notice(nickname, text);
    }
}

void frmClient::AlertIfInactive() {
    if (isVisible() && !isActiveWindow()) {
        platform::Alert(this);
    }
}

void frmClient::AckMatched(std::int32_t crc) {
    if (!member_) {
        Record(HistoryEvent::Kind::Ack, recordedCall_, {}, true, true);
    }
    lblStatus->setText(QStringLiteral(" CRC OK (") +
                       QString::number(static_cast<std::uint32_t>(crc), 16).toUpper() +
                       QStringLiteral(")"));
    txtSend->clear();
}

void frmClient::ShowDecodeError() {
    // One box per call at a time: a peer cannot bury the user in boxes.
    if (decodeBoxWaiting_) {
        return;
    }
    decodeBoxWaiting_ = true;
    QTimer::singleShot(0, this, [this] {
        Inform(QStringLiteral("Error decoding message. Maybe passwords don't match."),
               platform::MsgIcon::Exclamation);
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
    const QString text = txtSend->toPlainText();
    // A switchboard with nobody to talk to says so instead of echoing the line.
    const bool alone = !Tag_ && call_->Idle() && conference_.Empty();
    const Call::SendResult sent = call_->SendLine(text, !alone);
    if (sent == Call::SendResult::NotBuilt) {
        return;
    }
    if (!Tag_) {
        conference_.Relay(text);
    }
    if (alone) {
        platform::MessageRequest box;
        box.parent = this;
        box.text = QStringLiteral("Your not connected to anyone"); // sic: the wording users know
        box.title = kAppTitle;
        box.icon = platform::MsgIcon::Information;
        Ask(box);
    }
}

// ---------------------------------------------------------------------------------------
// Outgoing calls and line control

void frmClient::PlaceCall(const QString& address) {
    cmbIP->setEditText(address);
    cmdConnect_Click();
}

void frmClient::cmdConnect_Click() {
    if (cmbIP->currentText().trimmed().isEmpty()) {
        // Nothing to call: say so rather than retry an empty address five times.
        lblStatus->setText(QStringLiteral(" Type or pick an address to call"));
        cmbIP->setFocus();
        return;
    }
    if (!call_->Idle()) {
        const QPointer<frmClient> alive(this);
        platform::MessageRequest box;
        box.parent = this;
        box.text = QStringLiteral("Break current connection with ") + call_->Nickname() +
                   QStringLiteral("?");
        box.icon = platform::MsgIcon::Question;
        box.buttons = platform::MsgButtons::YesNo;
        const platform::MsgResult answer = Ask(box);
        if (alive.isNull() || unloaded_ || unloadPending_ || answer != platform::MsgResult::Yes) {
            return;
        }
    }
    const auto address = platform::ParseAddress(cmbIP->currentText(), Settings.Port);
    if (!address) {
        lblStatus->setText(QStringLiteral(" Not an address to call: ") + cmbIP->currentText());
        cmbIP->setFocus();
        return;
    }
    IP = address->host;
    call_->Place(address->host, address->port);
    txtSend->setFocus();
}

void frmClient::cmdClose_Click() {
    EndRecordedCall();
    call_->Hangup();
    log_.Log(QStringLiteral("Line Disconnected"));
    ClearHeader();
    cmbIP->setFocus();
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
        // Swallowed unless the handler passes it on: Enter never breaks the line.
        return txtSend_KeyPress(13) == 0;
    }
    if (watched == cmbIP->lineEdit()) {
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

// The chat window's calls: the server switch, answering and placing calls, and what the
// window shows of its call.
#include "frmClient.h"

#include "CallTexts.h"
#include "WindowHelpers.h"
#include "call/LoginGuard.h"

#include "log/frmDebug.h"
#include "platform/Address.h"
#include "platform/Desktop.h"
#include "platform/TcpSocket.h"
#include "settings/Settings.h"

#include <QComboBox>
#include <QDateTime>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QResizeEvent>
#include <QTimer>

using chat::FromBgr;
using chat::kAppTitle;
using chat::Now;

// ---------------------------------------------------------------------------------------
// The server switch and incoming calls

void frmClient::lblServer_Click() {
    int port = model_.ServerPort(ID_);
    if (port == 0) {
        port = Settings.Port != 0 ? Settings.Port : 7000;
    }
    const QString local = model_.ServerIP(ID_);
    lblServer->setToolTip(local.isEmpty() ? QString()
                                          : QStringLiteral("Your Server: ") + local +
                                                QStringLiteral(":") + QString::number(port));
    if (lblServer->text() != QLatin1String("Reject")) {
        StopServer();
        lblServer->setText(QStringLiteral("Reject"));
        lblServer->setAccessibleName(QStringLiteral("Server switch: Reject"));
        SetLabelColour(lblServer, FromBgr(0x000080));
    } else {
        if (!StartServer()) {
            return; // nothing listens: the switch stays at Reject, the status says why
        }
        lblServer->setText(QStringLiteral("Accept"));
        lblServer->setAccessibleName(QStringLiteral("Server switch: Accept"));
        SetLabelColour(lblServer, FromBgr(0x008000));
    }
}

bool frmClient::StartServer() {
    // One attempt per click: a failure stays on the status line until the next click.
    const Switchboard::Started started = model_.StartServer(ID_, Settings.Port);
    if (!started.ok) {
        const QString why = QStringLiteral("Error #") + QString::number(started.errorNumber) +
                            QStringLiteral(" - ") + started.error;
        lblStatus->setText(why);
        log_.Log(QStringLiteral("Not accepting calls on port %1: ").arg(Settings.Port) + why);
        return false;
    }
    lblStatus->setText(QStringLiteral(" Server accepting calls on ") + started.where);
    return true;
}

void frmClient::StopServer() {
    if (!model_.StopServer(ID_).isEmpty()) {
        lblStatus->setText(QString());
    }
}

void frmClient::Adopt(Call* call, bool asLine) {
    const bool cameBack = call_ != nullptr && call_->Down();
    GiveUpCall(); // the line table has let the idle one go
    call_ = call;
    ConnectCall();
    if (!asLine) {
        log_.Log(QStringLiteral("Incomming call from ") + // sic: the wording users know
                 call_->RemoteAddress());
    }
    if (call_->KeyChangedMark()) {
        // Found while the call still waited for its login, before any window showed it.
        log_.Log(chat::CallText(*call_->KeyChange()).text);
    }
    ShowLoggedIn();
    if (cameBack) {
        ShowRedial(-1);
        ShowStatus(QStringLiteral(" Connection to ") + call_->Nickname() +
                   QStringLiteral(" is back"));
    }
    AlertIfInactive();
}

// ---------------------------------------------------------------------------------------
// What the window shows of its call

void frmClient::ConnectCall() {
    ConnectFiles();
    connect(call_, &Call::ReadStarted, this, [this] { log_.BeginBatch(); });
    connect(call_, &Call::ReadFinished, this, [this] { log_.EndBatch(); });
    connect(call_, &Call::Debug, this,
            [](const CallReport& r) { LogDebug(chat::CallText(r).text); });
    connect(call_, &Call::Reported, this, [this](const CallReport& report) {
        const chat::Shown shown = chat::CallText(report);
        if (shown.status) {
            ShowStatus(shown.text);
        } else {
            LogInfo(shown.text);
        }
    });
    connect(call_, &Call::Calling, this, [this](const QString& address) {
        lblConn->setText(QStringLiteral("<Unknown Name>"));
        lblConnIP->setText(address);
    });
    connect(call_, &Call::LoggedIn, this, &frmClient::ShowLoggedIn);
    connect(call_, &Call::Echo, this, [this](const QString& text) {
        // Indented as the peer's log shows it.
        log_.Log(Settings.Nickname + QStringLiteral("> ") + PeerLine(text));
    });
    connect(call_, &Call::ChatLine, this, &frmClient::ShowChatLine);
    connect(call_, &Call::AckMatched, this, &frmClient::AckMatched);
    connect(call_, &Call::DecodeFailed, this, &frmClient::ShowDecodeError);
    connect(call_, &Call::HeldBack, this,
            [this](const QString& address) { emit SwitchboardNote(chat::HeldBackNote(address)); });
    connect(call_, &Call::Refused, this,
            [this](CloseReason, const CallReport& r) { CallRefused(chat::CallText(r).text); });
    connect(call_, &Call::Dropped, this, &frmClient::ClearHeader);
    connect(call_, &Call::Lost, this, &frmClient::CallLost);
    connect(call_, &Call::GaveUp, this, &frmClient::ClearHeader);
    connect(call_, &Call::SecureChanged, this, &frmClient::ShowSecurity);
    ConnectComeback();
    connect(call_, &Call::KeyChanged, this, &frmClient::AskAcceptNewKey);
    connect(call_, &Call::PlainLoginAsked, this, &frmClient::AskPlainLogin);
}

// ---------------------------------------------------------------------------------------
// Secure calls

namespace {

// How safe a logged-in call is, weakest first.
enum class Safety { Plain, KeyChanged, Secure, Verified };

Safety SafetyOf(const Call* call) {
    if (!call->Secure()) {
        return Safety::Plain;
    }
    return call->KeyChangedMark() ? Safety::KeyChanged
           : call->KeyVerified()  ? Safety::Verified
                                  : Safety::Secure;
}

} // namespace

void frmClient::ShowSecurity() {
    // A conference is as safe as its weakest member, the switchboard's own call included.
    QList<const Call*> calls;
    if (call_ != nullptr && call_->LoginFlag() != 0) {
        calls << call_;
    }
    if (!Tag_ && conference_ != nullptr) {
        for (const Call* member : conference_->Members()) {
            if (member->LoginFlag() != 0) {
                calls << member;
            }
        }
    }
    QString text;
    QString tip;
    QColor colour = palette().color(QPalette::Window);
    const Call* weakest = nullptr;
    for (const Call* c : calls) {
        if (weakest == nullptr || SafetyOf(c) < SafetyOf(weakest)) {
            weakest = c;
        }
    }
    const QString members =
        calls.size() > 1
            ? QStringLiteral("The weakest of %1 calls in this conference\n").arg(calls.size())
            : QString();
    if (weakest != nullptr && weakest->Secure()) {
        const Safety safety = SafetyOf(weakest);
        text = safety == Safety::KeyChanged ? QStringLiteral("Key changed")
               : safety == Safety::Verified ? QStringLiteral("Verified")
                                            : QStringLiteral("Secure");
        colour = safety == Safety::KeyChanged ? FromBgr(0x0080FF) : FromBgr(0x008000);
        tip = members + QStringLiteral("Encrypted: ") + weakest->TlsDescription() +
              QStringLiteral("\nSafety number: ") + weakest->SafetyNumber() +
              (weakest->KnownAs().isEmpty()
                   ? QString()
                   : QStringLiteral("\nThis key is known as ") + weakest->KnownAs()) +
              QStringLiteral("\nClick to compare the safety number");
    } else if (weakest != nullptr) {
        text = QStringLiteral("Not encrypted");
        colour = FromBgr(0x0000C0);
        tip = members + QStringLiteral("This call is plain text: anyone on the way can read "
                                       "and change it");
    }
    lblSecure->setText(text);
    FitSecurityText();
    lblSecure->setToolTip(platform::PlainToolTip(tip));
    lblSecure->setAccessibleName(QStringLiteral("Security of this call: ") +
                                 (text.isEmpty() ? QStringLiteral("no call") : text));
    SetLabelColour(lblSecure, colour);
}

void frmClient::FitSecurityText() {
    // The label keeps its place and size; its text is made small enough to be read whole.
    QFont f = lblSecure->parentWidget()->font();
    const int room = lblSecure->contentsRect().width() - 2;
    while (f.pixelSize() > 6 && QFontMetrics(f).horizontalAdvance(lblSecure->text()) > room) {
        f.setPixelSize(f.pixelSize() - 1);
    }
    lblSecure->setFont(f);
}

void frmClient::lblSecure_Click() {
    if (call_ == nullptr || !call_->Secure()) {
        return;
    }
    // Fixed words with the digits on a line of their own; the peer's name, which could be
    // anything, comes after them, quoted and short.
    const QString who = PeerName(call_->Nickname()).left(40);
    platform::MessageRequest box;
    box.parent = this;
    box.title = QStringLiteral("Safety number");
    box.text = QStringLiteral("Safety number of this call:\n\n") + call_->SafetyNumber() +
               QStringLiteral("\n\nRead it to each other by phone or in person. When both "
                              "of you see the same digits, nobody is in between.") +
               QStringLiteral("\n\nThe other side calls itself \"") + who +
               QStringLiteral("\" and is at ") + call_->RemoteAddress() + QStringLiteral(".");
    if (call_->KeyChangedMark()) {
        box.text += QStringLiteral("\n\nThis key is not the one this nickname had before. "
                                   "Accept the new key?");
        box.icon = platform::MsgIcon::Question;
        box.buttons = platform::MsgButtons::YesNo;
        if (Ask(box) == platform::MsgResult::Yes && call_ != nullptr) {
            call_->AcceptNewKey();
        }
        return;
    }
    if (call_->KeyVerified()) {
        box.text += QStringLiteral("\n\nYou marked this key as verified.");
        Ask(box);
        return;
    }
    box.text += QStringLiteral("\n\nMark this key as verified?");
    box.icon = platform::MsgIcon::Question;
    box.buttons = platform::MsgButtons::YesNo;
    if (Ask(box) == platform::MsgResult::Yes && call_ != nullptr) {
        call_->MarkKeyVerified();
    }
}

void frmClient::AskLater(const QString& title, platform::MsgIcon icon, const QString& text,
                         const std::function<void(bool)>& answered) {
    // Asked from the event loop, never inside the read that raised the question.
    QTimer::singleShot(0, this, [this, title, icon, text, answered] {
        platform::MessageRequest box;
        box.parent = this;
        box.title = title;
        box.icon = icon;
        box.buttons = platform::MsgButtons::YesNo;
        box.text = text;
        answered(Ask(box) == platform::MsgResult::Yes);
    });
}

void frmClient::AskPlainLogin(const QString& address, Insecure why) {
    const QPointer<Call> call(call_);
    AskLater(QStringLiteral("Not encrypted"), platform::MsgIcon::Exclamation,
             QStringLiteral("The call to ") + address + QStringLiteral(" cannot be made secure: ") +
                 chat::InsecureText(why) +
                 QStringLiteral(".\n\nGo on in plain text? Anyone on the way could read your "
                                "login password and everything you write."),
             [this, call](bool goOn) {
                 if (!call.isNull() && call == call_) {
                     call_->AnswerPlainLogin(goOn);
                 }
             });
}

void frmClient::AskAcceptNewKey(const QString& address, const QString& oldNumber,
                                const QString& newNumber) {
    AskLater(QStringLiteral("Accept the new key"), platform::MsgIcon::Question,
             QStringLiteral("The program at ") + address +
                 QStringLiteral(" answered with another key than before, so the call was not "
                                "made.\n\nSafety number before: ") +
                 oldNumber + QStringLiteral("\nSafety number now: ") + newNumber +
                 QStringLiteral("\n\nThis happens when Palaver was set up anew there, or when "
                                "someone is in between. Ask the person by phone first.\n\n"
                                "Accept the new key?"),
             [this, address](bool yes) {
                 if (yes && call_ != nullptr) {
                     call_->AcceptNewKey();
                     log_.Log(QStringLiteral("The new key of ") + address +
                              QStringLiteral(" is accepted; call again to talk"));
                 }
             });
}

void frmClient::ShowConference(Conference* conference) {
    if (conference != nullptr && conference_ != conference) {
        conference_ = conference;
        // What conference members say and acknowledge shows here.
        connect(conference_, &Conference::MemberLine, this,
                [this](Call*, const QString& nickname, const QString& text) {
                    log_.Log(nickname + QStringLiteral(": ") + text);
                    AlertIfInactive();
                });
        connect(conference_, &Conference::MemberAck, this,
                [this](std::int32_t) { ClearSent(lastSent_); });
        connect(conference_, &Conference::MemberDecodeFailed, this, &frmClient::ShowDecodeError);
        connect(conference_, &Conference::MemberReported, this,
                [this](const CallReport& report) { ShowStatus(chat::CallText(report).text); });
        connect(conference_, &Conference::Changed, this, &frmClient::DisplayConn);
        connect(conference_, &Conference::Changed, this, &frmClient::ShowSecurity);
    }
    DisplayConn();
    ShowSecurity();
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

void frmClient::CallLost(const QString& nickname, const QString& remote) {
    if (Tag_) {
        emit OwnerNote(nickname.isEmpty() && !call_->PeerRefusal().isEmpty()
                           ? QStringLiteral("Call refused by ") + remote + QStringLiteral(": ") +
                                 call_->PeerRefusal()
                           : QStringLiteral("Lost client call ") + nickname +
                                 QStringLiteral(" - ") + remote);
        Unload();
        return;
    }
    if (!nickname.isEmpty()) {
        log_.Log(QStringLiteral("Lost call ") + nickname + QStringLiteral(" - ") + remote);
    } else if (!call_->PeerRefusal().isEmpty()) {
        // A copy that refused us said why; an old peer only closes.
        log_.Log(QStringLiteral("Call refused by ") + remote + QStringLiteral(": ") +
                 call_->PeerRefusal());
    } else {
        log_.Log(QStringLiteral("Call rejected - Bad Password? - ") + remote);
    }
    lblStatus->setText(QStringLiteral(" Connection closed with ") + remote);
    ClearHeader();
    DisplayConn();
}

void frmClient::ShowLoggedIn() {
    log_.Log(call_->Nickname() + QStringLiteral(" connected at ") + Now() + QStringLiteral("\r\n"));
    // What went wrong before this call was up is over now.
    const QString status = lblStatus->text();
    if (status.startsWith(QLatin1String("Error #")) ||
        status.startsWith(QLatin1String(" Connection closed with ")) ||
        status.startsWith(QLatin1String(" Not sent"))) {
        lblStatus->clear();
    }
    lblConn->setText(QStringLiteral(" ") + call_->Nickname());
    lblConnIP->setText(call_->RemoteAddress());
    ShowSecurity();
}

void frmClient::ShowChatLine(const QString& nickname, const QString& text) {
    log_.Log(nickname + QStringLiteral(": ") + text);
    AlertIfInactive();
}

void frmClient::AlertIfInactive() {
    // Once for all the lines of one read.
    if (alertPending_) {
        return;
    }
    alertPending_ = true;
    QTimer::singleShot(0, this, [this] {
        alertPending_ = false;
        if (isVisible() && !isActiveWindow()) {
            platform::Alert(this);
        }
    });
}

void frmClient::AckMatched(std::int32_t crc) {
    lblStatus->setText(QStringLiteral(" CRC OK (") +
                       QString::number(static_cast<std::uint32_t>(crc), 16).toUpper() +
                       QStringLiteral(")"));
    ClearSent(sentTexts_.take(crc));
}

void frmClient::ClearSent(const QString& text) {
    // Only the confirmed line itself goes: what the user has typed since stays.
    if (txtSend->toPlainText() == text) {
        txtSend->clear();
    }
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
    const bool alone = !Tag_ && Free();
    const Call::SendResult sent = call_->SendLine(text, !alone);
    if (sent == Call::SendResult::NotBuilt || sent == Call::SendResult::StillWaiting) {
        return;
    }
    if (sent == Call::SendResult::Sent || sent == Call::SendResult::Queued) {
        const bool queued = sent == Call::SendResult::Queued;
        const QTextBlock block = txtLog->MarkLastLine(queued ? ChatLog::Queued : ChatLog::Waiting);
        const qint64 id = call_->LastLineId();
        const auto known = std::find_if(marks_.begin(), marks_.end(),
                                        [id](const Marked& m) { return m.id == id; });
        if (known != marks_.end()) {
            known->block = block; // typed again: the new line speaks for it
        } else {
            marks_.append({id, block, text});
        }
        if (queued) {
            // Kept by the call, shown as waiting in the log: the box is free for the next.
            txtSend->clear();
        } else {
            sentTexts_.insert(call_->LastLineCrc(), text);
        }
    } else if (!alone && (conference_ == nullptr || conference_->Empty())) {
        txtLog->MarkLastLine(ChatLog::NotSent); // echoed, but it went nowhere
    }
    lastSent_ = text;
    if (!Tag_ && conference_ != nullptr) {
        conference_->Send(text);
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

void frmClient::PlaceCall(const QString& address, const QByteArray& expectedKey) {
    cmbIP->setEditText(address);
    placeKey_ = expectedKey;
    cmdConnect_Click();
    placeKey_.clear();
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
    call_->Place(address->host, address->port, placeKey_);
    txtSend->setFocus();
}

void frmClient::cmdClose_Click() {
    // A conference says itself who it disconnected; the line's own call says so here.
    const bool conference = conference_ != nullptr && !conference_->Empty();
    const bool own = !call_->Idle();
    emit HangupWanted();
    if (own || !conference) {
        log_.Log(QStringLiteral("Line Disconnected"));
    }
    ClearHeader();
    cmbIP->setFocus();
}

void frmClient::cmbIP_KeyPress(int KeyAscii) {
    if (KeyAscii == 27) {
        const int index = cmbIP->currentIndex();
        if (index >= 0) {
            lblStatus->setText(cmbIP->currentText() + QStringLiteral(" Removed "));
            RemoveAddress(cmbIP->itemText(index));
            cmbIP->removeItem(index);
            emit AddressesChanged();
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
    if (Settings.AddressCount >= SettingsRecord::kMaxAddresses) {
        lblStatus->setText(QStringLiteral(" All %1 remembered addresses are in use")
                               .arg(SettingsRecord::kMaxAddresses));
        return;
    }
    ++Settings.AddressCount;
    Settings.AddressList[static_cast<std::size_t>(Settings.AddressCount)] = address;
    cmbIP->addItem(address);
    cmbIP->setEditText(QString());
    cmbIP->setCurrentIndex(cmbIP->count() - 1);
    lblStatus->setText(address + QStringLiteral(" Added "));
    emit AddressesChanged();
}

bool frmClient::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Resize && watched == centralWidget()) {
        Relayout(static_cast<QResizeEvent*>(event)->size());
        return false;
    }
    if (event->type() != QEvent::KeyPress) {
        return QMainWindow::eventFilter(watched, event);
    }
    const auto* key = static_cast<QKeyEvent*>(event);
    const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
    if (watched == txtSend && key->matches(QKeySequence::Paste) && PasteImage()) {
        return true;
    }
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

#include "frmClient.h"

#include "ClientWindows.h"

#include "about/frmAbout.h"
#include "app/Settings.h"
#include "app/frmSettings.h"
#include "log/frmDebug.h"
#include "platform/Desktop.h"
#include "platform/LocaleText.h"
#include "platform/TcpSocket.h"
#include "platform/Text1252.h"
#include "platform/Twips.h"
#include "protocol/NetCodec.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <algorithm>

namespace {

const QByteArray kAppID(kAppMarker);
const QString kAppTitle = QStringLiteral("Palaver");

// Colours given as the window system's &HBBGGRR values.
QColor FromBgr(unsigned bgr) {
    return {static_cast<int>(bgr & 0xFFu), static_cast<int>((bgr >> 8) & 0xFFu),
            static_cast<int>((bgr >> 16) & 0xFFu)};
}

QByteArray Password(int k) {
    return platform::ToAnsi(Settings.Passwords[static_cast<std::size_t>(k)]);
}

QString Now() {
    return platform::GeneralDate(QDateTime::currentDateTime());
}

} // namespace

void ClickLabel::mouseReleaseEvent(QMouseEvent* event) {
    QLabel::mouseReleaseEvent(event);
    emit clicked();
}

frmClient::frmClient()
    : sckServer_(new platform::TcpSocket(this)), sckClient_(new platform::TcpSocket(this)),
      Timer1_(new QTimer(this)) {
    setObjectName(QStringLiteral("frmClient"));
    setWindowIcon(QIcon(QStringLiteral(":/palaver/palaver.png")));
    lines_.fill(-1);
    BuildControls();
    BuildMenus();

    Timer1_->setObjectName(QStringLiteral("Timer1"));
    Timer1_->setInterval(RetryIntervalMs);
    connect(Timer1_, &QTimer::timeout, this, &frmClient::Timer1_Timer);
    sckServer_->setObjectName(QStringLiteral("sckServer"));
    sckClient_->setObjectName(QStringLiteral("sckClient"));
    connect(sckServer_, &platform::TcpSocket::ConnectionRequest, this,
            &frmClient::sckServer_ConnectionRequest);
    connect(sckClient_, &platform::TcpSocket::DataArrival, this, &frmClient::sckClient_DataArrival);
    connect(sckClient_, &platform::TcpSocket::ConnectedEvent, this, &frmClient::sckClient_Connect);
    connect(sckClient_, &platform::TcpSocket::ClosedEvent, this, &frmClient::sckClient_Close);
    connect(sckClient_, &platform::TcpSocket::ErrorEvent, this, &frmClient::sckClient_Error);
}

frmClient::~frmClient() = default;

void frmClient::BuildControls() {
    auto* area = new QWidget(this);
    area->setObjectName(QStringLiteral("clientArea"));
    area->setFixedSize(platform::ToPixelsX(5640), platform::ToPixelsY(4455));
    QFont small = font();
    small.setPixelSize(std::max(9, platform::ToPixelsY(165)));
    area->setFont(small);
    setCentralWidget(area);

    auto place = [area](QWidget* w, const char* name, int l, int t, int wd, int h) {
        w->setParent(area);
        w->setObjectName(QString::fromLatin1(name));
        w->setGeometry(platform::TwipsRect(l, t, wd, h));
    };

    lblConn = new QLabel(area);
    place(lblConn, "lblConn", 30, 30, 5595, 315);
    QFont bold = small;
    bold.setBold(true);
    lblConn->setFont(bold);
    lblConn->setIndent(3);
    SetLabelColour(lblConn, QColor(0xAB, 0xAB, 0xAB)); // application workspace grey
    lblConn->setAutoFillBackground(true);
    {
        QPalette p = lblConn->palette();
        p.setColor(QPalette::WindowText, Qt::black);
        lblConn->setPalette(p);
    }

    lblConnIP = new QLabel(area);
    place(lblConnIP, "lblConnIP", 3900, 90, 1605, 225);
    lblConnIP->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

    txtLog = new QPlainTextEdit(area);
    place(txtLog, "txtLog", 30, 390, 5595, 2535);
    txtLog->setReadOnly(true);
    txtLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    txtLog->setFocusPolicy(Qt::ClickFocus);

    lblStatus = new QLabel(area);
    place(lblStatus, "lblStatus", 30, 2970, 4545, 255);

    lblLevels = new QLabel(area);
    place(lblLevels, "lblLevels", 4620, 2970, 1005, 255);
    lblLevels->setFont(bold);
    lblLevels->setAlignment(Qt::AlignCenter);
    SetLabelColour(lblLevels, FromBgr(0xC0C0C0));
    {
        QPalette p = lblLevels->palette();
        p.setColor(QPalette::WindowText, Qt::black);
        lblLevels->setPalette(p);
    }

    txtSend = new QPlainTextEdit(area);
    place(txtSend, "txtSend", 30, 3270, 5595, 795);
    txtSend->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    txtSend->setTabChangesFocus(true);
    txtSend->installEventFilter(this);

    cmbIP = new QComboBox(area);
    place(cmbIP, "cmbIP", 30, 4110, 1635, 315);
    cmbIP->setEditable(true);
    cmbIP->setInsertPolicy(QComboBox::NoInsert);
    cmbIP->installEventFilter(this);
    cmbIP->lineEdit()->installEventFilter(this);

    cmdConnect = new QPushButton(QStringLiteral("Call"), area);
    place(cmdConnect, "cmdConnect", 1710, 4110, 705, 315);
    cmdClose = new QPushButton(QStringLiteral("Bye"), area);
    place(cmdClose, "cmdClose", 2430, 4110, 705, 315);
    cmdLine2 = new QPushButton(QStringLiteral("+ Line"), area);
    place(cmdLine2, "cmdLine2", 3150, 4110, 705, 315);
    cmdConf = new QPushButton(QStringLiteral("Conf"), area);
    place(cmdConf, "cmdConf", 3870, 4110, 705, 315);
    for (QPushButton* b : {cmdConnect, cmdClose, cmdLine2, cmdConf}) {
        b->setAutoDefault(false);
    }
    connect(cmdConnect, &QPushButton::clicked, this, &frmClient::cmdConnect_Click);
    connect(cmdClose, &QPushButton::clicked, this, &frmClient::cmdClose_Click);
    connect(cmdLine2, &QPushButton::clicked, this, &frmClient::cmdLine2_Click);
    connect(cmdConf, &QPushButton::clicked, this, &frmClient::cmdConf_Click);

    lblServer = new ClickLabel(area);
    place(lblServer, "lblServer", 4620, 4140, 1005, 255);
    lblServer->setAlignment(Qt::AlignCenter);
    lblServer->setCursor(Qt::PointingHandCursor);
    lblServer->setAutoFillBackground(true);
    connect(lblServer, &ClickLabel::clicked, this, &frmClient::lblServer_Click);

    // The send box comes first in the tab order.
    QWidget::setTabOrder(txtSend, cmbIP);
    QWidget::setTabOrder(cmbIP, cmdConnect);
    QWidget::setTabOrder(cmdConnect, cmdClose);
    QWidget::setTabOrder(cmdClose, cmdLine2);
    QWidget::setTabOrder(cmdLine2, cmdConf);
    setFocusProxy(txtSend);
}

void frmClient::BuildMenus() {
    auto addItem = [this](QMenu* menu, const char* menuName, int index, const QString& caption,
                          void (frmClient::*handler)(int)) {
        if (caption == QLatin1String("-")) {
            QAction* sep = menu->addSeparator();
            sep->setObjectName(QStringLiteral("%1(%2)").arg(QLatin1String(menuName)).arg(index));
            return;
        }
        QAction* a = menu->addAction(caption);
        a->setObjectName(QStringLiteral("%1(%2)").arg(QLatin1String(menuName)).arg(index));
        connect(a, &QAction::triggered, this, [this, handler, index] { (this->*handler)(index); });
    };
    mnuFile = menuBar()->addMenu(QStringLiteral("&File"));
    mnuFile->setObjectName(QStringLiteral("mnuFile"));
    addItem(mnuFile, "mnuFile", 0, QStringLiteral("E&xit"), &frmClient::mnuFile_Click);

    mnuTools = menuBar()->addMenu(QStringLiteral("&Tools"));
    mnuTools->setObjectName(QStringLiteral("mnuTools"));
    addItem(mnuTools, "mnuTools", 0, QStringLiteral("&Settings"), &frmClient::mnuTools_Click);
    addItem(mnuTools, "mnuTools", 1, QStringLiteral("&Accept/Reject Calls"),
            &frmClient::mnuTools_Click);
    addItem(mnuTools, "mnuTools", 2, QStringLiteral("-"), &frmClient::mnuTools_Click);
    addItem(mnuTools, "mnuTools", 3, QStringLiteral("&Clear Settings"), &frmClient::mnuTools_Click);
    addItem(mnuTools, "mnuTools", 4, QStringLiteral("-"), &frmClient::mnuTools_Click);
    addItem(mnuTools, "mnuTools", 8, QStringLiteral("Clear Chat Window"),
            &frmClient::mnuTools_Click);
    addItem(mnuTools, "mnuTools", 9, QStringLiteral("&Show Debug Window"),
            &frmClient::mnuTools_Click);
    addItem(mnuTools, "mnuTools", 10, QStringLiteral("Log Connections"),
            &frmClient::mnuTools_Click);

    mnuHelp = menuBar()->addMenu(QStringLiteral("&Help"));
    mnuHelp->setObjectName(QStringLiteral("mnuHelp"));
    addItem(mnuHelp, "mnuHelp", 0, QStringLiteral("&About Palaver..."), &frmClient::mnuHelp_Click);
}

void frmClient::SetLabelColour(QLabel* label, const QColor& background) {
    QPalette p = label->palette();
    p.setColor(QPalette::Window, background);
    // Light text on the dark switch and level colours; dark text on light ones.
    p.setColor(QPalette::WindowText, background.lightness() < 100 ? Qt::white : Qt::black);
    label->setPalette(p);
    label->setAutoFillBackground(true);
}

// ---------------------------------------------------------------------------------------
// Creation, titles, line table

void frmClient::MoveTwips(int left, int top) {
    move(platform::ToPixelsX(left), platform::ToPixelsY(top));
}

void frmClient::Load() {
    log_.Start(std::nullopt, txtLog);
    // The message objects are members; the switch below leaves the server off.
    lblServer_Click();
    lines_.fill(-1);
    SetTitle();
    if (Settings.Port == 0) {
        Settings.Port = 7000;
    }
    adjustSize();
}

void frmClient::AddAddresses() {
    for (int k = 1; k <= Settings.AddressCount; ++k) {
        cmbIP->addItem(Settings.AddressList[static_cast<std::size_t>(k)]);
    }
    cmbIP->setCurrentIndex(-1);
    cmbIP->setEditText(QString());
}

QString frmClient::GetIP() const {
    return IP;
}
void frmClient::SetIP(const QString& ip) {
    IP = ip;
}
std::int32_t frmClient::Port() const {
    return Settings.Port;
}
void frmClient::SetPort(std::int32_t PortNum) {
    Settings.Port = PortNum;
}

void frmClient::SetTitle() {
    if (Settings.Nickname.isEmpty()) {
        setWindowTitle(kAppTitle);
    } else if (ID_ == 0) {
        setWindowTitle(kAppTitle + QStringLiteral(" Switchboard - ") + Settings.Nickname);
    } else {
        setWindowTitle(kAppTitle + QStringLiteral(" - ") + Settings.Nickname +
                       QStringLiteral("  (Line #") + QString::number(ID_ + 1) +
                       QStringLiteral(")"));
    }
}

bool frmClient::RemoveClient(std::int16_t ID) {
    for (auto& entry : lines_) {
        if (entry == ID) {
            entry = -1;
            return true;
        }
    }
    return false;
}

frmClient* frmClient::Owner() const {
    // Only a live window that still lists this one as its line is its owner; a line whose
    // owner has gone (or whose slot was reused by another window) has none.
    frmClient* owner = ClientWindows(Level_);
    if (owner == this) {
        return owner;
    }
    if (owner == nullptr || WindowInUse[static_cast<std::size_t>(Level_)] == 0) {
        return nullptr;
    }
    const auto& table = owner->lines_;
    return std::find(table.begin(), table.end(), ID_) != table.end() ? owner : nullptr;
}

int frmClient::ConferenceMembers() const {
    int count = 0;
    for (std::int16_t entry : lines_) {
        frmClient* w = entry >= 0 ? ClientWindows(entry) : nullptr;
        if (w != nullptr && !w->isVisible()) {
            ++count;
        }
    }
    return count;
}

void frmClient::cmdLine2_Click() {
    const std::int16_t slot = CreateClientWindow();
    if (slot == -1) {
        platform::MessageRequest box;
        box.parent = this;
        box.text = QStringLiteral("Unable to create a new client window");
        box.icon = platform::MsgIcon::Exclamation;
        Ask(box);
        return;
    }
    frmClient* line = ClientWindows(slot);
    if (AttachLine(line)) {
        return;
    }
    // No free entry in this window's line table: the new window would be stranded.
    line->Unload();
    lblStatus->setText(QStringLiteral(" All %1 lines of this window are in use").arg(kLines));
}

bool frmClient::AttachLine(frmClient* line) {
    const auto free = std::find(lines_.begin(), lines_.end(), std::int16_t{-1});
    if (free == lines_.end()) {
        return false;
    }
    *free = line->ID();
    line->SetLevel(ID_);
    line->SetTag(QStringLiteral("2"));
    line->hide();
    line->show();
    // One pixel-squared step down and right of its owner, as the twips arithmetic has it.
    const int tx = platform::TwipsPerPixelX();
    const int ty = platform::TwipsPerPixelY();
    line->MoveTwips(platform::ToTwipsX(x()) + tx * tx, platform::ToTwipsY(y()) + ty * ty);
    line->setVisible(true);
    return true;
}

void frmClient::cmdConf_Click() {
    for (std::int16_t entry : lines_) {
        frmClient* w = entry >= 0 ? ClientWindows(entry) : nullptr;
        if (w != nullptr && w->isVisible()) {
            w->hide();
            lblConn->setText(lblConn->text() + QStringLiteral(", ") + w->Nickname());
        }
    }
}

void frmClient::DisplayConn() {
    if (!Tag_.isEmpty()) {
        return;
    }
    QString separator = QStringLiteral(", ");
    if (sckClient_->state() != platform::TcpSocket::Closed) {
        lblConn->setText(Nickname_ + QStringLiteral(" "));
        lblConnIP->setText(sckClient_->RemoteHostIP());
    } else {
        separator = QStringLiteral(" ");
    }
    for (std::int16_t entry : lines_) {
        frmClient* w = entry >= 0 ? ClientWindows(entry) : nullptr;
        if (w == nullptr || w->isVisible()) {
            continue;
        }
        lblConn->setText(lblConn->text() + separator + w->Nickname());
        if (separator == QLatin1String(" ")) {
            lblConnIP->setText(w->sckClient()->RemoteHostIP());
        }
        separator = QStringLiteral(", ");
    }
}

// ---------------------------------------------------------------------------------------
// Closing

void frmClient::closeEvent(QCloseEvent* event) {
    event->ignore(); // the table deletes the window once the unload rules allow it
    Unload();
}

bool frmClient::Unload() {
    if (unloaded_) {
        return true;
    }
    if (modalDepth_ > 0) {
        // A box of this window is up; the unload runs when it has closed.
        unloadPending_ = true;
        return false;
    }
    unloadPending_ = false;
    if (!Tag_.isEmpty()) {
        if (frmClient* owner = Owner(); owner != nullptr && owner != this) {
            owner->RemoveClient(ID_);
        }
        ReleaseClientWindow(ID_);
    } else {
        int visible = 0;
        for (std::int16_t entry : lines_) {
            frmClient* w = entry >= 0 ? ClientWindows(entry) : nullptr;
            if (w == nullptr) {
                continue;
            }
            if (!w->isVisible()) {
                RemoveClient(entry);
                w->Unload();
            } else {
                ++visible;
            }
        }
        if (visible > 0) {
            platform::MessageRequest box;
            box.parent = this;
            box.text = QStringLiteral("Unable to close switchboard window until\n"
                                      "all other client windows are closed first.");
            box.icon = platform::MsgIcon::Information;
            Ask(box);
            return false;
        }
        ReleaseClientWindow(ID_);
    }
    // Conference members of a line cannot be seen or reached once it has gone.
    if (!Tag_.isEmpty()) {
        for (std::int16_t entry : lines_) {
            frmClient* w = entry >= 0 ? ClientWindows(entry) : nullptr;
            if (w != nullptr && !w->isVisible()) {
                RemoveClient(entry);
                w->Unload();
            }
        }
    }
    unloaded_ = true;
    if (Tag_.isEmpty()) {
        if (!SaveSettings()) {
            // The window is going; the debug log keeps the reason.
            LogDebug(lblStatus->text());
        }
        UnloadDebugWindow();
    }
    Timer1_->stop();
    sckClient_->Close();
    sckServer_->Close();
    log_.Clear(false);
    incoming_.Clear();
    outgoing_.Clear();
    hide();
    DestroyClientWindow(this);
    return true;
}

platform::MsgResult frmClient::Ask(const platform::MessageRequest& request) {
    ++modalDepth_;
    const platform::MsgResult answer = platform::ShowMessage(request);
    --modalDepth_;
    if (modalDepth_ == 0 && unloadPending_) {
        // The caller sees unloadPending_ and stops; the unload itself runs from the loop.
        QTimer::singleShot(0, this, [this] { Unload(); });
    }
    return answer;
}

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
        SetLabelColour(lblServer, FromBgr(0x000080));
    } else {
        StartServer();
        lblServer->setText(QStringLiteral("Accept"));
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
    const int members = ConferenceMembers();
    LogDebug(QStringLiteral("Server receiving call from ") +
             platform::TcpSocket::RequestAddress(requestID) + QStringLiteral(" / ") +
             QString::number(platform::TcpSocket::RequestPort(requestID)));
    if (sckClient_->state() == platform::TcpSocket::Closed && members == 0) {
        StartStamp_ = Now();
        loginFlag_ = 0;
        role_ = Role::Answerer;
        incoming_.Clear();
        sckClient_->SetLocalPort(0);
        if (!sckClient_->Accept(requestID)) {
            return;
        }
        log_.Log(QStringLiteral("Incomming call from ") + sckClient_->RemoteHostIP());
        FinishSwitch();
        return;
    }
    LogDebug(QStringLiteral("Creating new client window"));
    const std::int16_t slot = CreateClientWindow();
    if (slot == -1) {
        return; // no window left: the request is closed unanswered
    }
    log_.Log(QStringLiteral("*** Connecting ") + platform::TcpSocket::RequestAddress(requestID) +
             QStringLiteral(" to line #") + QString::number(slot + 1));
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
    line->loginFlag_ = 0;
    line->role_ = Role::Answerer;
    if (line->sckClient_->Accept(requestID)) {
        line->FinishSwitch();
    }
}

// ---------------------------------------------------------------------------------------
// Login handshake and password layers

void frmClient::FinishSwitch() {
    outgoing_.CreateMessage(kAppID, 0, 0, CmdLogin, QByteArrayLiteral("AUTH"));
    EncipherAndSend();
}

bool frmClient::EncipherAndSend() {
    outgoing_.CipherMessage(Password(1));
    for (int k = 2; k <= 5; ++k) {
        outgoing_.CipherMessage(Password(k));
    }
    return sckClient_->SendData(outgoing_.FullMessage());
}

void frmClient::DecipherIncoming() {
    for (int k = 5; k >= 2; --k) {
        incoming_.CipherMessage(Password(k));
    }
    incoming_.CipherMessage(Password(1));
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
// Receive path

void frmClient::sckClient_DataArrival(qint64 /*bytesTotal*/) {
    const QPointer<frmClient> alive(this);
    std::int16_t s = incoming_.BufferMsg(sckClient_->GetData());
    // Each complete message is handled in order; what follows it in the same read stays
    // buffered for the next message instead of being dropped.
    for (;;) {
        if (incoming_.HeaderTaken() && incoming_.MsgLen() > kMaxBody) {
            DropCall(sckClient_->RemoteHostIP() +
                     QStringLiteral(" sent a message declaring %1 characters (more than %2) - "
                                    "call closed")
                         .arg(incoming_.MsgLen())
                         .arg(kMaxBody));
            return;
        }
        if (s == 1) {
            log_.Log(QStringLiteral("1=incomplete"));
            return;
        }
        QByteArray rest;
        if (s == 3) {
            rest = incoming_.SplitOverflow();
            s = 2;
        }
        const std::uint8_t cmd = incoming_.Cmd();
        if (loginFlag_ != 0) {
            switch (cmd) {
            case CmdText:
                ReceiveChat(s);
                break;
            case CmdAck:
                ReceiveAck(s);
                break;
            case CmdLogin:
                ReceiveLogin(s);
                break;
            default:
                incoming_.Clear(); // unknown command: dropped, never judged against later data
                break;
            }
        } else if (cmd == CmdLogin) {
            ReceiveLogin(s);
        } else {
            DropCall(sckClient_->RemoteHostIP() +
                     QStringLiteral(" forced closed due to non-auth msg"));
            return;
        }
        if (alive.isNull() || unloaded_ || sckClient_->state() != platform::TcpSocket::Connected ||
            rest.isEmpty()) {
            return;
        }
        s = incoming_.BufferMsg(rest);
    }
}

void frmClient::DropCall(const QString& logLine) {
    log_.Log(logLine);
    sckClient_->Close();
    lblConn->setText(QString());
    lblConnIP->setText(QString());
    incoming_.Clear();
    outgoing_.Clear();
}

void frmClient::SendAnswer(const QByteArray& body) {
    outgoing_.CreateMessage(kAppID, 0, 1, CmdAck, body);
    EncipherAndSend();
}

QByteArray frmClient::BadMessageAnswer(std::int16_t v) {
    log_.Log(v == 1 ? QStringLiteral("Bad Message CRC - May be mismatched passwords")
                    : QStringLiteral("Incorrect or Corrupted Header"));
    return QByteArrayLiteral("BC") + EncodeLong(incoming_.CheckCRC());
}

void frmClient::DropOverflow() {
    log_.Log(QStringLiteral("3=overflow"));
    incoming_.Clear();
}

void frmClient::ReceiveChat(std::int16_t s) {
    if (s == 2) {
        DecipherIncoming();
        const std::int16_t v = incoming_.VerifyMsg();
        QByteArray answer;
        if (v == 0) {
            const QString line =
                Nickname_ + QStringLiteral(": ") + platform::FromAnsi(incoming_.Message());
            log_.Log(line);
            if (ID_ != 0 && !isVisible()) {
                if (frmClient* owner = Owner(); owner != nullptr && owner != this) {
                    owner->LogInfo(line);
                }
            }
            answer = QByteArrayLiteral("OK") + EncodeLong(incoming_.CheckCRC());
        } else {
            answer = BadMessageAnswer(v);
        }
        SendAnswer(answer);
        outgoing_.Clear();
        incoming_.Clear();
    } else if (s == 3) {
        DropOverflow();
    }
}

void frmClient::ReceiveAck(std::int16_t s) {
    if (s == 2) {
        DecipherIncoming();
        const std::int32_t T = DecodeLong(incoming_.Message().mid(2, 4));
        const std::int32_t U = outgoing_.crc();
        if (U != T) {
            log_.Log(QStringLiteral("CRC BAD U=") + QString::number(U) + QStringLiteral(",T=") +
                     QString::number(T));
            log_.Log(QStringLiteral("Should Resending Message"));
        } else {
            lblStatus->setText(QStringLiteral(" CRC OK (") +
                               QString::number(static_cast<std::uint32_t>(U), 16).toUpper() +
                               QStringLiteral(")"));
            txtSend->clear();
            // The owner's box held the text only when this line is a conference member it
            // relayed to; a separate line's acknowledgement leaves the owner's draft alone.
            if (frmClient* owner = Owner(); owner != nullptr && owner != this && !isVisible()) {
                owner->txtSend->clear();
            }
        }
        incoming_.Clear();
    } else if (s == 3) {
        DropOverflow();
    }
}

void frmClient::ReceiveLogin(std::int16_t s) {
    if (s == 2) {
        DecipherIncoming();
        const std::int16_t v = incoming_.VerifyMsg();
        if (v == 0) {
            HandleLoginBody();
        } else {
            SendAnswer(BadMessageAnswer(v));
        }
        outgoing_.Clear();
        incoming_.Clear();
    } else if (s == 3) {
        DropOverflow();
    }
}

void frmClient::HandleLoginBody() {
    const QByteArray body = incoming_.Message();
    const QByteArray head = body.left(4);
    const bool isAuth = body == "AUTH";
    const bool isPass = !isAuth && head == "PASS";
    const bool isAcpt = !isAuth && !isPass && head == "ACPT";
    const bool wrongSide = (isAuth && role_ != Role::Caller) ||
                           (isPass && role_ != Role::Answerer) || (isAcpt && role_ != Role::Caller);
    if (wrongSide) {
        // A peer that asks for our password, offers one to the caller or accepts itself is
        // not a Palaver peer playing its part.
        DropCall(QStringLiteral("Call closed: ") + sckClient_->RemoteHostIP() +
                 QStringLiteral(" sent \"") + QString::fromLatin1(head) +
                 QStringLiteral("\", which only the other side of a call may send"));
        return;
    }
    if (isAuth) {
        QByteArray answer = QByteArrayLiteral("PASS") + platform::ToAnsi(Settings.LoginPassword);
        answer.append('\0');
        answer += platform::ToAnsi(Settings.Nickname);
        outgoing_.CreateMessage(kAppID, 0, 1, CmdLogin, answer);
        EncipherAndSend();
        return;
    }
    if (isPass) {
        const QByteArray r = body.mid(4);
        const qsizetype p = r.indexOf('\0');
        QByteArray offered;
        if (p >= 0) {
            offered = r.left(p);
            Nickname_ = platform::FromAnsi(r.mid(p + 1));
        }
        if (offered != platform::ToAnsi(Settings.LoginPassword)) {
            log_.Log(QStringLiteral("Call rejected from ") + sckClient_->RemoteHostIP() +
                     QStringLiteral(" - Invalid Login Password"));
            sckClient_->Close();
            lblConn->setText(QString());
            lblConnIP->setText(QString());
            return;
        }
        outgoing_.CreateMessage(kAppID, 0, 1, CmdLogin,
                                QByteArrayLiteral("ACPT") + platform::ToAnsi(Settings.Nickname));
        log_.Log(Nickname_ + QStringLiteral(" connected at ") + Now() + QStringLiteral("\r\n"));
        EncipherAndSend();
        lblConn->setText(QStringLiteral(" ") + Nickname_);
        lblConnIP->setText(sckClient_->RemoteHostIP());
        loginFlag_ = 1;
        return;
    }
    if (isAcpt) {
        Nickname_ = platform::FromAnsi(body.mid(4));
        loginFlag_ = 1;
        log_.Log(Nickname_ + QStringLiteral(" connected at ") + Now() + QStringLiteral("\r\n"));
        lblConn->setText(QStringLiteral(" ") + Nickname_);
        lblConnIP->setText(sckClient_->RemoteHostIP());
        return;
    }
    log_.Log(sckClient_->RemoteHostIP() + QStringLiteral("+ ") + platform::FromAnsi(body));
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
    const CNetMsg::CreateResult built =
        outgoing_.CreateMessage(kAppID, 0, 1, CmdText, platform::ToAnsi(text));
    if (built == CNetMsg::CreateResult::TooLong) {
        lblStatus->setText(QStringLiteral(" Not sent: a line holds at most %1 characters, this "
                                          "one has %2")
                               .arg(kMaxBody)
                               .arg(text.size()));
        return;
    }
    if (built == CNetMsg::CreateResult::NoCrc) {
        lblStatus->setText(QStringLiteral(" Not sent: the checksum library is missing"));
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
    if (!EncipherAndSend()) {
        lblStatus->setText(QStringLiteral(" Not sent: the call is not connected yet"));
    }
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
    incoming_.Clear();
    outgoing_.Clear();
    // A new call starts unauthenticated, whatever the last one reached.
    loginFlag_ = 0;
    role_ = Role::Caller;
    Nickname_.clear();
    IP = cmbIP->currentText();
    log_.Log(QStringLiteral("Calling ") + IP + QStringLiteral(":") +
             QString::number(Settings.Port) + QStringLiteral("..."));
    sckClient_->SetLocalPort(0);
    sckClient_->Connect(IP, Settings.Port);
    lblConn->setText(QStringLiteral("<Unknown Name>"));
    lblConnIP->setText(IP);
    retriesLeft_ = 4;
    Timer1_->setInterval(RetryIntervalMs);
    Timer1_->start();
    txtSend->setFocus();
}

void frmClient::Timer1_Timer() {
    if (retriesLeft_ > 0) {
        sckClient_->Close();
        incoming_.Clear();
        outgoing_.Clear();
        log_.Log(QStringLiteral("Calling ") + IP + QStringLiteral(":") +
                 QString::number(Settings.Port) + QStringLiteral("..."));
        sckClient_->Connect(IP, Settings.Port);
        lblConn->setText(QStringLiteral("<Unknown Name>"));
        lblConnIP->setText(IP);
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
}

void frmClient::cmdClose_Click() {
    Timer1_->stop();
    sckClient_->Close();
    log_.Log(QStringLiteral("Line Disconnected"));
    lblConn->setText(QString());
    lblConnIP->setText(QString());
    Nickname_.clear();
    loginFlag_ = 0;
    cmbIP->setFocus();
}

void frmClient::sckClient_Close() {
    const QString remote = sckClient_->RemoteHostIP();
    if (!Tag_.isEmpty()) {
        sckClient_->Close();
        frmClient* owner = Owner();
        if (owner != nullptr && owner != this) {
            owner->LogInfo(QStringLiteral("Lost client call ") + Nickname_ + QStringLiteral(" - ") +
                           remote);
            owner->RemoveClient(ID_);
            owner->DisplayConn();
        }
        ReleaseClientWindow(ID_);
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
    loginFlag_ = 0;
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

// ---------------------------------------------------------------------------------------
// Settings and menus

bool frmClient::SaveSettings() {
    QStringList items;
    for (int k = 0; k < cmbIP->count(); ++k) {
        items << cmbIP->itemText(k);
    }
    QString error;
    if (!WriteSettingsFile(items, &error)) {
        lblStatus->setText(QStringLiteral(" Settings not saved: ") + error);
        return false;
    }
    return true;
}

void frmClient::ShowSettings() {
    frmSettings::ShowFor(this);
}

void frmClient::mnuFile_Click(int Index) {
    if (Index == 0) {
        Unload();
    }
}

void frmClient::mnuTools_Click(int Index) {
    switch (Index) {
    case 0:
        ShowSettings();
        break;
    case 1:
        lblServer_Click();
        break;
    case 3:
        ClearSettings();
        break;
    case 8:
        log_.Clear(false);
        break;
    case 9:
        LoadDebugWindow()->show();
        LoadDebugWindow()->raise();
        break;
    case 10:
        LogConnections();
        break;
    default:
        break;
    }
}

void frmClient::mnuHelp_Click(int Index) {
    if (Index == 0) {
        frmAbout::ShowWithIcon(windowIcon());
    }
}

void frmClient::ClearSettings() {
    auto wipe = [](QString& s) {
        if (!s.isEmpty()) {
            s.fill(QLatin1Char(' ')); // overwrite in place before letting go of it
        }
        s.clear();
    };
    for (int k = 1; k <= 5; ++k) {
        wipe(Settings.Passwords[static_cast<std::size_t>(k)]);
    }
    wipe(Settings.LoginPassword);
    wipe(Settings.Nickname);
    Settings.Port = 0;
    cmbIP->clear();
    SaveSettings();
    platform::Beep();
    RefreshAllLevels(); // the level display follows the passwords
}

void frmClient::LogConnections() {
    log_.Log(QStringLiteral("\r\n====Log Connections @ ") + Now() + QStringLiteral("===="));
    log_.Log(QStringLiteral("<") + QString::number(sckServer_->state()) +
             QStringLiteral("> Switchboard [") + QString::number(ID_) + QStringLiteral("] - ") +
             Nickname_ + QStringLiteral(",") + StartStamp_);
    for (int k = 0; k < kLines; ++k) {
        const std::int16_t w = lines_[static_cast<std::size_t>(k)];
        if (w < 0) {
            continue;
        }
        frmClient* line = ClientWindows(w);
        if (line == nullptr) {
            continue;
        }
        log_.Log(QStringLiteral("<") + QString::number(line->sckServer()->state()) +
                 QStringLiteral("> Client #") + QString::number(k) + QStringLiteral(" [") +
                 QString::number(w) + QStringLiteral("] - ") + line->Nickname() +
                 QStringLiteral(",I=") + QString::number(line->ID()) + QStringLiteral(",L=") +
                 QString::number(line->Level()) + QStringLiteral(",") + line->StartStamp());
    }
    log_.Log(QString());
}

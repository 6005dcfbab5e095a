#include "frmClient.h"

#include "ClientWindows.h"
#include "WindowHelpers.h"

#include "log/frmDebug.h"
#include "platform/Desktop.h"
#include "platform/LocaleText.h"
#include "platform/TcpSocket.h"
#include "platform/Text1252.h"
#include "platform/Twips.h"
#include "settings/Settings.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <algorithm>

using chat::FromBgr;
using chat::kAppTitle;
using chat::Now;

void ClickLabel::mouseReleaseEvent(QMouseEvent* event) {
    QLabel::mouseReleaseEvent(event);
    emit clicked();
}

void ClickLabel::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Space) {
        emit clicked();
        return;
    }
    QLabel::keyPressEvent(event);
}

frmClient::frmClient()
    : session_(new CallSession(this)), sckServer_(new platform::TcpSocket(this)),
      sckClient_(new platform::TcpSocket(this)), Timer1_(new QTimer(this)) {
    setObjectName(QStringLiteral("frmClient"));
    // The icon is the application's (set once at start-up); a copy per window would be
    // loaded and decoded again for every line.
    lines_.fill(-1);
    BuildControls();
    ConnectSession();

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

    // Names a screen reader speaks, and tips for the buttons.
    lblConn->setAccessibleName(QStringLiteral("Connected with"));
    lblConnIP->setAccessibleName(QStringLiteral("Peer address"));
    txtLog->setAccessibleName(QStringLiteral("Chat log"));
    lblStatus->setAccessibleName(QStringLiteral("Status"));
    lblLevels->setAccessibleName(QStringLiteral("Security level"));
    txtSend->setAccessibleName(QStringLiteral("Message to send"));
    cmbIP->setAccessibleName(QStringLiteral("Address to call"));
    cmbIP->setToolTip(QStringLiteral("Host name or address to call. Enter remembers it, Esc "
                                     "forgets the selected one"));
    cmdConnect->setToolTip(QStringLiteral("Call the address on the left"));
    cmdClose->setToolTip(QStringLiteral("Hang up this window's call"));
    cmdLine2->setToolTip(QStringLiteral("Open another line window"));
    cmdConf->setToolTip(QStringLiteral("Merge this window's lines into a conference"));
    lblServer->setFocusPolicy(Qt::StrongFocus);

    // The send box comes first in the tab order.
    QWidget::setTabOrder(txtSend, cmbIP);
    QWidget::setTabOrder(cmbIP, cmdConnect);
    QWidget::setTabOrder(cmdConnect, cmdClose);
    QWidget::setTabOrder(cmdClose, cmdLine2);
    QWidget::setTabOrder(cmdLine2, cmdConf);
    QWidget::setTabOrder(cmdConf, lblServer);
    setFocusProxy(txtSend);
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
    // A window opened after the passwords were set shows their level like the others.
    SetLayers();
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
    // 15 pixels below and right of the owner's frame, or of its last visible line, so that
    // lines stack instead of covering each other. The position is set before the window is
    // shown, so the window manager places the frame there rather than the client area.
    QPoint at = frameGeometry().topLeft();
    for (std::int16_t entry : lines_) {
        const frmClient* w = entry >= 0 && entry != line->ID() ? ClientWindows(entry) : nullptr;
        if (w != nullptr && w->isVisible()) {
            at = w->frameGeometry().topLeft();
        }
    }
    line->move(at + QPoint(15, 15));
    line->setVisible(true);
    return true;
}

void frmClient::cmdConf_Click() {
    for (std::int16_t entry : lines_) {
        frmClient* w = entry >= 0 ? ClientWindows(entry) : nullptr;
        if (w != nullptr && w->isVisible()) {
            w->hide();
            if (!Tag_.isEmpty()) {
                lblConn->setText(lblConn->text() + QStringLiteral(", ") + w->Nickname());
            }
        }
    }
    // The switchboard's header is rebuilt from who is there, never appended to.
    DisplayConn();
}

void frmClient::DisplayConn() {
    if (!Tag_.isEmpty()) {
        return;
    }
    // Rebuilt from the current call and members every time, so that members who have left
    // do not linger in the header.
    QString conn;
    QString connIP;
    QString separator = QStringLiteral(", ");
    if (sckClient_->state() != platform::TcpSocket::Closed) {
        conn = Nickname_ + QStringLiteral(" ");
        connIP = sckClient_->RemoteHostIP();
    } else {
        separator = QStringLiteral(" ");
    }
    for (std::int16_t entry : lines_) {
        frmClient* w = entry >= 0 ? ClientWindows(entry) : nullptr;
        if (w == nullptr || w->isVisible()) {
            continue;
        }
        conn += separator + w->Nickname();
        if (separator == QLatin1String(" ")) {
            connIP = w->sckClient()->RemoteHostIP();
        }
        separator = QStringLiteral(", ");
    }
    lblConn->setText(conn);
    lblConnIP->setText(connIP);
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
            // The window is going and the debug log with it: the user must see this.
            LogDebug(lblStatus->text());
            platform::MessageRequest box;
            box.text = lblStatus->text().trimmed();
            box.icon = platform::MsgIcon::Exclamation;
            platform::ShowMessage(box);
        }
        UnloadDebugWindow();
    }
    Timer1_->stop();
    sckClient_->Close();
    sckServer_->Close();
    log_.Clear(false);
    session_->End();
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
    if (ClientWindowHooks().showSettings) {
        ClientWindowHooks().showSettings(this);
    }
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
        if (ClientWindowHooks().showAbout) {
            ClientWindowHooks().showAbout(this);
        }
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
    RefreshAllTitles(); // the titles name the (now empty) nickname
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

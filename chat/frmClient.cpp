#include "frmClient.h"

#include "WindowHelpers.h"

#include "log/frmDebug.h"
#include "platform/Desktop.h"
#include "platform/LocaleText.h"
#include "platform/TcpSocket.h"
#include "platform/Text1252.h"
#include "platform/Twips.h"
#include "settings/Settings.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMetaMethod>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QShortcut>
#include <QStyleOptionFocusRect>
#include <QStylePainter>
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

void ClickLabel::paintEvent(QPaintEvent* event) {
    QLabel::paintEvent(event);
    if (!hasFocus()) {
        return;
    }
    QStylePainter painter(this);
    QStyleOptionFocusRect ring;
    ring.initFrom(this);
    ring.rect = rect().adjusted(1, 1, -1, -1);
    ring.backgroundColor = palette().color(QPalette::Window);
    painter.drawPrimitive(QStyle::PE_FrameFocusRect, ring);
    // Seen on any background: a dashed line in the text's colour inside the style's ring.
    painter.setPen(QPen(palette().color(QPalette::WindowText), 1, Qt::DotLine));
    painter.drawRect(rect().adjusted(2, 2, -3, -3));
}

frmClient::frmClient(std::int16_t id, Switchboard& model, Call* call, QWidget* parent)
    : QMainWindow(parent), ID_(id), Level_(id), model_(model), call_(call) {
    setObjectName(QStringLiteral("frmClient"));
    // The icon is the application's (set once at start-up); a copy per window would be
    // loaded and decoded again for every line.
    BuildControls();
    BuildFiles();
    ConnectCall();
}

frmClient::~frmClient() = default;

void frmClient::BuildControls() {
    auto* area = new QWidget(this);
    area->setObjectName(QStringLiteral("clientArea"));
    // The design's size is the smallest; a larger window gives its room to the log.
    area->setMinimumSize(platform::ToPixelsX(kAreaWidth), platform::ToPixelsY(kAreaHeight));
    area->installEventFilter(this);
    QFont small = font();
    small.setPixelSize(std::max(9, platform::ToPixelsY(165)));
    area->setFont(small);
    setCentralWidget(area);

    auto place = [this, area](QWidget* w, const char* name, int l, int t, int wd, int h) {
        w->setParent(area);
        w->setObjectName(QString::fromLatin1(name));
        w->setGeometry(platform::TwipsRect(l, t, wd, h));
        placed_.push_back({w, w->geometry()});
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

    txtLog = new ChatLog(area);
    place(txtLog, "txtLog", 30, 390, 5595, 2535);
    txtLog->setReadOnly(true);
    txtLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    txtLog->setFocusPolicy(Qt::ClickFocus);

    lblStatus = new QLabel(area);
    place(lblStatus, "lblStatus", 30, 2970, 3645, 255);
    // Over the status line's end while a lost call is being dialled again.
    cmdReconnect = new QPushButton(QStringLiteral("Reconnect now"), area);
    place(cmdReconnect, "cmdReconnect", 1845, 2955, 1125, 285);
    cmdStopCalling = new QPushButton(QStringLiteral("Stop"), area);
    place(cmdStopCalling, "cmdStopCalling", 2985, 2955, 690, 285);
    for (QPushButton* b : {cmdReconnect, cmdStopCalling}) {
        b->setAutoDefault(false);
        b->hide();
    }

    lblSecure = new ClickLabel(area);
    place(lblSecure, "lblSecure", 3705, 2970, 870, 255);
    lblSecure->setAlignment(Qt::AlignCenter);
    lblSecure->setFocusPolicy(Qt::StrongFocus);
    lblSecure->setAccessibleName(QStringLiteral("Security of this call"));
    connect(lblSecure, &ClickLabel::clicked, this, &frmClient::lblSecure_Click);

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
    // Labels show peers' names, addresses and reasons: text, never markup.
    for (QLabel* label : area->findChildren<QLabel*>()) {
        label->setTextFormat(Qt::PlainText);
    }

    // The send box comes first in the tab order.
    QWidget::setTabOrder(txtSend, cmbIP);
    QWidget::setTabOrder(cmbIP, cmdConnect);
    QWidget::setTabOrder(cmdConnect, cmdClose);
    QWidget::setTabOrder(cmdClose, cmdLine2);
    QWidget::setTabOrder(cmdLine2, cmdConf);
    QWidget::setTabOrder(cmdConf, lblServer);
    QWidget::setTabOrder(lblServer, lblSecure);
    setFocusProxy(txtSend);

    // Ctrl+plus and Ctrl+minus: the chat's text size, log and send box alike.
    const auto zoom = [this](int step) {
        // A log that showed its last line still does at the new size.
        QScrollBar* bar = txtLog->verticalScrollBar();
        const bool atEnd = bar->value() >= bar->maximum();
        for (QPlainTextEdit* box : {static_cast<QPlainTextEdit*>(txtLog), txtSend}) {
            QFont f = box->font();
            f.setPixelSize(std::clamp(f.pixelSize() + step, 8, 48));
            box->setFont(f);
        }
        if (atEnd) {
            bar->setValue(bar->maximum());
        }
    };
    for (const auto& [keys, step] : {std::pair{QKeySequence(QKeySequence::ZoomIn), 1},
                                     {QKeySequence(QStringLiteral("Ctrl+=")), 1},
                                     {QKeySequence(QKeySequence::ZoomOut), -1}}) {
        auto* shortcut = new QShortcut(keys, this);
        connect(shortcut, &QShortcut::activated, this, [zoom, step = step] { zoom(step); });
    }
}

void frmClient::Relayout(const QSize& area) {
    // Extra width goes to the log, the send box and the status line; three quarters of the
    // extra height to the log and the rest to the send box. What sits right of them moves
    // right, what sits below them moves down; the bottom row keeps its controls together.
    const int dx = std::max(0, area.width() - platform::ToPixelsX(kAreaWidth));
    const int dy = std::max(0, area.height() - platform::ToPixelsY(kAreaHeight));
    const int logGrows = dy * 3 / 4;
    const int sendGrows = dy - logGrows;
    for (const Placed& p : placed_) {
        QRect r = p.design;
        QWidget* w = p.widget;
        if (w == lblConn) {
            r.setWidth(r.width() + dx);
        } else if (w == lblConnIP) {
            r.translate(dx, 0);
        } else if (w == txtLog) {
            r.setSize(r.size() + QSize(dx, logGrows));
        } else if (w == lblStatus) {
            r.translate(0, logGrows);
            r.setWidth(r.width() + dx);
        } else if (w == lblSecure || w == lblLevels) {
            r.translate(dx, logGrows);
        } else if (w == txtSend) {
            r.translate(0, logGrows);
            r.setSize(r.size() + QSize(dx, sendGrows));
        } else if (w == lblServer) {
            r.translate(dx, dy);
        } else {
            r.translate(0, dy); // the address box and the buttons
        }
        w->setGeometry(r);
    }
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
// Creation, titles, header

void frmClient::MoveTwips(int left, int top) {
    move(platform::ToPixelsX(left), platform::ToPixelsY(top));
}

void frmClient::Load() {
    log_.Start(std::nullopt, txtLog);
    // The switch below leaves the server off.
    lblServer_Click();
    SetTitle();
    // A window opened after the passwords were set shows their level like the others.
    SetLayers();
    if (Settings.Port == 0) {
        Settings.Port = 7000;
    }
    adjustSize();
}

void frmClient::ShowAddresses() {
    // The one list is the settings'; every box shows it, keeping what is typed or picked.
    const QString typed = cmbIP->currentText();
    const bool picked = cmbIP->currentIndex() >= 0;
    cmbIP->clear();
    cmbIP->addItems(Addresses());
    const int again = picked ? cmbIP->findText(typed, Qt::MatchExactly) : -1;
    cmbIP->setCurrentIndex(again);
    if (again < 0) {
        cmbIP->setEditText(typed);
    }
}

void frmClient::BecomeLine(std::int16_t owner) {
    Level_ = owner;
    Tag_ = true;
    SetTitle();
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

void frmClient::cmdLine2_Click() {
    emit LineWanted();
}

void frmClient::cmdConf_Click() {
    emit ConferenceWanted();
    DisplayConn();
}

Call* frmClient::GiveUpCall() {
    Call* call = call_;
    if (call != nullptr) {
        disconnect(call, nullptr, this, nullptr);
    }
    call_ = nullptr;
    return call;
}

void frmClient::ClearHeader() {
    lblConn->setText(QString());
    lblConnIP->setText(QString());
    ShowSecurity();
}

void frmClient::DisplayConn() {
    // Rebuilt from the call and the conference every time, so that members who have left
    // never linger in the header.
    QString conn;
    QString connIP;
    QString separator = QStringLiteral(", ");
    if (call_ == nullptr) {
        return;
    }
    const QList<Call*> members = conference_ != nullptr ? conference_->Members() : QList<Call*>{};
    if (Tag_) {
        // A line shows its own peer first, as it did when the peer logged in.
        if (members.isEmpty()) {
            return;
        }
        conn = call_->LoginFlag() != 0 ? QStringLiteral(" ") + call_->Nickname() : QString();
        connIP = call_->RemoteAddress();
    } else if (!call_->Idle()) {
        conn = call_->Nickname() + QStringLiteral(" ");
        connIP = call_->RemoteAddress();
    } else {
        separator = QStringLiteral(" ");
    }
    for (const Call* member : members) {
        conn += separator + member->Nickname();
        if (separator == QLatin1String(" ")) {
            connIP = member->RemoteAddress();
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
    if (hideOnClose_) {
        hide();
        return;
    }
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
    // The table runs the rules that involve other windows and tears this one down when
    // they allow it; a window outside any table goes at once.
    if (isSignalConnected(QMetaMethod::fromSignal(&frmClient::UnloadWanted))) {
        emit UnloadWanted();
    } else {
        Teardown();
    }
    return unloaded_;
}

void frmClient::Teardown() {
    unloaded_ = true;
    if (!Tag_) {
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
    // The line table ends the call, the conference and the server.
    GiveUpCall();
    if (conference_ != nullptr) {
        disconnect(conference_, nullptr, this, nullptr);
    }
    log_.Clear(false);
    hide();
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

void frmClient::Inform(const QString& text, platform::MsgIcon icon) {
    platform::MessageRequest box;
    box.parent = this;
    box.text = text;
    box.icon = icon;
    Ask(box);
}

void frmClient::ShowStatus(const QString& text) {
    lblStatus->setText(text);
}

// ---------------------------------------------------------------------------------------
// Settings and menus

bool frmClient::SaveSettings() {
    QString error;
    if (!WriteSettingsFile(Addresses(), &error)) {
        lblStatus->setText(QStringLiteral(" Settings not saved: ") + error);
        return false;
    }
    return true;
}

void frmClient::SetMenus(const MenuItems& items) {
    auto on = [this](QAction* action, auto handler) {
        if (action != nullptr) {
            connect(action, &QAction::triggered, this, handler);
        }
    };
    on(items.exit, [this] { Unload(); });
    on(items.settings, [this] { emit SettingsWanted(); });
    on(items.server, [this] { lblServer_Click(); });
    on(items.clearSettings, [this] { ClearSettings(); });
    on(items.clearChat, [this] { log_.Clear(false); });
    on(items.debug, [] {
        LoadDebugWindow()->show();
        LoadDebugWindow()->raise();
    });
    on(items.report, [this] { emit ReportWanted(); });
    on(items.history, [this] { emit HistoryWanted(); });
    on(items.about, [this] { emit AboutWanted(); });
    sendFile_ = items.sendFile;
    on(items.sendFile, [this] { ChooseFiles(); });
    ShowFileControls();
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
    Settings.AddressCount = 0;
    for (QString& address : Settings.AddressList) {
        address.clear();
    }
    cmbIP->clear();
    SaveSettings();
    emit AddressesChanged();
    platform::Beep();
    // Every title names the (now empty) nickname; every level follows the passwords.
    if (isSignalConnected(QMetaMethod::fromSignal(&frmClient::SettingsCleared))) {
        emit SettingsCleared();
    } else {
        SetTitle();
        SetLayers();
    }
}

void frmClient::LogConnections(const QList<LineReport>& lines) {
    log_.Log(QStringLiteral("\r\n====Log Connections @ ") + Now() + QStringLiteral("===="));
    log_.Log(QStringLiteral("<") + QString::number(model_.ServerState(ID_)) +
             QStringLiteral("> Switchboard [") + QString::number(ID_) + QStringLiteral("] - ") +
             Nickname() + QStringLiteral(",") + StartStamp());
    for (const LineReport& line : lines) {
        log_.Log(QStringLiteral("<") + QString::number(line.serverState) +
                 QStringLiteral("> Client #") + QString::number(line.entry) + QStringLiteral(" [") +
                 QString::number(line.id) + QStringLiteral("] - ") + line.nickname +
                 QStringLiteral(",I=") + QString::number(line.id) + QStringLiteral(",L=") +
                 QString::number(line.level) + QStringLiteral(",") + line.startStamp);
    }
    log_.Log(QString());
}

#include "frmSettings.h"
#include "platform/OpenWindow.h"

#include "Main.h"

#include "settings/Settings.h"

#include "chat/ClientWindows.h"
#include "chat/frmClient.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QVBoxLayout>

namespace {

// A number as a whole: optional sign, digits with an optional fraction, optional exponent,
// surrounding blanks allowed.
bool IsNumber(const QString& text) {
    static const QRegularExpression re(
        QStringLiteral(R"(^\s*[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?\s*$)"));
    return re.match(text).hasMatch();
}

} // namespace

frmSettings* frmSettings::Instance() {
    return platform::OpenWindow<frmSettings>();
}

frmSettings::frmSettings(App& app, QWidget* owner)
    : QWidget(owner, Qt::Window | Qt::Dialog), app_(app) {
    setObjectName(QStringLiteral("frmSettings"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Settings"));

    auto named = [](QWidget* w, const char* name) {
        w->setObjectName(QString::fromLatin1(name));
        return w;
    };

    Frame1 = new QGroupBox(QStringLiteral("Server Settings"), this);
    named(Frame1, "Frame1");
    auto* g1 = new QGridLayout(Frame1);
    txtIP = new QLineEdit(Frame1);
    named(txtIP, "txtIP");
    cmdIP = new QPushButton(QStringLiteral("..."), Frame1);
    named(cmdIP, "cmdIP");
    cmdIP->setVisible(false); // part of the dialog, never shown
    txtPort = new QLineEdit(Frame1);
    named(txtPort, "txtPort");
    txtTimeout = new QLineEdit(Frame1);
    named(txtTimeout, "txtTimeout");
    txtNickname = new QLineEdit(Frame1);
    named(txtNickname, "txtNickname");
    // Each label is its box's buddy, so a screen reader names the box by it.
    auto label = [](const QString& text, QWidget* parent, QLineEdit* box) {
        auto* l = new QLabel(text, parent);
        l->setBuddy(box);
        return l;
    };
    g1->addWidget(label(QStringLiteral("Enter your IP address for server:"), Frame1, txtIP), 0, 0);
    g1->addWidget(txtIP, 0, 1);
    g1->addWidget(cmdIP, 0, 2);
    g1->addWidget(label(QStringLiteral("Server Port:"), Frame1, txtPort), 1, 0);
    g1->addWidget(txtPort, 1, 1);
    g1->addWidget(label(QStringLiteral("Timeout:"), Frame1, txtTimeout), 2, 0);
    g1->addWidget(txtTimeout, 2, 1);
    g1->addWidget(new QLabel(QStringLiteral("Seconds"), Frame1), 2, 2);
    g1->addWidget(label(QStringLiteral("Nickname:"), Frame1, txtNickname), 3, 0);
    g1->addWidget(txtNickname, 3, 1);
    txtTimeout->setToolTip(QStringLiteral("Seconds a call may take to log in (0: 30)"));
    txtIP->setAccessibleName(QStringLiteral("Server address"));
    txtPort->setAccessibleName(QStringLiteral("Server port"));
    txtTimeout->setAccessibleName(QStringLiteral("Login timeout in seconds"));
    txtNickname->setAccessibleName(QStringLiteral("Nickname"));

    Frame2 = new QGroupBox(QStringLiteral("Secure Transfers"), this);
    named(Frame2, "Frame2");
    auto* g2 = new QGridLayout(Frame2);
    txtLoginPassword = new QLineEdit(Frame2);
    named(txtLoginPassword, "txtLoginPassword");
    g2->addWidget(label(QStringLiteral("Login Password:"), Frame2, txtLoginPassword), 0, 0);
    g2->addWidget(txtLoginPassword, 0, 1, 1, 2);
    txtLoginPassword->setAccessibleName(QStringLiteral("Login password"));
    txtPassword[0] = nullptr;
    for (int k = 1; k <= 5; ++k) {
        txtPassword[k] = new QLineEdit(Frame2);
        txtPassword[k]->setObjectName(QStringLiteral("txtPassword%1").arg(k));
        txtPassword[k]->setAccessibleName(QStringLiteral("Message password %1").arg(k));
        g2->addWidget(label(QStringLiteral("%1.").arg(k), Frame2, txtPassword[k]), k, 1,
                      Qt::AlignRight);
        g2->addWidget(txtPassword[k], k, 2);
    }
    g2->addWidget(label(QStringLiteral("Passwords:"), Frame2, txtPassword[1]), 1, 0);
    txtLoginPassword->setEchoMode(QLineEdit::Password);
    // Masked with "*", as users of this dialog know it, whatever the style's own mark.
    setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: 42; }"));
    // Whatever is typed here must fit the login message, or no login could be sent.
    txtNickname->setMaxLength(SettingsRecord::kMaxNicknameLength);
    txtLoginPassword->setMaxLength(SettingsRecord::kMaxPasswordLength);
    for (int k = 1; k <= 5; ++k) {
        txtPassword[k]->setEchoMode(QLineEdit::Password);
        txtPassword[k]->setMaxLength(SettingsRecord::kMaxPasswordLength);
    }
    chkCrypt = new QCheckBox(QStringLiteral("Encrypt all data being sent"), Frame2);
    named(chkCrypt, "chkCrypt");
    chkAcceptSecure = new QCheckBox(QStringLiteral("Accept only secure connections"), Frame2);
    named(chkAcceptSecure, "chkAcceptSecure");
    g2->addWidget(chkCrypt, 6, 0, 1, 3);
    g2->addWidget(chkAcceptSecure, 7, 0, 1, 3);
    chkCrypt->setVisible(false);
    chkAcceptSecure->setVisible(false);
    connect(chkCrypt, &QCheckBox::clicked, this, &frmSettings::chkCrypt_Click);

    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    named(cmdOK, "cmdOK");
    cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    named(cmdCancel, "cmdCancel");
    connect(cmdOK, &QPushButton::clicked, this, &frmSettings::cmdOK_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &frmSettings::cmdCancel_Click);
    for (QPushButton* b : {cmdOK, cmdCancel}) {
        b->setAutoDefault(false);
    }

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cmdOK);
    buttons->addWidget(cmdCancel);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Frame1);
    layout->addWidget(Frame2);
    layout->addLayout(buttons);

    QWidget* order[] = {txtIP,          cmdIP,          txtPort,
                        txtTimeout,     txtNickname,    txtLoginPassword,
                        txtPassword[1], txtPassword[2], txtPassword[3],
                        txtPassword[4], txtPassword[5], cmdOK,
                        cmdCancel,      chkCrypt,       chkAcceptSecure};
    for (std::size_t k = 0; k + 1 < std::size(order); ++k) {
        QWidget::setTabOrder(order[k], order[k + 1]);
    }
    for (QLineEdit* box : {txtIP, txtPort, txtTimeout, txtPassword[2]}) {
        box->installEventFilter(this);
    }

    // Load: encryption is always on, so the password boxes are always usable.
    chkCrypt->setChecked(true);
    SetCheck();
}

frmSettings* frmSettings::ShowFor(App& app, frmClient* window) {
    frmSettings* dialog = Instance();
    if (dialog == nullptr) {
        // Owned by the switchboard, which outlives every line: a line whose call ends must
        // not take the user's unsaved edits with it. Deletes itself on close.
        frmClient* board = app.Table().Window(0);
        dialog = new frmSettings(app, board != nullptr ? board : window);
    }
    dialog->Fill();
    dialog->setWindowIcon(window->windowIcon());
    if (!dialog->isVisible()) {
        // Centred over the window that asked for it.
        dialog->adjustSize();
        QRect box(QPoint(0, 0), dialog->frameGeometry().size());
        box.moveCenter(window->frameGeometry().center());
        dialog->move(box.topLeft());
    }
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
    dialog->Startup();
    return dialog;
}

void frmSettings::Fill() {
    for (int k = 1; k <= 5; ++k) {
        txtPassword[k]->setText(Settings.Passwords[static_cast<std::size_t>(k)]);
    }
    txtTimeout->setText(QString::number(Settings.Timeout));
    txtIP->setText(QString());
    txtPort->setText(QString::number(Settings.Port));
    txtLoginPassword->setText(Settings.LoginPassword);
    txtNickname->setText(Settings.Nickname);
}

void frmSettings::Startup() {
    if (!txtNickname->text().isEmpty()) {
        txtLoginPassword->setFocus();
    } else {
        txtNickname->setFocus();
    }
}

void frmSettings::SetCheck() {
    const bool on = chkCrypt->isChecked();
    for (int k = 1; k <= 5; ++k) {
        txtPassword[k]->setEnabled(on);
        QPalette p = txtPassword[k]->palette();
        p.setColor(QPalette::Base, palette().color(on ? QPalette::Base : QPalette::Button));
        txtPassword[k]->setPalette(p);
    }
    chkAcceptSecure->setEnabled(on);
}

void frmSettings::chkCrypt_Click() {
    SetCheck();
    if (txtPassword[1]->isEnabled() && isVisible()) {
        txtPassword[1]->setFocus();
    }
}

void frmSettings::cmdOK_Click() {
    if (!IsNumber(txtPort->text())) {
        txtPort->setText(QStringLiteral("7000"));
    }
    // The boxes count characters; the login message counts bytes, and UTF-8 needs up to four
    // for one.
    Settings.LoginPassword = FitUtf8(txtLoginPassword->text(), SettingsRecord::kMaxPasswordLength);
    for (int k = 1; k <= 5; ++k) {
        Settings.Passwords[static_cast<std::size_t>(k)] = txtPassword[k]->text();
    }
    (void)txtIP->text(); // the server address box is not kept anywhere
    // A number beyond 32 bits cannot be a port: it is treated like any other non-number.
    Settings.Port = RoundToInt32(NumericValue(txtPort->text())).value_or(7000);
    Settings.EncryptAll = chkCrypt->isChecked() ? 1 : 0;
    Settings.SecureOnly = chkAcceptSecure->isChecked() ? 1 : 0;
    Settings.Timeout = RoundToInt32(NumericValue(txtTimeout->text())).value_or(0);
    Settings.Nickname = FitUtf8(txtNickname->text(), SettingsRecord::kMaxNicknameLength);
    WindowTable& windows = app_.Table();
    windows.RefreshAllTitles();
    windows.RefreshAllLevels();
    if (frmClient* board = windows.Window(0); board != nullptr && windows.InUse(0)) {
        board->SaveSettings();
    }
    // The local network hears the new nickname now, not at the next start.
    app_.UpdateAnnouncement();
    close();
}

void frmSettings::cmdCancel_Click() {
    close();
}

void frmSettings::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        cmdCancel_Click(); // as in any dialog
        return;
    }
    QWidget::keyPressEvent(event);
}

bool frmSettings::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            if (watched == txtIP) {
                txtPort->setFocus();
            } else if (watched == txtPort) {
                txtTimeout->setFocus();
            } else if (watched == txtTimeout) {
                txtNickname->setFocus(); // the next field the user can see
            } else if (watched == txtPassword[2]) {
                cmdOK_Click();
            }
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

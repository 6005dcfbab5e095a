#include "frmSettings.h"

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

QPointer<frmSettings>& Current() {
    static QPointer<frmSettings> current;
    return current;
}

// A number as a whole: optional sign, digits with an optional fraction, optional exponent,
// surrounding blanks allowed.
bool IsNumber(const QString& text) {
    static const QRegularExpression re(
        QStringLiteral(R"(^\s*[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?\s*$)"));
    return re.match(text).hasMatch();
}

} // namespace

frmSettings* frmSettings::Instance() {
    return Current().data();
}

frmSettings::frmSettings(QWidget* owner) : QWidget(owner, Qt::Window | Qt::Dialog) {
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
    g1->addWidget(new QLabel(QStringLiteral("Enter your IP address for server:"), Frame1), 0, 0);
    g1->addWidget(txtIP, 0, 1);
    g1->addWidget(cmdIP, 0, 2);
    g1->addWidget(new QLabel(QStringLiteral("Server Port:"), Frame1), 1, 0);
    g1->addWidget(txtPort, 1, 1);
    g1->addWidget(new QLabel(QStringLiteral("Timeout:"), Frame1), 2, 0);
    g1->addWidget(txtTimeout, 2, 1);
    g1->addWidget(new QLabel(QStringLiteral("Seconds"), Frame1), 2, 2);
    g1->addWidget(new QLabel(QStringLiteral("Nickname:"), Frame1), 3, 0);
    g1->addWidget(txtNickname, 3, 1);

    Frame2 = new QGroupBox(QStringLiteral("Secure Transfers"), this);
    named(Frame2, "Frame2");
    auto* g2 = new QGridLayout(Frame2);
    txtLoginPassword = new QLineEdit(Frame2);
    named(txtLoginPassword, "txtLoginPassword");
    g2->addWidget(new QLabel(QStringLiteral("Login Password:"), Frame2), 0, 0);
    g2->addWidget(txtLoginPassword, 0, 1, 1, 2);
    g2->addWidget(new QLabel(QStringLiteral("Passwords:"), Frame2), 1, 0);
    txtPassword[0] = nullptr;
    for (int k = 1; k <= 5; ++k) {
        txtPassword[k] = new QLineEdit(Frame2);
        txtPassword[k]->setObjectName(QStringLiteral("txtPassword%1").arg(k));
        g2->addWidget(new QLabel(QStringLiteral("%1.").arg(k), Frame2), k, 1, Qt::AlignRight);
        g2->addWidget(txtPassword[k], k, 2);
    }
    txtLoginPassword->setEchoMode(QLineEdit::Password);
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

frmSettings* frmSettings::ShowFor(frmClient* window) {
    frmSettings* dialog = Current().data();
    if (dialog == nullptr) {
        dialog = new frmSettings(window); // owned by the calling window; deletes itself on close
        Current() = dialog;
    }
    dialog->Fill();
    dialog->setWindowIcon(window->windowIcon());
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
    Settings.LoginPassword = txtLoginPassword->text();
    for (int k = 1; k <= 5; ++k) {
        Settings.Passwords[static_cast<std::size_t>(k)] = txtPassword[k]->text();
    }
    (void)txtIP->text(); // the server address box is not kept anywhere
    // A number beyond 32 bits cannot be a port: it is treated like any other non-number.
    Settings.Port = RoundToInt32(NumericValue(txtPort->text())).value_or(7000);
    Settings.EncryptAll = chkCrypt->isChecked() ? 1 : 0;
    Settings.SecureOnly = chkAcceptSecure->isChecked() ? 1 : 0;
    Settings.Timeout = RoundToInt32(NumericValue(txtTimeout->text())).value_or(0);
    Settings.Nickname = txtNickname->text();
    RefreshAllTitles();
    RefreshAllLevels();
    if (frmClient* board = ClientWindows(0); board != nullptr && WindowInUse[0]) {
        board->SaveSettings();
    }
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

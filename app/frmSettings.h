// The settings dialog: nickname, port, timeout, login password and the five message
// passwords. One instance, non-modal, owned by the window that opened it.
#pragma once

#include <QWidget>

class QCheckBox;
class QGroupBox;
class QLineEdit;
class QPushButton;
class App;
class frmClient;

class frmSettings : public QWidget {
    Q_OBJECT
public:
    // Fills and shows the dialog for `window` (loading it when needed) and sets the focus.
    static frmSettings* ShowFor(App& app, frmClient* window);
    // The open dialog, or null.
    static frmSettings* Instance();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    frmSettings(App& app, QWidget* owner);
    void Fill();
    void Startup();
    void SetCheck();
    void chkCrypt_Click();
    void cmdOK_Click();
    void cmdCancel_Click();

    App& app_;
    QGroupBox* Frame1;
    QGroupBox* Frame2;
    QLineEdit* txtIP;
    QPushButton* cmdIP;
    QLineEdit* txtPort;
    QLineEdit* txtTimeout;
    QLineEdit* txtNickname;
    QLineEdit* txtLoginPassword;
    QLineEdit* txtPassword[6]; // 1 to 5
    QCheckBox* chkCrypt;
    QCheckBox* chkAcceptSecure;
    QPushButton* cmdOK;
    QPushButton* cmdCancel;
};

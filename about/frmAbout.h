// The About window: title and version, the maker's notice, web and mail links.
#pragma once

#include <QIcon>
#include <QWidget>

class QLabel;
class QPushButton;

class frmAbout : public QWidget {
    Q_OBJECT
public:
    // Shows the one About window (loading it when needed) with the given icon.
    static frmAbout* ShowWithIcon(const QIcon& icon);
    static frmAbout* Instance();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    frmAbout();

    QLabel* picIcon;
    QLabel* lblTitle;
    QLabel* lblCopyright;
    QLabel* Label1;
    QLabel* lblMailTo;
    QLabel* Label2;
    QLabel* lblQuorvex;
    QPushButton* cmdOK;
};

#include "frmAbout.h"
#include "Version.h"
#include "platform/OpenWindow.h"

#include "HTMLLink.h"

#include <QEvent>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>

frmAbout* frmAbout::Instance() {
    return platform::OpenWindow<frmAbout>();
}

frmAbout::frmAbout() {
    setObjectName(QStringLiteral("frmAbout"));
    setAttribute(Qt::WA_DeleteOnClose);
    setMouseTracking(true);
    const QString title = QStringLiteral("Palaver");
    setWindowTitle(QStringLiteral("About ") + title);

    picIcon = new QLabel(this);
    picIcon->setObjectName(QStringLiteral("picIcon"));
    picIcon->setFixedSize(32, 32);
    picIcon->setPixmap(QIcon(QStringLiteral(":/palaver/palaver.png")).pixmap(32, 32));

    lblTitle = new QLabel(this);
    lblTitle->setObjectName(QStringLiteral("lblTitle"));
    QFont big = lblTitle->font();
    big.setPointSizeF(big.pointSizeF() * 1.5);
    big.setBold(true);
    lblTitle->setFont(big);
    lblTitle->setText(title + QStringLiteral(" v") + QString::number(PALAVER_VERSION_MAJOR) +
                      QStringLiteral(".") + QString::number(PALAVER_VERSION_MINOR) +
                      QStringLiteral(".") + QString::number(PALAVER_VERSION_PATCH));

    lblCopyright = new QLabel(QStringLiteral(PALAVER_MAKER_COPYRIGHT), this);
    lblCopyright->setObjectName(QStringLiteral("lblCopyright"));
    lblCopyright->setWordWrap(true);

    Label1 = new QLabel(QStringLiteral("e-mail:"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    lblMailTo = new QLabel(QStringLiteral(PALAVER_MAKER_MAIL), this);
    lblMailTo->setObjectName(QStringLiteral("lblMailTo"));
    lblMailTo->setProperty("Tag", QStringLiteral("mailto:") + QStringLiteral(PALAVER_MAKER_MAIL));

    Label2 = new QLabel(QStringLiteral("web:"), this);
    Label2->setObjectName(QStringLiteral("Label2"));
    lblQuorvex = new QLabel(QStringLiteral(PALAVER_MAKER_WEB_NAME), this);
    lblQuorvex->setObjectName(QStringLiteral("lblQuorvex"));
    lblQuorvex->setProperty("Tag", QStringLiteral(PALAVER_MAKER_WEB_URL));
    lblQuorvex->setCursor(Qt::PointingHandCursor);
    lblMailTo->setCursor(lblQuorvex->cursor());

    for (QLabel* link : {lblMailTo, lblQuorvex}) {
        link->setMouseTracking(true);
        link->installEventFilter(this);
    }

    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    connect(cmdOK, &QPushButton::clicked, this, &QWidget::close);

    auto* layout = new QGridLayout(this);
    layout->addWidget(picIcon, 0, 0, 2, 1, Qt::AlignTop);
    layout->addWidget(lblTitle, 0, 1, 1, 2);
    layout->addWidget(lblCopyright, 1, 1, 1, 2);
    layout->addWidget(Label1, 2, 1);
    // Aligned left, the links are only as wide as their text: the blank right of them
    // opens nothing.
    layout->addWidget(lblMailTo, 2, 2, Qt::AlignLeft);
    layout->addWidget(Label2, 3, 1);
    layout->addWidget(lblQuorvex, 3, 2, Qt::AlignLeft);
    layout->addWidget(cmdOK, 4, 2, Qt::AlignRight);
    layout->setColumnStretch(2, 1);

    SetLinkState(lblQuorvex, LinkNormal, this);
    SetLinkState(lblMailTo, LinkNormal, this);
}

frmAbout* frmAbout::ShowWithIcon(const QIcon& icon) {
    frmAbout* about = Instance();
    if (about == nullptr) {
        about = new frmAbout(); // top-level without owner; deletes itself on close
    }
    about->setWindowIcon(icon);
    about->picIcon->setPixmap(icon.pixmap(32, 32));
    about->show();
    about->raise();
    about->activateWindow();
    return about;
}

void frmAbout::mouseMoveEvent(QMouseEvent* event) {
    SetLinkState(lblQuorvex, LinkLeft, this);
    SetLinkState(lblMailTo, LinkLeft, this);
    QWidget::mouseMoveEvent(event);
}

void frmAbout::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

bool frmAbout::eventFilter(QObject* watched, QEvent* event) {
    auto* other = [&]() -> QLabel* {
        if (watched == lblQuorvex) {
            return lblMailTo;
        }
        if (watched == lblMailTo) {
            return lblQuorvex;
        }
        return nullptr;
    }();
    if (other != nullptr) {
        auto* link = static_cast<QLabel*>(watched);
        if (event->type() == QEvent::MouseMove || event->type() == QEvent::Enter) {
            SetLinkState(other, LinkLeft, this);
            SetLinkState(link, LinkOver, this);
            // Consumed: passed on, it would reach the background and reset the link.
            return event->type() == QEvent::MouseMove;
        } else if (event->type() == QEvent::MouseButtonRelease) {
            SetLinkState(link, LinkOpen, this);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

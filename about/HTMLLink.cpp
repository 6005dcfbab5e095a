#include "HTMLLink.h"

#include "platform/Desktop.h"

#include <QLabel>
#include <QVariant>

namespace {

void SetColour(QLabel* link, const QColor& colour) {
    QPalette p = link->palette();
    p.setColor(QPalette::WindowText, colour);
    link->setPalette(p);
}

void SetUnderline(QLabel* link, bool on) {
    QFont f = link->font();
    f.setUnderline(on);
    link->setFont(f);
}

} // namespace

void SetLinkState(QLabel* link, int mode, QWidget* /*window*/) {
    if (link == nullptr) {
        return;
    }
    switch (mode) {
    case LinkNormal:
        SetColour(link, QColor(0, 0, 255));
        break;
    case LinkOpen:
        // A target nobody can open is ignored; the label still shows it was followed.
        (void)platform::OpenTarget(link->property("Tag").toString());
        SetColour(link, QColor(128, 0, 128));
        break;
    case LinkLeft:
        SetUnderline(link, false);
        SetColour(link, QColor(0, 0, 255));
        break;
    case LinkOver:
        SetColour(link, QColor(255, 0, 0));
        SetUnderline(link, true);
        break;
    default:
        break;
    }
}

// Link labels: colour and underline by state, and opening the target kept in the label's
// "Tag" property with the desktop's default handler.
#pragma once

class QLabel;
class QWidget;

enum LinkMode { LinkNormal = 1, LinkOpen = 2, LinkLeft = 3, LinkOver = 4 };

void SetLinkState(QLabel* link, int mode, QWidget* window);

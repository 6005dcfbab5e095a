// The History window: conversations by peer and date, newest first; a search box that finds
// lines as they are typed; a date filter; export to text or HTML; the switch that keeps
// conversations and the command that forgets them.
#pragma once

#include "HistoryStore.h"

#include <QPointer>
#include <QWidget>

#include <functional>

class QCheckBox;
class QDateEdit;
class QLineEdit;
class QListWidget;
class QPushButton;
class QTextBrowser;

class frmHistory : public QWidget {
    Q_OBJECT
public:
    // Asks where to save an export; tests replace it so that no dialog blocks.
    using SaveChooser = std::function<QString(QWidget* parent, const QString& suggested)>;
    void SetSaveChooser(SaveChooser chooser) { chooser_ = std::move(chooser); }

    // Shows the one History window over `store` (creating it when needed).
    static frmHistory* ShowFor(HistoryStore* store, QWidget* near = nullptr);
    static frmHistory* Instance();
    // Shows the newest conversation with the peer whose key is `keyHex`.
    void ShowKey(const QString& keyHex);

    // Renders lines as plain text or HTML, as an export writes them; in HTML the `marks`
    // found in a line's text are highlighted.
    static QString Render(const QList<HistoryStore::Line>& lines, bool html,
                          const QStringList& marks = {});

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    explicit frmHistory(HistoryStore* store);
    SaveChooser chooser_;
    void Refresh();
    void ShowConversation();
    void ShowSearch();
    void Export();
    void Forget();
    QDate From() const;
    QDate To() const;

    QPointer<HistoryStore> store_;
    QList<HistoryStore::Line> shown_;
    QLineEdit* txtSearch;
    QCheckBox* chkDates;
    QDateEdit* dtpFrom;
    QDateEdit* dtpTo;
    QListWidget* lstConversations;
    QTextBrowser* txtLines;
    QPushButton* cmdExport;
    QCheckBox* chkKeep;
    QPushButton* cmdForget;
};

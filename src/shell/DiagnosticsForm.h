#pragma once

#include "shell/ShellServices.h"
#include "store/Events.h"

#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <memory>
#include <string>
#include <vector>

class Item;
class ItemPtr;
class QPlainTextEdit;
class QTreeWidgetItem;
class Ui_DiagnosticsForm;

// The Diagnostics page: "Tracked Users", the users whose status the server connection watches,
// and "Logs", one tab per log category, made when its first line arrives. Every line Log
// writes reaches the page through LogHub, like any other subscriber.
//
// Lines reach their tab when the event loop next turns, all the lines logged meanwhile in one
// append: a scan logs a line for each of tens of thousands of folders, and laying out each line
// on its own held the window for seconds. A tab that is not on screen gets its lines when it is
// shown.
//
// Tabs and tracked-user rows are tied to the store by "log_widget" and "track_user_node" items
// holding their addresses; the page removes those items when it goes.
class DiagnosticsForm : public QWidget, public DataHandler
{
    Q_OBJECT

public:
    // Lines a category's tab keeps; older lines drop off the top as new ones come, so a run of
    // weeks holds no more than this many per category.
    static constexpr int kMaxLogLinesPerCategory = 20000;

    explicit DiagnosticsForm(QWidget* parent = nullptr);
    ~DiagnosticsForm() override;

    // Registers the tracked-user handlers. The server connection's types must exist.
    void Init();

    // The same as the free Log, for a caller that holds the page.
    void Log(const QString& category, int level, const QString& message, const ItemPtr& item);

    // Lines are neither grouped nor filtered by the item they name, so there is nothing to note.
    void RegisterLoggableItemType(const std::string& type);

    void OnUserTracked(Item* user);
    void OnUserUntracked(Item* user);
    void OnUserOnline(Item* user);
    void OnUserOffline(Item* user);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void OnLineLogged(const QString& category, const QString& line);
    void ShowPendingLines();
    // Puts the pending lines into their tabs: into that one's only, or (null) into every tab
    // on screen. Tabs gone drop theirs.
    void AppendPendingLines(const QObject* only);
    QPlainTextEdit* CategoryView(const QString& category);
    // The row an item of the user names, if it is one of this page's rows.
    QTreeWidgetItem* TrackedRow(Item* user) const;
    void ShowStatus(Item* user);

    std::unique_ptr<Ui_DiagnosticsForm> ui;
    // Lines not yet in their tab (logged since the last turn of the event loop, or while the tab
    // was hidden), by tab in the order of their first line; a tab's newest
    // kMaxLogLinesPerCategory at most, since it would drop older ones.
    struct PendingLines
    {
        QPointer<QPlainTextEdit> view;
        QStringList lines;
    };
    std::vector<PendingLines> m_pending;
    bool m_showPosted = false;
};

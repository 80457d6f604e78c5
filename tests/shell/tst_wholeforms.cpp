// Forms made without a service they cannot work without say which one by throwing, before they
// are half wired; made with everything, they follow what they show.

#include "ToolBarTexts.h"
#include "engine/Engine.h"
#include "server/Server.h"
#include "server/ServerSchema.h"
#include "shell/ActionSetToolBar.h"
#include "shell/ShellActionSets.h"
#include "shell/ShellTypes.h"
#include "store/DataSaver.h"
#include "store/Dependency.h"
#include "store/Schema.h"
#include "store/Settings.h"
#include "store/TurnBudget.h"
#include "support/CompleteRecords.h"
#include "support/ScriptedUpnp.h"
#include "support/StoreGuard.h"
#include "transfers/TransferQueueManager.h"
#include "ui/chat/ChatForm.h"
#include "ui/chat/ChatLogForm.h"
#include "ui/transfers/CompleteDownloadsForm.h"
#include "ui/transfers/TransfersForm.h"
#include "ui/users/UserListForm.h"

#include <QTabWidget>
#include <QTest>
#include <QTreeWidget>

#include <memory>
#include <optional>

namespace {

enum class Form
{
    CompleteDownloads,
    Chat,
    ChatLog,
    UserList,
    Transfers,
};

// What the host builds before the form.
enum class Built
{
    Store,                  // the store's types and nothing else
    EngineWithoutTransfers, // the engine, its transfer engine left out
    Engine,                 // the whole engine
    EngineAndToolBar,       // the whole engine and the context tool bar
    ToolBar,                // the store's types and the context tool bar
};

// The bar's action texts for the widget, as its focus would show them.
QStringList BarActions(ActionSetToolBar* bar, QWidget* widget, const char* set)
{
    if (!bar)
        return {QStringLiteral("no tool bar")};
    bar->Clear();
    bar->ChangeSet(widget, set);
    return ShownActionTexts(bar);
}

// The store types the chat forms read, and their tool bar sets when there is a bar.
struct ChatHost
{
    ChatHost(bool withBar)
    {
        Server::CreateData(saver);
        Settings::CreateData(saver);
        ShellTypes::DeclareUserChatWidget();
        ShellTypes::DeclareChatLogForm();
        if (!withBar)
            return;
        bar = new ActionSetToolBar(&window);
        using namespace ShellActions;
        for (const char* set : {RoomListSet, RoomSet})
            AddSet(*bar, kEarlySets, kEarlySetRowCount, set);
        AddChatLogSets(*bar);
    }

    QStringList Actions(QWidget* widget, const char* set) const
    {
        return BarActions(bar, widget, set);
    }

    DataSaver saver;
    QWidget window;
    QTabWidget* tabs = new QTabWidget(&window);
    ActionSetToolBar* bar = nullptr;
};

// The transfers page's downloads tree once a download came after the store file's load, each
// row's user, folder and file cells and its status; then the tool bar's actions for the tree
// after one of them was clicked.
QString FollowTransfers(TransfersForm& page)
{
    dataSaver->EmitDataLoaded();
    transferQueueManager->AddDownload("bob", "a.mp3", "Music", 1000, 0);
    auto* tree = page.findChild<QTreeWidget*>(QStringLiteral("downloadsList"));
    QStringList rows;
    for (QTreeWidgetItemIterator it(tree); *it; ++it) {
        QStringList cells;
        for (int column = TransfersForm::kUserColumn; column <= TransfersForm::kStatusColumn;
             ++column)
            cells << (*it)->text(column);
        rows << cells.join('|');
    }
    // A click on the bar reaches the page: its folders no longer start expanded.
    actionBar->ChangeSet(tree, "downloads");
    for (QAction* action : actionBar->actions()) {
        if (action->text() == QStringLiteral("Expand Folders [on]"))
            action->trigger();
    }
    const QStringList actions = BarActions(actionBar, tree, "downloads").mid(0, 4);
    return "rows: " + rows.join(QStringLiteral(", ")) +
           "; actions: " + actions.join(QStringLiteral(", "));
}

EngineOptions Offline(bool transfers)
{
    EngineOptions options;
    options.loopbackListeners = true;
    options.transferQueue = transfers;
    return options;
}

} // namespace

Q_DECLARE_METATYPE(Form)
Q_DECLARE_METATYPE(Built)

class tst_WholeForms : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void wholeOrThrows_data();
    void wholeOrThrows();

private:
    ScriptedUpnp m_upnp;
};

void tst_WholeForms::initTestCase()
{
    TurnBudget::SetStepsPerSliceForTesting(TurnBudget::kAtOnceForTesting);
}

void tst_WholeForms::wholeOrThrows_data()
{
    QTest::addColumn<Form>("form");
    QTest::addColumn<Built>("built");
    // What the form does with what it was given, or why it was not made.
    QTest::addColumn<QString>("outcome");
    const QString notFirst = QStringLiteral(", which was not built first");
    QTest::newRow("complete list, no engine")
        << Form::CompleteDownloads << Built::Store
        << "The complete downloads list needs the store file handler" + notFirst;
    QTest::newRow("complete list, no transfer engine")
        << Form::CompleteDownloads << Built::EngineWithoutTransfers
        << "The complete downloads list needs the transfer engine" + notFirst;
    QTest::newRow("complete list, whole")
        << Form::CompleteDownloads << Built::Engine << "rows: b.mp3, a.mp3";
    QTest::newRow("chat, no tool bar")
        << Form::Chat << Built::Store << "The chat form needs the context tool bar" + notFirst;
    QTest::newRow("chat, whole") << Form::Chat << Built::ToolBar << "actions: Chat Log";
    QTest::newRow("chat log, no tool bar")
        << Form::ChatLog << Built::Store
        << "The chat log viewer needs the context tool bar" + notFirst;
    QTest::newRow("user list, no tool bar")
        << Form::UserList << Built::Engine
        << "The user list page needs the context tool bar" + notFirst;
    QTest::newRow("user list, whole")
        << Form::UserList << Built::EngineAndToolBar << "actions: Add User, Configure User Groups";
    QTest::newRow("chat log, whole")
        << Form::ChatLog << Built::ToolBar << "actions: Clear Log, Open Log Folder";
    QTest::newRow("transfers, no engine")
        << Form::Transfers << Built::Store
        << "The transfers page needs the store file handler" + notFirst;
    QTest::newRow("transfers, no transfer engine")
        << Form::Transfers << Built::EngineWithoutTransfers
        << "The transfers page needs the transfer engine" + notFirst;
    QTest::newRow("transfers, no tool bar")
        << Form::Transfers << Built::Engine
        << "The transfers page needs the context tool bar" + notFirst;
    QTest::newRow("transfers, whole")
        << Form::Transfers << Built::EngineAndToolBar
        << "rows: bob|||, |Music||, ||a.mp3|queued; actions: Expand Folders [off], "
           "Expand Users [on], Clear Complete, Complete Downloads";
}

void tst_WholeForms::wholeOrThrows()
{
    QFETCH(Form, form);
    QFETCH(Built, built);
    QFETCH(QString, outcome);

    StoreGuard store;
    std::unique_ptr<Engine> engine;
    std::optional<ChatHost> chat;
    // The complete list and the transfers page made in a bare store find not even the store
    // file handler.
    const bool bare = form == Form::CompleteDownloads || form == Form::Transfers;
    if (built == Built::ToolBar || (built == Built::Store && !bare))
        chat.emplace(built == Built::ToolBar);
    else if (built != Built::Store)
        engine = std::make_unique<Engine>(Offline(built != Built::EngineWithoutTransfers));
    QWidget window;
    if (built == Built::EngineAndToolBar) {
        new ActionSetToolBar(&window);
        const SchemaType note[] = {
            {ShellTypes::UserNote, ReachablePrimacy, false, true, ValueKind::Utf8}};
        const SchemaRelation noted[] = {{ServerTypes::User, ShellTypes::UserNote, Many, One}};
        DeclareSchema(MakeSchema(note, noted));
    }

    QString seen;
    try {
        switch (form) {
        case Form::CompleteDownloads: {
            CompleteDownloadsForm list;
            list.Init();
            list.DataLoaded();
            if (!transferQueueManager) {
                seen = QStringLiteral("made without the transfer engine");
                break;
            }
            // Completions after the list was made come in their place, newest first.
            Q_EMIT transferQueueManager->CompleteDownloadAdded(
                CompleteRecords::Make("bob", "Music", "a.mp3", "1000", "Tue Mar 3 10:00:01 2026"));
            Q_EMIT transferQueueManager->CompleteDownloadAdded(
                CompleteRecords::Make("bob", "Music", "b.mp3", "1000", "Tue Mar 3 10:00:02 2026"));
            auto* rows = list.findChild<QTreeWidget*>(QStringLiteral("downloadList"));
            QStringList files;
            for (int i = 0; i < rows->topLevelItemCount(); ++i)
                files << rows->topLevelItem(i)->text(CompleteDownloadsForm::kFileColumn);
            seen = "rows: " + files.join(", ");
            break;
        }
        case Form::Chat: {
            ChatForm tab("bob", chat->tabs, chat->tabs);
            seen = "actions: " +
                   chat->Actions(&tab, ShellActions::UserChatSet).join(QStringLiteral(", "));
            break;
        }
        case Form::ChatLog: {
            ChatLogForm viewer(QStringLiteral("no such log"), chat->tabs);
            seen = "actions: " +
                   chat->Actions(&viewer, ShellActions::ChatLogSet).join(QStringLiteral(", "));
            break;
        }
        case Form::UserList: {
            UserListForm page(&window);
            page.Init();
            auto* tab = page.findChild<QWidget*>(QStringLiteral("userListTab"));
            const QStringList actions = BarActions(actionBar, tab, "user_list");
            seen = "actions: " + actions.join(QStringLiteral(", "));
            break;
        }
        case Form::Transfers: {
            TransfersForm page(&window);
            page.Init();
            seen = FollowTransfers(page);
            break;
        }
        }
    } catch (const MissingDependencyError& missing) {
        seen = QString::fromUtf8(missing.what());
    }
    QCOMPARE(seen, outcome);
    // A form that was not made left nothing behind that names it.
    QVERIFY(!completeDownloadsForm);
    QVERIFY(!userListForm);
}

QTEST_MAIN(tst_WholeForms)
#include "tst_wholeforms.moc"

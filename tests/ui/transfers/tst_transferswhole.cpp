// The transfers page made outside the window: without a service it cannot work without, its Init
// says which one by throwing, before anything is wired; made with everything, it follows the
// transfer engine's downloads and answers its tool bar.

#include "engine/Engine.h"
#include "shell/ActionSetToolBar.h"
#include "shell/ToolBarTexts.h"
#include "store/DataSaver.h"
#include "store/Dependency.h"
#include "support/ScriptedUpnp.h"
#include "support/StoreGuard.h"
#include "transfers/TransferQueueManager.h"
#include "ui/transfers/TransfersForm.h"

#include <QTest>
#include <QTreeWidget>

#include <memory>

namespace {

// What the host builds before the page.
enum class Built
{
    Store,                  // the store and nothing else
    EngineWithoutTransfers, // the engine, its transfer engine left out
    Engine,                 // the whole engine, no tool bar
    EngineAndToolBar,       // the whole engine and the context tool bar
};

EngineOptions Offline(bool transfers)
{
    EngineOptions options;
    options.loopbackListeners = true;
    options.transferQueue = transfers;
    return options;
}

// The tree as it reads: each row's user, folder and file cells and its status, by depth.
QStringList Rows(QTreeWidget* tree)
{
    QStringList rows;
    for (QTreeWidgetItemIterator it(tree); *it; ++it) {
        QStringList cells;
        for (int column = TransfersForm::kUserColumn; column <= TransfersForm::kStatusColumn;
             ++column)
            cells << (*it)->text(column);
        rows << cells.join('|');
    }
    return rows;
}

// The page's downloads tree once a download came after the store file's load, then the tool
// bar's actions for the tree after one of them was clicked.
QStringList Follow(TransfersForm* page, ActionSetToolBar* bar)
{
    if (!dataSaver || !transferQueueManager || !bar)
        return {QStringLiteral("made half wired")};
    dataSaver->EmitDataLoaded();
    transferQueueManager->AddDownload("bob", "a.mp3", "Music", 1000, 0);
    auto* tree = page->findChild<QTreeWidget*>(QStringLiteral("downloadsList"));
    QStringList seen = Rows(tree);
    // A click on the bar reaches the page: its folders no longer start expanded.
    bar->ChangeSet(tree, "downloads");
    for (QAction* action : bar->actions()) {
        if (action->text() == QStringLiteral("Expand Folders [on]"))
            action->trigger();
    }
    bar->Clear();
    bar->ChangeSet(tree, "downloads");
    return seen + ShownActionTexts(bar).mid(0, 4);
}

} // namespace

Q_DECLARE_METATYPE(Built)

class tst_TransfersWhole : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void wholeOrThrows_data();
    void wholeOrThrows();

private:
    ScriptedUpnp m_upnp;
};

void tst_TransfersWhole::wholeOrThrows_data()
{
    QTest::addColumn<Built>("built");
    // Why the page was not made, or what it follows (Follow).
    QTest::addColumn<QStringList>("outcome");
    const QString notFirst = QStringLiteral(", which was not built first");
    QTest::newRow("no engine") << Built::Store
                               << QStringList{"The transfers page needs the store file handler" +
                                              notFirst};
    QTest::newRow("no transfer engine")
        << Built::EngineWithoutTransfers
        << QStringList{"The transfers page needs the transfer engine" + notFirst};
    QTest::newRow("no tool bar") << Built::Engine
                                 << QStringList{"The transfers page needs the context tool bar" +
                                                notFirst};
    QTest::newRow("whole") << Built::EngineAndToolBar
                           << QStringList{"bob|||",
                                          "|Music||",
                                          "||a.mp3|queued",
                                          "Expand Folders [off]",
                                          "Expand Users [on]",
                                          "Clear Complete",
                                          "Complete Downloads"};
}

void tst_TransfersWhole::wholeOrThrows()
{
    QFETCH(Built, built);
    QFETCH(QStringList, outcome);

    StoreGuard store;
    std::unique_ptr<Engine> engine;
    if (built != Built::Store)
        engine = std::make_unique<Engine>(Offline(built != Built::EngineWithoutTransfers));
    QWidget window;
    ActionSetToolBar* bar =
        built == Built::EngineAndToolBar ? new ActionSetToolBar(&window) : nullptr;
    TransfersForm* page = new TransfersForm(&window);

    QStringList seen;
    try {
        page->Init();
        seen = Follow(page, bar);
    } catch (const MissingDependencyError& missing) {
        seen << QString::fromUtf8(missing.what());
    }
    QCOMPARE(seen, outcome);
}

QTEST_MAIN(tst_TransfersWhole)
#include "tst_transferswhole.moc"

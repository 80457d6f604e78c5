// The search page, its results tabs, the wish-list searcher and the shares page
// built by a host of their own rather than the window: made without a service
// they cannot work without, each says which by throwing before it is half
// wired; made with everything, each follows what it shows. And the filter line
// of a results tab filters its rows wherever the line sits.

#include "engine/Engine.h"
#include "peer/PeerMessenger.h"
#include "peer/PeerSchema.h"
#include "server/Server.h"
#include "server/ServerSchema.h"
#include "shell/ActionSetToolBar.h"
#include "shell/ShellServices.h"
#include "shell/ShellTypes.h"
#include "shell/ToolBarTexts.h"
#include "store/DataSaver.h"
#include "store/Dependency.h"
#include "store/Schema.h"
#include "store/TurnBudget.h"
#include "support/LogLines.h"
#include "support/ScriptedUpnp.h"
#include "support/StoreGuard.h"
#include "ui/search/SearchForm.h"
#include "ui/search/SearchResultsForm.h"
#include "ui/search/SearchTypes.h"
#include "ui/search/ShareTypes.h"
#include "ui/search/SharesForm.h"
#include "ui/search/WishListSearcher.h"

#include <QHBoxLayout>
#include <QLineEdit>
#include <QTabWidget>
#include <QTest>
#include <QTreeWidget>

#include <algorithm>
#include <memory>
#include <optional>

namespace {

enum class Form
{
    SearchPage,
    ManualTab,
    WishTab,
    WishSearcher,
    SharesPage,
};

// What the host builds before the form.
enum class Built
{
    Store,              // the store and nothing else
    Saver,              // the store file handler alone
    EngineWithoutPeers, // the engine without its peer connection manager, and the
                        // tool bar
    Engine,             // the whole engine, no tool bar
    EngineAndToolBar,   // the whole engine and the context tool bar
};

// The wish list's types, which the window declares with its own.
void DeclareWishList()
{
    const SchemaType types[] = {
        {ShellTypes::WishListItem, RootPrimacy, false, true, ValueKind::Utf8},
        {ShellTypes::WishListItemEnabled, ValuePrimacy, true, true, ValueKind::None},
    };
    const SchemaRelation relations[] = {
        {ShellTypes::WishListItem, ShellTypes::WishListItemEnabled, Many, One}};
    DeclareSchema(MakeSchema(types, relations));
}

// The host: the store, what it was told to build, and a window for the tool
// bar.
struct Host
{
    explicit Host(Built built)
    {
        if (built == Built::Saver)
            saver.emplace();
        if (built >= Built::EngineWithoutPeers) {
            EngineOptions options;
            options.loopbackListeners = true;
            options.peerMessenger = built != Built::EngineWithoutPeers;
            options.distributedNetwork = options.peerMessenger;
            options.transferQueue = options.peerMessenger;
            engine = std::make_unique<Engine>(options);
            DeclareWishList();
        }
        if (built == Built::EngineWithoutPeers || built == Built::EngineAndToolBar)
            new ActionSetToolBar(&window);
    }

    StoreGuard store;
    std::optional<DataSaver> saver;
    std::unique_ptr<Engine> engine;
    QWidget window;
};

// One peer's answer to the search of that token, as the peer connection manager
// stores it: files as (folder as sent, file name).
ItemPtr Answer(const char* user, uint token,
               const QList<std::pair<const char*, const char*>>& files)
{
    using namespace PeerTypes;
    ItemPtr answer = d.GetType(SearchResults)->NewItem();
    for (const auto& [folder, name] : files) {
        ItemPtr result = d.GetType(SearchResult)->NewItem();
        result += answer;
        result += d.GetType(SearchResultFileName)->GetItem(Value(name));
        result += d.GetType(SearchResultFileFolder)->GetItem(Value(folder));
        result += d.GetType(FileSize)->GetItem(Value(1000LL));
    }
    answer += d.GetType(ServerTypes::SearchRequest)->HasItem(Value(token));
    answer += d.GetType(ServerTypes::User)->GetItem(Value(user));
    answer += d.GetType(SearchResultsUserAvailable)->GetItem(Value("yes"));
    answer += d.GetType(SearchResultsUserSpeed)->GetItem(Value(2048u));
    answer += d.GetType(SearchResultsUploadsInQueue)->GetItem(Value(0u));
    return answer;
}

// A search typed on the page and answered: the server's signal opens its tab,
// the peer connection manager's brings the answer, made into rows at once. The
// tab.
SearchResultsForm* SearchAndAnswer(SearchForm& page)
{
    if (!gp_server || !peerMessenger)
        return nullptr;
    const uint token = gp_server->FileSearch("rock", false);
    const QList<std::pair<const char*, const char*>> files{
        {"Music\\Rock", "a.mp3"}, {"Music\\Rock", "live b.mp3"}, {"Live\\Rock", "c.mp3"}};
    Q_EMIT peerMessenger->SearchResults(Answer("bob", token, files));
    page.AddArrivedResults();
    auto* tabs = page.findChild<QTabWidget*>(QStringLiteral("searchTabControl"));
    if (!tabs || tabs->count() != 1)
        return nullptr;
    return qobject_cast<SearchResultsForm*>(tabs->widget(0));
}

// The file rows that show, their user, folder and name, sorted.
QStringList ShownFiles(QTreeWidget* tree)
{
    QStringList shown;
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        QTreeWidgetItem* user = tree->topLevelItem(i);
        for (int j = 0; j < user->childCount(); ++j) {
            QTreeWidgetItem* folder = user->child(j);
            for (int k = 0; k < folder->childCount(); ++k) {
                QTreeWidgetItem* file = folder->child(k);
                if (!user->isHidden() && !folder->isHidden() && !file->isHidden())
                    shown << user->text(0) + "|" + folder->text(3) + "|" + file->text(4);
            }
        }
    }
    std::sort(shown.begin(), shown.end());
    return shown;
}

QString Joined(const QStringList& texts)
{
    return texts.join(QStringLiteral(", "));
}

} // namespace

Q_DECLARE_METATYPE(Form)
Q_DECLARE_METATYPE(Built)

class tst_SearchPageHost : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void wholeOrThrows_data();
    void wholeOrThrows();
    void filterLineAnywhere_data();
    void filterLineAnywhere();

private:
    ScriptedUpnp m_upnp;
};

void tst_SearchPageHost::initTestCase()
{
    TurnBudget::SetStepsPerSliceForTesting(TurnBudget::kAtOnceForTesting);
}

void tst_SearchPageHost::wholeOrThrows_data()
{
    QTest::addColumn<Form>("form");
    QTest::addColumn<Built>("built");
    // What the form does with what it was given, or why it was not made.
    QTest::addColumn<QString>("outcome");
    const QString notFirst = QStringLiteral(", which was not built first");
    const QString page = QStringLiteral("The search page needs ");
    QTest::newRow("page, nothing")
        << Form::SearchPage << Built::Store << page + "the store file handler" + notFirst;
    QTest::newRow("page, no server")
        << Form::SearchPage << Built::Saver << page + "the server connection" + notFirst;
    QTest::newRow("page, no peers") << Form::SearchPage << Built::EngineWithoutPeers
                                    << page + "the peer connection manager" + notFirst;
    QTest::newRow("page, no tool bar")
        << Form::SearchPage << Built::Engine << page + "the context tool bar" + notFirst;
    QTest::newRow("page, whole")
        << Form::SearchPage << Built::EngineAndToolBar
        << "rows: bob|Rock/Live|c.mp3, bob|Rock/Music|a.mp3, bob|Rock/Music|live "
           "b.mp3";
    QTest::newRow("manual tab, no server")
        << Form::ManualTab << Built::Store
        << "A search results tab needs the server connection" + notFirst;
    QTest::newRow("manual tab, whole")
        << Form::ManualTab << Built::Engine << "related searches: rock live";
    QTest::newRow("wish-list tab, no server") << Form::WishTab << Built::Store << "tab of rock";
    QTest::newRow("searcher, no server")
        << Form::WishSearcher << Built::Store
        << "The wish-list searcher needs the server connection" + notFirst;
    QTest::newRow("searcher, whole")
        << Form::WishSearcher << Built::Engine
        << QString::fromUtf8("every 720000 ms, sent: caf\xc3\xa9 rock; "
                             "Sent wish list search: caf\xc3\xa9 rock");
    QTest::newRow("shares page, no tool bar")
        << Form::SharesPage << Built::Engine
        << "The shares page needs the context tool bar" + notFirst;
    QTest::newRow("shares page, whole")
        << Form::SharesPage << Built::EngineAndToolBar
        << "actions: Download Folder, Expand Level, Collapse All, Expand All";
}

void tst_SearchPageHost::wholeOrThrows()
{
    QFETCH(Form, form);
    QFETCH(Built, built);
    QFETCH(QString, outcome);

    Host host(built);
    QString seen;
    try {
        switch (form) {
        case Form::SearchPage: {
            SearchForm page;
            page.Init();
            SearchResultsForm* tab = SearchAndAnswer(page);
            seen = tab ? "rows: " + Joined(ShownFiles(tab->searchResults())) : "no tab";
            break;
        }
        case Form::ManualTab: {
            SearchResultsForm tab("rock", false);
            // The server's related searches for the tab's text, after the tab was
            // made.
            ItemPtr text = d.GetType(ServerTypes::SearchRequestText)->GetItem(Value("rock"));
            ItemPtr related = d.GetType(ServerTypes::SearchCorrelation)->NewItem();
            related += d.GetType(ServerTypes::CorrelationText)->GetItem(Value("rock live"));
            related += d.GetType(ServerTypes::CorrelationRank)->GetItem(Value(3u));
            text += related;
            Q_EMIT gp_server->SearchCorrelations("rock");
            QStringList rows;
            for (int i = 0; i < tab.CorrelationsWidget()->topLevelItemCount(); ++i)
                rows << tab.CorrelationsWidget()->topLevelItem(i)->text(0);
            seen = "related searches: " + Joined(rows);
            break;
        }
        case Form::WishTab: {
            SearchResultsForm tab("rock", true);
            seen = "tab of " + QString::fromStdString(tab.SearchText());
            break;
        }
        case Form::WishSearcher: {
            WishListSearcher searcher;
            if (!gp_server) {
                seen = QStringLiteral("made without the server connection");
                break;
            }
            // The wish as typed, UTF-8.
            d.GetType(ShellTypes::WishListItem)
                ->GetItem(Value("caf\xc3\xa9 rock"))
                .NewItem(ShellTypes::WishListItemEnabled);
            Q_EMIT gp_server->WishListWait(720);
            auto* timer = searcher.findChild<QTimer*>();
            LogLines logged(LogCategories::kWishList);
            searcher.OnSearchTimerTimeout();
            QStringList sent;
            for (Item* request : d.GetType(ServerTypes::SearchRequest)->GetItems())
                sent << QString::fromStdString(
                    ItemPtr(request)[ServerTypes::SearchRequestText].AsString());
            seen = QStringLiteral("every %1 ms, sent: ").arg(timer->interval()) + Joined(sent) +
                   "; " + logged.lines.filter(QStringLiteral("search:")).join(" | ").trimmed();
            break;
        }
        case Form::SharesPage: {
            SharesForm page;
            page.Init();
            if (!actionBar) {
                seen = QStringLiteral("made without the tool bar");
                break;
            }
            actionBar->ChangeSet(&page, ShareActions::ShareFoldersSet);
            seen = "actions: " + Joined(ShownActionTexts(actionBar));
            break;
        }
        }
    } catch (const MissingDependencyError& missing) {
        seen = QString::fromUtf8(missing.what());
    }
    QCOMPARE(seen, outcome);
    // A form that was not made, or went, left nothing behind that names it.
    QVERIFY(!searchForm);
    QVERIFY(!wishListSearcher);
    QVERIFY(!sharesForm);
}

void tst_SearchPageHost::filterLineAnywhere_data()
{
    QTest::addColumn<bool>("inContainer");  // the line moved into a widget of its own in the tab
    QTest::addColumn<QStringList>("typed"); // one text after the other
    QTest::addColumn<QStringList>("shown");
    const QString c = QStringLiteral("bob|Rock/Live|c.mp3");
    const QString a = QStringLiteral("bob|Rock/Music|a.mp3");
    const QString b = QStringLiteral("bob|Rock/Music|live b.mp3");
    QTest::newRow("in its place, a word") << false << QStringList{"live"} << QStringList{c, b};
    QTest::newRow("in a container, a word") << true << QStringList{"live"} << QStringList{c, b};
    QTest::newRow("in a container, an unwanted word")
        << true << QStringList{"-live"} << QStringList{a};
    QTest::newRow("in a container, cleared again")
        << true << QStringList{"live", ""} << QStringList{c, a, b};
}

void tst_SearchPageHost::filterLineAnywhere()
{
    QFETCH(bool, inContainer);
    QFETCH(QStringList, typed);
    QFETCH(QStringList, shown);

    Host host(Built::EngineAndToolBar);
    SearchForm page;
    page.Init();
    SearchResultsForm* tab = SearchAndAnswer(page);
    QVERIFY(tab);
    QLineEdit* line = tab->filterEdit();
    if (inContainer) {
        auto* box = new QWidget(tab);
        (new QHBoxLayout(box))->addWidget(line);
        QCOMPARE(line->parentWidget(), box);
    }
    for (const QString& text : typed)
        line->setText(text);
    QCOMPARE(page.IsFiltering(tab), false);
    QStringList expected = shown;
    std::sort(expected.begin(), expected.end());
    QCOMPARE(ShownFiles(tab->searchResults()), expected);
}

QTEST_MAIN(tst_SearchPageHost)
#include "tst_searchpagehost.moc"

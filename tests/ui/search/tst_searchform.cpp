// The search page and its results tabs in the running window: searches typed and sent byte for
// byte, tabs opened, joined and closed with what they leave in the store, related searches,
// saved filters, the tool bar's order and expansion actions and the result tree's menu.

#include "shell/MainWindowClient.h"

#include "peer/PeerMessenger.h"
#include "shell/DisplayText.h"
#include "shell/EventToolBar.h"
#include "store/TurnBudget.h"
#include "support/PeerBodies.h"
#include "support/PeerDial.h"
#include "ui/search/SearchForm.h"
#include "ui/search/SearchResultsForm.h"

#include <QComboBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTreeWidget>

namespace {

const QByteArray kCafe = "Caf\xc3\xa9 \xe2\x98\x95";

std::unique_ptr<Client> Started(bool logIn = true)
{
    auto client = std::make_unique<Client>("alice");
    client->Start();
    if (logIn)
        client->LogIn();
    return client;
}

// The tabs of manual or of wish-list searches, their page in view.
QTabWidget* Tabs(Client& client, bool wishList = false)
{
    client.Child<QTabWidget>("tabControl")->setCurrentWidget(client.Child("searchTab"));
    searchForm->findChild<QTabWidget*>("tabWidget")->setCurrentIndex(wishList ? 1 : 0);
    return searchForm->findChild<QTabWidget*>(wishList ? "wishListTabControl" : "searchTabControl");
}

SearchResultsForm* Tab(QTabWidget* tabs, int index)
{
    return qobject_cast<SearchResultsForm*>(tabs->widget(index));
}

void TypeSearch(Client& client, const QString& text, bool viaButton = false)
{
    client.Child<QLineEdit>("searchEdit")->setText(text);
    if (viaButton)
        client.Child<QPushButton>("searchButton")->click();
    else
        Q_EMIT client.Child<QLineEdit>("searchEdit")->returnPressed();
}

// A wish the user keeps, enabled, and a wish-list search of it; its token.
uint WishSearch(const char* wish)
{
    ItemPtr item = d.GetType("wish_list_item")->GetItem(Value(wish));
    item.NewItem("wish_list_item_enabled");
    return gp_server->FileSearch(wish, true);
}

size_t Count(const char* type)
{
    return d.GetType(type)->ItemCount();
}

QStringList Texts(QTreeWidget* tree, int column = 0)
{
    QStringList texts;
    for (int i = 0; i < tree->topLevelItemCount(); ++i)
        texts << tree->topLevelItem(i)->text(column);
    return texts;
}

QStringList Entries(QComboBox* box)
{
    QStringList entries;
    for (int i = 0; i < box->count(); ++i)
        entries << box->itemText(i);
    return entries;
}

QStringList EventTexts()
{
    QStringList texts;
    for (QAction* action : eventToolBar->actions()) {
        if (!action->text().isEmpty())
            texts << action->text();
    }
    return texts;
}

} // namespace

class tst_SearchForm : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void searchLine_data();
    void searchLine();
    void relatedSearches_data();
    void relatedSearches();
    void relatedSearchClicks_data();
    void relatedSearchClicks();
    void relatedSearchesCapped_data();
    void relatedSearchesCapped();
    void savedFilters_data();
    void savedFilters();
    void closingLeavesNothing_data();
    void closingLeavesNothing();
    void wishSearchJoinsItsTab();
    void toolBarActions_data();
    void toolBarActions();
    void resultMenu();
};

void tst_SearchForm::initTestCase()
{
    TurnBudget::SetStepsPerSliceForTesting(TurnBudget::kAtOnceForTesting);
}

void tst_SearchForm::searchLine_data()
{
    QTest::addColumn<QByteArray>("typed");
    QTest::addColumn<bool>("viaButton");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QByteArray>("search");
    QTest::addColumn<QByteArray>("related");
    QTest::newRow("accents and a symbol")
        << kCafe << false << QString::fromUtf8(kCafe)
        << hexBytes("15000000 1a000000 01000000 09000000 436166c3a920e29895")
        << hexBytes("11000000 99000000 09000000 436166c3a920e29895");
    QTest::newRow("an ampersand, by the button")
        << QByteArray("R&B") << true << "R&&B"
        << hexBytes("0f000000 1a000000 01000000 03000000 522642")
        << hexBytes("0b000000 99000000 03000000 522642");
    QTest::newRow("nothing") << QByteArray() << false << QString()
                             << hexBytes("0c000000 1a000000 01000000 00000000")
                             << hexBytes("08000000 99000000 00000000");
}

void tst_SearchForm::searchLine()
{
    QFETCH(QByteArray, typed);
    QFETCH(bool, viaButton);
    QFETCH(QString, title);
    QFETCH(QByteArray, search);
    QFETCH(QByteArray, related);
    const auto client = Started();
    QTabWidget* tabs = Tabs(*client);
    auto* line = client->Child<QLineEdit>("searchEdit");

    TypeSearch(*client, QString::fromUtf8(typed), viaButton);
    QCOMPARE(client->Sent(), (QList<QByteArray>{search, related}));
    QCOMPARE(line->text(), QString());
    QCOMPARE(tabs->count(), 1);
    QCOMPARE(tabs->tabText(0), title);
    QVERIFY(Tab(tabs, 0));
    QTRY_VERIFY(Tab(tabs, 0)->searchResults()->hasFocus());

    // Return on the empty line: the next token, an empty text, a tab of its own.
    Q_EMIT line->returnPressed();
    QCOMPARE(client->Sent(), (QList<QByteArray>{hexBytes("0c000000 1a000000 02000000 00000000"),
                                                hexBytes("08000000 99000000 00000000")}));
    QCOMPARE(tabs->count(), 2);
    QCOMPARE(tabs->tabText(1), QString());
}

void tst_SearchForm::relatedSearches_data()
{
    QTest::addColumn<bool>("wishList");
    QTest::addColumn<QByteArray>("answered"); // the text the server's answer is for
    QTest::addColumn<QStringList>("shown");
    QTest::newRow("its own text, by rank")
        << false << QByteArray("abc") << QStringList{"abcd", "abc live"};
    QTest::newRow("another text") << false << QByteArray("abd") << QStringList{};
    QTest::newRow("a wish-list tab") << true << QByteArray("abc") << QStringList{};
}

void tst_SearchForm::relatedSearches()
{
    QFETCH(bool, wishList);
    QFETCH(QByteArray, answered);
    QFETCH(QStringList, shown);
    const auto client = Started();
    QTabWidget* tabs = Tabs(*client, wishList);
    if (wishList)
        searchForm->CreateSearchForm(WishSearch("abc"), "abc", true);
    else
        TypeSearch(*client, "abc");
    client->Sent();
    SearchResultsForm* tab = Tab(tabs, 0);
    QVERIFY(tab);

    // The text, then its terms: ("abc live", rank 3) and ("abcd", rank 7).
    const QByteArray answer = WireWriter().u32(153).str(answered).raw(
        hexBytes("02000000 08000000 616263206c697665 03000000 04000000 61626364 07000000"));
    if (answered == "abc")
        QCOMPARE(frameOf(answer), hexBytes("2b000000 99000000 03000000 616263 02000000 08000000 "
                                           "616263206c697665 03000000 04000000 61626364 07000000"));
    QVERIFY(client->Deliver(answer));
    QTreeWidget* pane = tab->CorrelationsWidget();
    QCOMPARE(Texts(pane), shown);
    QCOMPARE(pane->isVisible(), !shown.isEmpty());
    if (!shown.isEmpty())
        QTRY_COMPARE(pane->width(), SearchResultsForm::kCorrelationsWidth);
    // A tab opened later for the answered text shows them from the store at once.
    if (!wishList) {
        TypeSearch(*client, QString::fromUtf8(answered));
        QCOMPARE(Texts(Tab(tabs, 1)->CorrelationsWidget()), (QStringList{"abcd", "abc live"}));
    }
}

void tst_SearchForm::relatedSearchClicks_data()
{
    // The term the server relates, and the title of the tab its double click opens: one line of
    // a cell's length, like every title.
    QTest::addColumn<QByteArray>("term");
    QTest::addColumn<QString>("title");
    QTest::newRow("plain") << QByteArray("abc live") << "abc live";
    QTest::newRow("a line break, reversed, an ampersand")
        << QByteArray("abc\nlive \xe2\x80\xae& more") << "abc live \ufffd&& more";
    QTest::newRow("60,000 characters")
        << QByteArray(60000, 't') << QString(kMaxCellChars - 1, 't') + "\u2026";
    QTest::newRow("a letter with many marks")
        << "a" + QByteArray("\xcc\x81").repeated(500)
        << "a" + QString(QChar(0x301)).repeated(kMaxMarksPerCharacter) + "\u2026";
}

void tst_SearchForm::relatedSearchClicks()
{
    QFETCH(QByteArray, term);
    QFETCH(QString, title);
    const auto client = Started();
    QTabWidget* tabs = Tabs(*client);
    TypeSearch(*client, "abc");
    QVERIFY(client->Deliver(WireWriter().u32(153).str("abc").u32(1).str(term).u32(3)));
    client->Sent();
    QTreeWidget* pane = Tab(tabs, 0)->CorrelationsWidget();
    QTreeWidgetItem* row = pane->topLevelItem(0);
    QVERIFY(row);

    Q_EMIT pane->itemClicked(row, 0);
    if (term == "abc live") {
        QCOMPARE(client->Child<QLineEdit>("searchEdit")->text(), QString("abc live"));
        QCOMPARE(client->Sent(), QList<QByteArray>{});
    }
    client->Sent();
    Q_EMIT pane->itemDoubleClicked(row, 0);
    QCOMPARE(client->Child<QLineEdit>("searchEdit")->text(), QString());
    // The search goes out as the bytes the server sent, whatever its tab shows.
    const QList<QByteArray> sent = client->Sent();
    QCOMPARE(sent.size(), 2);
    QCOMPARE(sent.at(0), frameOf(WireWriter().u32(26).u32(2).str(term)));
    if (term == "abc live")
        QCOMPARE(sent.at(0), hexBytes("14000000 1a000000 02000000 08000000 616263206c697665"));
    QCOMPARE(tabs->count(), 2);
    QCOMPARE(tabs->tabText(1), title);
}

void tst_SearchForm::relatedSearchesCapped_data()
{
    QTest::addColumn<int>("sent");
    QTest::addColumn<int>("shown");
    QTest::newRow("at the cap") << SearchResultsForm::kMaxCorrelationsShown
                                << SearchResultsForm::kMaxCorrelationsShown;
    QTest::newRow("one over") << SearchResultsForm::kMaxCorrelationsShown + 1
                              << SearchResultsForm::kMaxCorrelationsShown;
}

void tst_SearchForm::relatedSearchesCapped()
{
    QFETCH(int, sent);
    QFETCH(int, shown);
    const auto client = Started();
    TypeSearch(*client, "abc");
    // Ranked by their number: "t0" lowest, the last one sent highest.
    WireWriter answer;
    answer.u32(153).str("abc").u32(quint32(sent));
    for (int i = 0; i < sent; ++i)
        answer.str("t" + QByteArray::number(i)).u32(quint32(i));
    QVERIFY(client->Deliver(answer));
    const QStringList rows = Texts(Tab(Tabs(*client), 0)->CorrelationsWidget());
    QCOMPARE(rows.size(), shown);
    QCOMPARE(rows.first(), "t" + QString::number(sent - 1));
    QCOMPARE(rows.last(), "t" + QString::number(sent - shown));
}

void tst_SearchForm::savedFilters_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("sameKey");
    QTest::newRow("blanks and capitals") << "  Rock   LIVE "
                                         << "ROCK live";
    QTest::newRow("capitals") << "ROCK live"
                              << " rock\tlive";
}

void tst_SearchForm::savedFilters()
{
    QFETCH(QString, typed);
    QFETCH(QString, sameKey);
    const auto client = Started(false);
    QTabWidget* tabs = Tabs(*client);
    TypeSearch(*client, "one");
    TypeSearch(*client, "two");
    SearchResultsForm* one = Tab(tabs, 0);
    SearchResultsForm* two = Tab(tabs, 1);
    const auto box = [](SearchResultsForm* tab) {
        return tab->findChild<QComboBox*>("savedFiltersBox");
    };
    const auto button = [](SearchResultsForm* tab) {
        return tab->findChild<QPushButton*>("saveFilterButton");
    };

    // Empty: nothing is saved.
    button(one)->click();
    QCOMPARE(Count("saved_filter"), size_t(0));
    one->filterEdit()->setText(typed);
    QCOMPARE(button(one)->text(), QString("Save Filter"));
    button(one)->click();
    QCOMPARE(Count("saved_filter"), size_t(1));
    QVERIFY(d.GetType("saved_filter")->HasItem(Value("rock live")));
    QCOMPARE(button(one)->text(), QString("Remove Filter"));
    for (SearchResultsForm* tab : {one, two})
        QCOMPARE(Entries(box(tab)), (QStringList{"-- saved filters", "rock live"}));
    two->filterEdit()->setText(sameKey);
    QCOMPARE(button(two)->text(), QString("Remove Filter"));
    two->filterEdit()->setText("rock");
    QCOMPARE(button(two)->text(), QString("Save Filter"));

    // Chosen: into the line, and the box back on its first entry.
    box(two)->setCurrentIndex(1);
    QCOMPARE(two->filterEdit()->text(), QString("rock live"));
    QCOMPARE(box(two)->currentIndex(), 0);
    QCOMPARE(button(two)->text(), QString("Remove Filter"));

    // Kept in the store file: a tab after a restart lists it.
    client->window.reset();
    StoreGuard::Reset();
    client->window = std::make_unique<MainWindow>();
    client->window->show();
    client->Start();
    tabs = Tabs(*client);
    TypeSearch(*client, "three");
    SearchResultsForm* three = Tab(tabs, 0);
    QCOMPARE(Entries(box(three)), (QStringList{"-- saved filters", "rock live"}));

    // Removed with the other tab's button: from every box.
    TypeSearch(*client, "four");
    SearchResultsForm* four = Tab(tabs, 1);
    three->filterEdit()->setText(sameKey);
    four->filterEdit()->setText(typed);
    QCOMPARE(button(four)->text(), QString("Remove Filter"));
    button(four)->click();
    QCOMPARE(Count("saved_filter"), size_t(0));
    for (SearchResultsForm* tab : {three, four})
        QCOMPARE(Entries(box(tab)), QStringList{"-- saved filters"});
    QCOMPARE(button(three)->text(), QString("Save Filter"));
    QCOMPARE(button(four)->text(), QString("Save Filter"));
}

void tst_SearchForm::closingLeavesNothing_data()
{
    QTest::addColumn<bool>("wishList");
    QTest::newRow("a manual tab") << false;
    QTest::newRow("a wish-list tab with two searches") << true;
}

void tst_SearchForm::closingLeavesNothing()
{
    QFETCH(bool, wishList);
    const auto client = Started();
    QTabWidget* tabs = Tabs(*client, wishList);
    QList<uint> tokens;
    if (wishList) {
        tokens << WishSearch("abba") << WishSearch("abba");
        for (uint token : tokens)
            searchForm->CreateSearchForm(token, "abba", true);
    } else {
        TypeSearch(*client, "abba");
        tokens << 1;
    }
    // Another search, whose tab stays.
    Tabs(*client);
    TypeSearch(*client, "other");
    const uint other = tokens.last() + 1;
    QCOMPARE(tabs->count(), wishList ? 1 : 2);

    // Every search answered by a peer of its own.
    ShareMaker maker(43);
    std::vector<std::unique_ptr<FakePeer>> peers;
    int answered = 0;
    const QList<uint> answeredTokens = QList<uint>(tokens) << other;
    for (uint token : answeredTokens) {
        const QByteArray user = "peer" + QByteArray::number(token);
        peers.push_back(DialMessaging(*peerMessenger, false, user));
        QVERIFY(peers.back());
        peers.back()->SendFrame(maker.SearchReply(user, token, 5));
        ++answered;
        QTRY_COMPARE(Count("search_results"), size_t(answered));
    }
    QCOMPARE(Count("search_request"), size_t(tokens.size() + 1));
    const size_t otherResults =
        ItemPtr(d.GetType("search_request")->HasItem(Value(other))["search_results"])
            .GetItems("search_result")
            .size();
    QVERIFY(Count("search_result") > otherResults);

    QPointer<SearchResultsForm> closed = Tab(tabs, 0);
    Q_EMIT tabs->tabCloseRequested(0);
    QCOMPARE(tabs->count(), wishList ? 0 : 1);
    QVERIFY(closed.isNull());
    QCOMPARE(Count("search_results_widget"), size_t(1));
    QCOMPARE(Count("search_request"), size_t(1));
    QVERIFY(d.GetType("search_request")->HasItem(Value(other)));
    QCOMPARE(Count("search_results"), size_t(1));
    QCOMPARE(Count("search_result"), otherResults);
    QCOMPARE(Tabs(*client)->count(), 1);
}

void tst_SearchForm::wishSearchJoinsItsTab()
{
    const auto client = Started();
    QTabWidget* tabs = client->Child<QTabWidget>("wishListTabControl");
    // Not a wish: no tab.
    searchForm->CreateSearchForm(gp_server->FileSearch("abba", true), "abba", true);
    QCOMPARE(tabs->count(), 0);

    // The search page out of view: the first answer's tab raises an event, a later search of
    // the wish joins it.
    const uint first = WishSearch("R&B");
    const uint second = WishSearch("R&B");
    searchForm->CreateSearchForm(first, "R&B", true);
    searchForm->CreateSearchForm(second, "R&B", true);
    QCOMPARE(tabs->count(), 1);
    QCOMPARE(tabs->tabText(0), QString("R&&B"));
    QCOMPARE(EventTexts(), QStringList{"R&&B"});
    ItemPtr tie = d.GetType("search_results_widget")->HasItem(Value(tabs->widget(0)));
    QCOMPARE(tie.GetItems("search_request").size(), size_t(2));
    QCOMPARE(tie["wish_list_item"].AsString(), std::string("R&B"));
    QCOMPARE(client->BarTexts(tabs->widget(0)),
             (QStringList{"Order by Available [on]", "Order by Fastest", "Expand Folders [on]",
                          "Expand Users [on]", "Remove from Wish List"}));

    Tabs(*client, true);
    QTRY_COMPARE(EventTexts(), QStringList{});
    QCOMPARE(searchForm->GetCurrentSearchResultsForm(), Tab(tabs, 0));
}

void tst_SearchForm::toolBarActions_data()
{
    QTest::addColumn<QStringList>("clicked");
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<QString>("folders"); // expand_folders, then whether folder rows are open
    QTest::addColumn<QString>("users");
    QTest::addColumn<int>("column");
    QTest::addColumn<QStringList>("order");
    const QStringList fresh{"Order by Available [on]", "Order by Fastest", "Expand Folders [on]",
                            "Expand Users [on]", "Add to Wishlist"};
    QTest::newRow("a new tab") << QStringList{} << fresh << "yes open"
                               << "yes open" << 1 << QStringList{"ann", "bob", "cid"};
    QTest::newRow("folders once") << QStringList{"Expand Folders [on]"}
                                  << QStringList{"Order by Available [on]", "Order by Fastest",
                                                 "Expand Folders [off]", "Expand Users [on]",
                                                 "Add to Wishlist"}
                                  << "no shut"
                                  << "yes open" << 1 << QStringList{"ann", "bob", "cid"};
    QTest::newRow("folders twice")
        << QStringList{"Expand Folders [on]", "Expand Folders [off]"} << fresh << "yes open"
        << "yes open" << 1 << QStringList{"ann", "bob", "cid"};
    QTest::newRow("users once") << QStringList{"Expand Users [on]"}
                                << QStringList{"Order by Available [on]", "Order by Fastest",
                                               "Expand Folders [on]", "Expand Users [off]",
                                               "Add to Wishlist"}
                                << "yes open"
                                << "no shut" << 1 << QStringList{"ann", "bob", "cid"};
    QTest::newRow("fastest") << QStringList{"Order by Fastest"}
                             << QStringList{"Order by Available", "Order by Fastest [on]",
                                            "Expand Folders [on]", "Expand Users [on]",
                                            "Add to Wishlist"}
                             << "yes open"
                             << "yes open" << 2 << QStringList{"cid", "ann", "bob"};
    QTest::newRow("fastest, then available")
        << QStringList{"Order by Fastest", "Order by Available"} << fresh << "yes open"
        << "yes open" << 1 << QStringList{"bob", "cid", "ann"};
}

void tst_SearchForm::toolBarActions()
{
    QFETCH(QStringList, clicked);
    QFETCH(QStringList, texts);
    QFETCH(QString, folders);
    QFETCH(QString, users);
    QFETCH(int, column);
    QFETCH(QStringList, order);
    const auto client = Started(false);
    TypeSearch(*client, "abc");
    SearchResultsForm* tab = Tab(Tabs(*client), 0);
    QTreeWidget* tree = tab->searchResults();
    // Plain rows, in neither order: free slots (column 1), then speeds (column 2).
    const QList<QStringList> rows{{"ann", "1", "5.0"}, {"bob", "3", "1.0"}, {"cid", "2", "9.0"}};
    for (const QStringList& texts : rows) {
        auto* user = new QTreeWidgetItem(tree, texts);
        new QTreeWidgetItem(user, {QString(), QString(), QString(), "folder"});
        user->setExpanded(true);
        user->child(0)->setExpanded(true);
    }

    for (const QString& text : clicked)
        client->Trigger(tab, text);
    QCOMPARE(client->BarTexts(tab), texts);
    ItemPtr tie = d.GetType("search_results_widget")->HasItem(Value(tab));
    const auto state = [&tree](ItemPtr value, bool users) {
        bool open = true;
        for (int i = 0; i < tree->topLevelItemCount(); ++i) {
            QTreeWidgetItem* user = tree->topLevelItem(i);
            open = open && (users ? user : user->child(0))->isExpanded();
        }
        return QString::fromStdString(value.AsString()) + (open ? " open" : " shut");
    };
    QCOMPARE(state(tie["expand_folders"], false), folders);
    QCOMPARE(state(tie["expand_users"], true), users);
    QCOMPARE(tab->SortColumn(), column);
    QCOMPARE(tab->SortOrder(), Qt::DescendingOrder);
    // Unsorted until an order is chosen: the rows as added.
    QCOMPARE(Texts(tree), order);
    if (clicked.contains("Order by Fastest"))
        QCOMPARE(tree->header()->sortIndicatorSection(), column);
}

void tst_SearchForm::resultMenu()
{
    const auto client = Started(false);
    TypeSearch(*client, "abc");
    QTreeWidget* tree = Tab(Tabs(*client), 0)->searchResults();
    auto* user = new QTreeWidgetItem(tree, {"b&b"});
    auto* folder = new QTreeWidgetItem(user, {QString(), QString(), QString(), "music"});
    auto* file = new QTreeWidgetItem(folder, {QString(), QString(), QString(), QString(), "a"});
    tree->expandAll();
    d.GetType("search_results_user_node")->GetItem(Value(user));
    d.GetType("search_results_folder_node")->GetItem(Value(folder));

    for (QTreeWidgetItem* row : {user, folder, file}) {
        QCOMPARE(searchForm->GetNodeUserNode(row), user);
        const QPoint at = tree->visualItemRect(row).center();
        Q_EMIT tree->customContextMenuRequested(at);
        QCOMPARE(client->dialogs.menus.size(), 1);
        QCOMPARE(client->dialogs.menus.takeFirst().at, tree->viewport()->mapToGlobal(at));
    }
    // Below the last row: no menu.
    Q_EMIT tree->customContextMenuRequested(QPoint(5, tree->viewport()->height() - 2));
    QCOMPARE(client->dialogs.menus.size(), 0);
}

QTEST_MAIN(tst_SearchForm)
#include "tst_searchform.moc"

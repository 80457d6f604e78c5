// The wish list in the running window: the searcher's tick and the server's period, byte for
// byte and line for line; the rows rebuilt after a restart and their check boxes; the tool bar's
// wish-list actions on the tree and on results tabs.

#include "shell/MainWindowClient.h"

#include "shell/DisplayText.h"
#include "support/LogLines.h"
#include "ui/search/SearchForm.h"
#include "ui/search/SearchResultsForm.h"
#include "ui/search/WishListSearcher.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>
#include <QtEndian>

namespace {

using Wishes = QList<QPair<QByteArray, bool>>; // text, enabled

void AddWishes(const Wishes& wishes)
{
    for (const auto& [text, enabled] : wishes) {
        ItemPtr wish = d.GetType("wish_list_item")->GetItem(Value(text.toStdString()));
        if (enabled)
            wish.NewItem("wish_list_item_enabled");
    }
}

QTreeWidget* WishTree(Client& client)
{
    client.Child<QTabWidget>("tabControl")->setCurrentWidget(client.Child("searchTab"));
    searchForm->findChild<QTabWidget*>("tabWidget")->setCurrentIndex(1);
    return client.Child<QTreeWidget>("wishList");
}

// Each row as its text, "+" or "-" for its box, its column 0 text in brackets, and "*" when the
// store has its wish enabled.
QStringList Rows(QTreeWidget* tree)
{
    QStringList rows;
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        QTreeWidgetItem* row = tree->topLevelItem(i);
        auto* box = qobject_cast<QCheckBox*>(tree->itemWidget(row, 0));
        const ItemPtr wish = d.GetType("wish_list_item")->HasItem(Value(Utf8Bytes(row->text(1))));
        rows << row->text(1) + (box && box->isChecked() ? " +" : " -") + "[" + row->text(0) + "]" +
                    (wish.IsConnected("wish_list_item_enabled") ? "*" : "");
    }
    return rows;
}

} // namespace

class tst_WishList : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void tick_data();
    void tick();
    void waitPeriod_data();
    void waitPeriod();
    void rowsAfterRestart();
    void addRemoveFromTab();
};

void tst_WishList::tick_data()
{
    QTest::addColumn<Wishes>("wishes");
    QTest::addColumn<QByteArray>("index");
    QTest::addColumn<QList<QByteArray>>("sent");
    QTest::addColumn<QByteArray>("next");
    const Wishes three{{"gamma", true}, {"alpha", true}, {"beta", true}};
    QTest::newRow("three, index left from a longer list")
        << three << QByteArray("4")
        << QList<QByteArray>{hexBytes("10000000 67000000 01000000 04000000 62657461")}
        << QByteArray("0");
    QTest::newRow("a disabled one is skipped")
        << Wishes{{"alpha", true}, {"beta", false}, {"gamma", true}} << QByteArray("1")
        << QList<QByteArray>{hexBytes("11000000 67000000 01000000 05000000 67616d6d61")}
        << QByteArray("0");
    QTest::newRow("none enabled") << Wishes{{"alpha", false}} << QByteArray("4")
                                  << QList<QByteArray>{} << QByteArray("4");
}

void tst_WishList::tick()
{
    QFETCH(Wishes, wishes);
    QFETCH(QByteArray, index);
    QFETCH(QList<QByteArray>, sent);
    QFETCH(QByteArray, next);
    Client client("alice");
    client.Start();
    client.LogIn();
    AddWishes(wishes);
    Settings::Set(SettingKeys::WishListSearchIndex, index.toStdString());
    // Nothing runs until the server gives a period.
    QVERIFY(!wishListSearcher->findChild<QTimer*>()->isActive());

    wishListSearcher->OnSearchTimerTimeout();
    QCOMPARE(client.Sent(), sent);
    QCOMPARE(QByteArray::fromStdString(Settings::Text(SettingKeys::WishListSearchIndex)), next);
}

void tst_WishList::waitPeriod_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("interval");
    QTest::newRow("720 s") << hexBytes("68000000 d0020000") << 720000;
    QTest::newRow("0 s") << hexBytes("68000000 00000000") << 60000;
    QTest::newRow("just under the least") << hexBytes("68000000 3b000000") << 60000;
    QTest::newRow("just over the least") << hexBytes("68000000 3d000000") << 61000;
    QTest::newRow("the most a timer takes, in whole seconds")
        << hexBytes("68000000 9bc42000") << 2147483000;
    QTest::newRow("one second more") << hexBytes("68000000 9cc42000") << 2147483647;
    QTest::newRow("past 32 bits once multiplied") << hexBytes("68000000 38894100") << 2147483647;
}

void tst_WishList::waitPeriod()
{
    QFETCH(QByteArray, body);
    QFETCH(int, interval);
    Client client("alice");
    client.Start();
    client.LogIn();
    LogLines log(LogCategories::kWishList);

    QVERIFY(client.Deliver(body));
    QCOMPARE(log.lines,
             QStringList{QString("Wish list wait period set to %1 milliseconds").arg(interval)});
    auto* timer = wishListSearcher->findChild<QTimer*>();
    QVERIFY(timer->isActive());
    QCOMPARE(timer->interval(), interval);
    QVERIFY(!timer->isSingleShot());
    QCOMPARE(QByteArray::fromStdString(Settings::Text(SettingKeys::WishListWait)),
             QByteArray::number(qFromLittleEndian<quint32>(body.constData() + 4)));
}

void tst_WishList::rowsAfterRestart()
{
    auto client = std::make_unique<Client>("alice");
    client->Start();
    AddWishes({{"gamma", true}, {"R&B", false}, {"alpha", true}});
    // Kept in the store file; the rows come from it at the next start.
    client->window.reset();
    StoreGuard::Reset();
    client->window = std::make_unique<MainWindow>();
    client->window->show();
    client->Start();
    QTreeWidget* tree = WishTree(*client);
    QCOMPARE(Rows(tree), (QStringList{"R&B -[]", "alpha +[Y]*", "gamma +[Y]*"}));
    QCOMPARE(client->Child<QTabWidget>("wishListTabControl")->count(), 0);
    QCOMPARE(client->BarTexts(tree),
             (QStringList{"Remove Wish List Search", "Enable All Wish List Searches",
                          "Disable All Wish List Searches"}));

    // A box unchecked: the flag goes at once and column 0 empties; checked again, both return.
    auto* alphaBox = qobject_cast<QCheckBox*>(tree->itemWidget(tree->topLevelItem(1), 0));
    alphaBox->setChecked(false);
    QCOMPARE(Rows(tree), (QStringList{"R&B -[]", "alpha -[]", "gamma +[Y]*"}));
    alphaBox->setChecked(true);
    QCOMPARE(Rows(tree), (QStringList{"R&B -[]", "alpha +[Y]*", "gamma +[Y]*"}));

    client->Trigger(tree, "Enable All Wish List Searches");
    QCOMPARE(Rows(tree), (QStringList{"R&B +[Y]*", "alpha +[Y]*", "gamma +[Y]*"}));
    client->Trigger(tree, "Disable All Wish List Searches");
    QCOMPARE(Rows(tree), (QStringList{"R&B -[]", "alpha -[]", "gamma -[]"}));

    // Removed with its row and its ties.
    tree->setCurrentItem(tree->topLevelItem(1));
    client->Trigger(tree, "Remove Wish List Search");
    QCOMPARE(Rows(tree), (QStringList{"R&B -[]", "gamma -[]"}));
    QVERIFY(!d.GetType("wish_list_item")->HasItem(Value("alpha")));
    QCOMPARE(d.GetType("wish_list_node")->ItemCount(), size_t(2));
    QCOMPARE(d.GetType("wish_list_node_checkbox")->ItemCount(), size_t(2));
}

void tst_WishList::addRemoveFromTab()
{
    Client client("alice");
    client.Start();
    client.Child<QTabWidget>("tabControl")->setCurrentWidget(client.Child("searchTab"));
    auto* pages = searchForm->findChild<QTabWidget*>("tabWidget");
    auto* line = client.Child<QLineEdit>("searchEdit");
    QTreeWidget* tree = client.Child<QTreeWidget>("wishList");

    // From a manual tab: an enabled wish, made once.
    line->setText("abba");
    Q_EMIT line->returnPressed();
    auto* manual = qobject_cast<SearchResultsForm*>(
        pages->findChild<QTabWidget*>("searchTabControl")->widget(0));
    QCOMPARE(searchForm->GetCurrentSearchResultsForm(), manual);
    client.Trigger(manual, "Add to Wishlist");
    client.Trigger(manual, "Add to Wishlist");
    QCOMPARE(Rows(tree), QStringList{"abba +[Y]*"});

    // From the wish's own tab: removed, and the tab stays.
    pages->setCurrentIndex(1);
    auto* wishTabs = client.Child<QTabWidget>("wishListTabControl");
    searchForm->CreateSearchForm(gp_server->FileSearch("abba", true), "abba", true);
    QCOMPARE(searchForm->GetCurrentSearchResultsForm(), wishTabs->widget(0));
    client.Trigger(wishTabs->widget(0), "Remove from Wish List");
    QCOMPARE(Rows(tree), QStringList{});
    QCOMPARE(wishTabs->count(), 1);
}

QTEST_MAIN(tst_WishList)
#include "tst_wishlist.moc"

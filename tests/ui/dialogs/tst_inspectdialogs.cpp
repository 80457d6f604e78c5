// The store inspection dialogs: the dialog's type list, item list and connection tree as they
// follow the store, the type page's list and whole tree with its cut, and the type navigator's
// chains against the straightforward search it replaces.

#include "peer/PeerMessenger.h"
#include "server/Server.h"
#include "shares/SharedFoldersManager.h"
#include "shell/DisplayText.h"
#include "shell/MainWindowClient.h"
#include "store/GeneralFunctions.h"
#include "ui/dialogs/DataDialog.h"
#include "ui/dialogs/DataTabPage.h"
#include "ui/dialogs/TypeNavigatorDialog.h"

#include <QComboBox>
#include <QListWidget>
#include <QStyledItemDelegate>
#include <QTest>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTreeWidget>

#include <list>
#include <map>

namespace {

// The store as the dialogs find it in the client: the types of the services.
struct Store
{
    Store()
    {
        Server::CreateData(saver);
        PeerMessenger::CreateData(saver);
        Settings::CreateData(saver);
        SharedFoldersManager::CreateData(saver);
    }
    StoreGuard guard;
    DataSaver saver;
};

// The dialog changes its rows once per turn of the event loop.
void Settle()
{
    QCoreApplication::sendPostedEvents();
}

// "type:value"; "type:" for the first item of a null type.
ItemPtr Find(const QString& key)
{
    Type* type = d.GetType(key.section(u':', 0, 0).toStdString());
    if (type->IsNull())
        return type->GetItems().First();
    return type->HasItem(key.section(u':', 1).toLatin1().toStdString());
}

QStringList Texts(const QListWidget* list)
{
    QStringList texts;
    for (int i = 0; i < list->count(); ++i)
        texts << list->item(i)->text();
    return texts;
}

// Every row of the tree, parents first.
std::vector<QTreeWidgetItem*> Rows(const QTreeWidget* tree)
{
    std::vector<QTreeWidgetItem*> rows;
    for (int i = 0; i < tree->topLevelItemCount(); ++i)
        rows.push_back(tree->topLevelItem(i));
    for (size_t at = 0; at < rows.size(); ++at) {
        for (int i = 0; i < rows[at]->childCount(); ++i)
            rows.push_back(rows[at]->child(i));
    }
    return rows;
}

// The tree in one line: rows in reading order joined by "; ", a "." per level, and a "+" after a
// row whose only child is the "~~unloaded~~" placeholder (then left out).
QString Outline(const QTreeWidget* tree)
{
    QStringList lines;
    std::vector<std::pair<QTreeWidgetItem*, int>> work;
    for (int i = tree->topLevelItemCount() - 1; i >= 0; --i)
        work.push_back({tree->topLevelItem(i), 0});
    while (!work.empty()) {
        const auto [row, depth] = work.back();
        work.pop_back();
        const bool folded = row->childCount() == 1 && row->child(0)->childCount() == 0 &&
                            row->child(0)->text(0) == "~~unloaded~~";
        lines << QString(depth, u'.') + row->text(0) + (folded ? "+" : "");
        for (int i = folded ? -1 : row->childCount() - 1; i >= 0; --i)
            work.push_back({row->child(i), depth + 1});
    }
    return lines.join("; ");
}

// The row at a path of row texts joined by "|", or null.
QTreeWidgetItem* Row(const QTreeWidget* tree, const QString& path)
{
    QTreeWidgetItem* row = tree->invisibleRootItem();
    for (const QString& text : path.split(u'|')) {
        QTreeWidgetItem* next = nullptr;
        for (int i = 0; i < row->childCount() && !next; ++i)
            next = row->child(i)->text(0) == text ? row->child(i) : nullptr;
        if (!next)
            return nullptr;
        row = next;
    }
    return row;
}

// The dialog and its three lists.
struct Inspector
{
    QTreeWidgetItem* TypeRow(const char* name) const
    {
        const QList<QTreeWidgetItem*> found = types->findItems(name, Qt::MatchExactly, 0);
        return found.size() == 1 ? found.first() : nullptr;
    }
    void Click(const QString& value) const
    {
        Q_EMIT items->itemClicked(items->findItems(value, Qt::MatchExactly).value(0));
    }
    // Every row left unfolded, deepest first (unfolding takes a placeholder away), then every
    // list row clicked: nothing may name a deleted row or item.
    void TouchEverything() const
    {
        const std::vector<QTreeWidgetItem*> rows = Rows(tree);
        for (auto row = rows.rbegin(); row != rows.rend(); ++row)
            (*row)->setExpanded(true);
        for (int i = 0; i < items->count(); ++i)
            Q_EMIT items->itemClicked(items->item(i));
    }

    std::unique_ptr<DataDialog> dialog = std::make_unique<DataDialog>(&d);
    QTreeWidget* types = dialog->findChild<QTreeWidget*>("typeList");
    QListWidget* items = dialog->findChild<QListWidget*>("itemList");
    QTreeWidget* tree = dialog->findChild<QTreeWidget*>("itemDataTree");
};

// alice and bob in the rooms den and <b>x</b>; alice online; den counts two.
void MakeScene()
{
    const ItemPtr alice = d.GetType("user")->NewItem("alice");
    const ItemPtr bob = d.GetType("user")->NewItem("bob");
    const ItemPtr den = d.GetType("room")->NewItem("den");
    const ItemPtr x = d.GetType("room")->NewItem("<b>x</b>");
    alice.NewItem("is_online");
    for (const ItemPtr& room : {den, x}) {
        room += alice;
        room += bob;
    }
    den += d.GetType("user_count")->NewItem("2");
}

// "a-b" relates a to b, one of each per item of the other; "a=>b" lets an a hold many b, "a<=>b"
// many of each other; a trailing "!" makes a null type. Types are declared as they first come.
void DeclareSchema(const QStringList& relations)
{
    const auto type = [](QString name) {
        const bool isNull = name.endsWith(u'!');
        name.chop(isNull ? 1 : 0);
        Type* known = d.HasType(name.toLatin1().toStdString());
        return known ? known
                     : d.NewType(name.toLatin1().toStdString(), RootPrimacy, isNull, true,
                                 isNull ? ValueKind::None : ValueKind::Utf8);
    };
    for (const QString& relation : relations) {
        const bool both = relation.contains("<=>");
        const bool many = relation.contains("=>");
        const QStringList ends = relation.split(both ? "<=>" : many ? "=>" : "-");
        Type* from = type(ends.at(0));
        if (ends.size() == 2)
            from->RelateToType(type(ends.at(1)), both ? Many : One, many ? Many : One);
    }
}

// Every type related to every other, with steps to one or many and null types mixed.
QStringList CompleteGraph(const QStringList& names)
{
    QStringList relations;
    for (int i = 0; i < names.size(); ++i) {
        for (int j = i + 1; j < names.size(); ++j) {
            relations << names.at(i) + (i % 3 == 2 ? "!" : "") +
                             ((i * 5 + j) % 3 == 0 ? "=>" : "-") + names.at(j) +
                             (j % 3 == 2 ? "!" : "");
        }
    }
    return relations;
}

// What a reader sees of each paragraph: its text with the bold and green runs marked.
QStringList SeenLines(const QTextDocument* document)
{
    QStringList lines;
    for (QTextBlock block = document->begin(); block.isValid() && !document->isEmpty();
         block = block.next()) {
        QString line;
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            QString text = EscapeHTML(it.fragment().text());
            if (it.fragment().charFormat().fontWeight() >= QFont::Bold)
                text = "<b>" + text + "</b>";
            if (it.fragment().charFormat().foreground().color() == QColor("green"))
                text = "<font color=green>" + text + "</font>";
            line += text;
        }
        lines << line;
    }
    return lines;
}

// The same for rich-text lines, each a paragraph.
QStringList SeenLines(const QStringList& lines)
{
    QTextDocument document;
    document.setHtml(lines.isEmpty() ? QString() : "<p>" + lines.join("</p><p>") + "</p>");
    return SeenLines(&document);
}

// The search as first written, recursive, kept as the reference for the order and text of the
// lines. Equal lengths keep their order of discovery.
struct ReferenceNavigator
{
    void FindPath(const std::string& name, const std::string& end, std::list<std::string>& path)
    {
        if (path.size() > 6)
            return;
        path.push_back(name);
        if (name == end) {
            foundPaths[path.size()].push_back(path);
            path.pop_back();
            return;
        }
        if (related.count(name) == 0) {
            RelationMap relations;
            d.GetType(name)->GetRelatedTypes(relations);
            for (const auto& relation : relations)
                related[name].push_back(relation.first->GetName());
        }
        for (const std::string& other : related[name]) {
            if (std::find(path.begin(), path.end(), other) == path.end())
                FindPath(other, end, path);
        }
        path.pop_back();
    }

    // The first lines, at most limit of them, of the chains from one type to another.
    QStringList Lines(const std::string& from, const std::string& to, int limit = INT_MAX)
    {
        foundPaths.clear();
        std::list<std::string> path;
        FindPath(from, to, path);
        QStringList lines;
        for (const auto& [length, paths] : foundPaths) {
            for (auto found = paths.begin(); found != paths.end() && lines.size() < limit;
                 ++found) {
                QString body;
                bool many = false;
                Type* previous = nullptr;
                for (const std::string& name : *found) {
                    Type* type = d.GetType(name);
                    const bool toMany =
                        previous && previous->GetRelation(type).otherPerThis == Many;
                    many = many || toMany;
                    body += previous ? (toMany ? " => " : " -> ") : "";
                    body += "<b>" + EscapeHTML(QString::fromStdString(name)) + "</b>";
                    body += type->IsNull() ? " [null]" : "";
                    previous = type;
                }
                const QString count = QString::number(found->size());
                lines << (many ? "[" + count + "] "
                               : "<font color=green><b>[" + count + "]</b></font> ") +
                             body;
            }
        }
        return lines;
    }

    std::map<std::string, std::vector<std::string>> related;
    std::map<size_t, std::list<std::list<std::string>>> foundPaths;
};

struct Navigator
{
    Navigator() { dialog->Init(); }

    static QStringList Entries(const QComboBox* box)
    {
        QStringList entries;
        for (int i = 0; i < box->count(); ++i)
            entries << box->itemText(i);
        return entries;
    }
    QStringList Seen() const { return SeenLines(chart->document()); }

    std::unique_ptr<TypeNavigatorDialog> dialog = std::make_unique<TypeNavigatorDialog>();
    QComboBox* from = dialog->findChild<QComboBox*>("fromTypeBox");
    QComboBox* to = dialog->findChild<QComboBox*>("toTypeBox");
    QTextBrowser* chart = dialog->findChild<QTextBrowser*>("chartEdit");
};

} // namespace

class tst_InspectDialogs : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void typeListAndItemList_data();
    void typeListAndItemList();
    void treeFollowsClicksAndRemovals_data();
    void treeFollowsClicksAndRemovals();
    void manyChangesInOneTurn();
    void windowGoesWithBothDialogsOpen();
    void typePage_data();
    void typePage();
    void valuesShowOnOneLine_data();
    void valuesShowOnOneLine();
    void navigatorOnAChain_data();
    void navigatorOnAChain();
    void navigatorMatchesTheRecursiveSearch_data();
    void navigatorMatchesTheRecursiveSearch();
};

void tst_InspectDialogs::typeListAndItemList_data()
{
    // Items made before the dialog, then changes once the type is selected: "+value" and
    // "-value" for items of that type, "late" for a type declared after the dialog.
    QTest::addColumn<QString>("type");
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QStringList>("after");
    QTest::addColumn<QStringList>("listed");

    const QString ete = QString::fromLatin1("\xe9t\xe9");
    const QStringList rooms{"den", "Zeta", "<b>x</b>", ete, "a b"};
    QTest::newRow("by bytes, markup as it is")
        << "room" << rooms << QStringList() << QStringList{"<b>x</b>", "Zeta", "a b", "den", ete};
    QTest::newRow("later ones in their place")
        << "room" << rooms << QStringList{"+m", "+0"}
        << QStringList{"0", "<b>x</b>", "Zeta", "a b", "den", "m", ete};
    QTest::newRow("one removed") << "room" << rooms << QStringList{"-Zeta"}
                                 << QStringList{"<b>x</b>", "a b", "den", ete};
    QTest::newRow("gone and back in one turn")
        << "room" << rooms << QStringList{"+m", "-m", "-den", "+den"}
        << QStringList{"<b>x</b>", "Zeta", "a b", "den", ete};
    QTest::newRow("a null type lists nothing")
        << "is_online" << QStringList{"", ""} << QStringList{"+", "-"} << QStringList();
    QTest::newRow("a type declared later")
        << "room" << QStringList{"den"} << QStringList{"late", "+m"} << QStringList{"den", "m"};
}

void tst_InspectDialogs::typeListAndItemList()
{
    QFETCH(QString, type);
    QFETCH(QStringList, before);
    QFETCH(QStringList, after);
    QFETCH(QStringList, listed);

    Store store;
    Type* selected = d.GetType(type.toStdString());
    const auto change = [&](const QString& what) {
        if (what == "late") {
            d.NewType("late", RootPrimacy, false, true, ValueKind::Utf8)->NewItem("one");
            d.GetType("late")->NewItem("two").Remove();
        } else if (what.startsWith(u'-')) {
            Find(type + ":" + what.mid(1)).Remove();
        } else if (selected->IsNull()) {
            selected->NewItem();
        } else {
            selected->NewItem(what.mid(what.startsWith(u'+') ? 1 : 0).toLatin1().toStdString());
        }
    };
    std::for_each(before.begin(), before.end(), change);
    QStringList names;
    for (const Type* known : d.GetTypes())
        names << QString::fromStdString(known->GetName());
    names.sort();
    Inspector inspector;
    QCOMPARE(inspector.types->headerItem()->text(0) + "|" + inspector.types->headerItem()->text(1) +
                 "|" + inspector.types->headerItem()->text(2),
             QString("Type||#"));
    for (int round = 0; round < 2; ++round) {
        // The types by name, each with its kind and count; later, only the counts change and
        // the type declared after the dialog gets no row.
        QStringList shown;
        QStringList expected;
        for (const QTreeWidgetItem* row : Rows(inspector.types))
            shown << row->text(0) + "|" + row->text(1) + "|" + row->text(2);
        for (const QString& name : names) {
            const Type* known = d.GetType(name.toStdString());
            expected << name + (known->IsNull() ? "|null   |" : "|value   |") +
                            QString::number(known->ItemCount());
        }
        QCOMPARE(shown, expected);
        if (round == 0) {
            inspector.types->setCurrentItem(inspector.TypeRow(qPrintable(type)));
            std::for_each(after.begin(), after.end(), change);
            Settle();
        }
    }
    QCOMPARE(Texts(inspector.items), listed);
    inspector.TouchEverything();
}

void tst_InspectDialogs::treeFollowsClicksAndRemovals_data()
{
    // The clicked item of the selected type, the rows unfolded, then the item removed.
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("clicked");
    QTest::addColumn<QStringList>("unfolded");
    QTest::addColumn<QString>("removed");
    QTest::addColumn<QString>("outline");
    QTest::addColumn<QStringList>("listed");

    const QStringList users{"alice", "bob"};
    const QStringList rooms{"<b>x</b>", "den"};
    QTest::newRow("a user") << "user"
                            << "alice" << QStringList() << QString()
                            << "alice; .[is_online, null]+; .[room] den+; .[room] <b>x</b>+"
                            << users;
    QTest::newRow("her room unfolded")
        << "user"
        << "alice" << QStringList{"alice|[room] den"} << QString()
        << "alice; .[is_online, null]+; .[room] den; ..[user] alice+; ..[user] bob+; "
           "..[user_count] 2+; .[room] <b>x</b>+"
        << users;
    QTest::newRow("the root item removed") << "user"
                                           << "alice" << QStringList{"alice|[room] den"}
                                           << "user:alice" << QString() << QStringList{"bob"};
    QTest::newRow("an item at two depths removed")
        << "room"
        << "den"
        << QStringList{"den|[user] bob", "den|[user] alice", "den|[user] alice|[room] <b>x</b>"}
        << "user:bob"
        << "den; .[user] alice; ..[is_online, null]+; ..[room] den+; ..[room] <b>x</b>; "
           "...[user] alice+; .[user_count] 2+"
        << rooms;
    QTest::newRow("a listed item not shown removed")
        << "user"
        << "alice" << QStringList() << "user:bob"
        << "alice; .[is_online, null]+; .[room] den+; .[room] <b>x</b>+" << QStringList{"alice"};
    QTest::newRow("a shared flag removed")
        << "room"
        << "den" << QStringList{"den|[user] alice", "den|[user] alice|[is_online, null]"}
        << "is_online:"
        << "den; .[user] alice; ..[room] den+; ..[room] <b>x</b>+; .[user] bob+; "
           ".[user_count] 2+"
        << rooms;
}

void tst_InspectDialogs::treeFollowsClicksAndRemovals()
{
    QFETCH(QString, type);
    QFETCH(QString, clicked);
    QFETCH(QStringList, unfolded);
    QFETCH(QString, removed);
    QFETCH(QString, outline);
    QFETCH(QStringList, listed);

    Store store;
    MakeScene();
    Inspector inspector;
    inspector.types->setCurrentItem(inspector.TypeRow(qPrintable(type)));
    inspector.Click(clicked);
    QVERIFY(inspector.tree->topLevelItem(0)->isExpanded());
    QCOMPARE(inspector.tree->currentItem(), nullptr);
    for (const QString& path : unfolded) {
        QTreeWidgetItem* row = Row(inspector.tree, path);
        QVERIFY2(row, qPrintable(path));
        row->setExpanded(true);
        QCOMPARE(inspector.tree->currentItem(), row);
        QVERIFY(row->isSelected());
        // Folded and unfolded again, it stays as it is.
        const QString once = Outline(inspector.tree);
        row->setExpanded(false);
        row->setExpanded(true);
        QCOMPARE(Outline(inspector.tree), once);
    }
    if (!removed.isEmpty())
        Find(removed).Remove();
    Settle();
    QCOMPARE(Outline(inspector.tree), outline);
    QCOMPARE(Texts(inspector.items), listed);
    inspector.TouchEverything();
}

void tst_InspectDialogs::manyChangesInOneTurn()
{
    // More changes than a turn makes row by row, in the list and below one row of the tree.
    constexpr int kUsers = 100;
    constexpr int kGone = 80;
    static_assert(kGone > int(DataDialog::kMaxSingleRowChanges));
    Store store;
    const ItemPtr hall = d.GetType("room")->NewItem("hall");
    for (int i = 0; i < kUsers; ++i)
        hall += d.GetType("user")->NewItem("u" + std::to_string(1000 + (i * 37) % kUsers));
    Inspector inspector;
    inspector.types->setCurrentItem(inspector.TypeRow("user"));
    inspector.Click("u1050");
    Row(inspector.tree, "u1050|[room] hall")->setExpanded(true);
    QTreeWidgetItem* kept = Row(inspector.tree, "u1050|[room] hall|[user] u1003");
    kept->setExpanded(true);

    // u1010 to u1090 go, but u1050; as many others come.
    for (int i = 1010; i <= 1090; ++i) {
        if (i != 1050)
            Find("user:u" + QString::number(i)).Remove();
    }
    for (int i = 0; i < kGone; ++i)
        d.GetType("user")->NewItem("v" + std::to_string(2000 - i));
    Settle();

    QStringList values;
    for (const Item* user : d.GetType("user")->GetItems().SortAlphabetic(true))
        values << QString::fromStdString(user->AsString());
    QCOMPARE(Texts(inspector.items), values);
    QCOMPARE(inspector.TypeRow("user")->text(2), QString::number(kUsers));
    QStringList inHall;
    for (const Item* user : hall.GetItems("user"))
        inHall << "..[user] " + QString::fromStdString(user->AsString()) +
                      (user->AsString() == "u1003" ? "" : "+");
    inHall.insert(inHall.indexOf("..[user] u1003") + 1, "...[room] hall+");
    QCOMPARE(Outline(inspector.tree), "u1050; .[room] hall; " + inHall.join("; "));
    // The rows put back are unfolded as they were, and the current one stays current.
    QVERIFY(Row(inspector.tree, "u1050|[room] hall")->isExpanded() && kept->isExpanded());
    QCOMPARE(inspector.tree->currentItem(), kept);
    inspector.TouchEverything();
}

void tst_InspectDialogs::windowGoesWithBothDialogsOpen()
{
    Client client("alice");
    client.Start();
    d.GetType("user")->NewItem("carol");
    d.GetType("user")->NewItem("dave");
    QMetaObject::invokeMethod(client.window.get(), "OnShowData");
    QMetaObject::invokeMethod(client.window.get(), "OnTypeNavigator");
    auto* dialog = client.window->findChild<DataDialog*>();
    QVERIFY(dialog);
    QVERIFY(client.window->findChild<TypeNavigatorDialog*>());
    auto* types = dialog->findChild<QTreeWidget*>("typeList");
    types->setCurrentItem(types->findItems("user", Qt::MatchExactly, 0).value(0));
    auto* items = dialog->findChild<QListWidget*>("itemList");
    Q_EMIT items->itemClicked(items->findItems("carol", Qt::MatchExactly).value(0));
    QCOMPARE(Outline(dialog->findChild<QTreeWidget*>("itemDataTree")), QString("carol"));
    // A removal still on its way to the dialog when it goes.
    Find("user:dave").Remove();
    client.window.reset();
}

void tst_InspectDialogs::typePage_data()
{
    // An a holding bs b's, each b holding the same cs c's, and the first c holding the a: a tree
    // of 1 + (bs + 1) + bs * cs + bs rows, as no path takes a type twice.
    QTest::addColumn<int>("bs");
    QTest::addColumn<int>("cs");
    QTest::addColumn<bool>("whole");

    QTest::newRow("small") << 3 << 2 << true;
    QTest::newRow("just at the cap") << 1 << DataTabPage::kMaxTypePageRows - 4 << true;
    QTest::newRow("one past the cap") << 1 << DataTabPage::kMaxTypePageRows - 3 << false;
    QTest::newRow("300 of 300") << 300 << 300 << false;
}

void tst_InspectDialogs::typePage()
{
    QFETCH(int, bs);
    QFETCH(int, cs);
    QFETCH(bool, whole);

    StoreGuard store;
    DeclareSchema({"pa=>pb", "pb<=>pc", "pc=>pa"});
    Type* as = d.GetType("pa");
    as->NewItem("before");
    DataTabPage page(as);
    auto* list = page.findChild<QListWidget*>("itemList");
    auto* tree = page.findChild<QTreeWidget*>("itemDataTree");
    QCOMPARE(tree->headerItem()->text(0), QString("Item"));
    const ItemPtr a = as->NewItem("a");
    as->NewItem("<i>later</i>");
    std::vector<ItemPtr> cItems;
    for (int j = 0; j < cs; ++j)
        cItems.push_back(d.GetType("pc")->NewItem("c" + std::to_string(j)));
    for (int i = 0; i < bs; ++i) {
        const ItemPtr b = d.GetType("pb")->NewItem("b" + std::to_string(i));
        a += b;
        for (const ItemPtr& c : cItems)
            b += c;
    }
    cItems.front() += a;
    // Only what came after the page, newest first; the others' removals change nothing.
    QCOMPARE(Texts(list), (QStringList{"<i>later</i>", "a"}));
    Find("pa:before").Remove();
    Find("pa:<i>later</i>").Remove();
    QCOMPARE(Texts(list), QStringList{"a"});
    Q_EMIT list->itemClicked(list->item(0));

    const std::vector<QTreeWidgetItem*> rows = Rows(tree);
    QCOMPARE(qsizetype(rows.size()),
             whole ? 1 + (bs + 1) + qsizetype(bs) * cs + bs : DataTabPage::kMaxTypePageRows);
    QCOMPARE(tree->topLevelItemCount(), whole ? 1 : 2);
    if (!whole)
        QCOMPARE(tree->topLevelItem(1)->text(0), QString("~~truncated~~"));
    // Breadth first: whatever the cut, every row of the root's partners is there.
    QCOMPARE(tree->topLevelItem(0)->childCount(), bs + 1);
    for (QTreeWidgetItem* row : rows) {
        QVERIFY(row->childCount() == 0 || row->isExpanded());
        // No type twice on a path, and the root's own type nowhere below it.
        QSet<QString> types{"[pa"};
        for (const QTreeWidgetItem* up = row; up->parent(); up = up->parent()) {
            const QString type = up->text(0).section(u']', 0, 0);
            QVERIFY2(!types.contains(type), qPrintable(row->text(0)));
            types.insert(type);
        }
    }
}

void tst_InspectDialogs::valuesShowOnOneLine_data()
{
    // A room's value as a peer or the server may send it, and as its rows show it.
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QString>("shown");
    QTest::newRow("line feed") << QByteArray("a\nb") << "a b";
    QTest::newRow("carriage return, line feed") << QByteArray("a\r\nb") << "a  b";
    QTest::newRow("long") << QByteArray(3 * kMaxCellChars, 'v')
                          << QString(kMaxCellChars - 1, 'v') + "\u2026";
}

void tst_InspectDialogs::valuesShowOnOneLine()
{
    QFETCH(QByteArray, value);
    QFETCH(QString, shown);

    Store store;
    const ItemPtr room = d.GetType("room")->NewItem(value.toStdString());
    d.GetType("room")->NewItem("plain");
    room += d.GetType("user")->NewItem("bob");
    const QString text = QString::fromLatin1(value);

    // The dialog: the list keeps the value, by which it sorts and finds rows, and shows it on
    // one line; a click still finds the item, and the tree shows it so too.
    Inspector inspector;
    inspector.dialog->show();
    inspector.types->setCurrentItem(inspector.TypeRow("room"));
    QListWidgetItem* row = inspector.items->findItems(text, Qt::MatchExactly).value(0);
    QVERIFY(row);
    const auto* cells = static_cast<QStyledItemDelegate*>(inspector.items->itemDelegate());
    QCOMPARE(cells->displayText(row->data(Qt::DisplayRole), QLocale()), shown);
    const QListWidgetItem* plain = inspector.items->findItems("plain", Qt::MatchExactly).value(0);
    QCOMPARE(inspector.items->visualItemRect(row).height(),
             inspector.items->visualItemRect(plain).height());
    inspector.Click(text);
    QCOMPARE(Outline(inspector.tree), shown + "; .[user] bob+");
    inspector.tree->topLevelItem(0)->child(0)->setExpanded(true);
    QCOMPARE(Outline(inspector.tree), shown + "; .[user] bob; ..[room] " + shown + "+");

    // The type page.
    DataTabPage page(d.GetType("room"));
    auto* list = page.findChild<QListWidget*>("itemList");
    auto* tree = page.findChild<QTreeWidget*>("itemDataTree");
    d.GetType("room")->NewItem((value + "!").toStdString()) += d.GetType("user")->NewItem("eve");
    QCOMPARE(list->item(0)->text(), CellText(text + "!"));
    Q_EMIT list->itemClicked(list->item(0));
    QCOMPARE(Outline(tree), CellText(text + "!") + "; .[user] eve");
}

void tst_InspectDialogs::navigatorOnAChain_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<QStringList>("offered");
    QTest::addColumn<QString>("to");
    QTest::addColumn<QString>("line");

    const QStringList fromA{"b", "c", "d", "e", "f", "g"};
    const QString green = "<font color=green><b>[%1]</b></font> ";
    QTest::newRow("the first shown")
        << "a" << fromA << "b" << green.arg(2) + "<b>a</b> -> <b>b</b>";
    QTest::newRow("one step to many") << "a" << fromA << "c"
                                      << "[3] <b>a</b> -> <b>b</b> => <b>c</b>";
    QTest::newRow("through a null type")
        << "e" << QStringList{"a", "b", "c", "d", "f", "g", "h"} << "c"
        << green.arg(3) + "<b>e</b> -> <b>d</b> [null] -> <b>c</b>";
    QTest::newRow("one to many among five")
        << "a" << fromA << "e"
        << "[5] <b>a</b> -> <b>b</b> => <b>c</b> -> <b>d</b> [null] -> <b>e</b>";
    QTest::newRow("six steps") << "h" << QStringList{"b", "c", "d", "e", "f", "g"} << "b"
                               << green.arg(7) + "<b>h</b> -> <b>g</b> -> <b>f</b> -> <b>e</b> -> "
                                                 "<b>d</b> [null] -> <b>c</b> -> <b>b</b>";
    QTest::newRow("no relations") << "lonely" << QStringList() << QString() << QString();
}

void tst_InspectDialogs::navigatorOnAChain()
{
    QFETCH(QString, from);
    QFETCH(QStringList, offered);
    QFETCH(QString, to);
    QFETCH(QString, line);

    StoreGuard store;
    DeclareSchema({"lonely", "f-g", "d!-e", "b=>c", "h", "c-d!", "a-b", "g-h", "e-f"});
    Navigator navigator;
    QCOMPARE(Navigator::Entries(navigator.from),
             (QStringList{"a", "b", "c", "d", "e", "f", "g", "h", "lonely"}));
    // The first type is current, and the chain to its first end type is drawn.
    QCOMPARE(navigator.to->currentText(), QString("b"));
    QCOMPARE(navigator.Seen(),
             SeenLines({"<font color=green><b>[2]</b></font> <b>a</b> -> <b>b</b>"}));

    navigator.from->setCurrentText(from);
    QCOMPARE(Navigator::Entries(navigator.to), offered);
    navigator.to->setCurrentText(to);
    QCOMPARE(navigator.to->currentText(), to);
    QCOMPARE(navigator.Seen(), SeenLines(line.isEmpty() ? QStringList() : QStringList{line}));
}

void tst_InspectDialogs::navigatorMatchesTheRecursiveSearch_data()
{
    // The schema; the start types compared with every end type (none: a to b only); the chains
    // from a to b, which past the cap end in a note.
    QTest::addColumn<QStringList>("relations");
    QTest::addColumn<bool>("everyPair");
    QTest::addColumn<int>("chains");

    // Declared out of name order, so that the order of relations is not the order of names.
    const QStringList names{"t3", "a", "x<&>", "b", "t5", "t1", "t6"};
    for (int n = 4; n <= 7; ++n)
        QTest::addRow("%d types, every one related", n)
            << CompleteGraph(names.mid(0, n)) << true << (n == 7 ? 326 : -1);
    QStringList twelve = names;
    for (int i = 7; i < 12; ++i)
        twelve << QString("k%1").arg(i);
    QTest::newRow("12 types, every one related") << CompleteGraph(twelve) << false << 36101;
    // a to b through each of that many middle types.
    const auto fan = [](int middles) {
        QStringList relations;
        for (int i = 0; i < middles; ++i)
            relations << QString("a-m%1").arg(i) << QString("m%1=>b").arg(i);
        return relations;
    };
    constexpr int kCap = TypeNavigatorDialog::kMaxNavigatorPaths;
    QTest::newRow("as many chains as the cap") << fan(kCap) << false << kCap;
    QTest::newRow("one more") << fan(kCap + 1) << false << kCap + 1;
}

void tst_InspectDialogs::navigatorMatchesTheRecursiveSearch()
{
    QFETCH(QStringList, relations);
    QFETCH(bool, everyPair);
    QFETCH(int, chains);

    StoreGuard store;
    DeclareSchema(relations);
    Navigator navigator;
    ReferenceNavigator reference;
    const QStringList names = Navigator::Entries(navigator.from);
    for (const QString& from : everyPair ? names : QStringList{"a"}) {
        navigator.from->setCurrentText(from);
        if (everyPair) // complete graphs: every other type is one step away
            QCOMPARE(Navigator::Entries(navigator.to).size(), names.size() - 1);
        for (int i = 0; i < navigator.to->count(); ++i) {
            const QString to = everyPair ? navigator.to->itemText(i) : QString("b");
            navigator.to->setCurrentText(to);
            QStringList lines = SeenLines(reference.Lines(from.toLatin1().toStdString(),
                                                          to.toLatin1().toStdString(),
                                                          TypeNavigatorDialog::kMaxNavigatorPaths));
            int found = 0;
            for (const auto& [length, paths] : reference.foundPaths)
                found += int(paths.size());
            if (found > TypeNavigatorDialog::kMaxNavigatorPaths)
                lines << "(more paths not shown)";
            QCOMPARE(navigator.Seen(), lines);
            if (from == "a" && to == "b" && chains >= 0)
                QCOMPARE(found, chains);
            if (!everyPair)
                break;
        }
    }
}

QTEST_MAIN(tst_InspectDialogs)
#include "tst_inspectdialogs.moc"

// The rows of a search results tab as other users' answers arrive, each sent as a search reply
// by a fake peer dialled in as the answering user: the rows' texts, their order once the tab
// sorts, the filter of arriving rows and the filter pass, downloads by double click and from the
// row menu, and answers that no tab shows.

#include "shell/MainWindowClient.h"

#include "peer/PeerMessenger.h"
#include "shares/SharedFoldersManager.h"
#include "store/DelayedInvoker.h"
#include "store/MemStream.h"
#include "store/TurnBudget.h"
#include "support/PeerBodies.h"
#include "support/PeerDial.h"
#include "ui/search/SearchForm.h"
#include "ui/search/SearchResultListItem.h"
#include "ui/search/SearchResultsForm.h"
#include "ui/search/ShareForm.h"
#include "ui/search/SharesForm.h"

#include <QLineEdit>
#include <QPointer>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTcpSocket>
#include <QTreeWidget>

#include <algorithm>
#include <map>

namespace {

// One file of an answer: its path as peers send it, its size and bitrate (0: none sent).
struct Hit
{
    QByteArray path;
    quint64 size;
    int bitrate;
};
using Hits = QList<Hit>;

const Hits kBobs{{"Music\\Rock\\a.mp3", 1000, 256},
                 {"Music\\Rock\\live b.mp3", 2000, 192},
                 {"Live\\Rock\\c.mp3", 3000, 320},
                 {"Music\\Pop\\d.mp3", 4000, 256},
                 {"Music\\Rock\\f.mp3", 6000, 320}};
const Hit kEves{"Live\\Rock\\e.mp3", 5000, 192};

// The client, logged in on the search page, and fake peers that answer its searches.
struct Searching
{
    Searching() : client(std::make_unique<Client>("alice"))
    {
        client->Start();
        client->LogIn();
        client->Child<QTabWidget>("tabControl")->setCurrentWidget(client->Child("searchTab"));
    }

    // A manual search of the text (tokens count from 1); its tab.
    SearchResultsForm* Search(const QString& text)
    {
        auto* line = client->Child<QLineEdit>("searchEdit");
        line->setText(text);
        Q_EMIT line->returnPressed();
        return qobject_cast<SearchResultsForm*>(Tabs()->widget(Tabs()->count() - 1));
    }
    QTabWidget* Tabs() const { return client->Child<QTabWidget>("searchTabControl"); }

    // The user's answer to the token (a free slot, the speed, the queue), on the user's own
    // connection. With wait, true once stored and made into rows; else once sent.
    bool Answer(const QByteArray& user, quint32 token, const Hits& hits, bool free = true,
                quint32 speed = 0, quint32 queue = 0, bool wait = true)
    {
        std::unique_ptr<FakePeer>& peer = peers[user];
        if (!peer && !(peer = DialMessaging(*peerMessenger, false, user)))
            return false;
        QByteArray records;
        for (const Hit& hit : hits) {
            QList<QPair<qint32, qint32>> attributes;
            if (hit.bitrate)
                attributes << qMakePair(0, hit.bitrate);
            records += FileRecord(hit.path, hit.size, attributes, "mp3");
        }
        QSignalSpy stored(peerMessenger, &PeerMessenger::SearchResults);
        peer->SendFrame(
            WireWriter().u32(9).raw(Zlib(ReplyBody(user, token, quint32(hits.size()), records,
                                                   WireWriter().u8(free).u32(speed).u32(queue)))));
        if (wait && !stored.wait(kWaitMs))
            return false;
        if (wait)
            searchForm->AddArrivedResults();
        return true;
    }

    // The user's answer as read from the user's connection, made before this returns, without
    // the event loop turning; the user has answered before.
    bool AnswerAtOnce(const QByteArray& user, quint32 token, const Hits& hits)
    {
        auto* socket = ItemPtr(d.GetType("user")->HasItem(Value(user.toStdString())))["peer_socket"]
                           .AsPointer<QTcpSocket>();
        QByteArray records;
        for (const Hit& hit : hits)
            records += FileRecord(hit.path, hit.size, {qMakePair(0, hit.bitrate)}, "mp3");
        const QByteArray message = WireWriter().u32(9).raw(Zlib(ReplyBody(
            user, token, quint32(hits.size()), records, WireWriter().u8(1).u32(0).u32(0))));
        MemStream body;
        body.WriteBuffer(message.constData(), static_cast<unsigned long>(message.size()));
        QSignalSpy stored(peerMessenger, &PeerMessenger::SearchResults);
        return socket && peerMessenger->HandleMessage(socket, body) && stored.count() == 1;
    }

    std::unique_ptr<Client> client;
    std::map<QByteArray, std::unique_ptr<FakePeer>> peers;
};

// A row as "user", "user|folder" or "user|folder|file".
QString Label(QTreeWidgetItem* row)
{
    QStringList parts;
    for (QTreeWidgetItem* at = row; at; at = at->parent())
        parts.prepend(at->text(at->parent() ? (at->parent()->parent() ? 4 : 3) : 0));
    return parts.join('|');
}

// The rows a user sees (neither they nor a row above them hidden), or all rows; sorted.
QStringList Labels(QTreeWidget* tree, bool seenOnly = true)
{
    QStringList labels;
    for (QTreeWidgetItemIterator it(tree); *it; ++it) {
        bool seen = true;
        for (QTreeWidgetItem* at = *it; at && seenOnly; at = at->parent())
            seen = seen && !at->isHidden();
        if (seen)
            labels << Label(*it);
    }
    labels.sort();
    return labels;
}

QTreeWidgetItem* Find(QTreeWidget* tree, const QString& label)
{
    for (QTreeWidgetItemIterator it(tree); *it; ++it) {
        if (Label(*it) == label)
            return *it;
    }
    return nullptr;
}

// The downloads as queued, "user|folder|file|level|search", when exactly their rows carry the
// download icon; else the marked rows.
QStringList Queued(QTreeWidget* tree)
{
    QStringList queued, names, marked;
    for (Item* item :
         d.GetType("download_entry")->GetItems().SortNumericBy("download_order", true)) {
        const ItemPtr e(item);
        names << QString::fromStdString(e["file_name"].AsString());
        queued << QString::fromStdString(e["user"].AsString() + "|" +
                                         e["remote_folder"].AsString() + "|") +
                      names.last() + "|" +
                      QString::fromStdString(e["subfolder_save_level"].AsString() + "|" +
                                             e["search_request_text"].AsString());
    }
    for (QTreeWidgetItemIterator it(tree); *it; ++it) {
        if (!(*it)->icon(4).isNull())
            marked << (*it)->text(4);
    }
    names.sort();
    marked.sort();
    return marked == names ? queued : QStringList{"marked:"} + marked;
}

// A big answer: 10 folders of files from..to-1, MP3s of four bitrates, some of them live, some
// in live folders.
Hits BigAnswer(int from = 0, int to = 1500)
{
    static const int kBitrates[] = {128, 192, 256, 320};
    Hits hits;
    for (int f = 0; f < 10; ++f) {
        for (int n = from; n < to; ++n) {
            const QByteArray folder = (f % 3 == 0 ? "Live " : "Studio ") + QByteArray::number(f);
            hits << Hit{"Music\\" + folder + "\\" + (n % 7 == 0 ? "live " : "") + "track " +
                            QByteArray::number(n) + ".mp3",
                        quint64(1000 + n), kBitrates[n % 4]};
        }
    }
    return hits;
}

// The user row's rows as their labels past the user's, whether they are hidden and, for a folder,
// how many of its files the filter shows; sorted.
QStringList RowStates(QTreeWidgetItem* user)
{
    QStringList states{user->isHidden() ? "hidden" : ""};
    for (int f = 0; f < user->childCount(); ++f) {
        auto* folder = static_cast<SearchResultListItem*>(user->child(f));
        states << Label(folder).section('|', 1) + (folder->isHidden() ? " hidden " : " ") +
                      QString::number(folder->ShownFiles());
        for (int i = 0; i < folder->childCount(); ++i) {
            QTreeWidgetItem* file = folder->child(i);
            states << Label(file).section('|', 1) + (file->isHidden() ? " hidden" : "");
        }
    }
    states.sort();
    return states;
}

// The items a results tab ties to the store or makes there.
QList<size_t> TabItems()
{
    QList<size_t> counts;
    for (const char* type :
         {"search_results_widget", "search_request", "search_results", "search_result",
          "search_results_user_node", "search_results_folder_node", "search_result_node"})
        counts << d.GetType(type)->ItemCount();
    return counts;
}

} // namespace

class tst_SearchResults : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void order_data();
    void order();
    void filter_data();
    void filter();
    void routing_data();
    void routing();
    void downloads_data();
    void downloads();
    void rowsAtOnce_data();
    void rowsAtOnce();
    void bigTabsAsInOneGo_data();
    void bigTabsAsInOneGo();
};

void tst_SearchResults::initTestCase()
{
    TurnBudget::SetStepsPerSliceForTesting(TurnBudget::kAtOnceForTesting);
}

void tst_SearchResults::order_data()
{
    // Each user as "name,free,K/s" (free being "Y" or a queue), in the order they answer; then in
    // the order they read under Order by Available and Order by Fastest.
    QTest::addColumn<QStringList>("users");
    QTest::addColumn<QStringList>("available");
    QTest::addColumn<QStringList>("fastest");
    QTest::newRow("a free slot above any queue")
        << QStringList{"ann,3,9.0", "bob,Y,2.5", "cid,10,50.0"}
        << QStringList{"bob,Y,2.5", "ann,3,9.0", "cid,10,50.0"}
        << QStringList{"cid,10,50.0", "ann,3,9.0", "bob,Y,2.5"};
    QTest::newRow("queues as numbers, equal speeds kept")
        << QStringList{"ann,10,", "bob,9,", "cid,100,"}
        << QStringList{"bob,9,", "ann,10,", "cid,100,"}
        << QStringList{"bob,9,", "ann,10,", "cid,100,"};
    // Four bytes each, never negative: a claimed queue of 2^32 - 1 is the longest there is.
    QTest::newRow("queues and speeds past 2^31")
        << QStringList{"ann,4294967295,2097152.0", "bob,0,4194303.0", "cid,2147483648,1.0"}
        << QStringList{"bob,0,4194303.0", "cid,2147483648,1.0", "ann,4294967295,2097152.0"}
        << QStringList{"bob,0,4194303.0", "ann,4294967295,2097152.0", "cid,2147483648,1.0"};
    QTest::newRow("equal Free by speed, no speed as 0")
        << QStringList{"ann,Y,1.0", "bob,Y,4.0", "cid,Y,"}
        << QStringList{"bob,Y,4.0", "ann,Y,1.0", "cid,Y,"}
        << QStringList{"bob,Y,4.0", "ann,Y,1.0", "cid,Y,"};
}

void tst_SearchResults::order()
{
    QFETCH(QStringList, users);
    QFETCH(QStringList, available);
    QFETCH(QStringList, fastest);
    Searching s;
    SearchResultsForm* tab = s.Search("abc");
    QTreeWidget* tree = tab->searchResults();
    // Two answers each; the user's cells are those of the first.
    for (const QString& user : users) {
        const QStringList cells = user.split(',');
        const QByteArray name = cells[0].toUtf8();
        QVERIFY(s.Answer(name, 1, {{name + "\\b.mp3", 1, 0}, {name + "\\A.mp3", 3000000000u, 0}},
                         cells[1] == "Y", quint32(cells[2].toDouble() * 1024), cells[1].toUInt()));
        QVERIFY(s.Answer(
            name, 1, {{name + "\\c.mp3", 1, 0}, {name + "\\a.mp3", 1, 0}, {name + "\\0.mp3", 1, 0}},
            false, 0, 5));
    }
    // The users in order, each with its cells and its files in order.
    const auto rows = [tree] {
        QStringList rows;
        for (int i = 0; i < tree->topLevelItemCount(); ++i) {
            QTreeWidgetItem* user = tree->topLevelItem(i);
            QStringList row{user->text(0), user->text(1), user->text(2)};
            for (int j = 0; j < user->child(0)->childCount(); ++j)
                row << user->child(0)->child(j)->text(4);
            rows << row.join(',');
        }
        return rows;
    };
    const auto sorted = [](QStringList users) {
        for (QString& user : users)
            user += ",0.mp3,A.mp3,a.mp3,b.mp3,c.mp3";
        return users;
    };
    // One re-sort for the burst, not run yet: the users as they came, each folder's files
    // already in order, the second answer's among the first's. It falls due with the burst's
    // rows, so that the tree is laid out once for both.
    const qint64 sortDue = delayedInvoker->PendingDeadline(tab, &SearchResultsForm::Sort);
    QVERIFY(sortDue >= 0);
    QVERIFY(qAbs(sortDue -
                 delayedInvoker->PendingDeadline(searchForm, &SearchForm::AddArrivedResults)) <=
            DelayedInvoker::kTogetherMs);
    QCOMPARE(rows().first(), sorted(users).first());
    delayedInvoker->FirePendingNow();
    QCOMPARE(rows(), sorted(available));
    QCOMPARE(Find(tree, "ann|ann|A.mp3")->text(5), QString("3,000,000,000"));
    QVERIFY(Find(tree, "ann")->isExpanded() && Find(tree, "ann|ann")->isExpanded());
    s.client->Trigger(tab, "Order by Fastest");
    QCOMPARE(rows(), sorted(fastest));
}

void tst_SearchResults::filter_data()
{
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QStringList>("shown");
    const QStringList rock{"bob", "bob|Rock/Music", "bob|Rock/Music|a.mp3", "bob|Rock/Music|f.mp3"};
    QTest::newRow("a word, and one in neither the folder nor the file") << "rock -live" << rock;
    QTest::newRow("a minimum bitrate")
        << "mbr:256"
        << rock + QStringList{"bob|Rock/Live", "bob|Rock/Live|c.mp3", "bob|Pop/Music",
                              "bob|Pop/Music|d.mp3"};
    QTest::newRow("two files per folder")
        << "mfif:2" << rock + QStringList{"bob|Rock/Music|live b.mp3"};
    QTest::newRow("two matching files per folder") << "mp3 mfif:2 mbr:200" << rock;
    QTest::newRow("three matching files per folder") << "mp3 mfif:3 mbr:200" << QStringList{};
    QTest::newRow("a word in a folder, one in its file")
        << "rock b.mp3" << QStringList{"bob", "bob|Rock/Music", "bob|Rock/Music|live b.mp3"};
}

void tst_SearchResults::filter()
{
    QFETCH(QString, filter);
    QFETCH(QStringList, shown);
    shown.sort();
    Searching s;
    QList<QPair<QByteArray, Hit>> answers;
    for (const Hit& hit : kBobs)
        answers << qMakePair(QByteArray("bob"), hit);
    answers.insert(2, qMakePair(QByteArray("eve"), kEves));
    // Each file an answer of its own, in two orders, so that folders fill up one file at a time:
    // the first half under a filter that hides everything, the rest under the one typed then.
    for (quint32 token : {1, 2}) {
        SearchResultsForm* tab = s.Search("abc");
        QTreeWidget* tree = tab->searchResults();
        tab->filterEdit()->setText("zzz");
        for (int i = 0; i < answers.size(); ++i) {
            if (i == answers.size() / 2) {
                QCOMPARE(Labels(tree), QStringList{});
                tab->filterEdit()->setText(filter);
            }
            QVERIFY(s.Answer(answers[i].first, token, {answers[i].second}));
        }
        QCOMPARE(Labels(tree), shown);
        // The pass over the same text hides no row the arrivals showed; after everything was
        // shown, it hides the same again.
        QStringList arrived;
        for (QTreeWidgetItemIterator it(tree, QTreeWidgetItemIterator::NotHidden); *it; ++it)
            arrived << Label(*it);
        Q_EMIT tab->filterEdit()->textChanged(filter);
        for (QTreeWidgetItemIterator it(tree, QTreeWidgetItemIterator::Hidden); *it; ++it)
            QVERIFY2(!arrived.contains(Label(*it)), qPrintable(Label(*it)));
        tab->filterEdit()->clear();
        QCOMPARE(Labels(tree), Labels(tree, false));
        tab->filterEdit()->setText(filter);
        QCOMPARE(Labels(tree), shown);
        // Its answers go with it, or the next search's would repeat files already listed.
        Q_EMIT s.Tabs()->tabCloseRequested(0);
        std::reverse(answers.begin(), answers.end());
    }
}

void tst_SearchResults::routing_data()
{
    QTest::addColumn<QString>("to");
    QTest::newRow("a closed tab") << "closed";
    QTest::newRow("a disabled wish") << "disabled";
    QTest::newRow("an enabled wish") << "enabled";
}

void tst_SearchResults::routing()
{
    QFETCH(QString, to);
    Searching s;
    auto* wishTabs = s.client->Child<QTabWidget>("wishListTabControl");
    ItemPtr wish = d.GetType("wish_list_item")->GetItem(Value("abba"));
    if (to == "enabled")
        wish.NewItem("wish_list_item_enabled");
    if (to == "closed")
        s.Search("abba");
    else
        QCOMPARE(gp_server->FileSearch("abba", true), 1u);
    s.Search("other");
    if (to == "closed")
        Q_EMIT s.Tabs()->tabCloseRequested(0);
    // Dropped unread or once read; then an answer to the other search on the same connection.
    QVERIFY(s.Answer("bob", 1, {kBobs[0]}, true, 0, 0, to != "closed"));
    QVERIFY(s.Answer("bob", 2, {kBobs[1]}));
    d.RemoveDisconnectedItems();
    QCOMPARE(d.GetType("search_results")->ItemCount(), size_t(to == "enabled" ? 2 : 1));
    QCOMPARE(wishTabs->count(), int(to == "enabled"));
    if (to == "closed")
        return;
    if (to == "disabled") {
        // The request stays: once enabled, the wish's next answer opens its tab.
        wish.NewItem("wish_list_item_enabled");
        QVERIFY(s.Answer("bob", 1, {kBobs[2]}));
        QCOMPARE(wishTabs->count(), 1);
        return;
    }
    QStringList events;
    for (QAction* action : eventToolBar->actions())
        events << action->text();
    QVERIFY(events.contains("abba"));
    // A later search of the wish joins its tab.
    QVERIFY(s.Answer("eve", gp_server->FileSearch("abba", true), {kEves}));
    QCOMPARE(wishTabs->count(), 1);
    QCOMPARE(Labels(qobject_cast<SearchResultsForm*>(wishTabs->widget(0))->searchResults()),
             (QStringList{"bob", "bob|Rock/Music", "bob|Rock/Music|a.mp3", "eve", "eve|Rock/Live",
                          "eve|Rock/Live|e.mp3"}));
}

void tst_SearchResults::downloads_data()
{
    QTest::addColumn<QString>("row");
    QTest::addColumn<QString>("action");      // a double click, or the menu entry chosen
    QTest::addColumn<QStringList>("entries"); // this object's, first in the menu
    QTest::addColumn<QStringList>("queued");  // bob's, as "folder|file"
    QTest::addColumn<QString>("browsed");     // the user and the folder row chosen
    const QString click = "double click";
    const QString file = "bob|Rock/Music|a.mp3";
    const QStringList fileEntries{"Download File", "Download Folder", "Browse Folder"};
    const QStringList rock{"Music\\Rock|a.mp3", "Music\\Rock|f.mp3", "Music\\Rock|live b.mp3"};
    QTest::newRow("a user row clicked, a hidden file too")
        << "bob" << click << QStringList{}
        << QStringList{"Music\\Rock|a.mp3", "Live\\Rock|c.mp3", "Music\\Pop|d.mp3",
                       "Music\\Rock|f.mp3", "Music\\Rock|live b.mp3"}
        << "";
    QTest::newRow("a file row clicked") << file << click << QStringList{} << rock.mid(0, 1) << "";
    QTest::newRow("a user row's menu") << "bob"
                                       << "" << QStringList{} << QStringList{} << "";
    QTest::newRow("a file row's file")
        << file << "Download File" << fileEntries << rock.mid(0, 1) << "";
    QTest::newRow("a file row's folder, a hidden file too")
        << file << "Download Folder" << fileEntries << rock << "";
    QTest::newRow("eve's folder of a path bob has too")
        << "eve|Rock/Live"
        << "Browse Folder" << fileEntries.mid(1) << QStringList{} << "eve Rock";
    QTest::newRow("bob's folder of a path eve has too")
        << "bob|Rock/Live"
        << "Browse Folder" << fileEntries.mid(1) << QStringList{} << "bob Rock";
}

void tst_SearchResults::downloads()
{
    QFETCH(QString, row);
    QFETCH(QString, action);
    QFETCH(QStringList, entries);
    QFETCH(QStringList, queued);
    QFETCH(QString, browsed);
    Searching s;
    SearchResultsForm* tab = s.Search("abc");
    QTreeWidget* tree = tab->searchResults();
    // In reverse, so that the store's order is not the names' order.
    QVERIFY(s.Answer("bob", 1, Hits(kBobs.rbegin(), kBobs.rend())));
    QVERIFY(s.Answer("eve", 1, {kEves}));
    tab->filterEdit()->setText("-b.mp3");
    QTreeWidgetItem* clicked = Find(tree, row);
    QVERIFY(clicked && Find(tree, "bob|Rock/Music|live b.mp3")->isHidden());
    if (action == "double click") {
        Q_EMIT tree->itemDoubleClicked(clicked, 0);
    } else {
        s.client->dialogs.menuChoices << action;
        Q_EMIT tree->customContextMenuRequested(tree->visualItemRect(clicked).center());
        QCOMPARE(s.client->dialogs.menus.size(), 1);
        const QStringList shown = s.client->dialogs.menus[0].entries;
        QCOMPARE(shown.mid(0, entries.size()), entries);
        for (const char* entry : {"Download File", "Download Folder", "Browse Folder"})
            QCOMPARE(shown.count(entry), int(entries.contains(entry)));
    }
    for (QString& entry : queued)
        entry = "bob|" + entry + "|0|abc";
    QCOMPARE(Queued(tree), queued);

    const QList<ShareForm*> browses = sharesForm->findChildren<ShareForm*>();
    QCOMPARE(browses.size(), int(!browsed.isEmpty()));
    if (browsed.isEmpty())
        return;
    // The folder is chosen once the user's share arrives.
    const std::string user = browses[0]->UserName();
    FileInfoMap share;
    share["Live"];
    share["Live\\Rock"].insert(FileInfo("x.mp3", 1));
    share["Music"].insert(FileInfo("y.mp3", 1));
    sharedFoldersManager->OnUserShare(user, share, AttributeTranslationTable());
    sharedFoldersManager->WaitForShareLists();
    QTreeWidgetItem* current = browses[0]->findChild<QTreeWidget*>("folderTree")->currentItem();
    QVERIFY(current && current->parent());
    QCOMPARE(QString::fromStdString(user) + " " + current->text(0), browsed);
    QCOMPARE(current->parent()->text(0), QString("Live"));
}

void tst_SearchResults::rowsAtOnce_data()
{
    const int cap = SearchForm::kMaxRowsAnAnswer;
    QTest::addColumn<QList<int>>("answers"); // files in each, from a user of its own
    QTest::addColumn<int>("first");          // rows made in the first slice, an answer's
    QTest::addColumn<int>("all");            // rows and results in the end
    QTest::newRow("an answer at the cap") << QList<int>{cap} << cap << cap;
    QTest::newRow("an answer over it") << QList<int>{cap + 1} << cap << cap;
    QTest::newRow("answers up to it") << QList<int>{cap - 2, 2} << cap - 2 << cap;
    QTest::newRow("answers over it") << QList<int>{cap - 1, 2} << cap - 1 << cap + 1;
}

void tst_SearchResults::rowsAtOnce()
{
    QFETCH(QList<int>, answers);
    QFETCH(int, first);
    QFETCH(int, all);
    Searching s;
    s.Search("abc");
    for (int i = 0; i < answers.size(); ++i) {
        Hits hits;
        for (int n = 0; n < answers[i]; ++n)
            hits << Hit{"F\\" + QByteArray::number(n), 1, 0};
        QVERIFY(s.Answer("u" + QByteArray::number(i), 1, hits, true, 0, 0, false));
    }
    const auto count = [](const char* type) { return int(d.GetType(type)->ItemCount()); };
    QTRY_COMPARE(count("search_results"), answers.size());
    const TurnBudget::StepsForTesting anAnswer(1);
    searchForm->AddArrivedResults();
    QCOMPARE(count("search_result_node"), first);
    // The rest from the event loop's next turn on.
    QTRY_COMPARE(count("search_result_node"), all);
    QCOMPARE(count("search_result"), all);
}

void tst_SearchResults::bigTabsAsInOneGo_data()
{
    // A tab of 3 answers of 15,000 files in 10 folders each, its filter pass and its closing cut
    // into slices of a few steps: after the filter is typed, or the tab closed, and before the
    // pass or the closing is done, what then comes.
    QTest::addColumn<QString>("meanwhile");
    QTest::newRow("the filter typed") << "nothing";
    QTest::newRow("the filter typed, a user's second answer meanwhile") << "an answer";
    QTest::newRow("the filter typed, the tab closed meanwhile") << "closed";
    QTest::newRow("the filter typed, the program quit meanwhile") << "quit filtering";
    QTest::newRow("the tab closed, the same files found again meanwhile") << "searched again";
    QTest::newRow("the tab closed, the program quit meanwhile") << "quit";
}

void tst_SearchResults::bigTabsAsInOneGo()
{
    QFETCH(QString, meanwhile);
    const QString filter = "track -live mbr:192";
    const Hits big = BigAnswer();
    auto s = std::make_unique<Searching>();
    const QList<size_t> none = TabItems();
    // The filter pass in one go, over a tab of two answers, the filter typed after them; then a
    // second answer of the second user, more files in the same folders.
    const Hits more = BigAnswer(1500, 1600);
    SearchResultsForm* oneGo = s->Search("big in one go");
    QVERIFY(s->Answer("w0", 1, big));
    QVERIFY(s->Answer("w1", 1, big));
    oneGo->filterEdit()->setText(filter);
    searchForm->FinishFilteringForTesting();
    QVERIFY(!searchForm->IsFiltering(oneGo));
    QVERIFY(s->Answer("w1", 1, more));
    QTreeWidget* oneGoTree = oneGo->searchResults();
    const QStringList states = RowStates(Find(oneGoTree, "w0"));
    const QStringList statesWithMore = RowStates(Find(oneGoTree, "w1"));
    QVERIFY(states != statesWithMore);

    const TurnBudget::StepsForTesting fewSteps(5);
    SearchResultsForm* tab = s->Search("big");
    QTreeWidget* tree = tab->searchResults();
    for (int u = 0; u < 3; ++u)
        QVERIFY(s->Answer("u" + QByteArray::number(u), 2, big));
    QCOMPARE(tree->topLevelItemCount(), 3);
    const bool filtering = meanwhile == "nothing" || meanwhile == "an answer" ||
                           meanwhile == "closed" || meanwhile == "quit filtering";
    if (filtering) {
        tab->filterEdit()->setText(filter);
        QVERIFY(searchForm->IsFiltering(tab));
    }
    // Half the first user's folders were worked out in the pass's first slice; a second answer
    // of the user comes before the next.
    const QString first = tree->topLevelItem(0)->text(0);
    if (meanwhile == "an answer") {
        QVERIFY(s->AnswerAtOnce(first.toLatin1(), 2, more));
        searchForm->AddArrivedResults();
        QVERIFY(searchForm->IsFiltering(tab));
    }
    if (meanwhile == "quit filtering") {
        // The pass goes with the page; the event loop turning after finds nothing of it.
        QVERIFY(searchForm->IsFiltering(tab));
        s.reset();
        QVERIFY(!searchForm);
        QCoreApplication::processEvents();
        return;
    }
    if (filtering && meanwhile != "closed") {
        // Every user's rows as in one go, rows that came meanwhile too.
        QTRY_VERIFY(!searchForm->IsFiltering(tab));
        QCOMPARE(tree->topLevelItemCount(), 3);
        for (int u = 0; u < 3; ++u) {
            const bool withMore =
                meanwhile == "an answer" && tree->topLevelItem(u)->text(0) == first;
            QCOMPARE(RowStates(tree->topLevelItem(u)), withMore ? statesWithMore : states);
        }
        return;
    }

    // Closed: out of view at once, taken apart over some turns.
    QPointer<SearchResultsForm> closed = tab;
    Q_EMIT s->Tabs()->tabCloseRequested(s->Tabs()->indexOf(tab));
    QCOMPARE(s->Tabs()->count(), 1);
    QVERIFY(searchForm->IsClosingTabs());
    QVERIFY(!searchForm->IsFiltering(tab));
    if (meanwhile == "quit") {
        s.reset();
        return;
    }
    if (meanwhile == "searched again") {
        // The user's files are new to a search made now, as once the tab is gone.
        SearchResultsForm* again = s->Search("big");
        QVERIFY(s->Answer("u0", 3, big));
        QCOMPARE(again->searchResults()->topLevelItemCount(), 1);
        QCOMPARE(again->searchResults()->topLevelItem(0)->childCount(), 10);
        Q_EMIT s->Tabs()->tabCloseRequested(s->Tabs()->indexOf(again));
    }
    QTRY_VERIFY(!searchForm->IsClosingTabs());
    QVERIFY(closed.isNull());
    // Nothing of the tabs closed is left, as after closing them in one go.
    Q_EMIT s->Tabs()->tabCloseRequested(s->Tabs()->indexOf(oneGo));
    QTRY_VERIFY(!searchForm->IsClosingTabs());
    QCOMPARE(TabItems(), none);
}

QTEST_MAIN(tst_SearchResults)
#include "tst_searchresults.moc"

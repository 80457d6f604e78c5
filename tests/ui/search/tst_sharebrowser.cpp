// The Browse page and its tabs in the running window: one tab and one request per user, what
// closing leaves, the folder tree as shares are stored (nesting capped), its expansion, folder and
// file downloads with their subfolder levels, the filter, and what happens before the share.

#include "shell/MainWindowClient.h"

#include "peer/PeerMessenger.h"
#include "shares/SharedFoldersManager.h"
#include "shell/DisplayText.h"
#include "shell/EventToolBar.h"
#include "shell/FormHooks.h"
#include "store/TurnBudget.h"
#include "support/LogLines.h"
#include "support/PeerBodies.h"
#include "support/PeerDial.h"
#include "support/WireBytes.h"
#include "transfers/TransferQueueManager.h"
#include "ui/search/ShareForm.h"
#include "ui/search/SharesForm.h"

#include <QLineEdit>
#include <QPointer>
#include <QTabWidget>
#include <QTextBrowser>
#include <QTreeWidget>

#include <vector>

namespace {

// Each folder's path, as peers send them, and the names of its files.
using Folders = QList<QPair<QByteArray, QByteArrayList>>;

void Store(const QByteArray& user, const Folders& folders)
{
    FileInfoMap share;
    for (const auto& [path, files] : folders) {
        std::set<FileInfo>& records = share[path.toStdString()];
        for (const QByteArray& name : files)
            records.insert(FileInfo(name.toStdString(), 1000 + name.size(), AttributeMap("mp3")));
    }
    sharedFoldersManager->OnUserShare(user.toStdString(), share, AttributeTranslationTable());
    sharedFoldersManager->WaitForShareLists();
    // A tab puts a big share's tree together a slice at a time.
    for (ShareForm* tab : sharesForm->findChildren<ShareForm*>())
        QTRY_VERIFY(!tab->IsBuildingTree());
}

// A tab for the user, and the user's share stored as the shared-folder manager stores lists.
ShareForm* Browse(const QByteArray& user, const Folders& folders)
{
    ShareForm* tab = sharesForm->OpenShareBrowse(user.toStdString());
    Store(user, folders);
    return tab;
}

// A chain of folders "d", "d\d", ... that many deep, a file in each.
Folders Chain(int depth)
{
    Folders chain;
    QByteArray path = "d";
    for (int i = 0; i < depth; ++i, path += "\\d")
        chain << qMakePair(path, QByteArrayList{"f.mp3"});
    return chain;
}

size_t Count(const char* type)
{
    return d.GetType(type)->ItemCount();
}

template <class T = QTreeWidget> T* Part(QWidget* tab, const char* name)
{
    return tab->findChild<T*>(name);
}

QTreeWidgetItem* Row(QWidget* tab, const QString& name)
{
    return Part(tab, "folderTree")->findItems(name, Qt::MatchExactly | Qt::MatchRecursive).value(0);
}

// The rows in tree order, each indented by a blank per level; with shown, only the rows shown,
// each as its path.
QStringList Rows(QTreeWidget* tree, bool shown = false)
{
    QStringList rows;
    std::vector<std::pair<QTreeWidgetItem*, QString>> todo;
    for (int i = tree->topLevelItemCount() - 1; i >= 0; --i)
        todo.emplace_back(tree->topLevelItem(i), QString());
    while (!todo.empty()) {
        const auto [row, above] = todo.back();
        todo.pop_back();
        if (shown && row->isHidden())
            continue;
        rows << (shown ? above + row->text(0) : QString(above.size(), ' ') + row->text(0));
        for (int i = row->childCount() - 1; i >= 0; --i)
            todo.emplace_back(row->child(i), shown ? rows.last() + "/" : above + " ");
    }
    return rows;
}

QStringList Texts(QTreeWidget* list)
{
    QStringList texts;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        texts << list->topLevelItem(i)->text(0);
    texts.sort();
    return texts;
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

// A click on the bar's action whose text starts so, with the focus on the widget.
void Click(QWidget* widget, const QString& start)
{
    actionBar->OnApplicationFocusChanged(nullptr, widget);
    for (QAction* action : actionBar->actions()) {
        if (action->isVisible() && action->text().startsWith(start)) {
            action->trigger();
            return;
        }
    }
    QFAIL(qPrintable("no action " + start));
}

// Every queued download as "folder\file:level", sorted.
QStringList Queued()
{
    QStringList queued;
    for (Item* entry : d.GetType("download_entry")->GetItems()) {
        const ItemPtr e(entry);
        queued << QString::fromStdString(e["remote_folder"].AsString() + "\\" +
                                         e["file_name"].AsString() + ":" +
                                         e["subfolder_save_level"].AsString());
    }
    queued.sort();
    return queued;
}

} // namespace

class tst_ShareBrowser : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void oneTabOneRequest_data();
    void oneTabOneRequest();
    void tree_data();
    void tree();
    void expandLevel_data();
    void expandLevel();
    void downloads_data();
    void downloads();
    void filter_data();
    void filter();
    void beforeTheShare_data();
    void beforeTheShare();
    void alertsShowTheName_data();
    void alertsShowTheName();
    void rowsAreOneLine_data();
    void rowsAreOneLine();
    void downloadFolderInSlices_data();
    void downloadFolderInSlices();
    void treeBuiltInSlices_data();
    void treeBuiltInSlices();
    void closedTreesGoLater_data();
    void closedTreesGoLater();
    void aClosedTabsListIsDropped_data();
    void aClosedTabsListIsDropped();
};

void tst_ShareBrowser::oneTabOneRequest_data()
{
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<QString>("title");
    QTest::newRow("plain") << QByteArray("bob") << "bob";
    // A Latin-1 byte as every list shows it, and the "&" doubled so that the tab shows it.
    QTest::newRow("Latin-1 and an ampersand") << QByteArray("Jos\xe9 & co") << "Jos\u00e9 && co";
}

void tst_ShareBrowser::oneTabOneRequest()
{
    QFETCH(QByteArray, user);
    QFETCH(QString, title);
    Client client("alice");
    client.Start();
    const auto peer = DialMessaging(*peerMessenger, false, user);
    QVERIFY(peer);

    ShareForm* tab = sharesForm->OpenShareBrowse(user.toStdString());
    QByteArray body;
    QVERIFY(peer->WaitForFrame(&body, kWaitMs));
    QCOMPARE(FakePeer::Frame(body), hexBytes("04000000 04000000"));
    // Again through the hook the forms below use; then another message, which comes next.
    FormHooks::BrowseUser(user.toStdString());
    peerMessenger->QueueDownload(user.toStdString(), "marker");
    QVERIFY(peer->WaitForFrame(&body, kWaitMs));
    QCOMPARE(body.left(4), hexBytes("2b000000"));
    auto* tabs = Part<QTabWidget>(sharesForm, "tabControl");
    QCOMPARE(tabs->count(), 1);
    QCOMPARE(tabs->tabText(0), title);
    QCOMPARE(tabs->currentWidget(), tab);
    QCOMPARE(client.Child<QTabWidget>("tabControl")->currentWidget(), client.Child("sharesTab"));

    // Closed: the share and every tie go; a list arriving later is dropped.
    Store(user, {{"music", {"a.mp3"}}});
    QCOMPARE(Count("user_share_folder_node"), size_t(1));
    Q_EMIT tabs->tabCloseRequested(0);
    sharedFoldersManager->WaitForShareLists();
    QCOMPARE(tabs->count(), 0);
    for (const char* type : {"user_share", "user_share_tab", "user_share_folder_node"})
        QCOMPARE(Count(type), size_t(0));
    Store(user, {{"music", {"a.mp3"}}});
    QCOMPARE(Count("user_share"), size_t(0));
    QCOMPARE(Count("user_share_folder"), size_t(0));
}

void tst_ShareBrowser::tree_data()
{
    QTest::addColumn<Folders>("folders");
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<int>("deepest");
    const QByteArrayList file{"f.mp3"};
    QTest::newRow("nested") << Folders{{"a", file}, {"a\\b", file}, {"a\\b\\c", file}}
                            << QStringList{"a", " b", "  c"} << 2;
    QTest::newRow("a parent the share lacks")
        << Folders{{"x\\y", file}, {"z", file}} << QStringList{"y", "z"} << 0;
    QTest::newRow("names as plain text")
        << Folders{{"Caf\xc3\xa9 & <b>co", file}} << QStringList{"Caf\u00e9 & <b>co"} << 0;
    QStringList chain;
    for (int i = 0; i < ShareForm::kMaxShareTreeDepth; ++i)
        chain << QString(i, ' ') + "d";
    QTest::newRow("as deep as rows nest")
        << Chain(ShareForm::kMaxShareTreeDepth) << chain << ShareForm::kMaxShareTreeDepth - 1;
    QTest::newRow("one deeper: a top-level row")
        << Chain(ShareForm::kMaxShareTreeDepth + 1) << QStringList(chain) + QStringList{"d"}
        << ShareForm::kMaxShareTreeDepth - 1;
    QTest::newRow("empty") << Folders{} << QStringList{} << 0;
}

void tst_ShareBrowser::tree()
{
    QFETCH(Folders, folders);
    QFETCH(QStringList, rows);
    QFETCH(int, deepest);
    Client client("alice");
    client.Start();
    ShareForm* tab = sharesForm->OpenShareBrowse("bob");
    // Looked at elsewhere: the share raises an alert.
    client.Child<QTabWidget>("tabControl")->setCurrentWidget(client.Child("searchTab"));
    Store("bob", folders);

    QCOMPARE(Rows(Part(tab, "folderTree")), rows);
    QCOMPARE(tab->DeepestLevel(), deepest);
    QCOMPARE(EventTexts(), QStringList{"bob"});
    auto* messages = Part<QTextBrowser>(tab, "messageBrowser");
    const bool empty = folders.isEmpty();
    QCOMPARE(messages->toPlainText().contains("No files returned."), empty);
    QCOMPARE(messages->isHidden(), !empty);
    QCOMPARE(Part(tab, "folderTree")->isHidden(), empty);
    QCOMPARE(Part<QLineEdit>(tab, "filterEdit")->isHidden(), empty);
}

void tst_ShareBrowser::expandLevel_data()
{
    QTest::addColumn<Folders>("folders");
    QTest::addColumn<QStringList>("clicks");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("open"); // each row with subfolders, + open or - shut
    const QByteArrayList f{"f.mp3"};
    const Folders levels{{"a", f}, {"a\\b", f}, {"a\\b\\c", f}, {"d", f}, {"d\\e", f}};
    const QString once = "Expand Level";
    QTest::newRow("once") << levels << QStringList{once} << "Expand Level [1]"
                          << "a+ b- d+";
    QTest::newRow("twice") << levels << QStringList{once, once} << "Expand Level [2]"
                           << "a+ b+ d+";
    QTest::newRow("past the deepest")
        << levels << QStringList{once, once, once} << "Expand Level [2]"
        << "a+ b+ d+";
    QTest::newRow("after Expand All: below the top shut")
        << levels << QStringList{"Collapse All", "Expand All", once} << "Expand Level [1]"
        << "a+ b- d+";
    QTest::newRow("all at the top")
        << Folders{{"a", f}, {"b", f}} << QStringList{once} << once << QString();
}

void tst_ShareBrowser::expandLevel()
{
    QFETCH(Folders, folders);
    QFETCH(QStringList, clicks);
    QFETCH(QString, text);
    QFETCH(QString, open);
    Client client("alice");
    client.Start();
    QTreeWidget* tree = Part(Browse("bob", folders), "folderTree");

    for (const QString& click : clicks)
        Click(tree, click);
    QVERIFY(client.BarTexts(tree).contains(text));
    QStringList states;
    for (QTreeWidgetItemIterator it(tree); *it; ++it) {
        if ((*it)->childCount() > 0)
            states << (*it)->text(0) + ((*it)->isExpanded() ? "+" : "-");
    }
    QCOMPARE(states.join(' '), open);
}

void tst_ShareBrowser::downloads_data()
{
    QTest::addColumn<Folders>("folders");
    QTest::addColumn<QByteArray>("folder");
    QTest::addColumn<QString>("how");
    QTest::addColumn<QStringList>("queued");
    const Folders f{{"F", {"f1.mp3"}},
                    {"F\\A", {"a1.mp3", "a2.mp3"}},
                    {"F\\A\\B", {"b1.mp3"}},
                    {"G", {"g1.mp3"}}};
    QTest::newRow("Download Folder on the top")
        << f << QByteArray("F") << "bar"
        << QStringList{"F\\A\\B\\b1.mp3:1", "F\\A\\a1.mp3:1", "F\\A\\a2.mp3:1", "F\\f1.mp3:0"};
    QTest::newRow("a double click below it")
        << f << QByteArray("A") << "double"
        << QStringList{"F\\A\\B\\b1.mp3:1", "F\\A\\a1.mp3:0", "F\\A\\a2.mp3:0"};
    QTest::newRow("Download File")
        << f << QByteArray("A") << "file" << QStringList{"F\\A\\a1.mp3:0"};
    // Deeper than rows nest, within what a received list may hold.
    QStringList chain;
    for (const auto& [path, files] : Chain(1000))
        chain << QString(path + "\\f.mp3:" + (path == "d" ? "0" : "1"));
    chain.sort();
    QTest::newRow("a chain 1000 deep, from the top")
        << Chain(1000) << QByteArray("d") << "bar" << chain;
}

void tst_ShareBrowser::downloads()
{
    QFETCH(Folders, folders);
    QFETCH(QByteArray, folder);
    QFETCH(QString, how);
    QFETCH(QStringList, queued);
    Client client("alice");
    client.Start();
    ShareForm* tab = Browse("bob", folders);
    QTreeWidget* tree = Part(tab, "folderTree");
    QTreeWidget* files = Part(tab, "fileList");
    Click(tree, "Expand All");
    Part<QLineEdit>(tab, "filterEdit")->setText("mp3");
    QCOMPARE(Rows(tree, true).size(), folders.size());
    tree->setCurrentItem(Row(tab, folder));
    if (how == "bar") {
        Click(tree, "Download Folder");
    } else if (how == "double") {
        Q_EMIT tree->itemDoubleClicked(tree->currentItem(), 0);
    } else {
        files->setCurrentItem(files->findItems("a1.mp3", Qt::MatchExactly).value(0));
        Click(files, "Download File");
    }
    transferQueueManager->FinishAddingDownloads();
    QCOMPARE(Queued(), queued);
    // The rows of the queued files in the list are marked.
    QVERIFY(files->topLevelItemCount() > 0);
    for (int i = 0; i < files->topLevelItemCount(); ++i) {
        QTreeWidgetItem* file = files->topLevelItem(i);
        QCOMPARE(!file->icon(0).isNull(), how != "file" || file->text(0) == "a1.mp3");
    }
    Q_EMIT Part<QTabWidget>(sharesForm, "tabControl")->tabCloseRequested(0);
    sharedFoldersManager->WaitForShareLists();
    QCOMPARE(Count("user_share_folder"), size_t(0));
}

void tst_ShareBrowser::filter_data()
{
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QStringList>("shown");
    QTest::addColumn<QByteArray>("current");
    QTest::addColumn<QStringList>("files");
    const QStringList noLive{"eight", "lackluster", "seven", "seven/more"};
    QTest::newRow("words over the folder and its files")
        << "lackluster container" << QStringList{"lackluster", "lackluster/live"}
        << QByteArray("lackluster") << QStringList{"container one.mp3"};
    QTest::newRow("excluded in a top folder's name")
        << "-live" << noLive << QByteArray("lackluster")
        << QStringList{"container one.mp3", "solo.mp3"};
    QTest::newRow("the current folder hidden")
        << "-live" << noLive << QByteArray("disc") << QStringList{};
    QTest::newRow("eight files in a folder")
        << "mfif:8" << QStringList{"eight", "seven", "seven/more"} << QByteArray("seven")
        << QStringList{"t2.mp3", "t3.mp3", "t4.mp3", "t5.mp3", "t6.mp3", "t7.mp3", "t8.mp3"};
}

void tst_ShareBrowser::filter()
{
    QFETCH(QString, filter);
    QFETCH(QStringList, shown);
    QFETCH(QByteArray, current);
    QFETCH(QStringList, files);
    QByteArrayList eight;
    for (int i = 1; i <= 8; ++i)
        eight << "t" + QByteArray::number(i) + ".mp3";
    Client client("alice");
    client.Start();
    ShareForm* tab = Browse("bob", {{"lackluster", {"container one.mp3", "solo.mp3"}},
                                    {"lackluster\\live", {"container live.mp3"}},
                                    {"live set", {"a.mp3"}},
                                    {"live set\\disc", {"container.mp3"}},
                                    {"eight", eight},
                                    {"seven", eight.mid(1)},
                                    {"seven\\more", eight}});
    Part(tab, "folderTree")->setCurrentItem(Row(tab, current));

    Part<QLineEdit>(tab, "filterEdit")->setText(filter);
    QCOMPARE(Rows(Part(tab, "folderTree"), true), shown);
    QCOMPARE(Texts(Part(tab, "fileList")), files);
    QCOMPARE(Count("user_share_file_node"), size_t(files.size()));
}

void tst_ShareBrowser::beforeTheShare_data()
{
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<bool>("told");
    QTest::newRow("messaging, the tab's user") << QByteArray("bob") << QByteArray("P") << true;
    QTest::newRow("a file connection") << QByteArray("bob") << QByteArray("F") << false;
    QTest::newRow("another user") << QByteArray("carol") << QByteArray("P") << false;
}

void tst_ShareBrowser::beforeTheShare()
{
    QFETCH(QByteArray, user);
    QFETCH(QByteArray, type);
    QFETCH(bool, told);
    Client client("alice");
    client.Start();
    Settings::Set(SettingKeys::ListeningPort, "2240");
    ShareForm* tab = sharesForm->OpenShareBrowse("bob");
    tab->BrowseToFolder("music\\rock");
    client.Child<QTabWidget>("tabControl")->setCurrentWidget(client.Child("searchTab"));
    for (int i = 0; i < 2; ++i)
        Q_EMIT peerMessenger->ConnectionToUserFailed(user.toStdString(), type.toStdString());

    auto* messages = Part<QTextBrowser>(tab, "messageBrowser");
    QCOMPARE(messages->toHtml().count("porttest.php"), told ? 1 : 0);
    QCOMPARE(messages->toHtml().contains("href=\"http://" QV_WEB_HOST "/porttest.php?port=2240\""),
             told);
    QCOMPARE(EventTexts(), told ? QStringList{"bob"} : QStringList{});

    // The share, coming after all: the tree with the folder asked for chosen; a failure now
    // adds nothing.
    Store("bob", {{"music", {"m.mp3"}}, {"music\\rock", {"r1.mp3", "r2.mp3"}}});
    QCOMPARE(Part(tab, "folderTree")->currentItem(), Row(tab, "rock"));
    QCOMPARE(Texts(Part(tab, "fileList")), (QStringList{"r1.mp3", "r2.mp3"}));
    const QString before = messages->toHtml();
    Q_EMIT peerMessenger->ConnectionToUserFailed("bob", "P");
    QCOMPARE(messages->toHtml(), before);
}

void tst_ShareBrowser::alertsShowTheName_data()
{
    // The alert of each outcome of a browse looked at from elsewhere: the share, an empty one, a
    // connection that failed.
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<QString>("outcome");
    for (const char* user : {"bob", "R&B", "&&", "a\nb"}) {
        for (const char* outcome : {"share", "empty", "failed"})
            QTest::addRow("%s, %s", user, outcome) << QByteArray(user) << QString(outcome);
    }
}

void tst_ShareBrowser::alertsShowTheName()
{
    QFETCH(QByteArray, user);
    QFETCH(QString, outcome);
    Client client("alice");
    client.Start();
    sharesForm->OpenShareBrowse(user.toStdString());
    client.Child<QTabWidget>("tabControl")->setCurrentWidget(client.Child("searchTab"));
    if (outcome == "failed")
        Q_EMIT peerMessenger->ConnectionToUserFailed(user.toStdString(), "P");
    else
        Store(user, outcome == "share" ? Folders{{"music", {"m.mp3"}}} : Folders{});

    // The button reads as the name is written, "&" and all, on one line.
    const QString name = QString::fromLatin1(user).replace('\n', ' ');
    QCOMPARE(EventTexts(), QStringList{EscapeMnemonics(name)});
    for (QAction* action : eventToolBar->actions()) {
        if (!action->text().isEmpty())
            QCOMPARE(action->iconText(), name);
    }
}

void tst_ShareBrowser::rowsAreOneLine_data()
{
    // A folder's path and its file's name as the peer sent them, and as their rows read.
    QTest::addColumn<QByteArray>("folder");
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("folderRow");
    QTest::addColumn<QString>("fileRow");
    QTest::newRow("line breaks") << QByteArray("music\\a\nb\rc")
                                 << QByteArray("song.mp3\nmallory  Y  fake0.mp3\n") << "a b c"
                                 << "song.mp3 mallory  Y  fake0.mp3 ";
    QTest::newRow("line and paragraph separators")
        << QByteArray("x\xe2\x80\xa8y") << QByteArray("p\xe2\x80\xa9q.mp3") << "x y"
        << "p q.mp3";
    QTest::newRow("direction controls") << QByteArray("\xe2\x80\xae"
                                                      "evil")
                                        << QByteArray("a\xe2\x81\xa6"
                                                      "b\xe2\x81\xa9.mp3")
                                        << "\ufffdevil"
                                        << "a\ufffdb\ufffd.mp3";
    const QByteArray longName(3 * kMaxCellChars, 'n');
    QTest::newRow("long") << longName << longName + ".mp3"
                          << QString(kMaxCellChars - 1, 'n') + "\u2026"
                          << QString(kMaxCellChars - 1, 'n') + "\u2026";
}

void tst_ShareBrowser::rowsAreOneLine()
{
    QFETCH(QByteArray, folder);
    QFETCH(QByteArray, file);
    QFETCH(QString, folderRow);
    QFETCH(QString, fileRow);
    Client client("alice");
    client.Start();
    ShareForm* tab = Browse("bob", {{"plain", {"plain.mp3"}}, {folder, {file}}});
    client.Child<QTabWidget>("tabControl")->setCurrentWidget(client.Child("sharesTab"));
    QTreeWidget* tree = Part(tab, "folderTree");
    QTreeWidgetItem* row = Row(tab, folderRow);
    QVERIFY(row);
    tree->setCurrentItem(row);
    QTreeWidget* files = Part(tab, "fileList");
    QCOMPARE(Texts(files), QStringList{fileRow});
    // As high as a plain row.
    const int plain = tree->visualItemRect(Row(tab, "plain")).height();
    QCOMPARE(tree->visualItemRect(row).height(), plain);
    QCOMPARE(files->visualItemRect(files->topLevelItem(0)).height(), plain);
    // Downloaded as the peer named it.
    Q_EMIT files->itemDoubleClicked(files->topLevelItem(0), 0);
    QCOMPARE(Queued(), QStringList{QString::fromUtf8(folder + "\\" + file + ":0")});
}

namespace {

// Every download in the order it was made, with its level and status.
QStringList QueuedInOrder()
{
    QStringList queued;
    for (Item* entry :
         d.GetType("download_entry")->GetItems().SortNumericBy("download_order", true)) {
        const ItemPtr e(entry);
        queued << QString::fromStdString(
            e["remote_folder"].AsString() + "\\" + e["file_name"].AsString() + ":" +
            e["subfolder_save_level"].AsString() + " " + e["download_entry_status"].AsString());
    }
    return queued;
}

} // namespace

void tst_ShareBrowser::downloadFolderInSlices_data()
{
    QTest::addColumn<int>("steps"); // steps (a folder's downloads) a slice; 0: by time alone
    QTest::addColumn<QString>("then");
    QTest::newRow("a folder a slice") << 1 << "wait";
    QTest::newRow("three a slice") << 3 << "wait";
    QTest::newRow("the tab closed while slices are pending") << 1 << "close";
    QTest::newRow("a quit while slices are pending") << 1 << "quit";
}

void tst_ShareBrowser::downloadFolderInSlices()
{
    QFETCH(int, steps);
    QFETCH(QString, then);
    const Folders share{{"F", {"f1.mp3", "f2.mp3"}},
                        {"F\\A", {"a1.mp3", "a2.mp3", "a3.mp3"}},
                        {"F\\A\\B", {"b1.mp3"}},
                        {"F\\C", {"c1.mp3", "c2.mp3"}},
                        {"G", {"g1.mp3"}}};
    const auto queue = [&share](int perSlice, const QString& how, QStringList* log,
                                QStringList* queued) {
        Client client("alice");
        client.Start();
        ShareForm* tab = Browse("bob", share);
        QTreeWidget* tree = Part(tab, "folderTree");
        tree->setCurrentItem(Row(tab, "F"));
        LogLines lines("Transfer Queue");
        const TurnBudget::StepsForTesting sliced(perSlice);
        Click(tree, "Download Folder");
        if (perSlice > 0)
            QVERIFY(transferQueueManager->DownloadBatchesForTesting().IsBusy());
        if (how == "close") {
            Q_EMIT Part<QTabWidget>(sharesForm, "tabControl")->tabCloseRequested(0);
        } else if (how == "quit") {
            // Every download asked for is in the store file the quit saved: the share's tree
            // is not saved, the downloads' names are.
            client.window.reset();
            QFile saved(client.home.StorePath());
            QVERIFY(saved.open(QIODevice::ReadOnly));
            const QByteArray bytes = saved.readAll();
            for (const auto& [path, files] : share) {
                for (const QByteArray& name : files)
                    queued->append(path.startsWith("F") && bytes.contains(name) ? name : "");
            }
            return;
        }
        QTRY_VERIFY(!transferQueueManager->DownloadBatchesForTesting().IsBusy());
        *log = lines.lines;
        *queued = QueuedInOrder();
    };
    QStringList onceLog;
    QStringList once;
    queue(0, "wait", &onceLog, &once);
    QCOMPARE(once.size(), 8);
    QCOMPARE(once.first(), QStringLiteral("F\\f1.mp3:0 queued"));
    QStringList slicedLog;
    QStringList sliced;
    queue(steps, then, &slicedLog, &sliced);
    if (then == "quit") {
        sliced.removeAll(QString());
        QCOMPARE(sliced.size(), once.size());
        return;
    }
    QCOMPARE(sliced, once);
    QCOMPARE(slicedLog, onceLog);
}

void tst_ShareBrowser::treeBuiltInSlices_data()
{
    QTest::addColumn<int>("rows"); // steps (a path taken or a row made) a slice
    QTest::addColumn<QString>("then");
    QTest::newRow("a row a slice") << 1 << "wait";
    QTest::newRow("seven a slice") << 7 << "wait";
    QTest::newRow("a folder chosen while slices are pending") << 2 << "choose";
    QTest::newRow("the tab closed while slices are pending") << 1 << "close";
    QTest::newRow("the share removed while slices are pending") << 1 << "remove";
    QTest::newRow("a quit while slices are pending") << 1 << "quit";
    QTest::newRow("a quit after the tab closed, its share still going") << 1 << "close, quit";
}

void tst_ShareBrowser::treeBuiltInSlices()
{
    QFETCH(int, rows);
    QFETCH(QString, then);
    // Out of path order in the store, a folder whose parent is missing, nesting past the cap.
    Folders share{{"Music\\Rock\\Live", {"l.mp3"}},
                  {"Music", {}},
                  {"Films\\Old", {"o.avi"}},
                  {"Music\\Jazz", {"j1.mp3", "j2.mp3"}},
                  {"Music\\Rock", {"r.mp3"}}};
    share += Chain(ShareForm::kMaxShareTreeDepth + 3);
    struct Shown
    {
        QStringList rows;
        QStringList log;
        QString current;
        size_t nodes = 0;
        int deepest = 0;
        bool treeShown = false;
    };
    const auto browse = [&share](int perSlice, const QString& how, Shown* shown) {
        Client client("alice");
        client.Start();
        LogLines log;
        ShareForm* tab = sharesForm->OpenShareBrowse("bob");
        const TurnBudget::StepsForTesting sliced(perSlice);
        QPointer<ShareForm> open(tab);
        // The share, built in the store at once; the tab's tree a slice at a time.
        FileInfoMap map;
        for (const auto& [path, files] : share) {
            std::set<FileInfo>& records = map[path.toStdString()];
            for (const QByteArray& name : files)
                records.insert(FileInfo(name.toStdString(), name.size(), AttributeMap("mp3")));
        }
        sharedFoldersManager->OnUserShare("bob", map, AttributeTranslationTable());
        sharedFoldersManager->WaitForShareLists();
        if (perSlice > 0)
            QVERIFY(tab->IsBuildingTree());
        if (how == "choose") {
            tab->BrowseToFolder("Music\\Rock");
        } else if (how == "close") {
            Q_EMIT Part<QTabWidget>(sharesForm, "tabControl")->tabCloseRequested(0);
        } else if (how == "remove") {
            sharedFoldersManager->RemoveUserShare("bob");
        } else if (how.endsWith("quit")) {
            // Slices still pending: the tree's, or the closed tab's share being removed.
            if (how.startsWith("close"))
                Q_EMIT Part<QTabWidget>(sharesForm, "tabControl")->tabCloseRequested(0);
            client.window.reset();
            QVERIFY(!open);
            return;
        }
        QTRY_VERIFY(!open || !tab->IsBuildingTree());
        sharedFoldersManager->WaitForShareLists();
        shown->log = log.lines;
        shown->nodes = Count("user_share_folder_node");
        if (!open)
            return;
        QTreeWidget* tree = Part(tab, "folderTree");
        shown->rows = Rows(tree);
        shown->current = tree->currentItem() ? tree->currentItem()->text(0) : QString();
        shown->deepest = tab->DeepestLevel();
        shown->treeShown = tree->isVisibleTo(tab);
    };
    Shown once;
    browse(0, then == "choose" ? "choose" : "wait", &once);
    QCOMPARE(once.rows.size(), share.size());
    QCOMPARE(once.rows.mid(0, 4), (QStringList{"Old", "Music", " Jazz", " Rock"}));
    QCOMPARE(once.deepest, ShareForm::kMaxShareTreeDepth - 1);
    QCOMPARE(once.nodes, size_t(share.size()));
    QVERIFY(once.treeShown);

    Shown sliced;
    browse(rows, then, &sliced);
    if (then.endsWith("quit"))
        return;
    QCOMPARE(sliced.log, once.log);
    if (then == "close" || then == "remove") {
        // Nothing shows, and nothing is left of the tree in the store once the share is gone.
        QVERIFY(sliced.rows.isEmpty());
        QCOMPARE(sliced.nodes, size_t(0));
        return;
    }
    QCOMPARE(sliced.rows, once.rows);
    QCOMPARE(sliced.current, once.current);
    QCOMPARE(sliced.nodes, once.nodes);
    QCOMPARE(sliced.deepest, once.deepest);
    QCOMPARE(sliced.treeShown, once.treeShown);
}

void tst_ShareBrowser::closedTreesGoLater_data()
{
    QTest::addColumn<int>("folders");
    QTest::addColumn<int>("depth");
    QTest::addColumn<bool>("quit");
    QTest::addColumn<bool>("alert");
    QTest::newRow("a few") << 3 << 1 << false << false;
    QTest::newRow("wide and deep, expanded")
        << 2000 << ShareForm::kMaxShareTreeDepth << false << false;
    QTest::newRow("its alert on the bar") << 3 << 1 << false << true;
    QTest::newRow("a quit before it goes") << 2000 << 8 << true << false;
}

void tst_ShareBrowser::closedTreesGoLater()
{
    QFETCH(int, folders);
    QFETCH(int, depth);
    QFETCH(bool, quit);
    QFETCH(bool, alert);
    Client client("alice");
    client.Start();
    Settings::Set(SettingKeys::ExpandNewShares, "yes");
    Folders share = Chain(depth);
    for (int i = 0; i < folders - 1; ++i)
        share << qMakePair("top" + QByteArray::number(i), QByteArrayList{"t.mp3"});
    ShareForm* tab = sharesForm->OpenShareBrowse("bob");
    // Looked at elsewhere, the share raises an alert that leads to the tab's tree.
    if (alert)
        client.Child<QTabWidget>("tabControl")->setCurrentWidget(client.Child("searchTab"));
    Store("bob", share);
    QPointer<QTreeWidget> tree(Part(tab, "folderTree"));
    QCOMPARE(tree->topLevelItemCount(), folders);
    QCOMPARE(EventTexts().size(), alert ? 1 : 0);
    QPointer<ShareForm> open(tab);

    Q_EMIT Part<QTabWidget>(sharesForm, "tabControl")->tabCloseRequested(0);
    // The tab and its alert are gone at once, the tree hidden until the next turn deletes it.
    QVERIFY(!open);
    QVERIFY(EventTexts().isEmpty());
    QVERIFY(tree && !tree->isVisible());
    QCOMPARE(sharesForm->ClosedTreeCount(), size_t(1));
    if (quit) {
        // The window deletes it as it goes (the leak check sees anything it did not).
        client.window.reset();
        QVERIFY(!tree);
        return;
    }
    QTRY_VERIFY(!tree);
    QCOMPARE(sharesForm->ClosedTreeCount(), size_t(0));
    sharedFoldersManager->WaitForShareLists();
    QCOMPARE(Count("user_share_folder_node"), size_t(0));
    QCOMPARE(Count("user_share_folder"), size_t(0));
    // A browse of the same user again makes a tree of its own.
    QCOMPARE(Part(Browse("bob", share), "folderTree")->topLevelItemCount(), folders);
}

void tst_ShareBrowser::aClosedTabsListIsDropped_data()
{
    // The files of the list bob had when first asked, each named 64 KiB long: 70 make a list
    // read on a thread of its own.
    QTest::addColumn<int>("oldFiles");
    QTest::addColumn<bool>("browsedAgain");
    QTest::newRow("read on its thread, browsed again") << 70 << true;
    QTest::newRow("read at once, browsed again") << 1 << true;
    QTest::newRow("read on its thread, not browsed again") << 70 << false;
}

void tst_ShareBrowser::aClosedTabsListIsDropped()
{
    QFETCH(int, oldFiles);
    QFETCH(bool, browsedAgain);
    Client client("alice");
    client.Start();
    LogLines log;
    const auto peer = DialMessaging(*peerMessenger, false, "bob");
    QVERIFY(peer);
    const auto list = [](const QByteArray& folder, int files) {
        WireWriter body;
        body.u32(1).str(folder).u32(quint32(files));
        for (int i = 0; i < files; ++i)
            body.u8(1).str(QByteArray::number(i) + QByteArray(65536, 'n')).u64(1).str("").u32(0);
        return FakePeer::Frame(WireWriter().u32(5).raw(Zlib(body.u32(0))));
    };
    auto* tabs = Part<QTabWidget>(sharesForm, "tabControl");
    sharesForm->OpenShareBrowse("bob");
    QByteArray ask;
    QVERIFY(peer->WaitForFrame(&ask, kWaitMs));
    // Closed before the list came, and maybe browsed again; then bob's list of that first ask,
    // and today's for every ask after it.
    Q_EMIT tabs->tabCloseRequested(0);
    QPointer<ShareForm> tab = browsedAgain ? sharesForm->OpenShareBrowse("bob") : nullptr;
    peer->SendRaw(list("Old", oldFiles));
    const auto shows = [&] {
        for (QByteArray body; peer->WaitForFrame(&body, 1);) {
            if (body == ask)
                peer->SendRaw(list("New", 1));
        }
        return tab && Rows(Part(tab, "folderTree")) == QStringList{"New"};
    };
    QTRY_VERIFY(log.Has("Received shared file list from user bob"));
    if (browsedAgain)
        QTRY_VERIFY_WITH_TIMEOUT(shows(), kWaitMs);
    peerMessenger->WaitForShareLists();
    sharedFoldersManager->WaitForShareLists();
    QTest::qWait(50);
    QCOMPARE(tabs->count(), browsedAgain ? 1 : 0);
    QCOMPARE(Count("user_share"), size_t(browsedAgain ? 1 : 0));
    if (browsedAgain)
        QCOMPARE(Rows(Part(tab, "folderTree")), QStringList{"New"});
}

QTEST_MAIN(tst_ShareBrowser)
#include "tst_sharebrowser.moc"

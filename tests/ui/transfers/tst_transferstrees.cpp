// The downloads and uploads trees in the running window, their entries made by the transfer
// engine: rows made and dropped with the entries, the loaded ones in their order, an entry whose
// links are made anew; and what rows show: statuses and their summaries, colours, bars, time left
// and where the speed goes.

#include "TransfersPage.h"

#include "peer/PeerMessages.h"
#include "peer/PeerMessenger.h"
#include "shell/FormHooks.h"
#include "store/TurnBudget.h"
#include "support/PeerDial.h"
#include "ui/transfers/ProgressDelegate.h"

#include <QHeaderView>

#include <map>

namespace {

using Page = TransfersPage;

// The turn's first rows that join the tree at once, the rest waiting: slices cut that short.
constexpr int kRowsAtOnce = 64;

QStringList Children(QTreeWidgetItem* row, int column)
{
    QStringList texts;
    for (int i = 0; i < row->childCount(); ++i)
        texts << row->child(i)->text(column);
    return texts;
}

size_t Count(const char* type)
{
    return d.GetType(type)->ItemCount();
}

// New folder and user rows of the downloads tree start collapsed, as the tool bar can have them.
void CollapseNewRows(Client& client, QWidget* tree)
{
    client.Trigger(tree, "Expand Folders [on]");
    client.Trigger(tree, "Expand Users [on]");
}

// The colour a setting holds.
QColor Colour(const QString& key)
{
    const std::string name = key.toStdString();
    return QColor(QString::fromStdString(Settings::Text({name.c_str()})));
}

} // namespace

class tst_TransfersTrees : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void rowsFollowEntries();
    void loadedInTheirOrder();
    void linksMadeAnewKeepTheRow_data();
    void linksMadeAnewKeepTheRow();
    void statuses_data();
    void statuses();
    void summariesFollowEveryChange_data();
    void summariesFollowEveryChange();
    void progress_data();
    void progress();
    void timeLeft_data();
    void timeLeft();
    void speedInTheLowestRowInView_data();
    void speedInTheLowestRowInView();
    void finishedDownloadFromAPeer_data();
    void finishedDownloadFromAPeer();
};

void tst_TransfersTrees::initTestCase()
{
    TurnBudget::SetStepsPerSliceForTesting(TurnBudget::kAtOnceForTesting);
}

void tst_TransfersTrees::rowsFollowEntries()
{
    Page page;
    QTreeWidget* tree = page.Downloads();
    QCOMPARE(tree->headerItem()->text(5), QString("   ETA"));
    QCOMPARE(tree->columnCount(), 9);
    QCOMPARE(page.Uploads()->columnCount(), 8);
    QVERIFY(tree->uniformRowHeights());
    QVERIFY(qobject_cast<ProgressDelegate*>(tree->itemDelegateForColumn(4)));

    ItemPtr a = Page::Download("bob", "Music\\Album", "a.mp3");
    ItemPtr b = Page::Download("bob", "Music\\Album", "b.mp3");
    ItemPtr c = Page::Download("carol", "Music\\Album", "a.mp3", 2500000);
    // Two users from one remote folder: a folder row each, both on the one folder item.
    QCOMPARE(tree->topLevelItemCount(), 2);
    QCOMPARE(d.GetType("remote_folder")
                 ->HasItem(Value("Music\\Album"))
                 .GetItems("download_list_folder_node")
                 .size(),
             size_t(2));
    QCOMPARE(Page::UserRow(a)->text(0), QString("bob"));
    QCOMPARE(Page::FolderRow(a)->text(1), QString("Album/Music"));
    QCOMPARE(Children(Page::FolderRow(a), 2), (QStringList{"a.mp3", "b.mp3"}));
    QCOMPARE(Page::Texts(Page::Row(c)),
             (QStringList{"", "", "a.mp3", "queued", "", "", "", "2,500,000", ""}));
    QCOMPARE(Page::UserRow(c)->text(0), QString("carol"));

    // The last file of a folder takes the folder row, the last folder the user row.
    transferQueueManager->RemoveDownload(a);
    QCOMPARE(Children(Page::FolderRow(b), 2), QStringList{"b.mp3"});
    transferQueueManager->RemoveDownload(b);
    QCOMPARE(tree->topLevelItemCount(), 1);
    QCOMPARE(tree->topLevelItem(0)->text(0), QString("carol"));
    for (const char* node :
         {"download_list_user_node", "download_list_folder_node", "download_list_node"})
        QVERIFY2(Count(node) == 1, node);
}

void tst_TransfersTrees::loadedInTheirOrder()
{
    auto page = std::make_unique<Page>();
    const char* const names[] = {"x.mp3", "y.mp3", "z.mp3"};
    const int orders[] = {300, 100, 200};
    for (int i = 0; i < 3; ++i) {
        ItemPtr entry = Page::Download("bob", "Music", names[i]);
        entry += d.GetType("download_order")->GetItem(Value(orders[i]));
    }
    page->Restart();
    QTreeWidget* tree = page->Downloads();
    QCOMPARE(tree->topLevelItemCount(), 1);
    QCOMPARE(Children(tree->topLevelItem(0)->child(0), 2),
             (QStringList{"y.mp3", "z.mp3", "x.mp3"}));
    QCOMPARE(Children(tree->topLevelItem(0)->child(0), 3),
             (QStringList{"queued", "queued", "queued"}));
}

void tst_TransfersTrees::linksMadeAnewKeepTheRow_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QStringList>("shown"); // status and size
    // The peer offers it with another size: the download ends, its size stays.
    QTest::newRow("offered with another size") << "offer" << QStringList{"aborted", "1,000"};
    QTest::newRow("its size linked anew") << "size" << QStringList{"queued", "3,000"};
    QTest::newRow("moved to another folder") << "folder" << QStringList{"queued", "1,000"};
}

void tst_TransfersTrees::linksMadeAnewKeepTheRow()
{
    QFETCH(QString, how);
    QFETCH(QStringList, shown);
    Page page;
    ItemPtr entry = Page::Download("bob", "Music", "a.mp3");
    if (how == "offer")
        transferQueueManager->OnFileTransferRequest("bob", 1, 7, "Music\\a.mp3", 2000);
    else if (how == "size")
        entry += d.GetType("file_size")->GetItem(Value(3000));
    else
        entry += d.GetType("remote_folder")->GetItem(Value("Films"));

    QCOMPARE(Count("download_list_node"), size_t(1));
    QTreeWidgetItem* row = Page::Row(entry);
    QVERIFY(row);
    QCOMPARE((QStringList{row->text(3), row->text(7)}), shown);
    QTreeWidget* tree = page.Downloads();
    QCOMPARE(tree->topLevelItemCount(), 1);
    QCOMPARE(tree->topLevelItem(0)->childCount(), 1);
    QCOMPARE(Page::FolderRow(entry)->text(1), QString(how == "folder" ? "Films" : "Music"));
    // The one row goes with its entry.
    transferQueueManager->RemoveDownload(entry);
    QCOMPARE(tree->topLevelItemCount(), 0);
}

void tst_TransfersTrees::statuses_data()
{
    // The entries of one folder: the first with its status (a denial with the peer's reason),
    // the others as listed; then the first one's text and colour, and the summary the folder and
    // user rows show once refreshed, and its colour.
    QTest::addColumn<QStringList>("statuses");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("colour");
    QTest::addColumn<QString>("summary");
    QTest::addColumn<QString>("summaryColour");
    const QString failed = "color_transfer_failed";
    const QString complete = "color_transfer_complete";
    QTest::newRow("denied, with the reason")
        << QStringList{"denied"} << "file not shared." << failed << "denied" << failed;
    QTest::newRow("complete and local error")
        << QStringList{"complete", "local error"} << "complete" << complete << ""
        << "color_transfer_other";
    QTest::newRow("complete and aborted")
        << QStringList{"complete", "aborted"} << "complete" << complete << "aborted" << failed;
    QTest::newRow("all complete") << QStringList{"complete", "complete"} << "complete" << complete
                                  << "complete" << complete;
    QTest::newRow("one still queued")
        << QStringList{"aborted", "queued"} << "aborted" << failed << "queued"
        << "color_transfer_queued";
    QTest::newRow("one running") << QStringList{"queued", "downloading"} << "queued"
                                 << "color_transfer_queued"
                                 << "downloading"
                                 << "color_transfer_in_progress";
}

void tst_TransfersTrees::statuses()
{
    QFETCH(QStringList, statuses);
    QFETCH(QString, text);
    QFETCH(QString, colour);
    QFETCH(QString, summary);
    QFETCH(QString, summaryColour);
    Page page;
    CollapseNewRows(page.client, page.Downloads());
    QCOMPARE(page.client.BarTexts(page.Downloads()),
             (QStringList{"Expand Folders [off]", "Expand Users [off]", "Clear Complete",
                          "Complete Downloads"}));
    ItemList entries;
    for (int i = 0; i < statuses.size(); ++i) {
        ItemPtr entry = Page::Download("bob", "Music", qPrintable(QString("%1.mp3").arg(i)));
        entries.push_back(entry);
        if (statuses[i] == "denied")
            transferQueueManager->OnUploadDeniedNotification("bob", "Music\\0.mp3",
                                                             "File not Shared.");
        else
            Page::SetStatus(entry, qPrintable(statuses[i]));
    }
    QTreeWidgetItem* row = Page::Row(entries.front());
    QCOMPARE(row->text(3), text);
    QCOMPARE(row->foreground(2).color(), Colour(colour));

    // The rows above wait for the refresh.
    QTreeWidgetItem* folder = Page::FolderRow(entries.front());
    QCOMPARE(folder->text(3), QString());
    transfersForm->RefreshMarkedRows();
    for (QTreeWidgetItem* group : {folder, folder->parent()}) {
        QCOMPARE(group->text(3), summary);
        QCOMPARE(group->foreground(0).color(), Colour(summaryColour));
    }

    // The colour dialog's save: every row takes the colours anew.
    for (const QString& key : {colour, summaryColour})
        Settings::Set({qPrintable(key)}, "#123456");
    FormHooks::RecolourTransfers();
    for (QTreeWidgetItem* recoloured : {row, folder, folder->parent()})
        QCOMPARE(recoloured->foreground(0).color(), QColor("#123456"));
}

void tst_TransfersTrees::summariesFollowEveryChange_data()
{
    // Steps on bob's downloads in two folders, each "folder/file status" (a new download, or a
    // status for one there) or "folder/file gone"; after each step and a refresh, every folder
    // and user row sums up the entries under it as they are then.
    QTest::addColumn<QStringList>("steps");
    QTest::newRow("a status changes after a refresh")
        << QStringList{"A/1 queued",  "A/2 complete",    "B/3 complete", "A/1 complete",
                       "B/3 aborted", "A/2 downloading", "A/2 complete"};
    QTest::newRow("downloads come and go")
        << QStringList{"A/1 complete", "B/2 queued",   "B/2 gone",       "A/3 denied",
                       "A/1 gone",     "A/3 complete", "B/4 local error"};
    QTest::newRow("the last of a folder goes")
        << QStringList{"A/1 aborted", "B/2 downloading", "B/2 gone", "A/5 complete"};
}

void tst_TransfersTrees::summariesFollowEveryChange()
{
    QFETCH(QStringList, steps);
    Page page;
    CollapseNewRows(page.client, page.Downloads());
    std::map<QString, ItemPtr> entries;
    for (const QString& step : steps) {
        const QString file = step.section(' ', 0, 0);
        const QString status = step.section(' ', 1);
        ItemPtr& entry = entries[file];
        if (status == "gone") {
            transferQueueManager->RemoveDownload(entry);
            entries.erase(file);
        } else {
            if (!entry)
                entry = Page::Download("bob", qPrintable(file.section('/', 0, 0)),
                                       qPrintable(file.section('/', 1)));
            Page::SetStatus(entry, qPrintable(status));
        }
        transfersForm->RefreshMarkedRows();
        for (QTreeWidgetItemIterator it(page.Downloads()); *it; ++it) {
            if ((*it)->childCount() == 0)
                continue;
            const ItemSet under = transfersForm->GetNodeDownloadEntryItems(*it);
            QCOMPARE((*it)->text(3), transfersForm->GetDownloadEntriesAggregateStatus(under));
        }
    }
}

void tst_TransfersTrees::progress_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<qint64>("position");
    QTest::addColumn<int>("speed");
    QTest::addColumn<QStringList>("shown"); // bar text, time left, speed
    QTest::addColumn<int>("value");
    QTest::newRow("1,500 of 4,000") << qint64(4000) << qint64(1500) << 1000
                                    << QStringList{"1,500 (37.5%)", "   2s", "1.0"} << 37;
    QTest::newRow("2560 B/s") << qint64(1 << 20) << qint64(0) << 2560
                              << QStringList{" (0.0%)", "   6m:49s", "2.5"} << 0;
    // Nothing to divide by: no share of it, and no time left.
    QTest::newRow("an empty file")
        << qint64(0) << qint64(0) << 100 << QStringList{" (0.0%)", "   0s", "0.1"} << 0;
    QTest::newRow("past the end") << qint64(1000) << qint64(1500) << 100
                                  << QStringList{"1,500 (100.0%)", "   0s", "0.1"} << 100;
    QTest::newRow("no speed") << qint64(4000) << qint64(1000) << 0
                              << QStringList{"1,000 (25.0%)", "   0s", "0.0"} << 25;
}

void tst_TransfersTrees::progress()
{
    QFETCH(qint64, size);
    QFETCH(qint64, position);
    QFETCH(int, speed);
    QFETCH(QStringList, shown);
    QFETCH(int, value);
    Page page;
    ItemPtr entry = Page::Download("bob", "Music", "a.mp3", size);
    Page::SetStatus(entry, "downloading");
    Page::Report(entry, position, speed);
    QTreeWidgetItem* row = Page::Row(entry);
    QCOMPARE(Page::BarValue(row), QVariant(value));
    QCOMPARE((QStringList{Page::BarText(row), row->text(5), row->text(6)}), shown);
    QVERIFY(!Page::BarText(Page::FolderRow(entry)).contains("nan"));
    QCOMPARE(Page::BarValue(Page::FolderRow(entry)), size > 0 ? QVariant(value) : QVariant());
}

void tst_TransfersTrees::timeLeft_data()
{
    QTest::addColumn<qint64>("seconds");
    QTest::addColumn<QString>("text");
    QTest::newRow("none") << qint64(0) << "   0s";
    QTest::newRow("59 s") << qint64(59) << "   59s";
    QTest::newRow("a minute") << qint64(60) << "   1m:0s";
    QTest::newRow("1 h 2 min 5 s") << qint64(3725) << "   1h:2m:5s";
    QTest::newRow("hours past a day") << qint64(90061) << "   25h:1m:1s";
}

void tst_TransfersTrees::timeLeft()
{
    QFETCH(qint64, seconds);
    QFETCH(QString, text);
    QCOMPARE(TransfersForm::TimeLeftText(seconds), text);
}

void tst_TransfersTrees::speedInTheLowestRowInView_data()
{
    QTest::addColumn<bool>("twoFolders");
    QTest::addColumn<QString>("collapsed");
    QTest::addColumn<QString>("speedIn"); // the row that shows the speed
    QTest::addColumn<bool>("userRowBar"); // whether the user row shows figures
    QTest::newRow("all open, one folder") << false << ""
                                          << "file" << false;
    QTest::newRow("all open, two folders") << true << ""
                                           << "file" << true;
    QTest::newRow("folder shut") << false << "folder"
                                 << "folder" << false;
    QTest::newRow("user shut") << false << "user"
                               << "user" << true;
}

void tst_TransfersTrees::speedInTheLowestRowInView()
{
    QFETCH(bool, twoFolders);
    QFETCH(QString, collapsed);
    QFETCH(QString, speedIn);
    QFETCH(bool, userRowBar);
    Page page;
    ItemPtr entry = Page::Download("bob", "Music", "a.mp3", 4000);
    ItemPtr other = twoFolders ? Page::Download("bob", "Films", "b.avi") : ItemPtr();
    Page::SetStatus(entry, "downloading");
    QTreeWidgetItem* file = Page::Row(entry);
    QTreeWidgetItem* folder = Page::FolderRow(entry);
    QTreeWidgetItem* user = Page::UserRow(entry);
    if (collapsed == "folder")
        folder->setExpanded(false);
    if (collapsed == "user")
        user->setExpanded(false);
    // The summary is shown at once on collapsing.
    QCOMPARE((collapsed == "user" ? user : folder)->text(3),
             collapsed.isEmpty() ? QString() : QString("downloading"));

    Page::Report(entry, 1000, 2560);
    const QMap<QString, QTreeWidgetItem*> rows{{"file", file}, {"folder", folder}, {"user", user}};
    for (auto it = rows.begin(); it != rows.end(); ++it)
        QCOMPARE(it.value()->text(6), QString(it.key() == speedIn ? "2.5" : ""));
    QCOMPARE(Page::BarValue(folder), QVariant(25));
    QCOMPARE(Page::BarValue(user).isValid(), userRowBar);
    // The user's bytes still to come at this entry's speed.
    QCOMPARE(user->text(5), QString(userRowBar ? "   1s" : ""));
    if (other) {
        // The other folder's download finishes: the user's sums take it in.
        QCOMPARE(Page::BarValue(user), QVariant(20));
        Page::SetStatus(other, "complete");
        Page::Report(entry, 1000, 2560);
        QCOMPARE(Page::BarValue(user), QVariant(40));
    }

    // Opening a row blanks its figures until the next report.
    for (QTreeWidgetItem* row : {user, folder}) {
        row->setExpanded(false);
        row->setExpanded(true);
        QCOMPARE(Page::BarValue(row), QVariant());
        QCOMPARE((QStringList{row->text(3), row->text(5), row->text(6)}),
                 (QStringList{"", "", ""}));
    }
}

void tst_TransfersTrees::finishedDownloadFromAPeer_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("bar"); // the file row's; none: empty
    QTest::addColumn<int>("before");  // downloads of the folder queued first in the same turn
    QTest::addColumn<QString>("folderBar");
    QTest::newRow("40,000 bytes") << qint64(40000) << "40,000 (100.0%)" << 0 << "40,000 (100.0%)";
    QTest::newRow("three blocks and a bit")
        << qint64(3 * 8192 + 100) << "24,676 (100.0%)" << 0 << "24,676 (100.0%)";
    // Nothing ever moved: no progress, so no bar.
    QTest::newRow("an empty file") << qint64(0) << "" << 0 << "";
    // Its row made when the turn's first rows are in, it joins the tree with the rows waiting;
    // the folder has one of its 75 files.
    QTest::newRow("one of many queued in a turn")
        << qint64(40000) << "40,000 (100.0%)" << kRowsAtOnce + 10 << "40,000 (1.3%)";
}

void tst_TransfersTrees::finishedDownloadFromAPeer()
{
    QFETCH(qint64, size);
    QFETCH(QString, bar);
    QFETCH(int, before);
    QFETCH(QString, folderBar);
    const TurnBudget::StepsForTesting atOnce(kRowsAtOnce);
    Page page;
    for (int i = 0; i < before; ++i)
        Page::Download("bob", "Music", ("b" + std::to_string(i) + ".bin").c_str(), size);
    ItemPtr entry = Page::Download("bob", "Music", "a.bin", size);
    QTreeWidgetItem* row = Page::Row(entry);
    QVERIFY(row);
    QCOMPARE(row->treeWidget() == nullptr, before >= kRowsAtOnce);
    QTRY_VERIFY(row->treeWidget());
    Page::FolderRow(entry)->setExpanded(true);

    // Bob offers the file over his messaging connection, and sends it over a file connection
    // of its own once it is taken.
    const auto bob = DialMessaging(*peerMessenger, false, "bob");
    QVERIFY(bob);
    constexpr quint32 kToken = 7;
    bob->SendFrame(WireWriter()
                       .u32(PM_TRANSFER_REQUEST)
                       .u32(1)
                       .u32(kToken)
                       .str("Music\\a.bin")
                       .u64(quint64(size))
                       .bytes());
    QByteArray answer;
    QVERIFY(bob->WaitForFrame(&answer, kWaitMs));
    QCOMPARE(answer, WireWriter().u32(PM_TRANSFER_RESPONSE).u32(kToken).u8(1).bytes());
    FakePeer file;
    QVERIFY(file.ConnectTo(peerMessenger->ListeningPort(), kWaitMs));
    file.SendInit("bob", "F");
    file.SendRaw(FakePeer::U32(kToken));
    QByteArray offset;
    QVERIFY(file.WaitForRaw(8, &offset, kWaitMs));
    QCOMPARE(offset, QByteArray(8, '\0'));
    file.SendRaw(QByteArray(int(size), 'x'));
    QTRY_COMPARE_WITH_TIMEOUT(entry["download_entry_status"].AsString(), std::string("complete"),
                              kWaitMs);

    // What the refresh that follows shows, and any refresh after it.
    for (int refresh = 0; refresh < 2; ++refresh) {
        transfersForm->RefreshMarkedRows();
        QCOMPARE(row->text(TransfersForm::kStatusColumn), QString("complete"));
        QCOMPARE(row->text(TransfersForm::kProgressColumn), QString());
        QCOMPARE(Page::BarText(row), bar);
        QCOMPARE(Page::BarValue(row), bar.isEmpty() ? QVariant() : QVariant(100));
        QCOMPARE(Page::BarText(Page::FolderRow(entry)), folderBar);
    }
}

QTEST_MAIN(tst_TransfersTrees)
#include "tst_transferstrees.moc"

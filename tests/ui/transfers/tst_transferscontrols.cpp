// What the transfers page does besides drawing rows, in the running window: the settings under
// the uploads tree, the Delete key and double clicks in the downloads tree, the download menu
// and what its entries do (also while entries go with the menu open), the completion alerts
// and the half-minute clean-up of uploads.

#include "TransfersPage.h"

#include "peer/PeerMessenger.h"
#include "server/ServerStore.h"
#include "shares/SharedFoldersManager.h"
#include "shell/EventToolBar.h"
#include "store/TimerManager.h"
#include "store/TurnBudget.h"
#include "support/LogLines.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMenu>
#include <QSpinBox>
#include <QTabWidget>
#include <QUrl>

#include <algorithm>
#include <functional>
#include <map>

namespace {

using Page = TransfersPage;

// The settings written, in order, as "key=value".
class Writes : public DataHandler
{
public:
    explicit Writes(std::initializer_list<SettingKey> keys)
    {
        for (SettingKey key : keys)
            Settings::Watch(key, this, &Writes::OnWritten);
    }
    void OnWritten(Item* key)
    {
        log << QString::fromStdString(key->AsString() + "=" +
                                      ItemPtr(key)[SettingsTypes::GlobalValue].AsString());
    }
    QStringList log;
};

// Every user's event-bar button text.
QStringList EventTexts()
{
    QStringList texts;
    for (QAction* action : eventToolBar->actions()) {
        if (!action->text().isEmpty())
            texts << action->text();
    }
    return texts;
}

void ShowOtherPage(Client& client)
{
    client.Child<QTabWidget>("tabControl")->setCurrentWidget(client.Child("searchTab"));
}

// Right click on a row, and the entry picked (none when empty).
void Menu(Client& client, QTreeWidget* tree, QTreeWidgetItem* row, const QString& pick = {})
{
    tree->scrollToItem(row);
    client.dialogs.menuChoices << pick;
    Q_EMIT tree->customContextMenuRequested(tree->visualItemRect(row).center());
}

// The home folder's Music/a.mp3 (or another folder and file), shared with everyone, asked for by
// the user: the upload waits in the queue while the user is offline.
ItemPtr RequestUpload(Client& client, const std::string& user, const QString& folder = "Music",
                      const QString& name = "a.mp3")
{
    const QString music = client.home.Path() + "/" + folder;
    if (!QFileInfo::exists(music + "/" + name)) {
        QDir().mkpath(music);
        QFile file(music + "/" + name);
        if (!file.open(QIODevice::WriteOnly) || file.write("abc") != 3)
            return ItemPtr();
        file.close();
        d.GetType("shared_folder")->GetItem(Value(music.toStdString())).NewItem("shared_public");
        sharedFoldersManager->RescanShares();
        sharedFoldersManager->WaitForScans();
    }
    std::string path = (music + "/" + name).toStdString();
    std::replace(path.begin(), path.end(), '/', '\\');
    transferQueueManager->OnQueueUploadRequested(user, path);
    return ServerStore::User(user)["upload_entry"];
}

QStringList Statuses(const char* entryType, const char* statusType)
{
    QStringList statuses;
    for (Item* entry : d.GetType(entryType)->GetItems())
        statuses << QString::fromStdString(ItemPtr(entry)[statusType].AsString());
    statuses.sort();
    return statuses;
}

// The downloads tree as it reads, row by row: each row's texts, expanded or not, the current row
// and the selected ones marked.
QStringList Shown(QTreeWidget* tree)
{
    QStringList rows;
    for (QTreeWidgetItemIterator it(tree); *it; ++it) {
        rows << Page::Texts(*it).join('|') + ((*it)->isExpanded() ? " +" : "") +
                    (*it == tree->currentItem() ? " current" : "") +
                    ((*it)->isSelected() ? " selected" : "");
    }
    return rows;
}

} // namespace

// What the desktop was asked to open.
class Opened : public QObject
{
    Q_OBJECT

public:
    Opened() { QDesktopServices::setUrlHandler("file", this, "Open"); }
    ~Opened() override { QDesktopServices::unsetUrlHandler("file"); }
    QList<QUrl> urls;

public Q_SLOTS:
    void Open(const QUrl& url) { urls << url; }
};

class tst_TransfersControls : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void speedLimit_data();
    void speedLimit();
    void clearTicksAndSlots();
    void deleteKey_data();
    void deleteKey();
    void doubleClick_data();
    void doubleClick();
    void menu_data();
    void menu();
    void menuOpens();
    void entryRemovedWithTheMenuOpen();
    void folderAlert_data();
    void folderAlert();
    void completionOfARemovedEntry();
    void addToUserList_data();
    void addToUserList();
    void uploadCleanUp_data();
    void uploadCleanUp();
    void clearActions();
    void clearingManyAsOneByOne_data();
    void clearingManyAsOneByOne();
    void textsAsStored_data();
    void textsAsStored();
    void uploadTextsAsStored_data();
    void uploadTextsAsStored();
    void actionsOfThePageAloneReachIt_data();
    void actionsOfThePageAloneReachIt();
};

void tst_TransfersControls::initTestCase()
{
    TurnBudget::SetStepsPerSliceForTesting(TurnBudget::kAtOnceForTesting);
}

void tst_TransfersControls::speedLimit_data()
{
    QTest::addColumn<QString>("stored"); // limit, then whether it is on
    QTest::addColumn<int>("typed");
    QTest::addColumn<QStringList>("written");
    QTest::addColumn<int>("inForce"); // the engine's limit, KiB/s
    QTest::newRow("to 0 while on")
        << "5 yes" << 0 << QStringList{"upload_speed_limit_enabled=no", "upload_speed_limit=0"}
        << 0;
    QTest::newRow("to 7 while off")
        << "0 no" << 7 << QStringList{"upload_speed_limit_enabled=yes", "upload_speed_limit=7"}
        << 7;
    QTest::newRow("to 9 while on") << "5 yes" << 9 << QStringList{"upload_speed_limit=9"} << 9;
    // Shown from the store, and nothing written back by showing it.
    QTest::newRow("a stored limit that is off") << "5 no" << 5 << QStringList{} << 0;
}

void tst_TransfersControls::speedLimit()
{
    QFETCH(QString, stored);
    QFETCH(int, typed);
    QFETCH(QStringList, written);
    QFETCH(int, inForce);
    const std::string limit = stored.section(' ', 0, 0).toStdString();
    const std::string on = stored.section(' ', 1, 1).toStdString();
    Page page({{SettingKeys::UploadSpeedLimit, limit}, {SettingKeys::UploadSpeedLimitEnabled, on}});
    auto* spin = page.client.Child<QSpinBox>("uploadLimitSpinBox");
    auto* box = page.client.Child<QCheckBox>("uploadLimitCheckBox");
    QCOMPARE(spin->value(), std::stoi(limit));
    QCOMPARE(box->isChecked(), on == "yes");
    QCOMPARE(Settings::Text(SettingKeys::UploadSpeedLimitEnabled), on);

    Writes writes{SettingKeys::UploadSpeedLimit, SettingKeys::UploadSpeedLimitEnabled};
    spin->setValue(typed);
    QCOMPARE(writes.log, written);
    QCOMPARE(box->isChecked(), inForce != 0);
    QCOMPARE(transferQueueManager->GetUploadSpeed(), inForce);
}

void tst_TransfersControls::clearTicksAndSlots()
{
    Page page({{SettingKeys::ClearCompleteDownloads, "yes"}});
    auto* downloads = page.client.Child<QCheckBox>("clearDownloadsCheckBox");
    auto* uploads = page.client.Child<QCheckBox>("clearUploadsCheckBox");
    QVERIFY(downloads->isChecked());
    QVERIFY(!uploads->isChecked());
    // Unticked, the setting has no value; never "no".
    for (const auto& [box, key] : {std::pair{downloads, SettingKeys::ClearCompleteDownloads},
                                   std::pair{uploads, SettingKeys::ClearCompleteAbortedUploads}}) {
        box->setChecked(true);
        QCOMPARE(Settings::Text(key), std::string("yes"));
        box->setChecked(false);
        QVERIFY(!Settings::HasValue(key));
        box->setChecked(true);
        QCOMPARE(Settings::Text(key), std::string("yes"));
    }
    page.client.Child<QSpinBox>("uploadSlotsSpinBox")->setValue(3);
    QCOMPARE(Settings::Text(SettingKeys::UploadSlots), std::string("3"));
}

void tst_TransfersControls::deleteKey_data()
{
    QTest::addColumn<QString>("selected");
    QTest::addColumn<QStringList>("left"); // the files left
    QTest::newRow("a file row") << "file" << QStringList{"b.mp3", "c.avi", "d.mp3"};
    // The folder row also holds a row that stands for no entry.
    QTest::newRow("a folder row") << "folder" << QStringList{"c.avi", "d.mp3"};
    QTest::newRow("a user row") << "user" << QStringList{"d.mp3"};
    QTest::newRow("a row of no entry")
        << "untied" << QStringList{"a.mp3", "b.mp3", "c.avi", "d.mp3"};
}

void tst_TransfersControls::deleteKey()
{
    QFETCH(QString, selected);
    QFETCH(QStringList, left);
    Page page;
    ItemPtr a = Page::Download("bob", "Music", "a.mp3");
    Page::Download("bob", "Music", "b.mp3");
    Page::Download("bob", "Films", "c.avi");
    Page::Download("carol", "Music", "d.mp3");
    QTreeWidgetItem* folder = Page::FolderRow(a);
    auto* untied = new QTreeWidgetItem(folder, {"", "", "stray"});
    const QMap<QString, QTreeWidgetItem*> rows{
        {"file", Page::Row(a)}, {"folder", folder}, {"user", folder->parent()}, {"untied", untied}};
    QTreeWidget* tree = page.Downloads();
    tree->setCurrentItem(rows[selected]);

    QKeyEvent del(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier);
    QApplication::sendEvent(tree, &del);
    QStringList files;
    for (Item* entry : d.GetType("download_entry")->GetItems())
        files << QString::fromStdString(ItemPtr(entry)["file_name"].AsString());
    files.sort();
    QCOMPARE(files, left);
    // The row of no entry keeps its folder row, the only row left under it.
    QCOMPARE(folder->childCount(),
             selected == "folder" || selected == "user" ? 1 : left.size() - 1);
}

void tst_TransfersControls::doubleClick_data()
{
    QTest::addColumn<QString>("status");
    QTest::addColumn<bool>("opens");
    QTest::newRow("complete") << "complete" << true;
    // Its finished name is nobody's yet, or another download's.
    QTest::newRow("queued") << "queued" << false;
    QTest::newRow("aborted") << "aborted" << false;
}

void tst_TransfersControls::doubleClick()
{
    QFETCH(QString, status);
    QFETCH(bool, opens);
    Page page;
    Opened opened;
    ItemPtr entry = Page::Download("bob", "Music\\Album", "a b.mp3");
    Page::SetStatus(entry, qPrintable(status));
    QTreeWidget* tree = page.Downloads();
    for (QTreeWidgetItem* row : {Page::UserRow(entry), Page::FolderRow(entry), Page::Row(entry)})
        Q_EMIT tree->itemDoubleClicked(row, 2);
    const QList<QUrl> expected{QUrl::fromLocalFile(page.client.home.Path() +
                                                   "/Quorvale Downloads/complete/Album/a b.mp3")};
    QCOMPARE(opened.urls, opens ? expected : QList<QUrl>{});
}

void tst_TransfersControls::menu_data()
{
    // bob: Music\Album a.mp3 (complete, found by the search "R&B"), b.mp3, c.mp3, and
    // Music\Live d.mp3; carol: Films e.avi (complete) and f.avi; dave: g.ogg (complete). The row
    // clicked (a file, "folder of" or "user of" one), a pick in a menu of that row before, then
    // the menu's entries.
    QTest::addColumn<QString>("row");
    QTest::addColumn<QString>("before");
    QTest::addColumn<QStringList>("entries");
    const QString notify = "Notify me when...";
    const QString file = notify + " > File download completes";
    const QString folder = notify + " > Folder download completes";
    const QString user = notify + " > All downloads from user complete";
    const QString rerun = "Re-run Search: R&&B";
    QTest::newRow("a finished file, nothing to be told")
        << "g.ogg"
        << "" << QStringList{"Open File", "Open Folder", "-", "Remove download"};
    QTest::newRow("a finished file from a search")
        << "a.mp3"
        << "" << QStringList{"Open File", "Open Folder", "-",  "Remove download",
                             notify,      folder,        user, rerun};
    QTest::newRow("an unfinished file")
        << "b.mp3"
        << "" << QStringList{"Open Folder", "-", "Remove download", notify, file, folder, user};
    QTest::newRow("after its file alert")
        << "b.mp3" << file
        << QStringList{"Open Folder", "-", "Remove download", notify, folder, user};
    QTest::newRow("a folder of three")
        << "folder of a.mp3"
        << "" << QStringList{"Open Folder", "-", "Remove downloads", notify, folder, user, rerun};
    QTest::newRow("after its folder alert")
        << "folder of a.mp3" << folder
        << QStringList{"Open Folder", "-", "Remove downloads", notify, user, rerun};
    QTest::newRow("a user of two folders")
        << "user of a.mp3"
        << "" << QStringList{"Open Folder", "-", "Remove downloads", notify, user, rerun};
    QTest::newRow("after the user alert")
        << "user of a.mp3" << user << QStringList{"Open Folder", "-", "Remove downloads", rerun};
    // A first entry without a search: no re-run, whatever the others have.
    QTest::newRow("another folder of one")
        << "folder of d.mp3"
        << "" << QStringList{"Open Folder", "-", "Remove download", notify, file, folder, user};
    // A user with one folder: that folder's entry says it all.
    QTest::newRow("a finished file of a user of one folder")
        << "e.avi"
        << "" << QStringList{"Open File", "Open Folder", "-", "Remove download", notify, folder};
}

void tst_TransfersControls::menu()
{
    QFETCH(QString, row);
    QFETCH(QString, before);
    QFETCH(QStringList, entries);
    Page page;
    ItemPtr a = Page::Download("bob", "Music\\Album", "a.mp3");
    a += d.GetType("search_request_text")->GetItem(Value("R&B"));
    Page::SetStatus(a, "complete");
    std::map<QString, ItemPtr> files{{"a.mp3", a}};
    files["b.mp3"] = Page::Download("bob", "Music\\Album", "b.mp3");
    files["c.mp3"] = Page::Download("bob", "Music\\Album", "c.mp3");
    files["d.mp3"] = Page::Download("bob", "Music\\Live", "d.mp3");
    files["e.avi"] = Page::Download("carol", "Films", "e.avi");
    Page::SetStatus(files["e.avi"], "complete");
    Page::Download("carol", "Films", "f.avi");
    files["g.ogg"] = Page::Download("dave", "Ogg", "g.ogg");
    Page::SetStatus(files["g.ogg"], "complete");
    ItemPtr entry = files[row.section(' ', -1)];
    QTreeWidgetItem* clicked = row.startsWith("folder") ? Page::FolderRow(entry)
                               : row.startsWith("user") ? Page::UserRow(entry)
                                                        : Page::Row(entry);
    QTreeWidget* tree = page.Downloads();
    if (!before.isEmpty()) {
        Menu(page.client, tree, clicked, before);
        QCOMPARE(d.GetType("complete_download_alert")->ItemCount(), size_t(1));
        // The row shows that it waits.
        const int column = row.startsWith("folder") ? 1 : row.startsWith("user") ? 0 : 2;
        QVERIFY(!clicked->icon(column).isNull());
    }
    Menu(page.client, tree, clicked);
    // The user's own entries follow.
    QCOMPARE(page.client.dialogs.menus.last().entries.mid(0, entries.size() + 2),
             entries + QStringList({"-", "Message user"}));
}

void tst_TransfersControls::menuOpens()
{
    Page page;
    Opened opened;
    ItemPtr entry = Page::Download("bob", "Music\\Album", "a.mp3");
    Page::SetStatus(entry, "complete");
    for (const char* pick : {"Open File", "Open Folder"})
        Menu(page.client, page.Downloads(), Page::Row(entry), pick);
    const QString complete = page.client.home.Path() + "/Quorvale Downloads/complete/Album";
    QCOMPARE(opened.urls, (QList<QUrl>{QUrl::fromLocalFile(complete + "/a.mp3"),
                                       QUrl::fromLocalFile(complete)}));
    // Without a download folder there is nothing to open.
    Settings::Remove(SettingKeys::DownloadFolder);
    Menu(page.client, page.Downloads(), Page::Row(entry), "Open Folder");
    QCOMPARE(opened.urls.size(), 2);
}

void tst_TransfersControls::entryRemovedWithTheMenuOpen()
{
    Page page;
    ItemList entries;
    for (const char* name : {"a.mp3", "b.mp3", "c.mp3"})
        entries.push_back(Page::Download("bob", "Music", name));
    Page::Download("carol", "Music", "d.mp3");
    // The middle one goes while the menu is shown: the rest go with the pick.
    page.client.dialogs.whileMenuOpen = [&entries](QMenu*) {
        transferQueueManager->RemoveDownload(entries[1]);
    };
    Menu(page.client, page.Downloads(), Page::FolderRow(entries[0]), "Remove downloads");
    QCOMPARE(d.GetType("download_entry")->ItemCount(), size_t(1));
    QCOMPARE(page.Downloads()->topLevelItemCount(), 1);
    QCOMPARE(page.Downloads()->topLevelItem(0)->text(0), QString("carol"));
}

void tst_TransfersControls::folderAlert_data()
{
    QTest::addColumn<bool>("clear"); // clear_complete_downloads
    QTest::newRow("finished downloads stay") << false;
    QTest::newRow("finished downloads cleared") << true;
}

void tst_TransfersControls::folderAlert()
{
    QFETCH(bool, clear);
    Page page;
    ShowOtherPage(page.client);
    if (clear)
        page.client.Child<QCheckBox>("clearDownloadsCheckBox")->setChecked(true);
    ItemList entries;
    for (const char* name : {"1.mp3", "2.mp3", "3.mp3", "4.mp3"})
        entries.push_back(Page::Download("bob", "Soul\\R&B", name));
    Page::SetStatus(entries[0], "aborted");
    Menu(page.client, page.Downloads(), Page::FolderRow(entries[0]),
         "Notify me when... > Folder download completes");
    // Whether the finished one's row is still there when the alert goes up.
    QStringList rowsAtAlert;
    ItemPtr last;
    struct Watch : QObject
    {
        std::function<void()> added;
        bool eventFilter(QObject*, QEvent* event) override
        {
            if (event->type() == QEvent::ActionAdded)
                added();
            return false;
        }
    } watch;
    watch.added = [&] { rowsAtAlert << (Page::Row(last) ? "row" : "no row"); };
    eventToolBar->installEventFilter(&watch);

    // One aborted: it waits however many of the others finish.
    for (ItemPtr entry : {entries[1], entries[2]}) {
        last = entry;
        Page::SetStatus(entry, "complete");
        QCoreApplication::processEvents();
    }
    QCOMPARE(EventTexts(), QStringList{});
    // The aborted one runs again and finishes, then the last: nothing is left unfinished.
    for (ItemPtr entry : {entries[0], entries[3]}) {
        last = entry;
        Page::SetStatus(entry, "complete");
        QCoreApplication::processEvents();
    }
    QCOMPARE(EventTexts(), QStringList{"R&&B"});
    QCOMPARE(rowsAtAlert, QStringList{"row"});
    QCOMPARE(d.GetType("complete_download_alert")->ItemCount(), size_t(0));
    QCOMPARE(d.GetType("download_entry")->ItemCount(), size_t(clear ? 0 : 4));
    eventToolBar->removeEventFilter(&watch);
}

void tst_TransfersControls::completionOfARemovedEntry()
{
    Page page;
    ShowOtherPage(page.client);
    page.client.Child<QCheckBox>("clearDownloadsCheckBox")->setChecked(true);
    ItemPtr entry = Page::Download("bob", "Music", "a&b.mp3");
    Menu(page.client, page.Downloads(), Page::Row(entry),
         "Notify me when... > File download completes");
    Page::SetStatus(entry, "complete");
    ItemPtr removed = Page::Download("bob", "Music", "gone.mp3");
    Page::SetStatus(removed, "complete");
    // Gone before its queued completion arrives: the completion leaves it alone.
    transferQueueManager->RemoveDownload(removed);
    QCoreApplication::processEvents();
    QCOMPARE(EventTexts(), QStringList{"a&&b.mp3"});
    QCOMPARE(d.GetType("download_entry")->ItemCount(), size_t(0));
}

void tst_TransfersControls::addToUserList_data()
{
    QTest::addColumn<bool>("listed");
    QTest::newRow("not listed yet") << false;
    // Listed with a group: the same item, and with it the group, stays.
    QTest::newRow("listed in a group") << true;
}

void tst_TransfersControls::addToUserList()
{
    QFETCH(bool, listed);
    Page page;
    ItemPtr entry = Page::Download("bob", "Music", "a.mp3");
    ItemPtr bob = ServerStore::User("bob");
    ItemPtr group = d.GetType("user_list_group")->GetItem(Value("friends"));
    if (listed)
        bob.NewItem("in_user_list") += group;
    ItemPtr before = bob["in_user_list"];
    page.Downloads()->setCurrentItem(Page::Row(entry));
    Q_EMIT actionBar->ActionTriggered(page.Downloads(), "dl_add_user");
    QVERIFY(bob["in_user_list"]);
    QCOMPARE(bob["in_user_list"].IsConnected(group), listed);
    if (listed)
        QCOMPARE(bob["in_user_list"].Get(), before.Get());
}

void tst_TransfersControls::uploadCleanUp_data()
{
    QTest::addColumn<QString>("status");
    QTest::addColumn<int>("storedOff"); // seconds the stored time of the last change is off
    QTest::addColumn<int>("after");     // seconds later the half-minute tick comes
    QTest::addColumn<bool>("clear");    // clear_complete_aborted_uploads
    QTest::addColumn<bool>("stays");
    QTest::newRow("finished, 4 minutes") << "complete" << 0 << 240 << true << true;
    QTest::newRow("finished, past 5 minutes") << "complete" << 0 << 301 << true << false;
    QTest::newRow("failed, past 5 minutes") << "aborted" << 0 << 301 << true << false;
    QTest::newRow("stored an hour early, 4 minutes") << "complete" << -3600 << 240 << true << true;
    QTest::newRow("stored an hour late, past 5 minutes")
        << "complete" << 3600 << 301 << true << false;
    QTest::newRow("queued, an hour") << "queued" << 0 << 3600 << true << true;
    QTest::newRow("clean-up off") << "complete" << 0 << 3600 << false << true;
}

void tst_TransfersControls::uploadCleanUp()
{
    QFETCH(QString, status);
    QFETCH(int, storedOff);
    QFETCH(int, after);
    QFETCH(bool, clear);
    QFETCH(bool, stays);
    Page page;
    page.client.Child<QCheckBox>("clearUploadsCheckBox")->setChecked(clear);
    ItemPtr upload = RequestUpload(page.client, "bob");
    QVERIFY(upload);
    QTreeWidgetItem* row = Page::Row(upload);
    QVERIFY(row);
    QCOMPARE(Page::Texts(row), (QStringList{"", "", "a.mp3", "queued", "", "", "", "3"}));
    // Its menu holds the user's entries alone.
    Menu(page.client, page.Uploads(), row);
    QCOMPARE(page.client.dialogs.menus.size(), 1);
    if (status != "queued")
        transferQueueManager->SetUploadEntryStatus(upload, status.toStdString());
    ItemPtr stamped = upload["last_status_change_time"];
    upload += d.GetType("last_status_change_time")
                  ->GetItem(Value(Clock::FromText(QString::fromStdString(stamped.AsString()))
                                      .addSecs(storedOff)
                                      .toString(Qt::TextDate)
                                      .toStdString()));

    Clock::Shift(after);
    timerManager->everyHalfMinute()->Fire();
    QCOMPARE(d.GetType("upload_entry")->ItemCount(), size_t(stays ? 1 : 0));
    QCOMPARE(page.Uploads()->topLevelItemCount(), stays ? 1 : 0);
}

void tst_TransfersControls::clearActions()
{
    Page page;
    int n = 0;
    for (const char* status : {"complete", "queued", "aborted", "complete"})
        Page::SetStatus(Page::Download("bob", "Music", qPrintable(QString("%1.mp3").arg(++n))),
                        status);
    page.client.Trigger(page.Downloads(), "Clear Complete");
    QCOMPARE(Statuses("download_entry", "download_entry_status"),
             (QStringList{"aborted", "queued"}));

    // Every ending goes; what waits or runs stays.
    for (const char* status : {"complete", "aborted", "denied", "local error", "queued",
                               "requesting", "connecting", "uploading"}) {
        ItemPtr upload = RequestUpload(page.client, "user" + std::to_string(++n));
        QVERIFY(upload);
        transferQueueManager->SetUploadEntryStatus(upload, status);
    }
    page.client.Trigger(page.Uploads(), "Clear Complete and Aborted");
    QCOMPARE(Statuses("upload_entry", "upload_entry_status"),
             (QStringList{"connecting", "queued", "requesting", "uploading"}));
    QCOMPARE(page.Uploads()->topLevelItemCount(), 4);
}

void tst_TransfersControls::clearingManyAsOneByOne_data()
{
    // 6,600 downloads of 60 users, 10 folders of 11 files each; "Clear Complete" removes them,
    // more than it removes in one turn, against removing the same downloads one by one. Which
    // are complete: "some" (the first of each folder stays), "whole" (the first 45 users and
    // the first folder of the others go whole); then what comes while they are removed.
    QTest::addColumn<QString>("complete");
    QTest::addColumn<QString>("meanwhile");
    for (const char* complete : {"some", "whole"}) {
        QTest::addRow("%s", complete) << complete << "";
        QTest::addRow("%s, rows collapsed and a current one", complete) << complete << "rows";
    }
    QTest::newRow("some, a download completing meanwhile") << "some"
                                                           << "a completion";
    QTest::newRow("whole, the program quitting meanwhile") << "whole"
                                                           << "quit";
}

void tst_TransfersControls::clearingManyAsOneByOne()
{
    QFETCH(QString, complete);
    QFETCH(QString, meanwhile);

    QStringList shown[2];
    QStringList logged[2];
    QStringList stored[2];
    for (const bool sliced : {false, true}) {
        Page page;
        std::vector<ItemPtr> entries;
        for (int u = 0; u < 60; ++u) {
            for (int f = 0; f < 10; ++f) {
                for (int n = 0; n < 11; ++n) {
                    const std::string user = "user" + std::to_string(u);
                    const std::string folder = "Music\\Album " + std::to_string(f);
                    const std::string file = std::to_string(n) + ".mp3";
                    entries.push_back(
                        Page::Download(user.c_str(), folder.c_str(), file.c_str(), 1000 + n));
                    const bool goes = complete == "some" ? n > 0 : u < 45 || f == 0;
                    Page::SetStatus(entries.back(), goes ? "complete" : "queued");
                }
            }
        }
        // Made in one go, most of the rows join the tree at the turn's end.
        QCoreApplication::processEvents();
        QTreeWidget* tree = page.Downloads();
        const ItemPtr late = entries[11 * 10 * 40];
        if (meanwhile == "rows") {
            Page::UserRow(entries[0])->setExpanded(false);
            Page::FolderRow(entries[11 * 10 * 50 + 11 * 3])->setExpanded(false);
            tree->setCurrentItem(Page::Row(late));
        }
        transfersForm->RefreshMarkedRows();
        LogLines log(LogCategories::kTransferQueue);
        // A step a slice: however fast the machine, the click leaves most of them to later turns.
        const TurnBudget::StepsForTesting slices(sliced ? 1 : TurnBudget::kAtOnceForTesting);
        if (sliced) {
            page.client.Trigger(tree, "Clear Complete");
            QVERIFY(transfersForm->IsClearing());
        } else {
            for (const ItemPtr& entry : entries) {
                if (entry["download_entry_status"].AsString() == "complete")
                    transferQueueManager->RemoveDownload(entry);
            }
        }
        // Complete after the click: it stays.
        if (meanwhile == "a completion")
            Page::SetStatus(late, "complete");
        if (meanwhile == "quit") {
            page.Restart();
            tree = page.Downloads();
        }
        QTRY_VERIFY(!transfersForm->IsClearing());
        transfersForm->RefreshMarkedRows();
        shown[sliced] = Shown(tree);
        logged[sliced] = log.lines;
        stored[sliced] = Statuses("download_entry", "download_entry_status");
    }
    QCOMPARE(shown[1], shown[0]);
    QCOMPARE(logged[1], logged[0]);
    QCOMPARE(stored[1], stored[0]);
    QVERIFY(stored[0].contains("queued"));
    QCOMPARE(stored[0].contains("complete"), meanwhile == "a completion");
}

void tst_TransfersControls::textsAsStored_data()
{
    // Two downloads of the user's from the folder, and one from another folder; a denial of the
    // first with the reason, when there is one; then what the user, folder and file rows and
    // the status cell show, and the alerts raised as the three downloads complete in turn.
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<QByteArray>("folder");
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("reason");
    QTest::addColumn<QStringList>("shown");
    // Names are the server's bytes, one Latin-1 character each; paths are UTF-8.
    QTest::newRow("a Latin-1 name, UTF-8 folders and file")
        << QByteArray("Bj\xf6rn") << QByteArray("M\xc3\xbasica\\Caf\xc3\xa9")
        << QByteArray("ni\xc3\xb1o.mp3") << QByteArray()
        << QStringList{"Bj\u00f6rn", "Caf\u00e9/M\u00fasica", "ni\u00f1o.mp3",
                       "queued",     "ni\u00f1o.mp3",         "Caf\u00e9",
                       "Bj\u00f6rn"};
    // A byte that starts no UTF-8 character shows as a replacement, not as another letter.
    QTest::newRow("a path byte that is no UTF-8")
        << QByteArray("bob") << QByteArray("Soul\\R&B") << QByteArray("caf\xe9.mp3") << QByteArray()
        << QStringList{"bob",  "R&B/Soul", "caf\ufffd.mp3", "queued", "caf\ufffd.mp3",
                       "R&&B", "bob"};
    // The peer's reason stands where the status would, read as a status is.
    QTest::newRow("a denial's reason")
        << QByteArray("Bj\xf6rn") << QByteArray("Music") << QByteArray("a.mp3")
        << QByteArray("Besch\xe4"
                      "ftigt")
        << QStringList{"Bj\u00f6rn", "Music", "a.mp3",     "besch\u00e4ftigt",
                       "a.mp3",      "Music", "Bj\u00f6rn"};
}

void tst_TransfersControls::textsAsStored()
{
    QFETCH(QByteArray, user);
    QFETCH(QByteArray, folder);
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, reason);
    QFETCH(QStringList, shown);
    Page page;
    ShowOtherPage(page.client);
    ItemPtr entry = Page::Download(user.constData(), folder.constData(), file.constData());
    ItemPtr sibling = Page::Download(user.constData(), folder.constData(), "b.mp3");
    ItemPtr other = Page::Download(user.constData(), "Other", "c.mp3");
    QTreeWidget* tree = page.Downloads();
    Menu(page.client, tree, Page::Row(entry), "Notify me when... > File download completes");
    Menu(page.client, tree, Page::FolderRow(entry),
         "Notify me when... > Folder download completes");
    Menu(page.client, tree, Page::UserRow(entry),
         "Notify me when... > All downloads from user complete");
    if (!reason.isEmpty()) {
        transferQueueManager->OnUploadDeniedNotification(
            user.toStdString(), (folder + "\\" + file).toStdString(), reason.toStdString());
    }
    QStringList seen{Page::UserRow(entry)->text(TransfersForm::kUserColumn),
                     Page::FolderRow(entry)->text(TransfersForm::kFolderColumn),
                     Page::Row(entry)->text(TransfersForm::kFileColumn),
                     Page::Row(entry)->text(TransfersForm::kStatusColumn)};
    // Each completion raises one of the alerts: the widget's one button shows the last.
    for (ItemPtr done : {entry, sibling, other}) {
        Page::SetStatus(done, "complete");
        QCoreApplication::processEvents();
        seen << EventTexts();
        eventToolBar->RemoveEvent(tree);
    }
    QCOMPARE(seen, shown);

    // The user goes on the user list as the server named them, whatever the row shows.
    tree->setCurrentItem(Page::Row(entry));
    Q_EMIT actionBar->ActionTriggered(tree, "dl_add_user");
    QVERIFY(ServerStore::User(user.toStdString())["in_user_list"]);
}

void tst_TransfersControls::uploadTextsAsStored_data()
{
    // The user asks for a file of a shared folder of the home folder; the upload's rows.
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("file");
    QTest::addColumn<QStringList>("shown"); // user, the folder's last part, file
    QTest::newRow("a Latin-1 name, UTF-8 folder and file")
        << QByteArray("Bj\xf6rn") << QString("M\u00fasica") << QString("ni\u00f1o.mp3")
        << QStringList{"Bj\u00f6rn", "M\u00fasica", "ni\u00f1o.mp3"};
    QTest::newRow("ASCII") << QByteArray("bob") << QString("Music") << QString("a.mp3")
                           << QStringList{"bob", "Music", "a.mp3"};
}

void tst_TransfersControls::uploadTextsAsStored()
{
    QFETCH(QByteArray, user);
    QFETCH(QString, folder);
    QFETCH(QString, file);
    QFETCH(QStringList, shown);
    Page page;
    ItemPtr upload = RequestUpload(page.client, user.toStdString(), folder, file);
    QVERIFY(upload);
    QTreeWidgetItem* row = Page::Row(upload);
    QVERIFY(row);
    // The folder row reads its path from the last part up.
    QCOMPARE(
        (QStringList{Page::UserRow(upload)->text(TransfersForm::kUserColumn),
                     Page::FolderRow(upload)->text(TransfersForm::kFolderColumn).section('/', 0, 0),
                     row->text(TransfersForm::kFileColumn)}),
        shown);
}

void tst_TransfersControls::actionsOfThePageAloneReachIt_data()
{
    // Each action the page answers, and the set of the window's bar that offers it: a click
    // reaches the page by the action's identifier alone, so no other page's set may offer one
    // of them. The last two are answered, though no set offers them.
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("set");
    for (const char* id : {"expand_download_folders", "expand_download_users",
                           "clear_complete_downloads", "complete_downloads"})
        QTest::newRow(id) << id << "downloads";
    for (const char* id :
         {"expand_upload_folders", "expand_upload_users", "clear_complete_and_aborted_uploads"})
        QTest::newRow(id) << id << "uploads";
    for (const char* id : {"remove_download", "dl_add_user"})
        QTest::newRow(id) << id << "";
}

void tst_TransfersControls::actionsOfThePageAloneReachIt()
{
    QFETCH(QString, id);
    QFETCH(QString, set);
    Page page;
    QStringList sets;
    ItemPtr identifier = d.GetType("toolbar_action_id")->HasItem(Value(id.toStdString()));
    for (Item* action : identifier.GetItems("toolbar_action"))
        sets << QString::fromStdString(ItemPtr(action)["toolbar_action_set"].AsString());
    QCOMPARE(sets, set.isEmpty() ? QStringList() : QStringList{set});

    // A click on a tree's own action acts on that tree alone.
    if (!id.startsWith("expand_"))
        return;
    ItemPtr download = Page::Download("bob", "Music", "a.mp3");
    ItemPtr upload = RequestUpload(page.client, "bob");
    QVERIFY(upload);
    const bool uploads = set == "uploads";
    QTreeWidget* tree = uploads ? page.Uploads() : page.Downloads();
    page.client.Trigger(tree, id.endsWith("users") ? "Expand Users [on]" : "Expand Folders [on]");
    QTreeWidgetItem* changed = id.endsWith("users") ? Page::UserRow(uploads ? upload : download)
                                                    : Page::FolderRow(uploads ? upload : download);
    QTreeWidgetItem* kept = id.endsWith("users") ? Page::UserRow(uploads ? download : upload)
                                                 : Page::FolderRow(uploads ? download : upload);
    QVERIFY(!changed->isExpanded());
    QVERIFY(kept->isExpanded());
}

QTEST_MAIN(tst_TransfersControls)
#include "tst_transferscontrols.moc"

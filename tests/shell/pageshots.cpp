// Screenshots of the window's pages, for the system check: scripts/system-check.sh runs this on
// its virtual X display (inside its own network namespace) after the program's own check, and
// counts each test function as one check. Each function fills one page through Client as a user
// would have it, grabs the whole screen as the check's helper does, keeps the picture as
// <build>/artifacts/<page>.png and fails when a named region of it is one flat colour, which is
// what a page that did not draw looks like.
//
// A page more is one function more: fill the page, then
//     Shot("browse", {{"tab bar", tabs->tabBar()}, {"pane", tabs->currentWidget()}});

#include "shell/MainWindowClient.h"

#include "peer/PeerMessages.h"
#include "peer/PeerMessenger.h"
#include "server/ServerSchema.h"
#include "server/ServerStore.h"
#include "shares/SharedFoldersManager.h"
#include "shell/DisplayText.h"
#include "store/DelayedInvoker.h"
#include "store/TimerManager.h"
#include "support/CompleteRecords.h"
#include "support/HeldClock.h"
#include "support/PeerBodies.h"
#include "support/PeerDial.h"
#include "ui/chat/ChatForm.h"
#include "ui/chat/ChatLog.h"
#include "ui/chat/ChatLogForm.h"
#include "ui/chat/RoomForm.h"
#include "ui/dialogs/AddSharedFolderDialog.h"
#include "ui/dialogs/ChangeUsernamePasswordDialog.h"
#include "ui/dialogs/ColorSelectionDialog.h"
#include "ui/dialogs/DataDialog.h"
#include "ui/search/FilterHelpDialog.h"
#include "ui/search/SearchForm.h"
#include "ui/search/SearchResultsForm.h"
#include "ui/search/ShareForm.h"
#include "ui/search/SharesForm.h"
#include "ui/transfers/CompleteDownloadsForm.h"
#include "ui/transfers/TransfersPage.h"
#include "ui/users/UserGroupConfigDialog.h"
#include "ui/users/UserListForm.h"

#include <QDialog>
#include <QDir>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>
#include <QLineEdit>
#include <QListWidget>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <QTabBar>
#include <QTabWidget>
#include <QTreeWidget>

#include <algorithm>
#include <utility>

namespace {

using Regions = QList<std::pair<QString, QWidget*>>;

// Whether every pixel of the rectangle has the colour of its first.
bool IsFlat(const QImage& image, const QRect& rect)
{
    const QRgb first = image.pixel(rect.topLeft());
    for (int y = rect.top(); y <= rect.bottom(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = rect.left(); x <= rect.right(); ++x) {
            if (line[x] != first)
                return false;
        }
    }
    return true;
}

// Lets the window and its dialogs draw, grabs the screen, keeps it and checks the regions.
void Shot(const QString& page, const Regions& regions)
{
    // Waiting runs events, in which windows that a page before left for deletion go.
    QList<QPointer<QWidget>> windows;
    for (QWidget* window : QApplication::topLevelWidgets())
        windows << window;
    for (const QPointer<QWidget>& window : std::as_const(windows)) {
        if (window && window->isVisible())
            QVERIFY(QTest::qWaitForWindowExposed(window));
    }
    // Exposed is not yet painted: a few turns of the event loop for the paint events.
    QTest::qWait(500);
    QScreen* screen = QGuiApplication::primaryScreen();
    QVERIFY(screen);
    const QImage image = screen->grabWindow(0).toImage().convertToFormat(QImage::Format_RGB32);
    const QString folder = QStringLiteral(QV_ARTIFACTS);
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(image.save(folder + "/" + page + ".png"));
    for (const auto& [name, widget] : regions) {
        const QRect rect =
            QRect(widget->mapToGlobal(QPoint(0, 0)), widget->size()).intersected(image.rect());
        QVERIFY2(widget->isVisible() && !rect.isEmpty(), qPrintable(name + " is not on screen"));
        QVERIFY2(!IsFlat(image, rect), qPrintable(name + " is one flat colour"));
    }
}

void TypeSearch(Client& client, const QString& text)
{
    client.Child<QLineEdit>("searchEdit")->setText(text);
    Q_EMIT client.Child<QLineEdit>("searchEdit")->returnPressed();
}

// Whether a pixel of the rectangle has nearly the colour: the full-strength pixels of text drawn
// in it.
bool HasColour(const QImage& image, const QRect& rect, const QColor& colour)
{
    constexpr int kTolerance = 40;
    const QRect area = rect.intersected(image.rect());
    for (int y = area.top(); y <= area.bottom(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = area.left(); x <= area.right(); ++x) {
            if (qAbs(qRed(line[x]) - colour.red()) <= kTolerance &&
                qAbs(qGreen(line[x]) - colour.green()) <= kTolerance &&
                qAbs(qBlue(line[x]) - colour.blue()) <= kTolerance)
                return true;
        }
    }
    return false;
}

} // namespace

class tst_PageShots : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void search();
    void browse();
    void users();
    void chat();
    void transfers();
    void storedata();
    void chatlog();
    void colours();
    void dialogs();
    void complete();
    void results();
    void rooms();
    void usermenu();
};

void tst_PageShots::search()
{
    Client client("alice");
    // The whole screen: there is no window manager to place it.
    client.window->setGeometry(QGuiApplication::primaryScreen()->geometry());
    client.Start();
    client.LogIn();
    client.Child<QTabWidget>("tabControl")->setCurrentWidget(client.Child("searchTab"));
    auto* pages = searchForm->findChild<QTabWidget*>("tabWidget");
    auto* tabs = searchForm->findChild<QTabWidget*>("searchTabControl");

    // A wish, searched and answered, with its tab on the other page.
    const QByteArray wish = "Sigur R\xc3\xb3s live";
    d.GetType("wish_list_item")
        ->GetItem(Value(wish.toStdString()))
        .NewItem("wish_list_item_enabled");
    searchForm->CreateSearchForm(gp_server->FileSearch(wish.toStdString(), true),
                                 wish.toStdString(), true);
    // Three manual searches, the last with the server's related searches.
    TypeSearch(client, QString::fromUtf8("\xc3\x89"
                                         "dith Piaf"));
    TypeSearch(client, QStringLiteral("Simon & Garfunkel"));
    TypeSearch(client, QString::fromUtf8("Bj\xc3\xb6rk homogenic"));
    const QList<std::pair<QByteArray, int>> related{
        {"bjork", 90},      {"bjork homogenic flac", 75},
        {"bjork joga", 70}, {"bjork vespertine", 60},
        {"homogenic", 55},  {"bjork live", 40},
        {"sugarcubes", 30}, {"bjork remixes", 20},
    };
    WireWriter answer;
    answer.u32(153).str("Bj\xc3\xb6rk homogenic").u32(quint32(related.size()));
    for (const auto& [term, rank] : related)
        answer.str(term).u32(quint32(rank));
    QVERIFY(client.Deliver(answer));
    auto* shown = qobject_cast<SearchResultsForm*>(tabs->currentWidget());
    QVERIFY(shown);
    QCOMPARE(shown->CorrelationsWidget()->topLevelItemCount(), 8);
    QCOMPARE(tabs->count(), 3);
    QCOMPARE(searchForm->findChild<QTabWidget*>("wishListTabControl")->count(), 1);
    QCOMPARE(pages->currentIndex(), 0);

    // Two saved filters, the line showing the second.
    for (const char* filter : {"flac -live", "mbr:256 isvbr"}) {
        shown->filterEdit()->setText(filter);
        shown->findChild<QPushButton*>("saveFilterButton")->click();
    }
    QCOMPARE(d.GetType("saved_filter")->ItemCount(), size_t(2));

    // The filter help over the empty result tree, clear of the related searches and the filter
    // bar, as a user would move it.
    shown->findChild<QPushButton*>("pushButton")->click();
    QVERIFY(filterHelpDialog);
    filterHelpDialog->setGeometry(40, 300, 640, 420);

    Shot("search", {{"tab bar", tabs->tabBar()}, {"pane", shown}});
}

void tst_PageShots::browse()
{
    Client client("alice");
    client.window->setGeometry(QGuiApplication::primaryScreen()->geometry());
    client.Start();
    client.LogIn();
    // One user still waiting, who could not be reached.
    sharesForm->OpenShareBrowse("bob");
    Q_EMIT peerMessenger->ConnectionToUserFailed("bob", "P");

    // A realistic share of 2,000 files, with the folders above them, as a peer lists them.
    FileInfoMap share = ShareMaker(44).Share(2000);
    for (const auto& [path, files] : FileInfoMap(share)) {
        for (size_t cut = path.rfind('\\'); cut != std::string::npos && cut > 0;
             cut = path.rfind('\\', cut - 1))
            share[path.substr(0, cut)];
    }
    // As a real browse goes: the peer dials in, the tab asks it for its list, and the list comes
    // back as a message of its own.
    const auto peer = DialMessaging(*peerMessenger, false, "Zo\xeb & co");
    QVERIFY(peer);
    ShareForm* tab = sharesForm->OpenShareBrowse("Zo\xeb & co");
    QByteArray asked;
    QVERIFY(peer->WaitForFrame(&asked, kWaitMs));
    QCOMPARE(asked.toHex(), QByteArray("04000000"));
    QByteArray list;
    BytesOutputStream out(&list);
    QVERIFY(out.Write(share) && out.Write(AttributeTranslationTable()));
    peer->SendFrame(WireWriter().u32(PM_SHARED_FILE_LIST).raw(Zlib(list)));
    auto* tree = tab->findChild<QTreeWidget*>("folderTree");
    auto* files = tab->findChild<QTreeWidget*>("fileList");
    QTRY_VERIFY_WITH_TIMEOUT(tree->isVisible() && !tab->IsBuildingTree(), kWaitMs);
    QVERIFY(tree->topLevelItemCount() > 0);

    // Higher bitrates only, and an album among those left chosen.
    tab->findChild<QLineEdit*>("filterEdit")->setText("mbr:192");
    for (QTreeWidgetItemIterator it(tree, QTreeWidgetItemIterator::NotHidden); *it; ++it) {
        tree->setCurrentItem(*it);
        if ((*it)->childCount() == 0 && files->topLevelItemCount() >= 4)
            break;
    }
    QVERIFY(files->topLevelItemCount() >= 4);
    tree->scrollToItem(tree->currentItem(), QAbstractItemView::PositionAtCenter);

    Shot("browse", {{"folder tree", tree}, {"file list", files}});
}

void tst_PageShots::users()
{
    // 300 listed users, a few of them unshared or ignored; groups and notes on many. Names are
    // Latin-1 bytes, as the server hands them out.
    const char* const first[] = {"anna",   "Bj\xf6rn", "carlos", "Dmitri",  "\xc9lodie", "fatima",
                                 "Gunnar", "hiro",     "Ines",   "jo\xe3o", "Kwame",     "lucia"};
    const char* const groups[] = {"Family", "friends", "Jazz club", "R&B crew", "work"};
    const char* const notes[] = {"shares rare vinyl rips", "slow uploads, be patient",
                                 "met in the jazz room", "<b>not bold</b> & not a link"};
    SeededUsers users;
    for (int i = 0; i < 300; ++i) {
        SeededUser user{std::string(first[i % 12]) + "_" + std::to_string(i * 37 % 1000)};
        for (int g = 0; g < i / 3 % 3; ++g)
            user.groups.push_back(groups[(i + g * 2) % 5]);
        if (i % 4 == 1 || i % 7 == 0)
            user.note = notes[i % 16 / 4];
        user.unshared = i % 50 == 7;
        user.ignored = i % 60 == 11;
        users.push_back(user);
    }
    Client client("alice", {}, users);
    client.window->setGeometry(QGuiApplication::primaryScreen()->geometry());
    client.Start();
    client.LogIn();
    client.Child<QTabWidget>("tabControl")->setCurrentWidget(client.Child("tab_2"));
    // One user in eleven online, as the server's answers to the watches would have it; the list
    // shows them above the others.
    QString top;
    for (int i = 0; i < 300; i += 11) {
        ServerStore::SetFlag(ServerStore::User(users[size_t(i)].name), ServerTypes::IsOnline);
        const QString name = NameText(users[size_t(i)].name);
        if (top.isEmpty() || name.toCaseFolded() < top.toCaseFolded())
            top = name;
    }
    auto* list = userListForm->findChild<QTreeWidget*>("userList");
    QTRY_COMPARE(list->topLevelItem(0)->text(0), top);

    // The configuration dialog beside the list, a group chosen and its priority set.
    client.Trigger(list, "Configure User Groups");
    QVERIFY(userGroupConfigDialog);
    auto* groupList = userGroupConfigDialog->findChild<QListWidget*>("groupList");
    groupList->setCurrentRow(3);
    userGroupConfigDialog->findChild<QSpinBox*>("prioritySpinBox")->setValue(5);
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    userGroupConfigDialog->setGeometry(screen.width() - 520, screen.height() - 360, 480, 300);

    auto* pages = userListForm->findChild<QTabWidget*>("tabWidget");
    Shot("users", {{"tab bar", pages->tabBar()}, {"list", list}, {"dialog", groupList}});
}

void tst_PageShots::chat()
{
    Client client("alice");
    client.window->setGeometry(QGuiApplication::primaryScreen()->geometry());
    client.Start();
    client.LogIn();
    const HeldClock clock(QDateTime(QDate(2026, 3, 5), QTime(20, 14, 2)));
    // Other conversations beside bob's, his in front.
    for (const char* user : {"ann", "Jos\xe9", "olga", "bob"})
        client.window->OpenChatForm(user);
    auto* tabs = client.Child<QTabWidget>("chatTabControl");
    auto* form = qobject_cast<ChatForm*>(tabs->currentWidget());
    QVERIFY(form);
    auto* edit = form->findChild<QLineEdit*>("chatEdit");
    // Bob's lines come from the server; "> " marks alice's, typed and sent.
    const auto talk = [&](const QList<QByteArray>& lines) {
        for (const QByteArray& line : lines) {
            Clock::AdvanceMs(17000);
            if (line.startsWith("> ")) {
                edit->setText(QString::fromUtf8(line.mid(2)));
                Q_EMIT edit->returnPressed();
            } else {
                QVERIFY(client.Deliver(WireWriter()
                                           .u32(ServerCode::PrivateChat)
                                           .u32(1)
                                           .u32(0)
                                           .str("bob")
                                           .str(line)
                                           .u8(1)));
            }
        }
    };
    const QList<QByteArray> evening{
        "hi alice, are you around?",
        "> hey bob, just got back",
        "did you get the live set I mentioned?",
        "> not yet, which one?",
        "the 2019 one: https://example.org/sets/live-2019?track=3&q=hd",
        "> found it, queueing it now",
        "/me waves",
        "it's about 2 GB, my upload is slow tonight",
        "> no hurry, I'll leave it running",
        "also check the <b>remastered</b> folder & the bonus tracks",
        "> will do",
        "/me goes to make tea",
    };
    const QList<QByteArray> later{
        "back again",
        "> the download finished, sounds great",
        "glad you like it",
        "\xd0\x9e\xd0\xbb\xd1\x8c\xd0\xb3\xd0\xb0 \xd1\x81\xd0\xba\xd0\xb0\xd0\xb7\xd0\xb0\xd0\xbb"
        "\xd0\xb0: \xc2\xab\xd0\xbf\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82!\xc2\xbb",
        "> ha, say hi to her from me",
        "she shares the folk collection: https://example.org/u/olga",
        "> I'll browse it tomorrow",
        "/me yawns",
        "> good night!",
        "good night",
    };
    talk(evening);
    // Five quiet minutes end the conversation; the next one has a time on every line.
    Clock::AdvanceMs(330000);
    timerManager->everyHalfMinute()->Fire();
    Settings::Set(SettingKeys::ChatTimestamps, "per_message_short");
    for (int round = 0; round < 2; ++round) {
        talk(later);
        talk(evening);
    }
    talk(later);
    auto* view = form->findChild<QWidget*>("chatView");
    QVERIFY(form->Text().count('\n') >= 60);
    client.Child<QTabWidget>("tabControl")->setCurrentWidget(client.Child("chatTab"));
    Shot("chat", {{"tab bar", tabs->tabBar()}, {"chat", view}});
}

void tst_PageShots::transfers()
{
    Client client("alice");
    client.window->setGeometry(QGuiApplication::primaryScreen()->geometry());
    client.Start();
    client.LogIn();
    client.Child<QTabWidget>("tabControl")->setCurrentWidget(client.Child("transfersTab"));
    using Page = TransfersPage;

    // Three users' downloads, every status among them, and running ones from 0 to 100%.
    struct Folder
    {
        const char* user;
        const char* path;
        std::vector<const char*> statuses;
    };
    const Folder folders[] = {
        {"lena_k",
         "Music\\Bj\xc3\xb6rk\\Homogenic",
         {"complete", "complete", "downloading", "downloading", "queued", "queued", "queued"}},
        {"lena_k", "Music\\Sigur R\xc3\xb3s\\()", {"complete", "local error", "complete"}},
        {"dj.marcus",
         "Shared\\Soul & Funk",
         {"downloading", "downloading", "downloading", "aborted", "denied", "queued", "queued"}},
        {"dj.marcus",
         "Shared\\\xe5\xae\x87\xe5\xa4\x9a\xe7\x94\xb0\xe3\x83\x92\xe3\x82"
         "\xab\xe3\x83\xab",
         {"complete", "complete", "complete", "complete", "complete"}},
        {"R&B collector",
         "mp3\\Aretha Franklin - Lady Soul",
         {"downloading", "downloading", "downloading", "downloading", "downloading", "downloading",
          "queued", "queued", "queued"}},
        {"R&B collector", "mp3\\Live", {"denied", "aborted", "local error", "queued"}},
        {"R&B collector", "mp3\\Singles", {"complete", "queued", "queued", "queued", "queued"}},
    };
    int n = 0;
    int running = 0;
    ItemList downloads;
    for (const Folder& folder : folders) {
        for (const char* status : folder.statuses) {
            ++n;
            const std::string name = QString("%1 - Track %2.mp3")
                                         .arg(n, 2, 10, QLatin1Char('0'))
                                         .arg(n * 7 % 13 + 1)
                                         .toStdString();
            const qint64 size = 3000000 + qint64(n) * 487331;
            ItemPtr entry = Page::Download(folder.user, folder.path, name.c_str(), size);
            if (std::string(status) == "denied")
                transferQueueManager->OnUploadDeniedNotification(
                    folder.user, std::string(folder.path) + "\\" + name, "File not shared.");
            else
                Page::SetStatus(entry, status);
            if (std::string(status) == "downloading") {
                // Bars from empty to full.
                Page::Report(entry, size * running / 10, 40000 + running * 23000);
                ++running;
            }
            downloads.push_back(entry);
        }
    }
    QCOMPARE(n, 40);
    transfersForm->RefreshMarkedRows();
    auto* tree = client.Child<QTreeWidget>("downloadsList");
    QCOMPARE(tree->topLevelItemCount(), 3);

    Shot("transfers", {{"tab bar", client.Child<QTabWidget>("transfersTabControl")->tabBar()},
                       {"rows", tree->viewport()}});

    // Each status class shows its colour in the rows.
    const QImage image = QGuiApplication::primaryScreen()->grabWindow(0).toImage().convertToFormat(
        QImage::Format_RGB32);
    const QRect rows = QRect(tree->viewport()->mapToGlobal(QPoint(0, 0)), tree->viewport()->size());
    for (const char* key :
         {"color_transfer_complete", "color_transfer_in_progress", "color_transfer_queued",
          "color_transfer_failed", "color_transfer_other"}) {
        const QColor colour(QString::fromStdString(Settings::Text({key})));
        QVERIFY2(HasColour(image, rows, colour), key);
    }
}

void tst_PageShots::storedata()
{
    // The store of a client with listed users in groups, some with notes; one user's connections
    // unfolded three levels.
    const char* const groups[] = {"Family", "friends", "Jazz club", "R&B crew"};
    SeededUsers users;
    for (int i = 0; i < 40; ++i) {
        SeededUser user{"listener_" + std::to_string(i * 13 % 100)};
        user.groups.push_back(groups[i % 4]);
        if (i % 3 == 0)
            user.groups.push_back(groups[(i + 1) % 4]);
        if (i % 5 == 0)
            user.note = "<i>not italic</i> & kept literal";
        users.push_back(user);
    }
    Client client("alice", {}, users);
    client.window->setGeometry(QGuiApplication::primaryScreen()->geometry());
    client.Start();
    client.LogIn();

    QVERIFY(QMetaObject::invokeMethod(client.window.get(), "OnShowData"));
    auto* dialog = client.window->findChild<DataDialog*>();
    QVERIFY(dialog);
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    dialog->setGeometry(screen.x() + 60, screen.y() + 60, 1000, 640);

    auto* types = dialog->findChild<QTreeWidget*>("typeList");
    const QList<QTreeWidgetItem*> userType = types->findItems("user", Qt::MatchExactly, 0);
    QCOMPARE(userType.size(), 1);
    types->setCurrentItem(userType.first());
    auto* items = dialog->findChild<QListWidget*>("itemList");
    const QList<QListWidgetItem*> shown =
        items->findItems(QString::fromStdString(users[0].name), Qt::MatchExactly);
    QCOMPARE(shown.size(), 1);
    items->setCurrentItem(shown.first());
    Q_EMIT items->itemClicked(shown.first());

    // The user, its place on the user list, one of its groups, and another member's place on the
    // list (the group's last member: the user is its first): each level the last row of its kind
    // unfolded.
    auto* tree = dialog->findChild<QTreeWidget*>("itemDataTree");
    QCOMPARE(tree->topLevelItemCount(), 1);
    QTreeWidgetItem* row = tree->topLevelItem(0);
    const char* const steps[] = {"[in_user_list", "[user_list_group] ", "[in_user_list"};
    for (const char* step : steps) {
        QTreeWidgetItem* next = nullptr;
        for (int i = 0; i < row->childCount(); ++i) {
            QTreeWidgetItem* child = row->child(i);
            if (child->text(0).startsWith(step) && child->childCount() > 0)
                next = child;
        }
        QVERIFY2(next, step);
        next->setExpanded(true);
        QVERIFY(next->childCount() > 0);
        row = next;
    }
    tree->setCurrentItem(row);
    tree->scrollToItem(row->child(row->childCount() - 1));

    Shot("storedata", {{"types", types->viewport()}, {"items", items->viewport()},
                       {"tree", tree->viewport()}});
}

void tst_PageShots::chatlog()
{
    Client client("alice");
    client.window->setGeometry(QGuiApplication::primaryScreen()->geometry());
    client.Start();
    client.LogIn();
    // Two thousand lines of a long conversation with bob, logged as his tab logs them.
    const HeldClock clock(QDateTime(QDate(2026, 1, 12), QTime(9, 30, 0)));
    const QString said[] = {"morning! did the tea arrive?", "yes, the green one, thanks",
                            "<b>bold</b> & a link: https://example.org/t?a=1&b=2",
                            "/me pours a cup", QString::fromUtf8("\u043f\u0440\u0438 from olga")};
    for (int i = 0; i < 2000; ++i) {
        Clock::AdvanceMs(37000);
        ChatLog::Append(ChatLog::Kind::User, "bob",
                        ChatLog::ChatLine(Clock::Now(), i % 3 ? "bob" : "alice", said[i % 5]));
    }
    client.window->OpenChatForm("bob");
    auto* tabs = client.Child<QTabWidget>("chatTabControl");
    client.Trigger(tabs->currentWidget(), "Chat Log");
    auto* viewer = qobject_cast<ChatLogForm*>(tabs->widget(tabs->count() - 1));
    QVERIFY(viewer);
    tabs->setCurrentWidget(viewer);
    client.Child<QTabWidget>("tabControl")->setCurrentWidget(client.Child("chatTab"));
    auto* search = viewer->findChild<QLineEdit*>("searchEdit");
    search->setText("tea");
    for (int i = 0; i < 40; ++i)
        viewer->OnSearchForward();
    auto* log = viewer->findChild<QPlainTextEdit*>("logEdit");
    Shot("chatlog", {{"search", search}, {"log", log->viewport()}});
}

void tst_PageShots::colours()
{
    Client client("alice");
    client.window->setGeometry(QGuiApplication::primaryScreen()->geometry());
    client.Start();
    QVERIFY(QMetaObject::invokeMethod(client.window.get(), "OnSelectColors"));
    auto* dialog = client.window->findChild<ColorSelectionDialog*>();
    QVERIFY(dialog);
    Shot("colours", {{"Main UI", dialog->findChild<QWidget*>("groupBox")},
                     {"Chat", dialog->findChild<QWidget*>("chatGroupBox")},
                     {"Transfers", dialog->findChild<QWidget*>("groupBox_2")}});
}

void tst_PageShots::dialogs()
{
    Client client("alice");
    client.Start();
    // Each dialog as its opener makes it: the tool bar's actions and the window's slots.
    const QStringList shares = {"/home/alice/Music/Jazz/Blue Note 1500 series",
                                "/srv/share/Fotos/Urlaub 2019"};
    for (const QString& folder : shares)
        d.GetType("shared_folder")->GetItem(Value(folder.toStdString())).NewItem("shared_public");
    client.Trigger(client.Child("loginOptionsTab"), "Change Listening Port");
    client.Trigger(client.Child("loginOptionsTab"), "Change Username/Password");
    client.dialogs.folders << QString::fromUtf8("/home/alice/M\xc3\xbasica/Cl\xc3\xa1sica/"
                                                "Orquestas de c\xc3\xa1mara");
    client.Trigger(client.Child("fileSharingOptionsTab"), "Share Folder");
    client.window->findChild<AddSharedFolderDialog*>()->OnSelectFolderClicked();
    client.window->OnSharedFilesRescanned(12, 3);
    client.window->OnSelectColors();
    client.Trigger(client.Child("roomList"), "Create Room");
    client.window->OnShowData();
    client.window->OnTypeNavigator();
    // Start-up runs the first-run dialog modal; shown here beside the rest.
    (new ChangeUsernamePasswordDialog(true, client.window.get()))->show();
    // Not under the window nor under one another: the inspection dialogs smaller than they
    // open, then the tallest first, each in the first row with room.
    client.window->hide();
    QList<QDialog*> shown;
    for (QDialog* dialog : client.window->findChildren<QDialog*>()) {
        if (dialog->isVisible())
            shown << dialog;
    }
    QCOMPARE(shown.size(), 9);
    // Sized to what they hold now (the chosen folder's path).
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    for (QDialog* dialog : std::as_const(shown)) {
        if (dialog->width() > screen.width() / 2)
            dialog->resize(400, 230);
    }
    std::sort(shown.begin(), shown.end(),
              [](QDialog* a, QDialog* b) { return a->height() > b->height(); });
    QList<QPoint> rowEnds; // where each row goes on; a row is as tall as its first dialog
    int nextRow = 0;
    for (QDialog* dialog : std::as_const(shown)) {
        auto row = std::find_if(rowEnds.begin(), rowEnds.end(), [&](const QPoint& end) {
            return end.x() + dialog->width() <= screen.width();
        });
        if (row == rowEnds.end()) {
            row = rowEnds.insert(rowEnds.end(), QPoint(0, nextRow));
            nextRow += dialog->height() + 4;
        }
        dialog->move(*row);
        row->rx() += dialog->width() + 4;
    }
    Regions regions;
    for (QDialog* dialog : std::as_const(shown)) {
        const QString title = dialog->windowTitle();
        QVERIFY2(screen.contains(dialog->geometry()), qPrintable(title + " is off screen"));
        // Room for a window manager's buttons beside the whole title.
        QVERIFY2(dialog->fontMetrics().horizontalAdvance(title) + 120 <= dialog->width(),
                 qPrintable(title + " does not fit its title"));
        regions << std::pair<QString, QWidget*>(title, dialog);
    }
    Shot("dialogs", regions);
}

void tst_PageShots::complete()
{
    Client client("alice");
    client.window->setGeometry(QGuiApplication::primaryScreen()->geometry());
    client.Start();
    client.Child<QTabWidget>("tabControl")->setCurrentWidget(client.Child("transfersTab"));

    // 30 downloads finished over three days, from three users' folders.
    const char* const users[] = {"lena_k", "dj.marcus", "R&B collector"};
    const char* const folders[] = {"Bj\xc3\xb6rk\\Homogenic", "Soul & Funk",
                                   "Aretha Franklin - Lady Soul"};
    const QDateTime start(QDate(2026, 3, 1), QTime(9, 12, 5));
    for (int n = 0; n < 30; ++n) {
        const std::string name = QString("%1 - Track %2.mp3")
                                     .arg(n + 1, 2, 10, QLatin1Char('0'))
                                     .arg(n * 7 % 13 + 1)
                                     .toStdString();
        const QDateTime when = start.addSecs(qint64(n) * 7211 + n * n * 37);
        CompleteRecords::Make(users[n % 3], folders[n % 3], name,
                              std::to_string(3000000 + qint64(n) * 487331),
                              when.toString(Qt::TextDate).toStdString());
    }
    client.Trigger(client.Child("downloadsList"), "Complete Downloads");
    QVERIFY(completeDownloadsForm);
    auto* list = completeDownloadsForm->findChild<QTreeWidget*>("downloadList");
    QCOMPARE(list->topLevelItemCount(), 30);
    Shot("complete", {{"tab bar", client.Child<QTabWidget>("transfersTabControl")->tabBar()},
                      {"rows", list->viewport()}});
}

void tst_PageShots::results()
{
    Client client("alice");
    client.window->setGeometry(QGuiApplication::primaryScreen()->geometry());
    client.Start();
    client.LogIn();
    client.Child<QTabWidget>("tabControl")->setCurrentWidget(client.Child("searchTab"));
    auto* tabs = searchForm->findChild<QTabWidget*>("searchTabControl");
    TypeSearch(client, QStringLiteral("music"));
    auto* tab = qobject_cast<SearchResultsForm*>(tabs->currentWidget());
    QVERIFY(tab);
    QTreeWidget* tree = tab->searchResults();

    // 40 answers from 12 users, as their peers send them: some with a free slot, others with a
    // queue, at speeds from none to a few hundred kilobytes a second. The fastest one's name
    // holds a line break, to pass for a row of its own below its first line.
    const QList<QByteArray> users{"Zo\xeb & co", "bj\xf6rk_fan", "cafe_tacvba", "dj <b>bold</b>",
                                  "edith",       "fado",         "gamelan",     "hikaru",
                                  "ilse",        "jun\nmallory", "kora",        "lumi"};
    std::vector<std::unique_ptr<FakePeer>> peers;
    for (const QByteArray& user : users) {
        peers.push_back(DialMessaging(*peerMessenger, false, user));
        QVERIFY(peers.back());
    }
    ShareMaker maker(45);
    for (int i = 0; i < 40; ++i) {
        const int u = i % int(users.size());
        // The maker's tail (a free slot, 12,800 B/s, no queue) replaced.
        QByteArray body = maker.SearchReplyBody(users[u], 1, 3 + i % 5).chopped(9);
        body += WireWriter().u8(u % 3 == 0).u32(quint32(u * 23456 % 400000)).u32(quint32(u * 7));
        peers[size_t(u)]->SendFrame(WireWriter().u32(9).raw(Zlib(body)));
    }
    QTRY_COMPARE_WITH_TIMEOUT(d.GetType("search_results")->ItemCount(), size_t(40), kWaitMs);
    delayedInvoker->FirePendingNow();
    delayedInvoker->FirePendingNow();
    QCOMPARE(tree->topLevelItemCount(), 12);

    // Pictures and documents hidden, and two files queued.
    tab->filterEdit()->setText("-jpg -pdf -txt");
    QList<QTreeWidgetItem*> files;
    for (QTreeWidgetItemIterator it(tree, QTreeWidgetItemIterator::NotHidden); *it; ++it) {
        QTreeWidgetItem* folder = (*it)->parent();
        if (folder && folder->parent() && !folder->isHidden() && !folder->parent()->isHidden())
            files << *it;
    }
    QVERIFY(files.size() > 3);
    Q_EMIT tree->itemDoubleClicked(files[1], 4);
    Q_EMIT tree->itemDoubleClicked(files[3], 4);
    QCOMPARE(d.GetType("download_entry")->ItemCount(), size_t(2));

    Shot("results", {{"tab bar", tabs->tabBar()}, {"rows", tree->viewport()}});
    // The name with the line break reads on one line, its row as high as the others.
    const QList<QTreeWidgetItem*> broken = tree->findItems("jun mallory", Qt::MatchExactly, 0);
    const QList<QTreeWidgetItem*> plain = tree->findItems("edith", Qt::MatchExactly, 0);
    QCOMPARE(broken.size(), 1);
    QCOMPARE(plain.size(), 1);
    QCOMPARE(tree->visualItemRect(broken[0]).height(), tree->visualItemRect(plain[0]).height());
}

void tst_PageShots::rooms()
{
    Client client("alice");
    client.window->setGeometry(QGuiApplication::primaryScreen()->geometry());
    client.Start();
    client.LogIn();
    const HeldClock clock(QDateTime(QDate(2026, 3, 5), QTime(21, 30, 0)));
    const QByteArray room = "Caf\xc3\xa9 Li\xc3\xa9geois";
    for (const char* name : {"Jazz & Blues", "lobby", "indie"})
        ServerStore::Link(ServerStore::Room(name), "user_count", Value(quint64(strlen(name))));

    // 200 users: flags or none, a few files or many thousands, slow or idle, one named in markup.
    const char* const stems[] = {"ann", "Bob", "carla", "Dieter", "Jos\xe9", "olga", "R&B_", "z"};
    const char* const countries[] = {"DE", "fr", "nl", "us", "br", "jp", ""};
    QList<RoomUser> users;
    for (int i = 0; i < 200; ++i) {
        users << RoomUser(i == 7 ? "<img src=x>" : stems[i % 8] + QByteArray::number(i * 37 % 200),
                          i % 3 ? i * 3517 % 400000 : 0, i * i * 131 % (i % 5 ? 9000 : 90000),
                          countries[i % 7]);
    }
    QVERIFY(client.Deliver(RoomEnteredReply(room, users)));
    auto* form = qobject_cast<RoomForm*>(client.Child<QTabWidget>("roomsTabControl")->widget(0));
    QVERIFY(form);
    const char* const lines[] = {"good evening all", "anyone have the 1959 sessions?", "/me waves",
                                 "try https://example.org/jazz?set=59&q=flac", "\xe2\x98\x95",
                                 "<b>not bold</b> & not a link"};
    for (int i = 0; i < 100; ++i) {
        Clock::AdvanceMs(9000);
        QVERIFY(client.Deliver(
            WireWriter().u32(ServerCode::RoomChat).str(room).str(users[i * 7 % 200].name).str(
                lines[i % 6])));
    }
    QCOMPARE(form->Users().size(), 200);
    client.Child<QTabWidget>("tabControl")->setCurrentWidget(client.Child("roomsTab"));
    Shot("rooms", {{"room list", client.Child<QTreeWidget>("roomList")->viewport()},
                   {"users", form->findChild<QTreeWidget*>("userList")->viewport()},
                   {"chat", form->findChild<QWidget*>("chatView")}});
}

void tst_PageShots::usermenu()
{
    Client client("alice");
    client.window->setGeometry(QGuiApplication::primaryScreen()->geometry());
    client.Start();
    client.LogIn();
    // Three private rooms: one owned, one owned and operated, one operated, each in its own role
    // for the user.
    const char* const rooms[] = {"Jazz & Blues", "vinyl swaps", "Caf\xc3\xa9 Li\xc3\xa9geois"};
    for (int i = 0; i < 3; ++i) {
        const ItemPtr room = ServerStore::Room(rooms[i]);
        if (i < 2)
            ServerStore::SetFlag(room, ServerTypes::IsOwner);
        if (i > 0)
            ServerStore::SetFlag(room, ServerTypes::IsOperator);
        if (i != 1)
            room.NewItem(ServerTypes::RoomMembers) += ServerStore::User("Dieter");
    }
    QList<RoomUser> users;
    for (const char* name : {"ann", "Bob", "carla", "Dieter", "Jos\xe9", "olga", "R&B_"})
        users << RoomUser(name, 120000, 4200, "de");
    QVERIFY(client.Deliver(RoomEnteredReply("lobby", users)));
    auto* form = qobject_cast<RoomForm*>(client.Child<QTabWidget>("roomsTabControl")->widget(0));
    QVERIFY(form);
    QCOMPARE(form->Users().size(), 7);
    client.Child<QTabWidget>("tabControl")->setCurrentWidget(client.Child("roomsTab"));
    auto* list = form->findChild<QTreeWidget*>("userList");
    QVERIFY(QTest::qWaitForWindowExposed(client.window.get()));

    QTreeWidgetItem* row = list->findItems("Dieter", Qt::MatchExactly, 2).value(0);
    QVERIFY(row);
    client.dialogs.whileMenuOpen = [list](QMenu* menu) {
        // The rooms' submenu open too, as a user pointing at it sees it.
        QMenu* rooms = menu->actions().constLast()->menu();
        menu->setActiveAction(menu->actions().constLast());
        rooms->popup(menu->mapToGlobal(menu->actionGeometry(menu->actions().constLast())
                                           .topRight()));
        Shot("usermenu", {{"menu", menu}, {"rooms", rooms}, {"users", list->viewport()}});
        rooms->hide();
    };
    Q_EMIT list->customContextMenuRequested(list->visualItemRect(row).center());
    QCOMPARE(client.dialogs.menus.size(), 1);
}

QTEST_MAIN(tst_PageShots)
#include "pageshots.moc"

// Text that other users and the server chose, in the window's rows and tabs: every cell shows it
// on one line (line breaks as blanks, direction controls as U+FFFD, long text cut short), its row
// as high as a plain one, and what a row or tab stands for goes back to the server or a peer as
// the bytes that came, whatever its cell shows: result rows and related searches, transfers and
// finished downloads, the room list, room tabs and their users, and the user lists.

#include "shell/MainWindowClient.h"

#include "peer/PeerMessenger.h"
#include "server/ServerSchema.h"
#include "server/ServerStore.h"
#include "shares/SharesSchema.h"
#include "shell/DisplayText.h"
#include "shell/ShellTypes.h"
#include "store/TurnBudget.h"
#include "support/CompleteRecords.h"
#include "support/PeerBodies.h"
#include "support/PeerDial.h"
#include "transfers/TransferQueueManager.h"
#include "ui/chat/QRoomListItemWidget.h"
#include "ui/chat/RoomForm.h"
#include "ui/search/SearchForm.h"
#include "ui/search/SearchResultsForm.h"
#include "ui/transfers/CompleteDownloadsForm.h"
#include "ui/transfers/TransfersForm.h"
#include "ui/users/UserListForm.h"
#include "ui/users/UserMenuOptions.h"

#include <QLineEdit>
#include <QMenu>
#include <QTabWidget>
#include <QTreeWidget>

#include <memory>

namespace {

// The bytes another user or the server sent, and the cells made of them: as a name (a byte a
// character) and as UTF-8 text.
void AddTexts()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("asName");
    QTest::addColumn<QString>("asText");
    const QString fake = "a mallory  Y  fake0.mp3 ";
    QTest::newRow("line feeds") << QByteArray("a\nmallory  Y  fake0.mp3\n") << fake << fake;
    QTest::newRow("CR LF, separators") << QByteArray("a\r\nb\xe2\x80\xa8"
                                                     "c\xe2\x80\xa9"
                                                     "d")
                                       << QString::fromLatin1("a  b\xe2\x80\xa8"
                                                              "c\xe2\x80\xa9"
                                                              "d")
                                       << "a  b c d";
    QTest::newRow("direction controls") << QByteArray("\xe2\x80\xae"
                                                      "3pm.exe")
                                        << QString::fromLatin1("\xe2\x80\xae"
                                                               "3pm.exe")
                                        << "\ufffd3pm.exe";
    QTest::newRow("Latin-1") << QByteArray("Caf\xe9") << "Caf\u00e9"
                             << "Caf\ufffd";
    const QString cut = QString(kMaxCellChars - 1, 'x') + "\u2026";
    QTest::newRow("long") << QByteArray(3 * kMaxCellChars, 'x') << cut << cut;
}

// The cell of a text with something after it: cut, the end is gone too.
QString Then(const QString& cell, const QString& after)
{
    return cell.endsWith(u'\u2026') ? cell : cell + after;
}

int Height(QTreeWidgetItem* row)
{
    return row->treeWidget()->visualItemRect(row).height();
}

// The first row of the tree whose tie of that type stands for the item.
QTreeWidgetItem* TiedTo(QTreeWidget* tree, const char* tie, const char* type, ItemPtr item)
{
    for (QTreeWidgetItemIterator it(tree); *it; ++it) {
        if (Ties::Find(tie, *it)[type] == item)
            return *it;
    }
    return nullptr;
}

// Whether the user has a private chat tab: what "Message user" of a row's menu opens.
bool ChatOpen(const QByteArray& user)
{
    return bool(ServerStore::User(user.toStdString())[ShellTypes::UserChatWidget]);
}

// The row's menu, "Message user" chosen.
void MessageUserOf(Client& client, QTreeWidgetItem* row)
{
    client.dialogs.menuChoices << "Message user";
    QTreeWidget* tree = row->treeWidget();
    Q_EMIT tree->customContextMenuRequested(tree->visualItemRect(row).center());
}

// The user whose entries the row's menu holds.
std::string MenuUserOf(Client& client, QTreeWidgetItem* row)
{
    std::string user;
    client.dialogs.whileMenuOpen = [&user](QMenu* menu) {
        if (auto* options = menu->findChild<UserMenuOptions*>())
            user = options->User();
    };
    QTreeWidget* tree = row->treeWidget();
    Q_EMIT tree->customContextMenuRequested(tree->visualItemRect(row).center());
    client.dialogs.whileMenuOpen = nullptr;
    return user;
}

// The client logged in, on that page.
std::unique_ptr<Client> LoggedIn(const char* page)
{
    auto client = std::make_unique<Client>("alice");
    client->Start();
    client->LogIn();
    client->Child<QTabWidget>("tabControl")->setCurrentWidget(client->Child(page));
    return client;
}

QByteArray SearchFrame(const QByteArray& text)
{
    return WireWriter().str(text).bytes();
}

} // namespace

class tst_PeerText : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void resultRows_data();
    void resultRows();
    void transferRows_data();
    void transferRows();
    void roomRows_data();
    void roomRows();
    void userListRows_data();
    void userListRows();
};

void tst_PeerText::initTestCase()
{
    TurnBudget::SetStepsPerSliceForTesting(TurnBudget::kAtOnceForTesting);
}

void tst_PeerText::resultRows_data()
{
    AddTexts();
}

void tst_PeerText::resultRows()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, asName);
    QFETCH(QString, asText);
    const auto started = LoggedIn("searchTab");
    Client& client = *started;
    auto* line = client.Child<QLineEdit>("searchEdit");
    line->setText("abc");
    Q_EMIT line->returnPressed();
    auto* tab = qobject_cast<SearchResultsForm*>(
        client.Child<QTabWidget>("searchTabControl")->currentWidget());
    QVERIFY(tab);
    QTreeWidget* tree = tab->searchResults();

    // A user of that name answers with a folder and a file so named; another user, plainly.
    std::vector<std::unique_ptr<FakePeer>> peers;
    for (const QByteArray& user : {text, QByteArray("plain")}) {
        peers.push_back(DialMessaging(*peerMessenger, false, user));
        QVERIFY(peers.back());
        const QByteArray record = FileRecord("music\\" + user + "\\" + user + ".mp3", 1000);
        peers.back()->SendFrame(WireWriter().u32(9).raw(
            Zlib(ReplyBody(user, 1, 1, record, WireWriter().u8(1).u32(0).u32(0)))));
    }
    QTRY_COMPARE_WITH_TIMEOUT(d.GetType("search_results")->ItemCount(), size_t(2), kWaitMs);
    searchForm->AddArrivedResults();
    QCOMPARE(tree->topLevelItemCount(), 2);
    const auto rows = [tree](const QByteArray& user) {
        QTreeWidgetItem* row = TiedTo(tree, "search_results_user_node", ServerTypes::User,
                                      ServerStore::User(user.toStdString()));
        return std::vector<QTreeWidgetItem*>{row, row->child(0), row->child(0)->child(0)};
    };
    const std::vector<QTreeWidgetItem*> hostile = rows(text), plain = rows("plain");
    QCOMPARE(hostile[0]->text(0), asName);
    QCOMPARE(hostile[1]->text(3), Then(asText, "/music"));
    QCOMPARE(hostile[2]->text(4), Then(asText, ".mp3"));
    for (size_t level = 0; level < 3; ++level)
        QCOMPARE(Height(hostile[level]), Height(plain[level]));

    // The file is asked for as the peer named it; the user's menu is the user's.
    Q_EMIT tree->itemDoubleClicked(hostile[2], 4);
    const ItemPtr entry = d.GetType("download_entry")->GetItems().First();
    QCOMPARE(entry["user"].AsString(), text.toStdString());
    QCOMPARE(entry["remote_folder"].AsString(), ("music\\" + text).toStdString());
    QCOMPARE(entry["file_name"].AsString(), (text + ".mp3").toStdString());
    MessageUserOf(client, hostile[0]);
    QVERIFY(ChatOpen(text));
    auto* chats = client.Child<QTabWidget>("chatTabControl");
    QCOMPARE(chats->tabText(chats->count() - 1), EscapeMnemonics(asName));

    // A related search the server named so: shown on one line, searched as it came.
    QVERIFY(client.Deliver(WireWriter()
                               .u32(ServerCode::SearchCorrelations)
                               .str("abc")
                               .u32(2)
                               .str(text)
                               .i32(9)
                               .str("plain")
                               .i32(1)
                               .bytes()));
    QTreeWidget* related = tab->CorrelationsWidget();
    QCOMPARE(related->topLevelItem(0)->text(0), asText);
    QCOMPARE(Height(related->topLevelItem(0)), Height(related->topLevelItem(1)));
    client.Sent();
    Q_EMIT related->itemDoubleClicked(related->topLevelItem(0), 0);
    const QList<QByteArray> sent = client.Sent();
    QCOMPARE(sent.size(), 2); // the search, and its related searches asked for
    QVERIFY(sent[0].endsWith(SearchFrame(text)));
}

void tst_PeerText::transferRows_data()
{
    AddTexts();
}

void tst_PeerText::transferRows()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, asName);
    QFETCH(QString, asText);
    const auto started = LoggedIn("transfersTab");
    Client& client = *started;
    auto* downloads = client.Child<QTreeWidget>("downloadsList");

    // A download named so throughout, refused for a reason so written, and a plain one.
    const std::string bytes = text.toStdString();
    ItemPtr entry =
        transferQueueManager->AddDownload(bytes, bytes + ".mp3", "music\\" + bytes, 1000, 0);
    const ItemPtr plain = transferQueueManager->AddDownload("plain", "plain.mp3", "music", 1000, 0);
    entry += d.GetType("denial_reason")->GetItem(Value(bytes));
    transferQueueManager->SetDownloadEntryStatus(entry, "denied");
    entry += d.GetType(ServerTypes::SearchRequestText)->GetItem(Value(bytes));
    transfersForm->RefreshMarkedRows();
    const auto rows = [downloads](ItemPtr e) {
        QTreeWidgetItem* file = TiedTo(downloads, "download_list_node", "download_entry", e);
        return std::vector<QTreeWidgetItem*>{file->parent()->parent(), file->parent(), file};
    };
    const std::vector<QTreeWidgetItem*> hostile = rows(entry), shown = rows(plain);
    for (QTreeWidgetItem* row : {hostile[0], hostile[1], shown[0], shown[1]})
        row->setExpanded(true);
    QCOMPARE(hostile[0]->text(0), asName);
    QCOMPARE(hostile[1]->text(1), Then(asText, "/music"));
    QCOMPARE(hostile[2]->text(2), Then(asText, ".mp3"));
    QCOMPARE(hostile[2]->text(3), asName.toLower());
    for (size_t level = 0; level < 3; ++level)
        QCOMPARE(Height(hostile[level]), Height(shown[level]));

    // The search it came from is run again as it was sent.
    client.Sent();
    client.dialogs.menuChoices << "Re-run Search: " + EscapeMnemonics(asText);
    Q_EMIT downloads->customContextMenuRequested(downloads->visualItemRect(hostile[2]).center());
    const QList<QByteArray> sent = client.Sent();
    QVERIFY(!sent.isEmpty());
    QVERIFY(sent[0].endsWith(SearchFrame(text)));

    // Finished, in the list of finished downloads.
    CompleteRecords::Make(bytes, bytes, bytes + ".mp3", "1000", "Thu Mar 5 14:05:09 2026");
    CompleteRecords::Make("plain", "plain", "plain.mp3", "1000", "Thu Mar 5 14:05:09 2026");
    client.Trigger(downloads, "Complete Downloads");
    QVERIFY(completeDownloadsForm);
    auto* complete = completeDownloadsForm->findChild<QTreeWidget*>("downloadList");
    QCOMPARE(complete->topLevelItemCount(), 2);
    QTreeWidgetItem* done = complete->findItems(asName, Qt::MatchExactly, 2).value(0);
    QVERIFY(done);
    QCOMPARE(done->text(0), Then(asText, ".mp3"));
    QCOMPARE(done->text(1), asText);
    QCOMPARE(Height(done), Height(complete->findItems("plain", Qt::MatchExactly, 2).value(0)));
}

void tst_PeerText::roomRows_data()
{
    AddTexts();
}

void tst_PeerText::roomRows()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, asName);
    QFETCH(QString, asText);
    const auto started = LoggedIn("roomsTab");
    Client& client = *started;
    auto* list = client.Child<QTreeWidget>("roomList");
    const std::string room = text.toStdString();
    QRoomListItemWidget* row =
        QRoomListItemWidget::FromItem(ServerStore::Room(room)[ShellTypes::RoomNode]);
    QRoomListItemWidget* plain =
        QRoomListItemWidget::FromItem(ServerStore::Room("plain")[ShellTypes::RoomNode]);
    QVERIFY(row && plain);
    QCOMPARE(row->text(0), asText);
    QCOMPARE(Height(row), Height(plain));

    // Entered by a double click and from the bar: the room of these bytes, not of the cell's.
    const QByteArray enter = frameOf(WireWriter().u32(ServerCode::EnterRoom).str(text).u32(0));
    client.Sent();
    Q_EMIT list->itemDoubleClicked(row, 0);
    QCOMPARE(client.Sent(), QList<QByteArray>{enter});
    list->setCurrentItem(row);
    client.Trigger(list, "Enter Room");
    QCOMPARE(client.Sent(), QList<QByteArray>{enter});

    // Its tab, with a user of that name beside a plain one.
    QVERIFY(client.Deliver(RoomEnteredReply(text, {RoomUser(text, 0, 1, ""), "plain"})));
    auto* tabs = client.Child<QTabWidget>("roomsTabControl");
    QCOMPARE(tabs->count(), 1);
    QCOMPARE(tabs->tabText(0), EscapeMnemonics(asText));
    auto* form = qobject_cast<RoomForm*>(tabs->widget(0));
    auto* users = form->findChild<QTreeWidget*>("userList");
    // Listed by the tab's own turns of the event loop, after the answer was read.
    QTRY_COMPARE_WITH_TIMEOUT(users->topLevelItemCount(), 2, kWaitMs);
    QTreeWidgetItem* user = users->findItems(asName, Qt::MatchExactly, 2).value(0);
    QVERIFY(user);
    QCOMPARE(Height(user), Height(users->findItems("plain", Qt::MatchExactly, 2).value(0)));
    QCOMPARE(MenuUserOf(client, user), room);

    // The tab's actions work on its room: no room of another name comes to be.
    client.Trigger(form, "Auto-Join Room [off]");
    QVERIFY(ServerStore::Room(room).IsConnected(ServerTypes::RoomAutojoin));
    QCOMPARE(d.GetType(ServerTypes::Room)->ItemCount(), size_t(2));
}

void tst_PeerText::userListRows_data()
{
    AddTexts();
}

void tst_PeerText::userListRows()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, asName);
    Client client("alice");
    client.Start();
    client.Child<QTabWidget>("tabControl")->setCurrentWidget(userListForm);
    for (const QByteArray& name : {text, QByteArray("plain")}) {
        ItemPtr user = ServerStore::User(name.toStdString());
        user.NewItem(ServerTypes::InUserList);
        ServerStore::SetFlag(user, SharesTypes::Unshared);
        ServerStore::SetFlag(user, ServerTypes::IsIgnored);
    }
    for (const char* name : {"userList", "unsharedList", "ignoredList"}) {
        auto* list = client.Child<QTreeWidget>(name);
        userListForm->findChild<QTabWidget*>("tabWidget")->setCurrentWidget(list->parentWidget());
        QTreeWidgetItem* row = list->findItems(asName, Qt::MatchExactly, 0).value(0);
        QVERIFY2(row, name);
        QCOMPARE(Height(row), Height(list->findItems("plain", Qt::MatchExactly, 0).value(0)));
        QCOMPARE(MenuUserOf(client, row), text.toStdString());
    }
}

QTEST_MAIN(tst_PeerText)
#include "tst_peertext.moc"

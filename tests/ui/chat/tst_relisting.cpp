// Room tabs' user lists listed again a step at a time, as the window lists them: the view stays
// where the user has it, and a click, a menu or a tool-bar action reaches the row painted.

#include "ChatTestScene.h"

#include "server/ServerStore.h"
#include "shell/DisplayText.h"
#include "shell/FormHooks.h"
#include "shell/RoomMessages.h"
#include "store/Clock.h"
#include "store/SlicedJob.h"
#include "store/TurnBudget.h"
#include "support/PaintedRow.h"
#include "support/ScriptedDialogs.h"
#include "ui/chat/QRoomUserListItemWidget.h"
#include "ui/chat/RoomForm.h"
#include "ui/chat/RowRelisting.h"

#include <QBuffer>
#include <QDeadlineTimer>
#include <QHeaderView>
#include <QMenu>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTest>
#include <QTreeWidget>

#include <algorithm>
#include <functional>
#include <memory>

namespace {

// The room's answer again, every user in it linked at once: those who came and went are listed
// in one change.
void AnswerAtOnce(ChatTestScene& scene, const QList<RoomUser>& users)
{
    QBuffer frames;
    frames.setData(frameOf(RoomEnteredReply("r", users)));
    frames.open(QIODevice::ReadOnly);
    scene.env.server().ReadFrames(frames);
}

// A listing from a script: "n2000" rows u000000.. in a list sorted on their names ("ties": on a
// key with ties, 0, 1 or 2); "v1000" the view at that scroll value ("vend": at its bottom); "c5"
// the row at 5 current; "-10:20/3" every third row from 10 to 19 goes; "+7*20" 20 rows come
// right before row 7 (group by group, in order); "r10:20" the keys of rows 10..19 change, every
// row sorted again; mid-listing, the user presses "End", drags the bar to its end ("drag") or to
// a share of its range ("s40": 40%), or clicks a row in view ("k3").
struct ScriptedListing
{
    using Row = std::pair<QString, QString>; // name, key
    explicit ScriptedListing(const QString& script)
    {
        const auto name = [](int i) { return QString("u%1").arg(i, 6, 10, QChar('0')); };
        for (const QString& token : script.split(' ')) {
            const QStringList n = token.mid(1).split(QRegularExpression("[:*/]"));
            const int a = n[0].toInt(), b = n.value(1).toInt(), c = n.value(2, "1").toInt();
            if (token[0] == 'n') {
                for (int i = 0; i < a; ++i)
                    rows << Row(name(i),
                                script.contains("ties") ? QString::number(i * 7 % 3) : name(i));
                std::stable_sort(rows.begin(), rows.end(), Less);
                after = rows;
            } else if (token[0] == 'v' || token[0] == 'c') {
                (token[0] == 'v' ? value : current) = token == "vend" ? -1 : a;
            } else if (token[0] == '-') {
                for (int i = a; i < b; i += c)
                    gone.insert(rows[i].first);
            } else if (token[0] == '+') {
                for (int j = 0; j < b; ++j) {
                    const QString at = a > 0 ? rows[a - 1].first : "u";
                    come << Row(at + QString(".%1").arg(come.size(), 5, 10, QChar('0')),
                                script.contains("ties") ? QString::number(j % 3) : QString());
                    come.back().second =
                        come.back().second.isEmpty() ? come.back().first : come.back().second;
                }
            } else if (token[0] == 'r') {
                resort = true;
                for (int i = a; i < b; ++i)
                    after[i].second = QString::number((after[i].second.toInt() + 1) % 3);
            } else if (token != "ties") {
                action = token;
            }
        }
        after.erase(std::remove_if(after.begin(), after.end(),
                                   [this](const Row& r) { return gone.contains(r.first); }),
                    after.end());
        after += come;
        std::stable_sort(after.begin(), after.end(), Less);
    }
    static bool Less(const Row& a, const Row& b) { return a.second < b.second; }
    QList<Row> rows;
    QSet<QString> gone;
    QList<Row> come;
    QList<Row> after;
    int value = 0;
    int current = -1;
    bool resort = false;
    QString action;
};

} // namespace

class tst_Relisting : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void relistedUserListAnswersWhatItPaints_data();
    void relistedUserListAnswersWhatItPaints();
    void relistedViewKeepsItsValueWithoutItsRows_data();
    void relistedViewKeepsItsValueWithoutItsRows();
    void relistingKeepsTheUsersPlace_data();
    void relistingKeepsTheUsersPlace();
};

void tst_Relisting::relistedUserListAnswersWhatItPaints_data()
{
    // Turn after turn while the list, sorted on the speed, takes in a slice at a time an answer
    // in which every speed has changed, the user clicks the row painted at a point, the last
    // click holding, or right-clicks it. Of 3,000 users, 500 have left and 1,000 come; or all of
    // 6,000 stay, too many to sort again at once. Or, a row in view chosen, the user watches with
    // the view at its top or scrolled down, the tab shown or hidden, or drags the scroll bar to
    // its end or presses End or Page Down: as every third speed changes (rows moved a few a step)
    // or the Files header is clicked (the list rebuilt).
    QTest::addColumn<QString>("action");
    QTest::addColumn<bool>("header");
    QTest::addColumn<QString>("place");
    QTest::addColumn<int>("before");
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("to");
    QTest::newRow("click") << "click" << false << "scrolled" << 3000 << 500 << 4000;
    QTest::newRow("menu") << "menu" << false << "scrolled" << 3000 << 500 << 4000;
    QTest::newRow("click, 6,000 sorted again")
        << "click" << false << "scrolled" << 6000 << 0 << 6000;
    for (const char* action : {"watch", "hide", "bottom", "End", "PageDown"}) {
        for (const char* place : {"top", "scrolled"}) {
            for (bool header : {false, true})
                QTest::addRow("%s, %s, %s", action, place, header ? "header" : "answer")
                    << action << header << place << 6000 << 0 << 6000;
        }
    }
}

void tst_Relisting::relistedUserListAnswersWhatItPaints()
{
    QFETCH(QString, action);
    QFETCH(bool, header);
    QFETCH(QString, place);
    QFETCH(int, before);
    QFETCH(int, from);
    QFETCH(int, to);

    ChatTestScene scene;
    QVERIFY(scene.env.logIn());
    RoomForm form("r");
    form.Init();
    form.resize(600, 400);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    auto* list = form.findChild<QTreeWidget*>("userList");
    list->header()->setSortIndicator(5, Qt::DescendingOrder);
    QList<RoomUser> users;
    for (int i = 0; i < std::max(before, to); ++i)
        users << FloodUser(i);
    scene.env.fake().sendFrame(RoomEnteredReply("r", users.mid(0, before)));
    QTRY_COMPARE_WITH_TIMEOUT(list->topLevelItemCount(), before, 20000);
    // Scrolled to the top of the view, a user who stays chosen and stays there; a row lower aimed
    // at.
    QTreeWidgetItem* chosen = list->findItems("Zo\u00eb499", Qt::MatchExactly, 2).value(0);
    list->scrollToItem(chosen, QAbstractItemView::PositionAtTop);
    PaintedRow painted(list, QPoint(60, list->visualItemRect(list->topLevelItem(0)).height() * 4),
                       2);
    painted.Put(place);
    // Or a row in view below it, whose speed changes as every third one's.
    const bool clicks = action == "click" || action == "menu";
    if (!clicks)
        chosen = list->topLevelItem(list->indexOfTopLevelItem(painted.top) + 3);
    list->setCurrentItem(painted.current = chosen);
    ScriptedDialogs dialogs;
    FormHooks::Get().fillUserMenu = [](QMenu* m, const std::string& u) {
        m->addAction(NameText(u));
    };
    const std::shared_ptr<void> unhook(nullptr, [](void*) { FormHooks::Get().fillUserMenu = {}; });

    users = users.mid(from, to - from);
    for (int i = 0; i < users.size(); ++i) {
        if (clicks || i % 3 == 0 || QString::fromLatin1(users[i].name) == chosen->text(2))
            users[i].speed = quint32(i * 7919 % 3000) * 512;
    }
    const TurnBudget::StepsForTesting sliced(1);
    if (header)
        QTest::mouseClick(list->header()->viewport(), Qt::LeftButton, {},
                          QPoint(list->header()->sectionViewportPosition(4) + 5, 5));
    else
        scene.env.fake().sendFrame(RoomEnteredReply("r", users));
    // Read in part: the rows given new speeds are out of order until listed again.
    QTRY_VERIFY_WITH_TIMEOUT(!painted.InOrder(), 20000);
    // Painted as the user last saw it, hidden or not.
    list->viewport()->repaint();
    form.setVisible(action != "hide");
    int turns = 0;
    const bool listed = painted.EachTurn(to - from, [&](const QString& shown) {
        painted.Act(action, ++turns);
        if (action != "menu")
            return;
        const QPoint at = list->viewport()->mapToGlobal(painted.at);
        QContextMenuEvent event(QContextMenuEvent::Mouse, painted.at, at);
        QApplication::sendEvent(list->viewport(), &event);
        QCOMPARE(dialogs.menus.value(dialogs.menus.size() - 1).entries, QStringList{shown});
        dialogs.menus.clear();
    });
    QVERIFY(listed);
    // Listed a step a turn, the window never held for the whole.
    QVERIFY2(turns > 10, qPrintable(QString::number(turns)));
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QCoreApplication::processEvents();
    painted.CheckKept();
    QCOMPARE(list->currentItem(), painted.current);
    QCOMPARE(list->selectedItems(), QList{painted.current});
}

void tst_Relisting::relistedViewKeepsItsValueWithoutItsRows_data()
{
    // Of count users in order by name, the view at a scroll value (-1: its bottom), the first
    // kept stay and added more come after them, in one listing: of a list of their names shown,
    // a step a turn, or of the room tab's list on the room's answer again, read and listed at
    // once. The view keeps its value, or the nearest one the rows allow; at its bottom, it stays
    // there.
    for (const char* column : {"count", "value", "kept", "added"})
        QTest::addColumn<int>(column);
    QTest::addColumn<bool>("room");
    for (bool room : {false, true}) {
        const char* list = room ? "room" : "list";
        QTest::addRow("%s: the last 200 of 20,000 go", list)
            << 20000 << 19900 << 19800 << 5000 << room;
        QTest::addRow("%s: 20,000 replaced", list) << 20000 << 1000 << 0 << 20000 << room;
        QTest::addRow("%s: top", list) << 20000 << 0 << 0 << 20000 << room;
        QTest::addRow("%s: bottom", list) << 20000 << -1 << 19800 << 5000 << room;
    }
    // Rows moved one by one, not the list rebuilt, past 65,536 out and in.
    QTest::newRow("list: 40,000 replaced") << 40000 << 1000 << 0 << 40000 << false;
}

void tst_Relisting::relistedViewKeepsItsValueWithoutItsRows()
{
    QFETCH(int, count);
    QFETCH(int, value);
    QFETCH(int, kept);
    QFETCH(int, added);
    QFETCH(bool, room);

    QList<RoomUser> users;
    for (int i = 0; i < count + added; ++i)
        users << RoomUser(QString("u%1").arg(i, 6, 10, QChar('0')).toLatin1(), 0, 0, "");
    const QList<RoomUser> after = users.mid(0, kept) + users.mid(count);
    users.remove(count, added);
    ChatTestScene scene;
    QVERIFY(scene.env.logIn());
    RoomForm form("r");
    form.Init();
    QTreeWidget plain;
    plain.setUniformRowHeights(true);
    QTreeWidget* list = room ? form.findChild<QTreeWidget*>("userList") : &plain;
    list->window()->resize(600, 400);
    list->window()->show();
    QVERIFY(QTest::qWaitForWindowExposed(list->window()));
    // The room's answer, listed a step a slice and laid out between as the window lists it, or
    // the list's rows from a place on gone and those of the answer come.
    const auto answer = [&](const QList<RoomUser>& now, int from) {
        if (room) {
            const TurnBudget::StepsForTesting sliced(1);
            AnswerAtOnce(scene, now);
            const auto listed = [&] {
                for (int i = 0; i < now.size(); ++i) {
                    if (i >= list->topLevelItemCount() ||
                        list->topLevelItem(i)->text(2) != QString::fromLatin1(now[i].name))
                        return false;
                }
                return list->topLevelItemCount() == now.size();
            };
            for (QDeadlineTimer deadline(60000); !listed() && !deadline.hasExpired();) {
                QCoreApplication::processEvents();
                list->doItemsLayout();
            }
            QVERIFY(listed());
            return;
        }
        std::vector<QTreeWidgetItem*> gone, come;
        for (int i = from; i < plain.topLevelItemCount(); ++i)
            gone.push_back(plain.topLevelItem(i));
        for (const RoomUser& user : now.mid(from))
            come.push_back(new QTreeWidgetItem(QStringList{QString::fromLatin1(user.name)}));
        RowRelisting relisting(&plain, gone, come,
                               [](auto* a, auto* b) { return a->text(0) < b->text(0); });
        while (relisting.Step())
            QCoreApplication::processEvents();
        qDeleteAll(relisting.TakeGone());
    };
    answer(users, 0);
    QScrollBar* bar = list->verticalScrollBar();
    bar->setValue(value < 0 ? bar->maximum() : value);
    answer(after, kept);
    QCoreApplication::processEvents();
    QCOMPARE(list->topLevelItemCount(), after.size());
    QCOMPARE(bar->value(), value < 0 ? bar->maximum() : std::min(value, bar->maximum()));
}

void tst_Relisting::relistingKeepsTheUsersPlace_data()
{
    // Listings (ScriptedListing) of a list of names, or of the room tab's users on the room's
    // answer again, shown, a step a slice and laid out between, or sliced by the clock as the
    // window runs them. The view stays where the user has it: the top at the top, the bottom at the
    // bottom, the user's top row at the top, or, if it goes, the next row that stays; the rows
    // in order, the current row kept, the only one selected, unless it went.
    QTest::addColumn<bool>("room");
    QTest::addColumn<bool>("sliced");
    QTest::addColumn<QString>("script");
    const std::pair<const char*, const char*> cases[] = {
        {"rows after the top one go, others come", "n2000 v1000 -1001:2000 +2000*100"},
        {"it and every row after it go in steps", "n3000 v2730 -2000:3000 +3000*1500"},
        {"a tenth before it go and most after it", "n2000 v1900 -0:1900/10 -1901:1987 +2000*500"},
        {"every row before it goes, 20 come", "n2000 v1000 -0:1000 +1000*20"},
        {"End mid-listing", "n2000 v1900 -1800:2000 +2000*500 End"},
        {"bar dragged to its end mid-listing", "n2000 v1900 -1800:2000 +2000*500 drag"},
        {"it and the 9 before it go", "n2000 v1000 -991:1001"},
        {"it and the 30 before it go", "n2000 v1000 -970:1001"},
        {"it goes, 20 come before it", "n2000 v1000 -1000:1001 +1000*20"},
    };
    for (const auto& [name, script] : cases) {
        for (int run = 0; run < 4; ++run)
            QTest::addRow("%s, %s, %s", name, run & 1 ? "room" : "list",
                          run & 2 ? "by the clock" : "a step a slice")
                << bool(run & 1) << !(run & 2) << QString(script);
    }
    // Random listings, QV_LISTINGS of them (QV_LISTINGS_SEED): a few hundred by default.
    const int count = qEnvironmentVariableIsSet("QV_LISTINGS")
                          ? qEnvironmentVariableIntValue("QV_LISTINGS")
                          : 200;
    QRandomGenerator random(quint32(qEnvironmentVariableIntValue("QV_LISTINGS_SEED")));
    for (int i = 0; i < count; ++i) {
        const bool room = i % 2;
        const int n = int(random.bounded(20, 3000));
        const auto any = [&random](int to) { return int(random.bounded(std::max(to, 1))); };
        QStringList script{QString("n%1").arg(n)};
        // Rows go and come around the view's top row as often as anywhere: from or up to it,
        // a few or up to the end.
        const int view = any(5), top = any(n);
        script << (view == 0 ? "v0" : view == 1 ? "vend" : QString("v%1").arg(top));
        script << QString("c%1").arg(any(n));
        const auto near = [&] {
            const int place[] = {any(n), top - any(30), top, top + 1, top + any(30), 0};
            return std::clamp(place[any(6)], 0, n);
        };
        for (int k = any(4); k > 0; --k) {
            const int a = near(), b = any(3) ? near() : n, few = std::min(n, a + 1 + any(40));
            script << QString("-%1:%2/%3")
                          .arg(std::min(a, b))
                          .arg(a < b ? b : few)
                          .arg(any(3) ? 1 : 1 + any(10));
        }
        for (int k = any(4); k > 0; --k)
            script << QString("+%1*%2").arg(any(3) ? near() : n).arg(1 + any(any(2) ? 40 : 1500));
        if (!room && any(2)) {
            script << "ties";
            if (any(2)) {
                const int a = any(n);
                script << QString("r%1:%2").arg(a).arg(a + 1 + any(n - a));
            }
        }
        // Someone stays in a room: the user.
        if (room && ScriptedListing(script.join(' ')).after.isEmpty())
            script << QString("+%1*1").arg(n);
        const QString actions[] = {"", "", "End", "drag", "s%1", "k%1"};
        script << actions[any(6)].arg(any(100));
        QTest::addRow("random %d, %s: %s", i, room ? "room" : "list",
                      qPrintable(script.join(' ').trimmed()))
            << room << (any(4) > 0) << script.join(' ').trimmed();
    }
}

void tst_Relisting::relistingKeepsTheUsersPlace()
{
    QFETCH(bool, room);
    QFETCH(bool, sliced);
    QFETCH(QString, script);

    const ScriptedListing listing(script);
    QStringList expected;
    QList<RoomUser> users;
    for (const auto& [name, key] : listing.after) {
        expected << name;
        users << RoomUser(name.toLatin1(), 0, 0, "");
    }
    std::unique_ptr<ChatTestScene> scene;
    std::unique_ptr<RoomForm> form;
    QTreeWidget plain;
    plain.setUniformRowHeights(true);
    // Focused, a list makes its first row current.
    plain.setFocusPolicy(Qt::NoFocus);
    QTreeWidget* list = &plain;
    if (room) {
        scene = std::make_unique<ChatTestScene>();
        QVERIFY(scene->env.logIn());
        form = std::make_unique<RoomForm>("r");
        form->Init();
        list = form->findChild<QTreeWidget*>("userList");
        QList<RoomUser> before;
        for (const auto& row : listing.rows)
            before << RoomUser(row.first.toLatin1(), 0, 0, "");
        scene->env.fake().sendFrame(RoomEnteredReply("r", before));
        QTRY_COMPARE_WITH_TIMEOUT(list->topLevelItemCount(), int(before.size()), 20000);
    } else {
        for (const auto& [name, key] : listing.rows)
            plain.addTopLevelItem(new QTreeWidgetItem(QStringList{name, key}));
    }
    const int column = room ? 2 : 0;
    const auto names = [list, column](bool selected) {
        QStringList shown;
        for (int i = 0; i < list->topLevelItemCount(); ++i) {
            if (!selected || list->topLevelItem(i)->isSelected())
                shown << list->topLevelItem(i)->text(column);
        }
        return shown;
    };
    list->window()->resize(600, 400);
    list->window()->show();
    QVERIFY(QTest::qWaitForWindowExposed(list->window()));
    list->doItemsLayout();
    QScrollBar* bar = list->verticalScrollBar();
    QString current = listing.current < 0 ? QString() : listing.rows[listing.current].first;
    if (!current.isEmpty())
        list->setCurrentItem(list->topLevelItem(listing.current));
    bar->setValue(listing.value < 0 ? bar->maximum() : listing.value);
    // Where the user puts the view, as the rule reads it: 0 at its top, -1 at its bottom, or 1,
    // the row at the value, or the next one that stays, at the top.
    int kind = 0, held = 0;
    QString next;
    const auto put = [&](int value) {
        kind = value <= 0 ? 0 : value >= bar->maximum() ? -1 : 1;
        held = value;
        next.clear();
        for (int i = value; i < list->topLevelItemCount() && next.isEmpty(); ++i) {
            if (!listing.gone.contains(list->topLevelItem(i)->text(column)))
                next = list->topLevelItem(i)->text(column);
        }
    };
    put(bar->value());

    const TurnBudget::StepsForTesting steps(sliced ? 1 : 0);
    // The window's clock: slices end by the time they take.
    if (room && !sliced)
        Clock::Reset();
    bool changed = false;
    for (auto signal : {&QAbstractItemModel::rowsInserted, &QAbstractItemModel::rowsRemoved})
        connect(list->model(), signal, &plain, [&changed] { changed = true; });
    std::unique_ptr<RowRelisting> relisting;
    SlicedJob job([&relisting] { return relisting->Step(); });
    if (room) {
        AnswerAtOnce(*scene, users);
    } else {
        std::vector<QTreeWidgetItem*> gone, come;
        QHash<QString, QString> keys;
        for (const auto& [name, key] : listing.after)
            keys[name] = key;
        for (int i = 0; i < plain.topLevelItemCount(); ++i) {
            QTreeWidgetItem* row = plain.topLevelItem(i);
            if (listing.gone.contains(row->text(0)))
                gone.push_back(row);
            row->setText(1, keys.value(row->text(0), row->text(1)));
        }
        for (const auto& [name, key] : listing.come)
            come.push_back(new QTreeWidgetItem(QStringList{name, key}));
        relisting = std::make_unique<RowRelisting>(
            &plain, gone, come, [](auto* a, auto* b) { return a->text(1) < b->text(1); },
            listing.resort, &job);
        job.Start();
    }
    bool acted = listing.action.isEmpty();
    const auto act = [&] {
        acted = true;
        const QString action = listing.action;
        if (action == "End") {
            const int value = bar->value();
            const QTreeWidgetItem* was = list->currentItem();
            QTest::keyClick(list, Qt::Key_End);
            // The view where the key leaves it, if it moved it or the current row.
            if (bar->value() != value || list->currentItem() != was)
                put(bar->value());
            current = list->currentItem() ? list->currentItem()->text(column) : current;
        } else if (action[0] == 'k') {
            const int page = std::max(1, bar->pageStep() - 1);
            if (QTreeWidgetItem* row =
                    list->topLevelItem(bar->value() + action.mid(1).toInt() % page)) {
                QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                                  list->visualItemRect(row).center());
                current = row->text(column);
            }
        } else {
            bar->setSliderDown(true);
            bar->setSliderPosition(action == "drag" ? bar->maximum()
                                                    : bar->maximum() * action.mid(1).toInt() / 100);
            bar->setSliderDown(false);
            put(bar->value());
        }
    };
    for (QDeadlineTimer deadline(60000); !deadline.hasExpired();) {
        if (room ? names(false) == expected : !job.IsBusy())
            break;
        QCoreApplication::processEvents();
        list->doItemsLayout();
        if (!acted && changed)
            act();
        // Never off its top or its bottom, at any turn.
        QCOMPARE(bar->value(), kind == 0 ? 0 : kind < 0 ? bar->maximum() : bar->value());
    }
    if (!acted)
        act();
    QCoreApplication::processEvents();
    list->doItemsLayout();
    QCOMPARE(names(false), expected);
    const int end = bar->maximum();
    QCOMPARE(bar->value(),
             kind == 0  ? 0
             : kind < 0 ? end
                        : std::min(next.isEmpty() ? held : int(expected.indexOf(next)), end));
    if (listing.gone.contains(current))
        current.clear();
    QCOMPARE(list->currentItem() ? list->currentItem()->text(column) : QString(), current);
    QCOMPARE(names(true), current.isEmpty() ? QStringList() : QStringList{current});
    if (relisting)
        qDeleteAll(relisting->TakeGone());
}

QTEST_MAIN(tst_Relisting)
#include "tst_relisting.moc"

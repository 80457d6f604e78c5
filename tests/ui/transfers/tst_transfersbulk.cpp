// Rows made many in one turn of the event loop against the same rows made a turn each: the
// turn's first rows join the tree as they are made, the later ones at the turn's end, and the
// trees must read the same either way (texts, colours, icons, order, expansion, current row,
// ties, summaries), also when entries change, go or move while their rows wait, and when the
// window goes with rows waiting. Then a row's colour, held once for its cells, against a
// colour set on each cell.

#include "TransfersPage.h"

#include "shell/FormHooks.h"
#include "store/TurnBudget.h"
#include "ui/transfers/TransferRow.h"

#include <QCoreApplication>
#include <QTreeWidgetItemIterator>

namespace {

using Page = TransfersPage;

// The turn's first rows that join the tree at once, the rest waiting: slices cut that short.
constexpr int kRowsAtOnce = 64;

ItemPtr Entry(const QStringList& words, int at)
{
    return transferQueueManager->GetDownloadEntry(
        words[at].toStdString(), words[at + 2].toStdString(), words[at + 1].toStdString());
}

// What a turn runs that the script asks for (the posted slices and next-turn calls), without the
// timers: the marked rows' refresh comes on its own clock, and a tree drawn at a moment a loaded
// machine picks (before a colour setting changes, say) would read differently.
void Turn()
{
    QCoreApplication::sendPostedEvents();
}

// Runs one step of a script on the page; with turns, the event loop gets one after it.
// Steps: "add USER FOLDER FILE", "many USERS FOLDERS FILES" (a download each of
// u<i> / F<j> / <k>.mp3), "status USER FOLDER FILE STATUS", "deny USER FOLDER FILE",
// "remove USER FOLDER FILE", "move USER FOLDER FILE NEWFOLDER", "place USER FOLDER FILE N",
// "progress USER FOLDER FILE BYTES", "toggle Folders|Users", "colour KEY #RRGGBB", "recolour",
// "current USER FOLDER FILE", "clear" (Clear Complete), "refresh" and "turn".
void Step(Page& page, const QString& step, bool turns)
{
    const QStringList words = step.split(' ');
    const QString& what = words[0];
    if (what == "many") {
        for (int u = 0; u < words[1].toInt(); ++u) {
            for (int f = 0; f < words[2].toInt(); ++f) {
                for (int n = 0; n < words[3].toInt(); ++n) {
                    Page::Download(qPrintable(QString("u%1").arg(u)),
                                   qPrintable(QString("F%1").arg(f)),
                                   qPrintable(QString("%1.mp3").arg(n)), 1000 + n);
                    if (turns)
                        Turn();
                }
            }
        }
        return;
    }
    if (what == "add")
        Page::Download(qPrintable(words[1]), qPrintable(words[2]), qPrintable(words[3]));
    else if (what == "status")
        Page::SetStatus(Entry(words, 1), qPrintable(words[4]));
    else if (what == "deny")
        transferQueueManager->OnUploadDeniedNotification(
            words[1].toStdString(), (words[2] + "\\" + words[3]).toStdString(), "Not Shared.");
    else if (what == "remove")
        transferQueueManager->RemoveDownload(Entry(words, 1));
    else if (what == "move")
        Entry(words, 1) += d.GetType("remote_folder")->GetItem(Value(words[4].toStdString()));
    else if (what == "place")
        Entry(words, 1) += d.GetType("place_in_line")->GetItem(Value(words[4].toInt()));
    else if (what == "progress")
        Page::Report(Entry(words, 1), words[4].toLongLong(), 500);
    else if (what == "toggle")
        page.client.Trigger(page.Downloads(), "Expand " + words[1] + " [on]");
    else if (what == "colour")
        Settings::Set({qPrintable(words[1])}, words[2].toStdString());
    else if (what == "recolour")
        FormHooks::RecolourTransfers();
    else if (what == "current")
        page.Downloads()->setCurrentItem(Page::Row(Entry(words, 1)));
    else if (what == "clear")
        page.client.Trigger(page.Downloads(), "Clear Complete");
    else if (what == "turn")
        Turn();
    else if (what == "refresh")
        transfersForm->RefreshMarkedRows();
    else
        QFAIL(qPrintable("no step " + step));
    if (turns)
        Turn();
}

// What a row stands for through its tie: the node type and the user, folder or file named.
QString Tie(QTreeWidgetItem* row)
{
    const std::pair<const char*, const char*> kinds[] = {
        {"download_list_user_node", "user"},
        {"download_list_folder_node", "remote_folder"},
        {"download_list_node", "download_entry"}};
    for (const auto& [type, partner] : kinds) {
        ItemPtr node = Ties::Find(type, row);
        if (!node || TiedRow::FromItem(node) != row)
            continue;
        ItemPtr named = node[partner];
        if (named && std::string(partner) == "download_entry")
            named = named["file_name"];
        return QString(type) + " " + QString::fromStdString(named.AsString());
    }
    return "untied";
}

// The downloads tree as it reads, row by row: depth, tie, every cell's text, colour and icon,
// expanded or not, current and selected; then how many nodes of each kind there are.
QStringList Snapshot(QTreeWidget* tree)
{
    QStringList rows;
    for (QTreeWidgetItemIterator it(tree); *it; ++it) {
        QTreeWidgetItem* row = *it;
        int depth = 0;
        for (QTreeWidgetItem* up = row->parent(); up; up = up->parent())
            ++depth;
        QStringList cells{QString::number(depth), Tie(row)};
        for (int column = 0; column < row->columnCount(); ++column) {
            const QBrush colour = row->foreground(column);
            cells << row->text(column) +
                         (colour.style() == Qt::NoBrush ? QString() : "/" + colour.color().name()) +
                         (row->icon(column).isNull() ? "" : "/icon");
        }
        cells << Page::BarText(row);
        rows << cells.join('|') + (row->isExpanded() ? " +" : "") +
                    (row == tree->currentItem() ? " current" : "") +
                    (row->isSelected() ? " selected" : "");
    }
    for (const char* type :
         {"download_list_user_node", "download_list_folder_node", "download_list_node"})
        rows << QString("%1: %2").arg(type).arg(d.GetType(type)->ItemCount());
    return rows;
}

int RowCount(QTreeWidget* tree)
{
    int count = 0;
    for (QTreeWidgetItemIterator it(tree); *it; ++it)
        ++count;
    return count;
}

} // namespace

class tst_TransfersBulk : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void rowsInOneTurnAsATurnEach_data();
    void rowsInOneTurnAsATurnEach();
    void windowGoneWithRowsWaiting_data();
    void windowGoneWithRowsWaiting();
    void colourHeldOnceAsOnEachCell_data();
    void colourHeldOnceAsOnEachCell();
};

void tst_TransfersBulk::rowsInOneTurnAsATurnEach_data()
{
    // The script; whether, run in one turn, rows were still waiting once it ended.
    QTest::addColumn<QStringList>("script");
    QTest::addColumn<bool>("waited");
    const QString many = QString("many 3 4 %1").arg(kRowsAtOnce / 4);
    QTest::newRow("new users and folders") << QStringList{many} << true;
    QTest::newRow("into rows already shown, one current")
        << QStringList{"add u1 F2 x.mp3",
                       "add u9 G y.mp3",
                       "turn",
                       "current u1 F2 x.mp3",
                       "status u1 F2 x.mp3 downloading",
                       many}
        << true;
    QTest::newRow("folders and users collapsed")
        << QStringList{"toggle Folders", "toggle Users", many} << true;
    QTest::newRow("a status under a shown summary changing before its row joins")
        << QStringList{"toggle Folders", "toggle Users", "add u1 F2 x.mp3",
                       "refresh",        many,           "status u1 F2 3.mp3 downloading"}
        << true;
    QTest::newRow("statuses changing before the rows join")
        << QStringList{many,
                       "status u2 F3 3.mp3 downloading",
                       "status u2 F3 4.mp3 complete",
                       "status u1 F0 0.mp3 aborted",
                       "deny u2 F1 2.mp3",
                       "status u2 F2 0.mp3 local error"}
        << true;
    QTest::newRow("entries going before their rows join")
        << QStringList{many, "remove u2 F3 3.mp3", "add u2 F3 late.mp3", "remove u0 F0 0.mp3",
                       "add u5 H z.mp3"}
        << true;
    QTest::newRow("waiting rows going from rows shown") << QStringList{"add u1 F2 x.mp3",
                                                                       "turn",
                                                                       many,
                                                                       "add u1 F9 only.mp3",
                                                                       "remove u1 F2 5.mp3",
                                                                       "remove u1 F9 only.mp3",
                                                                       "add u1 F2 late.mp3"}
                                                        << true;
    QTest::newRow("a folder emptied and filled again")
        << QStringList{many, "add u3 Solo a.mp3", "remove u3 Solo a.mp3", "add u3 Solo a.mp3"}
        << true;
    QTest::newRow("an entry moved to another folder while waiting")
        << QStringList{many, "move u2 F3 2.mp3 F0", "move u1 F1 0.mp3 Elsewhere"} << true;
    QTest::newRow("place in line and a colour setting while waiting")
        << QStringList{many, "place u2 F3 1.mp3 7", "colour color_transfer_queued #204060",
                       "add u2 F3 last.mp3"}
        << true;
    QTest::newRow("colours changed and redrawn while waiting")
        << QStringList{many, "status u1 F1 1.mp3 complete",
                       "colour color_transfer_complete #603020", "recolour"}
        << false;
    QTest::newRow("expansion toggled while waiting")
        << QStringList{many, "toggle Folders", "add u7 K k.mp3"} << true;
    QTest::newRow("progress while waiting")
        << QStringList{many, "status u2 F3 2.mp3 downloading", "progress u2 F3 2.mp3 400",
                       "add u2 F3 next.mp3"}
        << true;
    QTest::newRow("complete ones cleared while waiting")
        << QStringList{many,
                       "status u0 F1 0.mp3 complete",
                       "status u2 F0 1.mp3 complete",
                       "status u2 F3 4.mp3 complete",
                       "clear",
                       "add u2 F3 after.mp3"}
        << true;
}

void tst_TransfersBulk::rowsInOneTurnAsATurnEach()
{
    QFETCH(QStringList, script);
    QFETCH(bool, waited);
    const TurnBudget::StepsForTesting atOnce(kRowsAtOnce);
    QStringList shown[2];
    for (const bool turns : {true, false}) {
        Page page;
        for (const QString& step : script)
            Step(page, step, turns);
        if (!turns) {
            const int before = RowCount(page.Downloads());
            Turn();
            QCOMPARE(RowCount(page.Downloads()) > before, waited);
        }
        // However slow the machine, the rows waiting and the downloads cleared are all in.
        while (transfersForm->IsJoiningRows() || transfersForm->IsClearing())
            Turn();
        transfersForm->RefreshMarkedRows();
        shown[turns] = Snapshot(page.Downloads());
    }
    QCOMPARE(shown[false], shown[true]);
}

void tst_TransfersBulk::windowGoneWithRowsWaiting_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("the program quitting and starting again") << "restart";
    QTest::newRow("the window closed") << "closed";
}

void tst_TransfersBulk::windowGoneWithRowsWaiting()
{
    QFETCH(QString, how);
    const TurnBudget::StepsForTesting atOnce(kRowsAtOnce);
    const QStringList script{"add u0 F0 first.mp3", "turn",
                             QString("many 2 3 %1").arg(kRowsAtOnce / 2),
                             "status u1 F2 3.mp3 complete"};
    QStringList shown[2];
    for (const bool turns : {true, false}) {
        Page page;
        for (const QString& step : script)
            Step(page, step, turns);
        ItemPtr waiting = Entry({"u1", "F2", "3.mp3"}, 0);
        QCOMPARE(Page::Row(waiting)->treeWidget() == nullptr, !turns);
        if (how == "closed") {
            page.client.window.reset();
            // The turn the rows waited for comes without the page.
            Turn();
            QVERIFY(!transfersForm);
            for (const char* type :
                 {"download_list_user_node", "download_list_folder_node", "download_list_node"})
                QCOMPARE(d.GetType(type)->ItemCount(), size_t(0));
            continue;
        }
        page.Restart();
        Turn();
        transfersForm->RefreshMarkedRows();
        shown[turns] = Snapshot(page.Downloads());
        QVERIFY(shown[turns].size() > kRowsAtOnce * 3);
    }
    QCOMPARE(shown[false], shown[true]);
}

void tst_TransfersBulk::colourHeldOnceAsOnEachCell_data()
{
    // Steps on a row of the tree: "text COLUMN" fills a cell, "colour #RRGGBB" colours the row;
    // then how many times the view heard of the row from the colourings.
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<int>("notices");
    QTest::newRow("a row filled, then coloured")
        << QStringList{"text 2", "text 7", "colour #112233"} << 1;
    QTest::newRow("a cell filled after the colour has none")
        << QStringList{"text 0", "colour #112233", "text 5"} << 1;
    QTest::newRow("coloured again after more cells")
        << QStringList{"text 0", "colour #112233", "text 6", "colour #112233"} << 2;
    QTest::newRow("the same colour again, nothing new")
        << QStringList{"text 3", "colour #112233", "colour #112233"} << 1;
    QTest::newRow("another colour")
        << QStringList{"text 8", "colour #112233", "colour #445566"} << 2;
    QTest::newRow("coloured before any cell") << QStringList{"colour #112233", "text 1"} << 0;
}

void tst_TransfersBulk::colourHeldOnceAsOnEachCell()
{
    QFETCH(QStringList, steps);
    QFETCH(int, notices);
    QTreeWidget tree;
    tree.setColumnCount(9);
    auto* held = new TransferRow();
    auto* plain = new QTreeWidgetItem();
    tree.addTopLevelItems(QList<QTreeWidgetItem*>{held, plain});
    int heard = 0;
    connect(tree.model(), &QAbstractItemModel::dataChanged, this,
            [&heard, &tree, held](const QModelIndex& from, const QModelIndex&,
                                  const QList<int>& roles) {
                if (tree.itemFromIndex(from) == held && !roles.contains(Qt::DisplayRole))
                    ++heard;
            });
    for (const QString& step : steps) {
        const QString value = step.section(' ', 1);
        if (step.startsWith("text")) {
            held->setText(value.toInt(), "cell " + value);
            plain->setText(value.toInt(), "cell " + value);
            continue;
        }
        held->SetColour(QColor(value));
        // A colour set on each cell, as rows had it.
        for (int column = 0; column < plain->columnCount(); ++column)
            plain->setForeground(column, QColor(value));
    }
    QCOMPARE(held->columnCount(), plain->columnCount());
    for (int column = 0; column < 9; ++column) {
        QCOMPARE(held->foreground(column), plain->foreground(column));
        QCOMPARE(held->text(column), plain->text(column));
    }
    QCOMPARE(heard, notices);
}

QTEST_MAIN(tst_TransfersBulk)
#include "tst_transfersbulk.moc"

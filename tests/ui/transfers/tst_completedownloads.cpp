// The "Complete" tab of the transfers page in the running window: the finished downloads the
// store holds, listed when the tab is first asked for, newest first, later completions in their
// place; and finished downloads opened where they lie, also those saved under a free name.

#include "TransfersPage.h"

#include "support/CompleteRecords.h"
#include "ui/transfers/CompleteDownloadsForm.h"

#include <QDesktopServices>
#include <QTabWidget>
#include <QUrl>

namespace {

using Page = TransfersPage;

// "file|folder|user|size|time", the user's bytes Latin-1 as a peer's name is.
ItemPtr Record(const QString& row)
{
    const QStringList f = row.split('|');
    return CompleteRecords::Make(f[2].toLatin1().toStdString(), f[1].toStdString(),
                                 f[0].toStdString(), f[3].toStdString(), f[4].toStdString());
}

QStringList Shown(QTreeWidget* list)
{
    QStringList rows;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        rows << Page::Texts(list->topLevelItem(i)).join('|');
    return rows;
}

const QString kMib = "b.mp3|Music|bob|1048576|Tue Mar 3 10:00:02 2026";

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

class tst_CompleteDownloads : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void listed_data();
    void listed();
    void opensTheFileAsSaved_data();
    void opensTheFileAsSaved();
};

void tst_CompleteDownloads::listed_data()
{
    // Records saved before the start, one completing while the list is open (or none), the rows
    // top to bottom as indexes into both, and the top row's texts.
    QTest::addColumn<QStringList>("stored");
    QTest::addColumn<QString>("added");
    QTest::addColumn<QList<int>>("order");
    QTest::addColumn<QString>("top");
    const QStringList three{"a.mp3|Music|bob|5000|Tue Mar 3 10:00:01 2026", kMib,
                            "c.ogg|Ogg\\Live|carol|12|Mon Mar 2 23:59:59 2026"};
    QTest::newRow("three stored, newest first") << three << "" << QList<int>{1, 0, 2} << kMib;
    QTest::newRow("a completion while open goes on top")
        << three << "d.mp3|Music|dave|1|Tue Mar 3 10:00:03 2026" << QList<int>{3, 1, 0, 2}
        << "d.mp3|Music|dave|1|Tue Mar 3 10:00:03 2026";
    QTest::newRow("a completion of an earlier time goes to its place")
        << three << "d.mp3|Music|dave|1|Tue Mar 3 10:00:00 2026" << QList<int>{1, 0, 3, 2} << kMib;
    QTest::newRow("by date, not by the letters of the text")
        << QStringList{"1|F|u|1|Mon Mar 9 10:00:00 2026", "2|F|u|1|Tue Mar 10 09:00:00 2026",
                       "3|F|u|1|Wed Dec 31 23:59:59 2025", "4|F|u|1|Thu Jan 1 00:00:00 2026",
                       "5|F|u|1|Sat Feb 28 08:00:00 2026"}
        << "" << QList<int>{1, 0, 4, 3, 2} << "2|F|u|1|Tue Mar 10 09:00:00 2026";
    QTest::newRow("equal times: the later record above")
        << QStringList{"1|F|u|1|Tue Mar 3 10:00:01 2026", "2|F|u|1|Tue Mar 3 10:00:01 2026"}
        << "3|F|u|1|Tue Mar 3 10:00:01 2026" << QList<int>{2, 1, 0}
        << "3|F|u|1|Tue Mar 3 10:00:01 2026";
    // Among themselves, as equal times.
    QTest::newRow("a text that is no time goes last")
        << QStringList{"1|F|u|1|yesterday", "2|F|u|1|Tue Mar 3 10:00:01 2026",
                       "3|F|u|1|Tue Mar 3 25:00:01 2026"}
        << "" << QList<int>{1, 2, 0} << "2|F|u|1|Tue Mar 3 10:00:01 2026";
    QTest::newRow("peer text stays plain")
        << QStringList{QString::fromUtf8("<b>x</b> &amp; y.mp3|Music\\<i>|caf\xc3\xa9|7|"
                                         "Tue Mar 3 10:00:01 2026")}
        << "" << QList<int>{0}
        << QString::fromUtf8("<b>x</b> &amp; y.mp3|Music\\<i>|caf\xc3\xa9|7|"
                             "Tue Mar 3 10:00:01 2026");
}

void tst_CompleteDownloads::listed()
{
    QFETCH(QStringList, stored);
    QFETCH(QString, added);
    QFETCH(QList<int>, order);
    QFETCH(QString, top);
    Page page;
    for (const QString& row : stored)
        Record(row);
    // Loaded from the store file: the list, asked for later, missed that notice.
    page.Restart();
    auto* tabs = page.client.Child<QTabWidget>("transfersTabControl");
    const int before = tabs->count();
    QVERIFY(!completeDownloadsForm);
    for (int request = 0; request < 2; ++request)
        page.client.Trigger(page.Downloads(), "Complete Downloads");
    QCOMPARE(tabs->count(), before + 1);
    QCOMPARE(tabs->tabText(before), QString("Complete"));
    QCOMPARE(tabs->currentWidget(), completeDownloadsForm);
    if (!added.isEmpty())
        Q_EMIT transferQueueManager->CompleteDownloadAdded(Record(added));

    const QStringList all = stored + (added.isEmpty() ? QStringList() : QStringList{added});
    auto* list = completeDownloadsForm->findChild<QTreeWidget*>("downloadList");
    QCOMPARE(list->topLevelItemCount(), order.size());
    QCOMPARE(Shown(list).first(), top);
    for (int i = 0; i < order.size(); ++i)
        QCOMPARE(list->topLevelItem(i)->text(0), all[order[i]].section('|', 0, 0));
}

void tst_CompleteDownloads::opensTheFileAsSaved_data()
{
    // The name the download was saved under (none: its own), opened by a double click or the
    // menu's "Open File", after a restart or not.
    QTest::addColumn<QString>("savedAs");
    QTest::addColumn<bool>("byMenu");
    QTest::addColumn<bool>("restart");
    QTest::newRow("complete") << "" << false << false;
    QTest::newRow("complete, from the menu") << "" << true << false;
    QTest::newRow("saved under a free name") << "a (1).mp3" << false << false;
    QTest::newRow("saved under a free name, from the menu") << "a (1).mp3" << true << false;
    QTest::newRow("saved under a free name, after a restart") << "a (1).mp3" << false << true;
    QTest::newRow("after a restart, from the menu") << "a (1).mp3" << true << true;
}

void tst_CompleteDownloads::opensTheFileAsSaved()
{
    QFETCH(QString, savedAs);
    QFETCH(bool, byMenu);
    QFETCH(bool, restart);
    Page page;
    ItemPtr entry = Page::Download("bob", "Music", "a.mp3");
    Page::SetStatus(entry, "complete");
    if (!savedAs.isEmpty())
        entry += Record("" + savedAs + "|Music|bob|1000|Tue Mar 3 10:00:01 2026");
    if (restart) {
        page.Restart();
        entry = *d.GetType("download_entry")->GetItems().begin();
    }
    Opened opened;
    QTreeWidget* tree = page.Downloads();
    if (byMenu) {
        tree->scrollToItem(Page::Row(entry));
        page.client.dialogs.menuChoices << "Open File";
        Q_EMIT tree->customContextMenuRequested(tree->visualItemRect(Page::Row(entry)).center());
    } else {
        Q_EMIT tree->itemDoubleClicked(Page::Row(entry), 0);
    }
    const QString file = savedAs.isEmpty() ? "a.mp3" : savedAs;
    QCOMPARE(opened.urls,
             QList<QUrl>{QUrl::fromLocalFile(page.client.home.Path() +
                                             "/Quorvale Downloads/complete/Music/" + file)});
}

QTEST_MAIN(tst_CompleteDownloads)
#include "tst_completedownloads.moc"

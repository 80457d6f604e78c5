// The Diagnostics page: log lines in one plain-text tab per category, and the tracked users.

#include "server/Server.h"
#include "shell/DiagnosticsForm.h"
#include "store/Data.h"
#include "store/DataSaver.h"
#include "store/Log.h"
#include "support/StoreFixture.h"
#include "support/StoreGuard.h"

#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTest>
#include <QTextBlock>
#include <QTreeWidget>

#include <algorithm>
#include <memory>

namespace {

// The page as start-up builds it: made with the main window, then the server connection's
// types, then Init. A fresh store for each test. Users are tracked and go online the way the
// server connection marks them.
struct Page : StoreFixture
{
    Page() : form(std::make_unique<DiagnosticsForm>())
    {
        Server::CreateData(saver);
        form->Init();
        form->show();
    }

    static void Track(const char* name) { User(name).NewItem("is_tracked"); }
    static void Untrack(const char* name) { User(name).Disconnect("is_tracked"); }

    QTabWidget* logTabs() const { return form->findChild<QTabWidget*>("logTabWidget"); }
    QTreeWidget* tracked() const { return form->findChild<QTreeWidget*>("trackedUsersTree"); }
    QStringList tabTexts() const
    {
        QStringList texts;
        for (int i = 0; i < logTabs()->count(); ++i)
            texts << logTabs()->tabText(i);
        return texts;
    }
    // The lines logged so far reach the tabs on screen when the event loop turns.
    void shown() const { QCoreApplication::sendPostedEvents(form.get(), QEvent::MetaCall); }
    // The category's tab, brought to the front.
    QPlainTextEdit* view(const QString& category) const
    {
        for (int i = 0; i < logTabs()->count(); ++i) {
            if (logTabs()->tabText(i) == category) {
                logTabs()->setCurrentIndex(i);
                shown();
                return qobject_cast<QPlainTextEdit*>(logTabs()->widget(i));
            }
        }
        return nullptr;
    }
    int lines(const QString& category) const { return view(category)->document()->blockCount(); }
    QString lastLine(const QString& category) const
    {
        return view(category)->document()->lastBlock().text();
    }
    static size_t ItemCount(const char* type) { return d.GetType(type)->ItemCount(); }

    StoreGuard store;
    std::unique_ptr<DiagnosticsForm> form;
    DataSaver saver;
};

// Whether any text in the document is an image or a link.
bool HoldsImageOrAnchor(const QTextDocument* doc)
{
    for (QTextBlock block = doc->begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat format = it.fragment().charFormat();
            if (format.isImageFormat() || format.isAnchor() || !format.anchorHref().isEmpty())
                return true;
        }
    }
    return false;
}

} // namespace

class tst_DiagnosticsForm : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void designedLayout();
    void tabLineIsTheHubLine_data();
    void tabLineIsTheHubLine();
    void oneTabPerCategoryInOrderOfFirstUse();
    void hostileMessageIsOneLineOfText_data();
    void hostileMessageIsOneLineOfText();
    void tabKeepsItsNewestLines();
    void linesOfOneTurnInOneAppend_data();
    void linesOfOneTurnInOneAppend();
    void hiddenTabGetsItsLinesWhenShown_data();
    void hiddenTabGetsItsLinesWhenShown();
    void trackedUsersFollowStatus_data();
    void trackedUsersFollowStatus();
    void addressOfAnotherWidgetIsNotFollowed();
    void closedPageLeavesNoAddresses();
};

void tst_DiagnosticsForm::designedLayout()
{
    Page page;
    QCOMPARE(diagnosticsForm, page.form.get());
    auto* pages = page.form->findChild<QTabWidget*>("tabWidget");
    QCOMPARE(pages->count(), 2);
    QCOMPARE(pages->tabText(0), QString("Tracked Users"));
    QCOMPARE(pages->tabText(1), QString("Logs"));
    QCOMPARE(pages->currentIndex(), 1);
    QCOMPARE(page.logTabs()->count(), 0);

    QTreeWidget* tree = page.tracked();
    QCOMPARE(tree->columnCount(), 2);
    QCOMPARE(tree->headerItem()->text(0), QString("User"));
    QCOMPARE(tree->headerItem()->text(1), QString());
    QCOMPARE(tree->columnWidth(0), 300);
    QCOMPARE(tree->columnWidth(1), 100);
}

void tst_DiagnosticsForm::tabLineIsTheHubLine_data()
{
    QTest::addColumn<bool>("throughForm");
    QTest::addColumn<int>("level");
    QTest::newRow("Log, event") << false << 1;
    QTest::newRow("Log, sub-detail") << false << 3;
    QTest::newRow("the page's Log, detail") << true << 2;
}

void tst_DiagnosticsForm::tabLineIsTheHubLine()
{
    QFETCH(bool, throughForm);
    QFETCH(int, level);

    Page page;
    QSignalSpy hub(LogHub::Instance(), &LogHub::LineLogged);
    if (throughForm)
        diagnosticsForm->Log(LogCategories::kTransferQueue, level, "Queued a.mp3",
                             Page::User("ann"));
    else
        Log(LogCategories::kTransferQueue, level, "Queued a.mp3", Page::User("ann"));

    QCOMPARE(hub.count(), 1);
    QCOMPARE(page.tabTexts(), QStringList{"Transfer Queue"});
    QCOMPARE(page.lines("Transfer Queue"), 1);
    QCOMPARE(page.lastLine("Transfer Queue"), hub.at(0).at(1).toString());
}

void tst_DiagnosticsForm::oneTabPerCategoryInOrderOfFirstUse()
{
    Page page;
    Log(LogCategories::kShared, 1, "one");
    QCOMPARE(page.tabTexts(), QStringList{"Shared"});
    Log(LogCategories::kShared, 2, "two");
    QCOMPARE(page.tabTexts(), QStringList{"Shared"});
    Log("shared", 1, "other case");
    Log(LogCategories::kServer, 1, "third");
    Log(LogCategories::kShared, 1, "three");
    QCOMPARE(page.tabTexts(), (QStringList{"Shared", "shared", "server"}));
    QCOMPARE(page.lines("Shared"), 3);
    QCOMPARE(page.lines("shared"), 1);
    QVERIFY(page.lastLine("Shared").endsWith("] three"));
    QVERIFY(page.lastLine("shared").endsWith("] other case"));

    // Each category's item names its own tab.
    QCOMPARE(Page::ItemCount("log_widget"), size_t(3));
    for (const QString& category : page.tabTexts()) {
        ItemPtr log = d.GetType("log")->HasItem(Value(category.toStdString()));
        QCOMPARE(log["log_widget"].AsPointer<QWidget>(), page.view(category));
    }
}

void tst_DiagnosticsForm::hostileMessageIsOneLineOfText_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("shown");
    QTest::newRow("bold") << QString("<b>x</b>") << QString("<b>x</b>");
    QTest::newRow("image") << QString("<img src=/etc/passwd>") << QString("<img src=/etc/passwd>");
    QTest::newRow("link") << QString("<a href=\"http://x/\">y</a>")
                          << QString("<a href=\"http://x/\">y</a>");
    QTest::newRow("entity") << QString("&amp;") << QString("&amp;");
    QTest::newRow("forged line") << QString("a\n[Sun Dec 6 11:54:08 2026] forged")
                                 << QString("a\\n[Sun Dec 6 11:54:08 2026] forged");
    QTest::newRow("carriage return") << QString("a\rb") << QString("a\\rb");
    QTest::newRow("line separator") << QString("a") + QChar(0x2028) + "b" << QString("a\\u2028b");
    QTest::newRow("paragraph separator")
        << QString("a") + QChar(0x2029) + "b" << QString("a\\u2029b");
}

void tst_DiagnosticsForm::hostileMessageIsOneLineOfText()
{
    QFETCH(QString, message);
    QFETCH(QString, shown);

    Page page;
    Log(LogCategories::kSearch, 1, "before");
    QPlainTextEdit* view = page.view("Search");
    QVERIFY(view->isReadOnly());
    const int before = page.lines("Search");

    Log(LogCategories::kSearch, 1, message);
    QCOMPARE(page.lines("Search"), before + 1);
    QVERIFY2(view->toPlainText().endsWith("] " + shown), qPrintable(view->toPlainText()));
    QVERIFY(!HoldsImageOrAnchor(view->document()));
}

void tst_DiagnosticsForm::tabKeepsItsNewestLines()
{
    Page page;
    const int cap = DiagnosticsForm::kMaxLogLinesPerCategory;
    const int logged = cap + 1000;
    for (int i = 0; i < logged; ++i)
        Log(LogCategories::kPeerMessenger, 1, QString("line %1").arg(i));

    QPlainTextEdit* view = page.view("Peer Messenger");
    QCOMPARE(view->document()->blockCount(), cap);
    QVERIFY(view->document()->firstBlock().text().endsWith(QString("] line %1").arg(logged - cap)));
    QVERIFY(page.lastLine("Peer Messenger").endsWith(QString("] line %1").arg(logged - 1)));
}

void tst_DiagnosticsForm::linesOfOneTurnInOneAppend_data()
{
    QTest::addColumn<int>("lines");
    QTest::addColumn<bool>("otherTab"); // a line for another tab in between
    QTest::newRow("one line") << 1 << false;
    QTest::newRow("a scan's folders") << 500 << false;
    QTest::newRow("two tabs") << 30 << true;
}

void tst_DiagnosticsForm::linesOfOneTurnInOneAppend()
{
    QFETCH(int, lines);
    QFETCH(bool, otherTab);

    Page page;
    Log(LogCategories::kShared, 1, "before");
    QPlainTextEdit* view = page.view("Shared");
    QSignalSpy edits(view->document(), &QTextDocument::contentsChange);
    for (int i = 0; i < lines; ++i) {
        Log(LogCategories::kShared, 1, QString("Adding folder /f%1").arg(i));
        if (otherTab && i == lines / 2)
            Log(LogCategories::kSearch, 1, "between");
    }
    QCOMPARE(view->document()->blockCount(), 1); // not before the event loop turns
    page.shown();
    QCOMPARE(edits.count(), 1);
    QCOMPARE(page.lines("Shared"), lines + 1);
    for (int i = 0; i < lines; ++i) {
        const QString line = view->document()->findBlockByNumber(i + 1).text();
        QVERIFY2(line.endsWith(QString("] Adding folder /f%1").arg(i)), qPrintable(line));
    }
    QCOMPARE(page.tabTexts().size(), otherTab ? 2 : 1);
}

void tst_DiagnosticsForm::hiddenTabGetsItsLinesWhenShown_data()
{
    QTest::addColumn<bool>("pageHidden"); // else another tab is in front
    QTest::addColumn<int>("lines");
    QTest::newRow("behind another tab") << false << 40;
    QTest::newRow("behind another tab, over the cap")
        << false << DiagnosticsForm::kMaxLogLinesPerCategory + 300;
    QTest::newRow("page hidden") << true << 40;
}

void tst_DiagnosticsForm::hiddenTabGetsItsLinesWhenShown()
{
    QFETCH(bool, pageHidden);
    QFETCH(int, lines);

    Page page;
    Log(LogCategories::kSearch, 1, "front");
    Log(LogCategories::kShared, 1, "line 0");
    QPlainTextEdit* shared = qobject_cast<QPlainTextEdit*>(page.logTabs()->widget(1));
    QSignalSpy edits(shared->document(), &QTextDocument::contentsChange);
    if (pageHidden) {
        page.view("Shared");
        edits.clear();
        page.form->hide();
    }
    for (int i = 1; i < lines; ++i)
        Log(LogCategories::kShared, 1, QString("line %1").arg(i));
    page.shown();
    QCOMPARE(edits.count(), 0);
    // Only the line shown before the page was hidden.
    QCOMPARE(shared->toPlainText().isEmpty(), !pageHidden);

    if (pageHidden)
        page.form->show();
    else
        page.view("Shared");
    QCOMPARE(edits.count(), 1);
    const int kept = std::min(lines, DiagnosticsForm::kMaxLogLinesPerCategory);
    QCOMPARE(shared->document()->blockCount(), kept);
    for (int i : {0, kept - 1}) {
        const QString line = shared->document()->findBlockByNumber(i).text();
        QVERIFY2(line.endsWith(QString("] line %1").arg(lines - kept + i)), qPrintable(line));
    }
}

void tst_DiagnosticsForm::trackedUsersFollowStatus_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("online");
    QTest::newRow("online when tracked") << QByteArray("ann") << true;
    // Names are shown as Latin-1, like every user name in the window.
    QTest::newRow("offline when tracked") << QByteArray("J\xf6rg") << false;
}

void tst_DiagnosticsForm::trackedUsersFollowStatus()
{
    QFETCH(QByteArray, name);
    QFETCH(bool, online);
    const QString shownName = QString::fromLatin1(name);
    const auto status = [](bool on) { return QString(on ? "Online" : "Offline"); };

    Page page;
    ItemPtr bob = Page::User("bob");
    bob.NewItem("is_online");
    Page::Track("bob");
    ItemPtr user = Page::User(name.toStdString());
    if (online)
        user.NewItem("is_online");
    user.NewItem("is_tracked");

    QTreeWidget* tree = page.tracked();
    QCOMPARE(tree->topLevelItemCount(), 2);
    QTreeWidgetItem* bobRow = tree->topLevelItem(0);
    QTreeWidgetItem* row = tree->topLevelItem(1);
    QCOMPARE(row->text(0), shownName);
    QCOMPARE(row->text(1), status(online));
    QCOMPARE(user["track_user_node"].AsPointer<QTreeWidgetItem>(), row);
    // Status changes touch the second column of the user's own row only.
    for (bool on : {!online, online}) {
        if (on)
            user.NewItem("is_online");
        else
            user.Disconnect("is_online");
        QCOMPARE(tree->topLevelItemCount(), 2);
        QCOMPARE(tree->topLevelItem(1), row);
        QCOMPARE(row->text(0), shownName);
        QCOMPARE(row->text(1), status(on));
        QCOMPARE(bobRow->text(1), QString("Online"));
    }

    Page::Untrack(name.constData());
    QCOMPARE(tree->topLevelItemCount(), 1);
    QCOMPARE(tree->topLevelItem(0), bobRow);
    QVERIFY(user["track_user_node"].IsNull());
    QCOMPARE(Page::ItemCount("track_user_node"), size_t(1));
    // Changes of the untracked user's status touch nothing; the other row still follows.
    user.Disconnect("is_online");
    user.NewItem("is_online");
    bob.Disconnect("is_online");
    QCOMPARE(tree->topLevelItemCount(), 1);
    QCOMPARE(bobRow->text(0), QString("bob"));
    QCOMPARE(bobRow->text(1), QString("Offline"));
    QCOMPARE(Page::ItemCount("track_user_node"), size_t(1));

    // Tracked again: a row of its own, with the status of now.
    Page::Track(name.constData());
    QCOMPARE(tree->topLevelItemCount(), 2);
    QCOMPARE(tree->topLevelItem(1)->text(0), shownName);
    QCOMPARE(tree->topLevelItem(1)->text(1), QString("Online"));
}

void tst_DiagnosticsForm::addressOfAnotherWidgetIsNotFollowed()
{
    Page page;
    QPlainTextEdit outsider;
    QTreeWidget otherTree;
    auto* otherRow = new QTreeWidgetItem(&otherTree, QStringList{"x", "y"});
    d.GetType("log")->GetItem(Value("Shared")) +=
        d.GetType("log_widget")->GetItem(Value(static_cast<QWidget*>(&outsider)));
    ItemPtr ann = Page::User("ann");
    ann += d.GetType("track_user_node")->GetItem(Value(otherRow));

    Log(LogCategories::kShared, 1, "mine");
    ann.NewItem("is_online");
    ann.NewItem("is_tracked");
    ann.Disconnect("is_tracked");

    QVERIFY(outsider.document()->isEmpty());
    QCOMPARE(page.tabTexts(), QStringList{"Shared"});
    QVERIFY(page.lastLine("Shared").endsWith("] mine"));
    QCOMPARE(otherTree.topLevelItemCount(), 1);
    QCOMPARE(otherRow->text(1), QString("y"));
}

void tst_DiagnosticsForm::closedPageLeavesNoAddresses()
{
    Page page;
    Log(LogCategories::kServer, 1, "a");
    Log(LogCategories::kSearch, 1, "b");
    Page::Track("ann");
    QCOMPARE(Page::ItemCount("log_widget"), size_t(2));
    QCOMPARE(Page::ItemCount("track_user_node"), size_t(1));

    page.form.reset();
    QCOMPARE(diagnosticsForm, nullptr);
    QCOMPARE(Page::ItemCount("log_widget"), size_t(0));
    QCOMPARE(Page::ItemCount("track_user_node"), size_t(0));
    // Lines and status changes after the page went must reach nothing of it: the sanitizers
    // would report a slot or handler of the gone page.
    Log(LogCategories::kServer, 1, "later");
    Page::User("ann").NewItem("is_online");
    Page::Untrack("ann");
}

QTEST_MAIN(tst_DiagnosticsForm)
#include "tst_diagnosticsform.moc"

// The store inspection dialogs on big data. A store shaped like a share of a million files (two
// million items: the files, their names, folders and sizes) in the engine's schema:
//  - selecting the largest type lists a million values; the baseline fills a plain list widget
//    (shown, one height for every row, as the dialog's) with the same values, sorted once;
//    target 2x;
//  - removing 100,000 listed items; the target is that baseline fill plus the same removal with
//    no dialog open;
//  - making a million more items (a second share) with the dialog open against making them with
//    no dialog; target 1.5x. Also with the type of the new names selected, against making them
//    and a plain fill of the list they end in;
//  - the type navigator on the running window's whole schema, every start type with the first
//    and every fifth end type it offers; the baseline appends the same lines to a bare rich-text
//    browser; target 3x.
// Everything is measured in the same run. Prints the figures; nothing is asserted.

#include "WindowBench.h"

#include "peer/PeerMessenger.h"
#include "server/Server.h"
#include "shares/SharedFoldersManager.h"
#include "shell/MainWindow.h"
#include "shell/ProcessControl.h"
#include "store/DataSaver.h"
#include "store/Settings.h"
#include "support/StoreGuard.h"
#include "transfers/TransferQueueManager.h"
#include "ui/dialogs/DataDialog.h"
#include "ui/dialogs/TypeNavigatorDialog.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QListWidget>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTreeWidget>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using WindowBench::Report;
using WindowBench::Settle;

constexpr int kFiles = 1000000;
constexpr int kFolders = 1000;
constexpr int kSizes = 1000;
constexpr int kRemoved = 100000;
constexpr int kRounds = 3;

std::string FolderName(int share, int folder)
{
    return "/share " + std::to_string(share) + "/folder " + std::to_string(folder);
}

std::string FileName(int share, long long n)
{
    return FolderName(share, int(n % kFolders)) + "/track " + std::to_string(n) + ".mp3";
}

void MakeFile(int share, long long n)
{
    const ItemPtr file = d.GetType("shared_file")->NewItem();
    file += d.GetType("shared_file_name")->NewItem(FileName(share, n));
    file += d.GetType("shared_file_folder")->NewItem(FolderName(share, int(n % kFolders)));
    file += d.GetType("shared_file_size")->NewItem(std::to_string(1000000 + n % kSizes));
}

// A share's files: each a null item with a name of its own, in a folder, with a size. Names
// come in no order, as a scan's do not.
void MakeShare(int share, int files)
{
    const ItemPtr root = d.GetType("shared_folder")->NewItem("/share " + std::to_string(share));
    for (int f = 0; f < kFolders; ++f)
        root += d.GetType("shared_file_folder")->NewItem(FolderName(share, f));
    for (int i = 0; i < files; ++i)
        MakeFile(share, (static_cast<long long>(i) * 7919) % files);
}

// Every tenth file of the first share.
std::vector<long long> RemovedFiles()
{
    std::vector<long long> files;
    for (long long n = 0; n < kFiles && int(files.size()) < kRemoved; n += kFiles / kRemoved)
        files.push_back(n);
    return files;
}

// The files' names, as a share list dropped takes them.
qint64 RemoveNames(const std::vector<long long>& files)
{
    Type* type = d.GetType("shared_file_name");
    QElapsedTimer t;
    t.start();
    for (long long n : files)
        type->HasItem(FileName(1, n)).Remove();
    Settle();
    return t.nsecsElapsed();
}

// The named files made again, and the files left without a name let go.
void PutFilesBack(const std::vector<long long>& files)
{
    d.GetType("shared_file")->GetItems().NotConnected("shared_file_name").Remove();
    for (long long n : files)
        MakeFile(1, n);
    Settle();
}

qint64 BaselineFillNs(Type* type)
{
    QListWidget list;
    list.setUniformItemSizes(true);
    list.resize(484, 200);
    list.show();
    Settle();
    QElapsedTimer t;
    t.start();
    QStringList values;
    for (const Item* item : type->GetItems())
        values << QString::fromLatin1(item->AsString().data(), qsizetype(item->AsString().size()));
    values.sort();
    list.addItems(values);
    Settle();
    return t.nsecsElapsed();
}

void BenchDataDialog()
{
    StoreGuard::Reset();
    DataSaver saver;
    Server::CreateData(saver);
    PeerMessenger::CreateData(saver);
    Settings::CreateData(saver);
    SharedFoldersManager::CreateData(saver);
    TransferQueueManager::CreateData(saver);
    QElapsedTimer t;
    t.start();
    MakeShare(1, kFiles);
    std::printf("store: %zu items in %.1f s\n", d.ItemCount(), t.nsecsElapsed() / 1e9);
    Type* largest = d.GetType("shared_file_name");

    // Selecting the largest type.
    qint64 baseline = BaselineFillNs(largest);
    qint64 select = 0;
    for (int round = 0; round < kRounds; ++round) {
        baseline = std::min(baseline, BaselineFillNs(largest));
        auto* dialog = new DataDialog(&d);
        dialog->show();
        Settle();
        auto* types = dialog->findChild<QTreeWidget*>("typeList");
        QTreeWidgetItem* row = types->findItems("shared_file_name", Qt::MatchExactly).first();
        t.start();
        types->setCurrentItem(row);
        Settle();
        const qint64 took = t.nsecsElapsed();
        select = round == 0 ? took : std::min(select, took);
        if (round == 0) {
            std::printf("rows listed: %d of %zu\n", dialog->findChild<QListWidget*>()->count(),
                        largest->ItemCount());
        }
        delete dialog;
    }
    Report("selecting the largest type (1M values)", baseline / 1e6, select / 1e6, 2.0);

    // Removing 100,000 listed items.
    const std::vector<long long> removed = RemovedFiles();
    qint64 bare = 0;
    qint64 withDialog = 0;
    for (int round = 0; round < kRounds; ++round) {
        const qint64 alone = RemoveNames(removed);
        PutFilesBack(removed);
        auto* dialog = new DataDialog(&d);
        dialog->show();
        auto* types = dialog->findChild<QTreeWidget*>("typeList");
        types->setCurrentItem(types->findItems("shared_file_name", Qt::MatchExactly).first());
        Settle();
        const qint64 shown = RemoveNames(removed);
        if (round == 0) {
            std::printf("rows left: %d of %zu\n", dialog->findChild<QListWidget*>()->count(),
                        largest->ItemCount());
        }
        delete dialog;
        PutFilesBack(removed);
        bare = round == 0 ? alone : std::min(bare, alone);
        withDialog = round == 0 ? shown : std::min(withDialog, shown);
    }
    std::printf("bare removal of %d names: %.1f ms\n", kRemoved, bare / 1e6);
    Report("removing 100,000 listed items (baseline: fill + bare removal)", (baseline + bare) / 1e6,
           withDialog / 1e6, 1.0);

    // A second share made: with no dialog, with the dialog open on another type, and with the
    // type of its names selected, whose list then takes half a million rows more.
    qint64 made = 0;
    qint64 madeShown = 0;
    qint64 madeListed = 0;
    for (int round = 0; round < kRounds; ++round) {
        for (const char* selected : {"", "user", "shared_file_name"}) {
            DataDialog* dialog = nullptr;
            if (*selected) {
                dialog = new DataDialog(&d);
                dialog->show();
                auto* types = dialog->findChild<QTreeWidget*>("typeList");
                types->setCurrentItem(types->findItems(selected, Qt::MatchExactly).first());
                Settle();
            }
            t.start();
            MakeShare(2, kFiles / 2);
            Settle();
            const qint64 took = t.nsecsElapsed();
            if (dialog && round == 0 && largest == d.GetType(selected)) {
                std::printf("rows after the second share: %d of %zu\n",
                            dialog->findChild<QListWidget*>()->count(), largest->ItemCount());
            }
            delete dialog;
            // Gone again: the second share's files and what only they reach.
            d.GetType("shared_folder")->HasItem("/share 2").Remove();
            for (Item* folder : d.GetType("shared_file_folder")->GetItems()) {
                if (ItemPtr(folder).AsString().rfind("/share 2/", 0) == 0)
                    ItemPtr(folder).Remove();
            }
            d.GetType("shared_file")->GetItems().NotConnected("shared_file_folder").Remove();
            d.RemoveDisconnectedItems();
            Settle();
            qint64& best = !*selected                       ? made
                           : largest == d.GetType(selected) ? madeListed
                                                            : madeShown;
            best = round == 0 ? took : std::min(best, took);
        }
    }
    Report("making 1M items (a second share), dialog open vs none", made / 1e6, madeShown / 1e6,
           1.5);
    const qint64 listedBaseline = made + BaselineFillNs(largest);
    std::printf("the same with its names' type selected: %.1f ms, against making them and a plain "
                "fill of the whole list (%.1f ms): ratio %.2f\n",
                madeListed / 1e6, listedBaseline / 1e6, double(madeListed) / listedBaseline);
    StoreGuard::Reset();
}

// A line as a reader sees it, written back as markup: the same bold and green runs.
QString Markup(const QTextBlock& block)
{
    QString line;
    for (auto it = block.begin(); !it.atEnd(); ++it) {
        const QTextFragment fragment = it.fragment();
        QString text = fragment.text().toHtmlEscaped();
        if (fragment.charFormat().fontWeight() >= QFont::Bold)
            text = "<b>" + text + "</b>";
        if (fragment.charFormat().foreground().color() == QColor("green"))
            text = "<font color=green>" + text + "</font>";
        line += text;
    }
    return line;
}

void BenchNavigator()
{
    WindowBench::SilentServer silent;
    MainWindow window;
    window.show();
    window.Init();
    Settle();

    TypeNavigatorDialog navigator;
    navigator.show();
    navigator.Init();
    Settle();
    auto* from = navigator.findChild<QComboBox*>("fromTypeBox");
    auto* to = navigator.findChild<QComboBox*>("toTypeBox");
    auto* chart = navigator.findChild<QTextBrowser*>("chartEdit");
    QTextBrowser bare;
    bare.resize(chart->size());
    bare.show();

    std::printf("schema: %d types\n", from->count());
    qint64 measured = 0;
    qint64 baseline = 0;
    double worst = 0;
    QString worstType;
    int charts = 0;
    int lines = 0;
    int cut = 0;
    QElapsedTimer t;
    for (int i = 0; i < from->count(); ++i) {
        qint64 startMeasured = 0;
        qint64 startBaseline = 0;
        t.start();
        from->setCurrentIndex(i);
        Settle();
        startMeasured += t.nsecsElapsed();
        // Every start type; of its end types, the first and every fifth.
        for (int j = 0; j < to->count(); j += 5) {
            if (j > 0) {
                t.start();
                to->setCurrentIndex(j);
                Settle();
                startMeasured += t.nsecsElapsed();
            }
            QStringList shown;
            for (QTextBlock block = chart->document()->begin(); block.isValid();
                 block = block.next())
                shown << Markup(block);
            if (chart->document()->isEmpty())
                shown.clear();
            t.start();
            bare.clear();
            for (const QString& line : std::as_const(shown))
                bare.append(line);
            Settle();
            startBaseline += t.nsecsElapsed();
            ++charts;
            lines += int(shown.size());
            cut += !shown.isEmpty() && shown.last() == "(more paths not shown)";
        }
        measured += startMeasured;
        baseline += startBaseline;
        const double ratio = double(startMeasured) / double(std::max<qint64>(startBaseline, 1));
        if (startBaseline > 1000000 && ratio > worst) {
            worst = ratio;
            worstType = from->itemText(i);
        }
    }
    std::printf("charts: %d, lines: %d, cut at the cap: %d\n", charts, lines, cut);
    std::printf("worst start type (of those with over 1 ms of lines): %s, ratio %.2f\n",
                qPrintable(worstType), worst);
    Report("navigator, every start type", baseline / 1e6, measured / 1e6, 3.0);
}

} // namespace

int main(int argc, char** argv)
{
    // As the client does.
    TuneAllocator();
    WindowBench::Home home;
    QApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IONBF, 0);

    BenchDataDialog();
    // The window's own store file; its login goes to a local port that never answers.
    home.WriteStore();
    BenchNavigator();
    return 0;
}

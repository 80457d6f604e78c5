// The "Complete" tab of the transfers page on 20,000 finished downloads saved in the store file,
// in the running window (offscreen). The baseline, measured in the same run, is a plain
// QTreeWidget given the same five texts per row and sorted once by a key computed beforehand:
//  - opening the list (the tab made and filled from the store, sorted newest first) against
//    the plain tree's fill and sort, the best of five starts; target 2x;
//  - one completion added to the full list against the opening; target 1%.
// Prints the figures; nothing is asserted.

#include "WindowBench.h"

#include "shell/MainWindow.h"
#include "shell/ProcessControl.h"
#include "support/CompleteRecords.h"
#include "support/StoreGuard.h"
#include "transfers/TransferQueueManager.h"
#include "ui/transfers/CompleteDownloadsForm.h"
#include "ui/transfers/TransfersForm.h"

#include <QApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QTreeWidget>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

using WindowBench::Report;

constexpr int kRecords = 20000;
constexpr int kUsers = 200;
constexpr int kRounds = 5;
constexpr int kAdded = 20;
constexpr double kOpenTarget = 2.0;
constexpr double kAddTarget = 0.01;

struct Finished
{
    std::string user;
    std::string folder;
    std::string file;
    std::string size;
    std::string time;
    qint64 key; // seconds since the first, for the baseline's sort
};

// Three days of completions, in an order that is not the times' (a store file merged from
// several runs, or downloads recorded as they finished in parallel).
std::vector<Finished> Records()
{
    const QDateTime start(QDate(2026, 3, 1), QTime(8, 0));
    std::vector<Finished> records;
    for (int i = 0; i < kRecords; ++i) {
        const int n = int((qint64(i) * 7919) % kRecords);
        const qint64 seconds = qint64(n) * 3 * 24 * 3600 / kRecords;
        records.push_back({"user" + std::to_string(n % kUsers),
                           "Artist " + std::to_string(n % 97) + "\\Album " + std::to_string(n % 13),
                           "track " + std::to_string(n) + ".mp3", std::to_string(3000000 + n),
                           start.addSecs(seconds).toString(Qt::TextDate).toStdString(), seconds});
    }
    return records;
}

std::unique_ptr<MainWindow> StartWindow()
{
    StoreGuard::Reset();
    auto window = std::make_unique<MainWindow>();
    window->show();
    window->Init();
    return window;
}

// Made by a window; the store file holds them once it has gone (untimed).
void SaveRecords(const std::vector<Finished>& records)
{
    auto window = StartWindow();
    for (const Finished& r : records)
        CompleteRecords::Make(r.user, r.folder, r.file, r.size, r.time);
}

class KeyedRow : public QTreeWidgetItem
{
public:
    explicit KeyedRow(qint64 key) : m_key(key) {}
    qint64 m_key;
};

qint64 PlainOpenNs(const std::vector<Finished>& records)
{
    QTreeWidget tree;
    tree.setUniformRowHeights(true);
    tree.setRootIsDecorated(false);
    tree.setColumnCount(5);
    QElapsedTimer t;
    t.start();
    QList<QTreeWidgetItem*> rows;
    rows.reserve(qsizetype(records.size()));
    for (const Finished& r : records) {
        auto* row = new KeyedRow(r.key);
        row->setText(0, QString::fromStdString(r.file));
        row->setText(1, QString::fromStdString(r.folder));
        row->setText(2, QString::fromLatin1(r.user.c_str()));
        row->setText(3, QString::fromLatin1(r.size.c_str()));
        row->setText(4, QString::fromLatin1(r.time.c_str()));
        rows << row;
    }
    std::sort(rows.begin(), rows.end(), [](QTreeWidgetItem* a, QTreeWidgetItem* b) {
        return static_cast<KeyedRow*>(a)->m_key > static_cast<KeyedRow*>(b)->m_key;
    });
    tree.addTopLevelItems(rows);
    return t.nsecsElapsed();
}

} // namespace

int main(int argc, char** argv)
{
    // As the client does.
    TuneAllocator();
    WindowBench::Home home;
    QApplication app(argc, argv);
    WindowBench::SilentServer silent;
    home.WriteStore();
    const std::vector<Finished> records = Records();
    SaveRecords(records);

    std::unique_ptr<MainWindow> window;
    qint64 openNs = 0;
    for (int round = 0; round < kRounds; ++round) {
        window.reset();
        window = StartWindow();
        QElapsedTimer t;
        t.start();
        transfersForm->OnActionBarTriggered(nullptr, "complete_downloads");
        const qint64 ns = t.nsecsElapsed();
        openNs = round == 0 ? ns : std::min(openNs, ns);
    }
    auto* list = completeDownloadsForm->findChild<QTreeWidget*>("downloadList");
    std::printf("rows: %d, top %s\n", list->topLevelItemCount(),
                qPrintable(list->topLevelItem(0)->text(4)));

    qint64 plainNs = PlainOpenNs(records);
    for (int round = 1; round < kRounds; ++round)
        plainNs = std::min(plainNs, PlainOpenNs(records));
    const std::string opening = "opening the list of " + std::to_string(kRecords);
    Report(opening.c_str(), plainNs / 1e6, openNs / 1e6, kOpenTarget);

    // Each later than every other, as a completion is; the best of a few.
    qint64 addNs = 0;
    const QDateTime last(QDate(2026, 3, 4), QTime(8, 0));
    for (int i = 0; i < kAdded; ++i) {
        ItemPtr record =
            CompleteRecords::Make("user1", "Artist 1\\Album 1", "new.mp3", "1000",
                                  last.addSecs(i).toString(Qt::TextDate).toStdString());
        QElapsedTimer t;
        t.start();
        Q_EMIT transferQueueManager->CompleteDownloadAdded(record);
        const qint64 ns = t.nsecsElapsed();
        addNs = i == 0 ? ns : std::min(addNs, ns);
    }
    Report("one completion added to the full list (baseline: the opening)", openNs / 1e6,
           addNs / 1e6, kAddTarget);
    window.reset();
    return 0;
}

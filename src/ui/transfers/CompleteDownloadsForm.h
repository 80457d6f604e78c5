#pragma once

#include "shell/Ties.h"
#include "store/Data.h"

#include <QWidget>

#include <limits>
#include <memory>
#include <string>

class Ui_CompleteDownloadsForm;

// A row of the complete-downloads list, tied to its complete_download record. It keeps the
// completion time it was made with, so that placing and sorting rows reads neither the store nor
// a date text.
class CompleteDownloadItem : public TiedRow
{
public:
    explicit CompleteDownloadItem(qint64 completion);

    // Whether this row finished before the other; rows of equal times compare equal.
    bool operator<(const QTreeWidgetItem& other) const override;

    // A stored completion time (Qt::TextDate) as a number that orders as the times do: its local
    // date and time fields, packed. A text that is no time gives kNoTime, below every time.
    static qint64 TimeKey(const std::string& text);
    static constexpr qint64 kNoTime = std::numeric_limits<qint64>::min();
    qint64 Completion() const { return m_completion; }

private:
    qint64 m_completion;
};

// The "Complete" tab of the transfers page: every finished download, newest first, one row per
// saved complete_download record that the transfer engine makes. Made by the transfers page on
// the first request; rows are only ever added (a record removed later keeps its row).
class CompleteDownloadsForm : public QWidget, public DataLoadedEventHandler
{
    Q_OBJECT

public:
    enum Column
    {
        kFileColumn = 0,
        kFolderColumn,
        kUserColumn,
        kSizeColumn,
        kTimeColumn,
    };

    // Its rows come from the store file and the transfer engine: made without either, it throws
    // MissingDependencyError.
    explicit CompleteDownloadsForm(QWidget* parent = nullptr);
    ~CompleteDownloadsForm() override;

    // The row ties, the engine's completions and the store file's notice.
    void Init();
    // Lists every record that has no row yet, sorted once. Also what a form made after the store
    // file was loaded runs at once, having missed that notice.
    void DataLoaded() override;

public Q_SLOTS:
    // The record's row, put in its place.
    void OnCompleteDownloadAdded(ItemPtr record);

private:
    static CompleteDownloadItem* MakeRow(ItemPtr record);

    DataSaver& m_saver;
    TransferQueueManager& m_transfers;
    std::unique_ptr<Ui_CompleteDownloadsForm> ui;
};

extern CompleteDownloadsForm* completeDownloadsForm;

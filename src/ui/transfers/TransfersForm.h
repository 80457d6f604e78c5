#pragma once

#include "store/Data.h"
#include "store/Settings.h"
#include "store/SlicedJob.h"
#include "store/TurnBudget.h"

#include <QBrush>
#include <QIcon>
#include <QKeyEvent>
#include <QPoint>
#include <QTimer>
#include <QWidget>

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class QTreeWidget;
class QTreeWidgetItem;
class Ui_TransfersForm;

// The Transfers page: the downloads and uploads trees, each grouping the transfer engine's entries
// user > folder > file, and under the uploads tree the clean-up, speed-limit and slot controls.
//
// Rows follow the store: an entry gets its file row (and the user and folder rows above it) when
// its links are made, and loses it when it goes; downloads only from TransfersLoaded on, when the
// loaded ones appear in their download_order. Each row is tied to its items by a node item
// holding its address (ui/transfers/TransferRowTypes.h). Rows are filled before they join their
// tree; the first of a turn of the event loop join it at once while the turn's budget lasts, the
// later ones wait and join it many together, a slice at a time (store/SlicedJob.h), each row's
// new children in one call. A status change sets its file row at once; progress reports and
// status changes mark what they touch, and RefreshMarkedRows redraws marked file rows, then each
// folder and user row above them once, at most kRefreshIntervalMs apart, so that a report costs
// the same however many entries share its folder.
//
// What a row shows (TransfersRowDisplay.cpp): the status (a folder's and a user's summed up), a
// bar painted from the ProgressBarData its progress cell keeps (ui/transfers/ProgressDelegate.h),
// the time left, the speed in the lowest row of the branch in view, and the colour of the status
// class. The controls, tool-bar actions, the Delete key, double clicks, menus, the half-minute
// clean-up of uploads, completion alerts and the opening of the complete-downloads list
// (ui/transfers/CompleteDownloadsForm.h) are in TransfersControls.cpp.
class TransfersForm : public QWidget, public DataHandler, public DataLoadedEventHandler
{
    Q_OBJECT

public:
    // Columns. The uploads tree has all but the place in line.
    enum Column
    {
        kUserColumn = 0,
        kFolderColumn,
        kFileColumn,
        kStatusColumn,
        kProgressColumn,
        kTimeLeftColumn,
        kSpeedColumn,
        kSizeColumn,
        kPlaceColumn,
    };
    // Marked rows are redrawn at most this often: four times a second.
    static constexpr int kRefreshIntervalMs = 250;
    // With clean-up on, a finished or failed upload that has shown no life for longer than this
    // goes on the next half-minute tick.
    static constexpr qint64 kUploadIdleLimitMs = 299999;

    explicit TransfersForm(QWidget* parent = nullptr);
    ~TransfersForm() override;

    // Called once by start-up, right after the transfer engine is built and before the store
    // file is loaded: the store types, the handlers and the tool bar's actions. Without the
    // store file handler, the transfer engine or the context tool bar it wires nothing and
    // throws MissingDependencyError naming the one missing.
    void Init();
    // The controls show the stored settings, and only then follow the user's changes.
    void DataLoaded() override;

    // The user row above a row of either tree (the row itself for a user row); null for a row
    // of neither.
    QTreeWidgetItem* GetDownloadNodeUserNode(QTreeWidgetItem* row) const;
    QTreeWidgetItem* GetUploadNodeUserNode(QTreeWidgetItem* row) const;
    // The entries under a row: every entry of a user row's folders, a folder row's entries, a
    // file row's entry; empty for a row of neither.
    ItemSet GetNodeDownloadEntryItems(QTreeWidgetItem* row) const;
    ItemSet GetNodeUploadEntryItems(QTreeWidgetItem* row) const;

    // Gives every column the row holds data in the colour of the status's class.
    void SetItemColorByStatus(QTreeWidgetItem* row, const QString& status);
    // The summary a folder or user row shows: "downloading" ("uploading") when one runs, else
    // "queued" when one waits, else "complete" when all are, else "denied" or "aborted" when
    // one is, else empty.
    QString GetDownloadEntriesAggregateStatus(const ItemSet& entries) const;
    QString GetUploadEntriesAggregateStatus(const ItemSet& entries) const;
    // Bytes over the entries that count (finished, failed, running or waiting): done, still to
    // come, and in all.
    void GetDownloadsProgressStats(const ItemSet& entries, long long& done, long long& remaining,
                                   long long& total) const;
    void GetUploadsProgressStats(const ItemSet& entries, long long& done, long long& remaining,
                                 long long& total) const;
    // "   1h:2m:5s": three blanks, then hours and minutes where there are any.
    static QString TimeLeftText(qint64 seconds);

    // Removes the downloads under the selected row of the downloads tree.
    void DeleteSelectedDownloads();
    // Whether downloads "Clear Complete" took are still being removed, a slice at a time on the
    // turn's budget (20,000 took most of a second in one go).
    bool IsClearing() const { return !m_clearing.empty(); }
    // Removes them all now: the window calls it before the store file is saved at the end.
    void FinishClearing();
    // Whether rows made are still waiting to join their tree.
    bool IsJoiningRows() const { return m_joining->IsBusy(); }

public Q_SLOTS:
    void OnDownloadProgress(ItemPtr entry);
    void OnUploadProgress(ItemPtr entry);
    void OnTransfersLoaded();
    void OnActionBarTriggered(QWidget* widget, std::string key);
    void OnUploadSpeedLimitCheckStateChanged(int state);
    void OnUploadSpeedLimitSpinValueChanged(int value);
    void OnUploadSlotsSpinValueChanged(int value);
    void OnDownloadsContextMenuRequested(const QPoint& position);
    void OnUploadsContextMenuRequested(const QPoint& position);
    void OnItemExpanded(QTreeWidgetItem* row);
    void OnItemCollapsed(QTreeWidgetItem* row);
    void OnClearDownloadsCheckStateChanged(int state);
    void OnClearUploadsCheckStateChanged(int state);
    void EveryHalfMinute();
    void OnDownloadComplete(ItemPtr entry);
    void OnDownloadListItemDoubleClicked(QTreeWidgetItem* row, int column);
    void OnKeyPressedInDownloadList(QKeyEvent* event);
    // Every row coloured anew from the colour settings (the colour dialog asks for it).
    void RecolorEntries();
    // Redraws what was marked since the last refresh. Its timer runs it at most every
    // kRefreshIntervalMs; tests call it.
    void RefreshMarkedRows();

Q_SIGNALS:
    // A download shown in the tree became complete; delivered queued to OnDownloadComplete.
    void DownloadComplete(ItemPtr entry);

private:
    // What the two trees differ in.
    struct Side
    {
        bool uploads;
        QTreeWidget* tree;
        const char* entryType;
        const char* statusType;
        const char* userNode;
        const char* folderNode;
        const char* fileNode;
        // The type of the entry's folder item: remote_folder or shared_file_folder.
        const char* folderType;
        // The status of a running transfer, and where its byte count is.
        const char* running;
        const char* positionType;
        bool* expandUsers;
        bool* expandFolders;
    };
    // Byte sums of a folder row, and what its summary goes by; a user row's are its folders'.
    struct Totals
    {
        long long done = 0;
        long long remaining = 0;
        long long total = 0;
        size_t entries = 0;
        size_t complete = 0;
        bool running = false;
        bool queued = false;
        bool denied = false;
        bool aborted = false;

        void Add(const Totals& other)
        {
            done += other.done;
            remaining += other.remaining;
            total += other.total;
            entries += other.entries;
            complete += other.complete;
            running = running || other.running;
            queued = queued || other.queued;
            denied = denied || other.denied;
            aborted = aborted || other.aborted;
        }
    };
    using FolderTotals = std::unordered_map<Item*, Totals>;
    // What is waiting for the next refresh in one tree.
    struct Marks
    {
        // Entries that reported progress, with their file rows, in the order of their first
        // report. An entry leaves the marks when its row goes: only a pair still in entries
        // stands.
        std::vector<std::pair<Item*, QTreeWidgetItem*>> order;
        std::unordered_map<Item*, QTreeWidgetItem*> entries;
        // Folder and user rows whose summary status is due.
        std::vector<QTreeWidgetItem*> summaryOrder;
        std::unordered_set<QTreeWidgetItem*> summaries;
        // The sums of folders, by folder node, kept until one of their entries reports, changes
        // status, comes or goes: a user row's figures take every folder's, and most stand still.
        FolderTotals totals;
    };

    // Rows of the trees (TransfersForm.cpp).
    void OnDownloadEntryAdded(Item* entry);
    void OnUploadEntryAdded(Item* entry);
    void OnDownloadEntryRemoved(Item* entry);
    void OnUploadEntryRemoved(Item* entry);
    void OnUserOnline(Item* user);
    void OnUserOffline(Item* user);
    void OnDownloadPlaceInLine(Item* entry);
    // The entry's file row, made with the rows above it when missing; null for an entry without
    // a user or folder.
    QTreeWidgetItem* AddRow(const Side& side, ItemPtr entry);
    QTreeWidgetItem* UserRow(const Side& side, ItemPtr user);
    // The user's folder row, made with the user row when missing, and its node.
    QTreeWidgetItem* FolderRow(const Side& side, ItemPtr user, ItemPtr folder, ItemPtr& node);
    // Whether a folder node stands for that folder of that user.
    static bool IsFolderNodeOf(const Side& side, ItemPtr node, ItemPtr user, ItemPtr folder);
    void FillFileRow(const Side& side, QTreeWidgetItem* row, ItemPtr entry);
    // Puts a new row under parent, at once (the turn's first) or with the rows waiting, expanded
    // once in the tree when expand says so.
    void Join(const Side& side, QTreeWidgetItem* parent, QTreeWidgetItem* row, bool expand);
    // A step of the joining: the next waiting rows of a tree, kRowsJoinedAStep at most.
    bool JoinSomeRows();
    // Puts the rows waiting to join their tree in it now: before anything that goes by the rows
    // above a row or by the rows under one.
    void JoinWaitingRows();
    // The row above a row, also while the row waits to join it; null for a user row.
    QTreeWidgetItem* ParentOf(const Side& side, QTreeWidgetItem* row) const;
    void RemoveRow(const Side& side, ItemPtr entry);
    // While it lives, the rows of the entries removed are collected, and taken out of their tree
    // together when it ends: a row deleted on its own walks its siblings, and the tree fixes up
    // every expanded row's place for it.
    class BulkRemoval
    {
    public:
        explicit BulkRemoval(TransfersForm* form) : m_form(form) { form->m_bulkRemoval = true; }
        ~BulkRemoval();
        BulkRemoval(const BulkRemoval&) = delete;
        BulkRemoval& operator=(const BulkRemoval&) = delete;

    private:
        TransfersForm* m_form;
    };
    // The file rows, each tied to no node any more, out of the side's tree, with the folder and
    // user rows they leave empty.
    void TakeOutRows(const Side& side, const std::vector<QTreeWidgetItem*>& files);
    // The live row a node item names, or null.
    static QTreeWidgetItem* RowOf(ItemPtr node);
    // The entry's file row, or null.
    static QTreeWidgetItem* FileRow(const Side& side, ItemPtr entry);
    // The row's node in a type, or null; a node that names the row is its tie.
    static ItemPtr NodeOf(const char* type, QTreeWidgetItem* row);
    const Side* SideOf(QTreeWidgetItem* row) const;
    QTreeWidgetItem* UserNodeOf(const Side& side, QTreeWidgetItem* row) const;
    ItemSet EntriesUnder(const Side& side, QTreeWidgetItem* row) const;
    // The entries under a folder or user row's node.
    static ItemSet EntriesOfNode(const Side& side, ItemPtr node);

    // What rows show (TransfersRowDisplay.cpp).
    void OnDownloadEntryStatusChange(ConnectionInfo& info);
    void OnUploadEntryStatusChange(ConnectionInfo& info);
    void ShowStatus(const Side& side, ItemPtr entry, ItemPtr status);
    // A status's texts and colour on its file row; then what follows from it: the completion
    // signalled, and the rows above marked.
    void FillStatus(const Side& side, QTreeWidgetItem* row, ItemPtr entry,
                    const std::string& status);
    void StatusShown(const Side& side, ItemPtr entry, QTreeWidgetItem* row,
                     const std::string& status);
    void Progress(const Side& side, ItemPtr entry);
    void MarkSummary(const Side& side, QTreeWidgetItem* row);
    void StartRefreshTimer();
    void RefreshSide(const Side& side, Marks& marks);
    // Shows the entry's figures on its file row, and its speed in speedRow; the speed.
    int ShowEntryProgress(const Side& side, ItemPtr entry, QTreeWidgetItem* row,
                          QTreeWidgetItem* speedRow);
    Marks& MarksOf(const Side& side) { return side.uploads ? m_uploadMarks : m_downloadMarks; }
    // The folder's sums are to be worked out again.
    void ForgetTotals(const Side& side, Item* folderNode)
    {
        MarksOf(side).totals.erase(folderNode);
    }
    // The status items the sums go by, looked up once for many entries.
    struct StatusItems
    {
        Item* running;
        Item* queued;
        Item* complete;
        Item* aborted;
        Item* denied;
    };
    static StatusItems Statuses(const Side& side);
    static void AddUp(const Side& side, const StatusItems& statuses, ItemPtr entry, Totals& totals);
    static const Totals& FolderTotalsOf(const Side& side, const StatusItems& statuses,
                                        Item* folderNode, FolderTotals& known);
    void ShowGroupProgress(const Side& side, const StatusItems& statuses, ItemPtr node,
                           int bytesPerSecond);
    // The sums of a folder node, or of every folder of a user node.
    Totals GroupTotals(const Side& side, const StatusItems& statuses, ItemPtr node);
    void ShowSummary(const Side& side, QTreeWidgetItem* row);
    static QString Summary(const Side& side, const ItemSet& entries);
    static QString Summary(const Side& side, const Totals& totals);
    static void Stats(const Side& side, const ItemSet& entries, long long& done,
                      long long& remaining, long long& total);
    // The brush of a status class's colour setting, made anew only when the setting changed.
    const QBrush& StatusBrush(SettingKey key);
    // What the status cell shows for a status, or for a peer's reason in its place.
    static QString StatusText(const Side& side, const std::string& status);
    // The same for a status the engine sets, kept: one text for the many rows of a status.
    QString KnownStatusText(const Side& side, const std::string& status);
    // More statuses than there are are not kept: a store file could have made up any.
    static constexpr size_t kStatusTextsKept = 16;
    static void SetBar(QTreeWidgetItem* row, long long done, double percent);
    static void ClearBar(QTreeWidgetItem* row);

    // Controls and housekeeping (TransfersControls.cpp).
    void ConnectControls();
    void ToggleExpansion(const Side& side, bool users);
    void RemoveCompleteDownloads();
    // A step of "Clear Complete": the next downloads it took, kDownloadsClearedAStep at most,
    // their rows taken out together.
    bool ClearSome();
    void RemoveEndedUploads();
    void AddSelectedUsersToUserList();
    // The "Complete" tab, made with its rows on the first request.
    void ShowCompleteDownloads();
    void RaiseAlerts(ItemPtr entry);
    void RaiseEvent(const QString& label, const QString& message);
    void RunMenu(const Side& side, const QPoint& position);

    std::unique_ptr<Ui_TransfersForm> ui;
    // Until the engine's TransfersLoaded, new downloads get no row.
    bool transfersLoaded = false;
    // Whether the store file's one notice has come: a complete-downloads list made after it
    // fills itself at once.
    bool m_dataLoaded = false;
    // Whether new folder and user rows of each tree start expanded; flipped by the tool bar.
    bool expandDownloadFolders = true;
    bool expandDownloadUsers = true;
    bool expandUploadFolders = true;
    bool expandUploadUsers = true;

    Side m_downloads;
    Side m_uploads;
    // The rows of one tree made out of it, waiting to join it: those to go under a row of the
    // tree, in the order made, with that row (the root for a user row), the first rows[at] in it
    // already; and the new folder and user rows, these or under these, to be expanded once they
    // are in it.
    struct Waiting
    {
        std::vector<QTreeWidgetItem*> rows;
        size_t at = 0;
        std::unordered_map<QTreeWidgetItem*, QTreeWidgetItem*> parents;
        std::vector<QTreeWidgetItem*> expand;
    };
    // A step's bounded pieces: rows joined, downloads cleared.
    static constexpr size_t kRowsJoinedAStep = 256;
    static constexpr size_t kDownloadsClearedAStep = 256;
    Waiting m_waiting[2];
    std::unique_ptr<SlicedJob> m_joining;
    // This turn's draw on the budget for rows joining their tree at once.
    std::optional<TurnSlice> m_atOnce;
    bool m_turnEndDue = false;
    // The brushes of the status classes, with the colour setting's text each was made from.
    struct ClassBrush
    {
        const char* key;
        std::string colour;
        QBrush brush;
    };
    std::vector<ClassBrush> m_brushes;
    std::unordered_map<std::string, QString> m_statusTexts[2];
    // The folder row the last new row of each tree went under, by its user, folder and node
    // (its id telling whether the node is still that item).
    struct LastFolder
    {
        Item* user = nullptr;
        Item* folder = nullptr;
        Item* node = nullptr;
        uint32_t nodeId = 0;
    };
    LastFolder m_lastFolder[2];
    // A BulkRemoval runs, and the file rows of the entries removed meanwhile, by side.
    bool m_bulkRemoval = false;
    std::vector<QTreeWidgetItem*> m_goingRows[2];
    // The downloads "Clear Complete" took and has yet to remove, as id and item, in order.
    std::deque<std::pair<uint32_t, Item*>> m_clearing;
    std::unique_ptr<SlicedJob> m_clearingJob;
    Marks m_downloadMarks;
    Marks m_uploadMarks;
    QTimer m_refreshTimer;
    QIcon m_onlineDot;
    QIcon m_offlineDot;
    // Completions signalled and not handled yet, by entry: the queued call finds an entry
    // removed meanwhile gone from here and leaves it alone.
    std::unordered_map<Item*, int> m_pendingCompletions;
};

extern TransfersForm* transfersForm;

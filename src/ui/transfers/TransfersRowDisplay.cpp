#include "ui/transfers/TransfersForm.h"

#include "peer/PeerSchema.h"
#include "shares/SharesSchema.h"
#include "store/GeneralFunctions.h"
#include "store/Settings.h"
#include "transfers/TransfersSchema.h"
#include "ui/transfers/TransferRowTypes.h"

#include <QBrush>
#include <QColor>
#include <QTreeWidget>

#include <algorithm>

// What the rows show: status texts and colours, bars, time left and speed. A status change sets
// its file row at once; the rows above it, and everything a progress report changes, wait for
// the next refresh, which redraws each of them once.

using namespace TransferRowTypes;

namespace {

QString Latin1(const std::string& text)
{
    return QString::fromLatin1(text.data(), qsizetype(text.size()));
}

// The colour setting of a status's class.
SettingKey ColourKey(const QString& status)
{
    if (status == QLatin1String(TransferStatus::Complete))
        return SettingKeys::ColorTransferComplete;
    if (status == QLatin1String(TransferStatus::Downloading) ||
        status == QLatin1String(TransferStatus::Uploading) ||
        status == QLatin1String(TransferStatus::Connecting))
        return SettingKeys::ColorTransferInProgress;
    if (status == QLatin1String(TransferStatus::Queued))
        return SettingKeys::ColorTransferQueued;
    if (status == QLatin1String(TransferStatus::Denied) ||
        status == QLatin1String(TransferStatus::Aborted) ||
        status == QLatin1String(TransferStatus::LocalError))
        return SettingKeys::ColorTransferFailed;
    return SettingKeys::ColorTransferOther;
}

qint64 Size(bool uploads, ItemPtr entry)
{
    return uploads ? entry[SharesTypes::SharedFile][SharesTypes::SharedFileSize].AsInt64()
                   : entry[PeerTypes::FileSize].AsInt64();
}

// The engine's byte count of a running transfer, 0 before one ran.
qint64 Position(const char* positionType, ItemPtr entry)
{
    const auto* position = entry[positionType].AsPointer<qint64>();
    return position ? *position : 0;
}

int Speed(ItemPtr entry)
{
    const auto* rate = entry[TransfersTypes::BytesPerSecond].AsPointer<qint32>();
    return rate ? *rate : 0;
}

QString BarText(long long done, double percent)
{
    return QStringLiteral("%1 (%2%)").arg(CommafyNumber(done), QString::number(percent, 'f', 1));
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Statuses

void TransfersForm::OnDownloadEntryStatusChange(ConnectionInfo& info)
{
    ShowStatus(m_downloads, info.first, info.second);
}

void TransfersForm::OnUploadEntryStatusChange(ConnectionInfo& info)
{
    ShowStatus(m_uploads, info.first, info.second);
}

void TransfersForm::ShowStatus(const Side& side, ItemPtr entry, ItemPtr status)
{
    QTreeWidgetItem* row = FileRow(side, entry);
    if (!row)
        return;
    const std::string& text = status.AsString();
    SetItemColorByStatus(row, Latin1(text));
    if (text == TransferStatus::Complete) {
        if (!side.uploads) {
            ++m_pendingCompletions[entry.Get()];
            Q_EMIT DownloadComplete(entry);
        }
        row->setText(kProgressColumn, QString());
    }
    if (!side.uploads)
        row->setText(kPlaceColumn, QString());
    const std::string& shown =
        text == TransferStatus::Denied ? entry[TransfersTypes::DenialReason].AsString() : text;
    row->setText(kStatusColumn, Latin1(shown).toLower());
    QTreeWidgetItem* folderRow = row->parent();
    MarkSummary(side, folderRow);
    MarkSummary(side, folderRow ? folderRow->parent() : nullptr);
}

void TransfersForm::SetItemColorByStatus(QTreeWidgetItem* row, const QString& status)
{
    // An unparsable colour is used as it is: an invalid one.
    const QBrush brush{QColor(Latin1(Settings::Text(ColourKey(status))))};
    for (int column = 0; column < row->columnCount(); ++column)
        row->setForeground(column, brush);
}

QString TransfersForm::Summary(const Side& side, const ItemSet& entries)
{
    Type* statuses = d.GetType(side.statusType);
    ItemPtr running = statuses->HasItem(Value(side.running));
    ItemPtr queued = statuses->HasItem(Value(TransferStatus::Queued));
    ItemPtr complete = statuses->HasItem(Value(TransferStatus::Complete));
    ItemPtr denied = statuses->HasItem(Value(TransferStatus::Denied));
    ItemPtr aborted = statuses->HasItem(Value(TransferStatus::Aborted));
    size_t completeCount = 0;
    bool anyQueued = false;
    bool anyDenied = false;
    bool anyAborted = false;
    for (Item* entry : entries) {
        Item* status = ItemPtr(entry)[side.statusType];
        if (!status)
            continue;
        if (status == running.Get())
            return Latin1(side.running);
        anyQueued = anyQueued || status == queued.Get();
        anyDenied = anyDenied || status == denied.Get();
        anyAborted = anyAborted || status == aborted.Get();
        completeCount += status == complete.Get() ? 1 : 0;
    }
    if (anyQueued)
        return Latin1(TransferStatus::Queued);
    if (completeCount == entries.size())
        return Latin1(TransferStatus::Complete);
    if (anyDenied)
        return Latin1(TransferStatus::Denied);
    if (anyAborted)
        return Latin1(TransferStatus::Aborted);
    return QString();
}

QString TransfersForm::GetDownloadEntriesAggregateStatus(const ItemSet& entries) const
{
    return Summary(m_downloads, entries);
}

QString TransfersForm::GetUploadEntriesAggregateStatus(const ItemSet& entries) const
{
    return Summary(m_uploads, entries);
}

void TransfersForm::MarkSummary(const Side& side, QTreeWidgetItem* row)
{
    if (!row)
        return;
    Marks& marks = side.uploads ? m_uploadMarks : m_downloadMarks;
    if (marks.summaries.insert(row).second)
        marks.summaryOrder.push_back(row);
    StartRefreshTimer();
}

void TransfersForm::ShowSummary(const Side& side, QTreeWidgetItem* row)
{
    const QString summary = Summary(side, EntriesUnder(side, row));
    if (!row->isExpanded())
        row->setText(kStatusColumn, summary);
    SetItemColorByStatus(row, summary);
}

// ---------------------------------------------------------------------------------------------
// Progress

void TransfersForm::OnDownloadProgress(ItemPtr entry)
{
    Progress(m_downloads, entry);
}

void TransfersForm::OnUploadProgress(ItemPtr entry)
{
    Progress(m_uploads, entry);
}

void TransfersForm::Progress(const Side& side, ItemPtr entry)
{
    if (!FileRow(side, entry))
        return;
    Marks& marks = side.uploads ? m_uploadMarks : m_downloadMarks;
    if (marks.entries.insert(entry.Get()).second)
        marks.order.push_back(entry.Get());
    StartRefreshTimer();
}

void TransfersForm::StartRefreshTimer()
{
    if (!m_refreshTimer.isActive())
        m_refreshTimer.start();
}

void TransfersForm::Stats(const Side& side, const ItemSet& entries, long long& done,
                          long long& remaining, long long& total)
{
    done = remaining = total = 0;
    Type* statuses = d.GetType(side.statusType);
    ItemPtr running = statuses->HasItem(Value(side.running));
    ItemPtr queued = statuses->HasItem(Value(TransferStatus::Queued));
    ItemPtr complete = statuses->HasItem(Value(TransferStatus::Complete));
    ItemPtr aborted = statuses->HasItem(Value(TransferStatus::Aborted));
    for (Item* item : entries) {
        ItemPtr entry(item);
        Item* status = entry[side.statusType];
        if (!status)
            continue;
        const qint64 size = Size(side.uploads, entry);
        if (status == complete.Get()) {
            done += size;
            total += size;
        } else if (status == aborted.Get() || status == running.Get() || status == queued.Get()) {
            // A position past the end counts as the end: nothing is owed below nothing.
            const qint64 position = std::clamp<qint64>(Position(side.positionType, entry), 0,
                                                       std::max<qint64>(size, 0));
            done += position;
            remaining += size - position;
            total += size;
        }
    }
}

void TransfersForm::GetDownloadsProgressStats(const ItemSet& entries, long long& done,
                                              long long& remaining, long long& total) const
{
    Stats(m_downloads, entries, done, remaining, total);
}

void TransfersForm::GetUploadsProgressStats(const ItemSet& entries, long long& done,
                                            long long& remaining, long long& total) const
{
    Stats(m_uploads, entries, done, remaining, total);
}

QString TransfersForm::TimeLeftText(qint64 seconds)
{
    QString text = QStringLiteral("   ");
    if (seconds >= 3600)
        text += QString::number(seconds / 3600) + QStringLiteral("h:");
    if (seconds >= 60)
        text += QString::number(seconds / 60 % 60) + QStringLiteral("m:");
    return text + QString::number(seconds % 60) + QLatin1Char('s');
}

void TransfersForm::SetBar(QTreeWidgetItem* row, long long done, double percent)
{
    row->setData(kProgressColumn, kProgressValueRole, int(percent));
    row->setData(kProgressColumn, kProgressTextRole, BarText(done, percent));
}

void TransfersForm::ClearBar(QTreeWidgetItem* row)
{
    row->setData(kProgressColumn, kProgressValueRole, QVariant());
    row->setData(kProgressColumn, kProgressTextRole, QVariant());
}

int TransfersForm::ShowEntryProgress(const Side& side, ItemPtr entry, QTreeWidgetItem* row)
{
    const qint64 size = Size(side.uploads, entry);
    const qint64 position = Position(side.positionType, entry);
    const int speed = Speed(entry);
    // An empty file has nothing to show a share of, and a count past the end is all of it.
    const double percent =
        size > 0 ? std::clamp(double(position) * 100.0 / double(size), 0.0, 100.0) : 0.0;
    const qint64 left = std::max<qint64>(size - position, 0);
    SetBar(row, position, percent);
    row->setText(kTimeLeftColumn, TimeLeftText(speed > 0 ? left / speed : 0));

    QTreeWidgetItem* folderRow = row->parent();
    QTreeWidgetItem* userRow = folderRow ? folderRow->parent() : nullptr;
    QTreeWidgetItem* shown = row;
    if (userRow && !userRow->isExpanded())
        shown = userRow;
    else if (folderRow && !folderRow->isExpanded())
        shown = folderRow;
    shown->setText(kSpeedColumn, QString::number(speed / 1024.0, 'f', 1));
    return speed;
}

void TransfersForm::ShowGroupProgress(const Side& side, QTreeWidgetItem* row, int bytesPerSecond)
{
    long long done = 0;
    long long remaining = 0;
    long long total = 0;
    Stats(side, EntriesUnder(side, row), done, remaining, total);
    if (total <= 0)
        return;
    row->setText(kTimeLeftColumn,
                 TimeLeftText(bytesPerSecond > 0 ? remaining / bytesPerSecond : 0));
    SetBar(row, done, double(done) * 100.0 / double(total));
}

void TransfersForm::RefreshMarkedRows()
{
    m_refreshTimer.stop();
    RefreshSide(m_downloads, m_downloadMarks);
    RefreshSide(m_uploads, m_uploadMarks);
}

void TransfersForm::RefreshSide(const Side& side, Marks& marks)
{
    // Each folder and user row once, with the speed of the last entry under it that reported,
    // as the rows above a single report would show it.
    std::vector<QTreeWidgetItem*> groups;
    std::unordered_map<QTreeWidgetItem*, int> speeds;
    const auto noteGroup = [&](QTreeWidgetItem* row, int speed) {
        if (speeds.insert_or_assign(row, speed).second)
            groups.push_back(row);
    };
    for (Item* entry : marks.order) {
        // An entry removed since it reported has left the marks.
        if (!marks.entries.count(entry))
            continue;
        QTreeWidgetItem* row = FileRow(side, entry);
        QTreeWidgetItem* folderRow = row ? row->parent() : nullptr;
        if (!folderRow)
            continue;
        const int speed = ShowEntryProgress(side, entry, row);
        noteGroup(folderRow, speed);
        QTreeWidgetItem* userRow = folderRow->parent();
        // Expanded over its only folder, the user row would repeat the folder's figures.
        if (userRow && !(userRow->isExpanded() && userRow->childCount() <= 1))
            noteGroup(userRow, speed);
    }
    marks.order.clear();
    marks.entries.clear();
    for (QTreeWidgetItem* row : groups)
        ShowGroupProgress(side, row, speeds[row]);

    // Marked rows may have gone since: only those still tied to their node are shown.
    const std::vector<QTreeWidgetItem*> summaries = std::move(marks.summaryOrder);
    marks.summaryOrder.clear();
    marks.summaries.clear();
    for (QTreeWidgetItem* row : summaries) {
        if (NodeOf(side.folderNode, row) || NodeOf(side.userNode, row))
            ShowSummary(side, row);
    }
}

// ---------------------------------------------------------------------------------------------
// Expanding, collapsing, recolouring

void TransfersForm::OnItemExpanded(QTreeWidgetItem* row)
{
    const Side* side = SideOf(row);
    if (!side || !(NodeOf(side->userNode, row) || NodeOf(side->folderNode, row)))
        return;
    for (int column : {kStatusColumn, kTimeLeftColumn, kSpeedColumn})
        row->setText(column, QString());
    ClearBar(row);
}

void TransfersForm::OnItemCollapsed(QTreeWidgetItem* row)
{
    const Side* side = SideOf(row);
    if (!side || !(NodeOf(side->userNode, row) || NodeOf(side->folderNode, row)))
        return;
    row->setText(kStatusColumn, Summary(*side, EntriesUnder(*side, row)));
}

void TransfersForm::RecolorEntries()
{
    for (const Side* side : {&m_downloads, &m_uploads}) {
        for (Item* node : d.GetType(side->fileNode)->GetItems()) {
            if (QTreeWidgetItem* row = RowOf(node))
                SetItemColorByStatus(
                    row, Latin1(ItemPtr(node)[side->entryType][side->statusType].AsString()));
        }
    }
    for (const Side* side : {&m_downloads, &m_uploads}) {
        for (const char* type : {side->folderNode, side->userNode}) {
            for (Item* node : d.GetType(type)->GetItems()) {
                if (QTreeWidgetItem* row = RowOf(node))
                    ShowSummary(*side, row);
            }
        }
    }
}

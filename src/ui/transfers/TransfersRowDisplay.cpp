#include "ui/transfers/TransfersForm.h"

#include "peer/PeerSchema.h"
#include "shares/SharesSchema.h"
#include "shell/DisplayText.h"
#include "store/GeneralFunctions.h"
#include "store/Settings.h"
#include "transfers/TransfersSchema.h"
#include "ui/transfers/ProgressDelegate.h"
#include "ui/transfers/TransferRow.h"
#include "ui/transfers/TransferRowTypes.h"

#include <QBrush>
#include <QColor>
#include <QTreeWidget>

#include <algorithm>
#include <charconv>
#include <string_view>

// What the rows show: status texts and colours, bars, time left and speed. A status change sets
// its file row at once; the rows above it, and everything a progress report changes, wait for
// the next refresh, which redraws each of them once.

using namespace TransferRowTypes;

namespace {

// The colour setting of a status's class, the status as stored: the statuses are plain ASCII,
// which reads the same in every coding a status may be shown in.
SettingKey ColourKey(std::string_view status)
{
    if (status == TransferStatus::Complete)
        return SettingKeys::ColorTransferComplete;
    if (status == TransferStatus::Downloading || status == TransferStatus::Uploading ||
        status == TransferStatus::Connecting)
        return SettingKeys::ColorTransferInProgress;
    if (status == TransferStatus::Queued)
        return SettingKeys::ColorTransferQueued;
    if (status == TransferStatus::Denied || status == TransferStatus::Aborted ||
        status == TransferStatus::LocalError)
        return SettingKeys::ColorTransferFailed;
    return SettingKeys::ColorTransferOther;
}

// The same for a status as shown; a character outside Latin-1 becomes a "?", which is in none.
SettingKey ColourKey(const QString& status)
{
    const QByteArray bytes = status.toLatin1();
    return ColourKey(std::string_view(bytes.constData(), size_t(bytes.size())));
}

void Colour(QTreeWidgetItem* row, const QBrush& brush)
{
    if (row->type() == TransferRow::kType) {
        static_cast<TransferRow*>(row)->SetColour(brush);
        return;
    }
    for (int column = 0; column < row->columnCount(); ++column)
        row->setForeground(column, brush);
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

// A figure in fixed notation with one decimal, as bars and speeds show them many times a second:
// written into a buffer, not through the locale's number formatting.
QLatin1String OneDecimal(double value, char (&buffer)[32], const char* suffix = "")
{
    char* at = std::to_chars(buffer, buffer + 24, value, std::chars_format::fixed, 1).ptr;
    while (*suffix && at < buffer + sizeof buffer)
        *at++ = *suffix++;
    return QLatin1String(buffer, at);
}

// "1,500 (37.5%)".
QString BarText(long long done, double percent)
{
    char figure[32];
    const QLatin1String share = OneDecimal(percent, figure, "%)");
    QString text = CommafyNumber(done);
    text.reserve(text.size() + 2 + share.size());
    text += QLatin1String(" (");
    text += share;
    return text;
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
    FillStatus(side, row, entry, status.AsString());
    StatusShown(side, entry, row, status.AsString());
}

void TransfersForm::FillStatus(const Side& side, QTreeWidgetItem* row, ItemPtr entry,
                               const std::string& status)
{
    if (status == TransferStatus::Complete)
        row->setText(kProgressColumn, QString());
    if (!side.uploads)
        row->setText(kPlaceColumn, QString());
    // A denial shows the peer's reason in the status's place, read as a status is, each byte
    // one character: a byte of another coding shows as itself rather than as a replacement.
    if (status == TransferStatus::Denied)
        row->setText(kStatusColumn,
                     StatusText(side, entry[TransfersTypes::DenialReason].AsString()));
    else
        row->setText(kStatusColumn, KnownStatusText(side, status));
    // Last, so that the place in line, which comes later, has the colour too.
    Colour(row, StatusBrush(ColourKey(status)));
}

QString TransfersForm::StatusText(const Side& side, const std::string& status)
{
    return CellText(Shown(d.GetType(side.statusType), status).toLower());
}

QString TransfersForm::KnownStatusText(const Side& side, const std::string& status)
{
    std::unordered_map<std::string, QString>& known = m_statusTexts[side.uploads];
    const auto at = known.find(status);
    if (at != known.end())
        return at->second;
    QString text = StatusText(side, status);
    if (known.size() < kStatusTextsKept)
        known.emplace(status, text);
    return text;
}

void TransfersForm::StatusShown(const Side& side, ItemPtr entry, QTreeWidgetItem* row,
                                const std::string& status)
{
    if (!side.uploads && status == TransferStatus::Complete) {
        ++m_pendingCompletions[entry.Get()];
        Q_EMIT DownloadComplete(entry);
    }
    ForgetTotals(side, entry[side.fileNode][side.folderNode]);
    QTreeWidgetItem* folderRow = ParentOf(side, row);
    MarkSummary(side, folderRow);
    MarkSummary(side, ParentOf(side, folderRow));
}

const QBrush& TransfersForm::StatusBrush(SettingKey key)
{
    std::string colour = Settings::Text(key);
    // An unparsable colour is used as it is: an invalid one.
    const auto brush = [&key, &colour] { return QBrush(QColor(Shown(key.kind, colour))); };
    const auto known =
        std::find_if(m_brushes.begin(), m_brushes.end(),
                     [&key](const ClassBrush& known) { return known.key == key.name; });
    if (known == m_brushes.end()) {
        QBrush made = brush();
        m_brushes.push_back(ClassBrush{key.name, std::move(colour), std::move(made)});
        return m_brushes.back().brush;
    }
    if (known->colour != colour) {
        known->brush = brush();
        known->colour = std::move(colour);
    }
    return known->brush;
}

void TransfersForm::SetItemColorByStatus(QTreeWidgetItem* row, const QString& status)
{
    Colour(row, StatusBrush(ColourKey(status)));
}

QString TransfersForm::Summary(const Side& side, const ItemSet& entries)
{
    const StatusItems statuses = Statuses(side);
    Totals totals;
    for (Item* entry : entries)
        AddUp(side, statuses, entry, totals);
    return Summary(side, totals);
}

QString TransfersForm::Summary(const Side& side, const Totals& totals)
{
    if (totals.running)
        return QString::fromLatin1(side.running);
    if (totals.queued)
        return QString::fromLatin1(TransferStatus::Queued);
    if (totals.complete == totals.entries)
        return QString::fromLatin1(TransferStatus::Complete);
    if (totals.denied)
        return QString::fromLatin1(TransferStatus::Denied);
    if (totals.aborted)
        return QString::fromLatin1(TransferStatus::Aborted);
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
    Marks& marks = MarksOf(side);
    if (marks.summaries.insert(row).second)
        marks.summaryOrder.push_back(row);
    StartRefreshTimer();
}

void TransfersForm::ShowSummary(const Side& side, QTreeWidgetItem* row)
{
    // From the folders' kept figures: a user row of a quarter of a million downloads is summed
    // up four times a second while they are queued.
    ItemPtr node = NodeOf(side.folderNode, row);
    if (!node)
        node = NodeOf(side.userNode, row);
    const QString summary = node ? Summary(side, GroupTotals(side, Statuses(side), node))
                                 : Summary(side, EntriesUnder(side, row));
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
    QTreeWidgetItem* row = FileRow(side, entry);
    if (!row)
        return;
    Marks& marks = MarksOf(side);
    if (marks.entries.emplace(entry.Get(), row).second)
        marks.order.emplace_back(entry.Get(), row);
    StartRefreshTimer();
}

void TransfersForm::StartRefreshTimer()
{
    if (!m_refreshTimer.isActive())
        m_refreshTimer.start();
}

TransfersForm::StatusItems TransfersForm::Statuses(const Side& side)
{
    const Type* statuses = d.GetType(side.statusType);
    return {statuses->HasItem(Value(side.running)),
            statuses->HasItem(Value(TransferStatus::Queued)),
            statuses->HasItem(Value(TransferStatus::Complete)),
            statuses->HasItem(Value(TransferStatus::Aborted)),
            statuses->HasItem(Value(TransferStatus::Denied))};
}

void TransfersForm::AddUp(const Side& side, const StatusItems& statuses, ItemPtr entry,
                          Totals& totals)
{
    ++totals.entries;
    const Item* status = entry[side.statusType];
    if (!status)
        return;
    totals.complete += status == statuses.complete ? 1 : 0;
    totals.running = totals.running || status == statuses.running;
    totals.queued = totals.queued || status == statuses.queued;
    totals.denied = totals.denied || status == statuses.denied;
    totals.aborted = totals.aborted || status == statuses.aborted;
    const qint64 size = Size(side.uploads, entry);
    if (status == statuses.complete) {
        totals.done += size;
        totals.total += size;
    } else if (status == statuses.aborted || status == statuses.running ||
               status == statuses.queued) {
        // A position past the end counts as the end: nothing is owed below nothing.
        const qint64 position =
            std::clamp<qint64>(Position(side.positionType, entry), 0, std::max<qint64>(size, 0));
        totals.done += position;
        totals.remaining += size - position;
        totals.total += size;
    }
}

void TransfersForm::Stats(const Side& side, const ItemSet& entries, long long& done,
                          long long& remaining, long long& total)
{
    const StatusItems statuses = Statuses(side);
    Totals totals;
    for (Item* entry : entries)
        AddUp(side, statuses, entry, totals);
    done = totals.done;
    remaining = totals.remaining;
    total = totals.total;
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
    // Made in one piece: every progress report of every row asks for one.
    char text[64] = "   ";
    char* at = text + 3;
    char* const end = text + sizeof text;
    const auto put = [&](qint64 number, const char* unit) {
        at = std::to_chars(at, end, number).ptr;
        while (*unit && at < end)
            *at++ = *unit++;
    };
    if (seconds >= 3600)
        put(seconds / 3600, "h:");
    if (seconds >= 60)
        put(seconds / 60 % 60, "m:");
    put(seconds % 60, "s");
    return QString::fromLatin1(text, at - text);
}

void TransfersForm::SetBar(QTreeWidgetItem* row, long long done, double percent)
{
    row->setData(kProgressColumn, ProgressDelegate::kRole,
                 QVariant::fromValue(ProgressBarData{int(percent), BarText(done, percent)}));
}

void TransfersForm::ClearBar(QTreeWidgetItem* row)
{
    row->setData(kProgressColumn, ProgressDelegate::kRole, QVariant());
}

int TransfersForm::ShowEntryProgress(const Side& side, ItemPtr entry, QTreeWidgetItem* row,
                                     QTreeWidgetItem* speedRow)
{
    const qint64 size = Size(side.uploads, entry);
    // A transfer that finished since it reported has let go of its byte count: it has all of
    // its bytes, as its folder's sum counts it, and its bar says so.
    const bool complete = entry[side.statusType].AsString() == TransferStatus::Complete;
    const qint64 position = complete ? size : Position(side.positionType, entry);
    const int speed = Speed(entry);
    // An empty file has nothing to show a share of, and a count past the end is all of it.
    const double percent =
        size > 0 ? std::clamp(double(position) * 100.0 / double(size), 0.0, 100.0) : 0.0;
    const qint64 left = std::max<qint64>(size - position, 0);
    SetBar(row, position, percent);
    row->setText(kTimeLeftColumn, TimeLeftText(speed > 0 ? left / speed : 0));
    char figure[32];
    speedRow->setText(kSpeedColumn, OneDecimal(speed / 1024.0, figure));
    return speed;
}

const TransfersForm::Totals& TransfersForm::FolderTotalsOf(const Side& side,
                                                           const StatusItems& statuses,
                                                           Item* folderNode, FolderTotals& known)
{
    auto it = known.find(folderNode);
    if (it == known.end()) {
        Totals totals;
        folderNode->VisitItems(d.GetType(side.fileNode), [&](Item* file) {
            if (Item* entry = file->HasItem(side.entryType))
                AddUp(side, statuses, entry, totals);
            return false;
        });
        it = known.emplace(folderNode, totals).first;
    }
    return it->second;
}

TransfersForm::Totals TransfersForm::GroupTotals(const Side& side, const StatusItems& statuses,
                                                 ItemPtr node)
{
    FolderTotals& known = MarksOf(side).totals;
    Totals sum;
    const auto add = [&](Item* folder) {
        sum.Add(FolderTotalsOf(side, statuses, folder, known));
        return false;
    };
    if (node->GetType()->GetName() == side.userNode)
        node->VisitItems(d.GetType(side.folderNode), add);
    else
        add(node);
    return sum;
}

void TransfersForm::ShowGroupProgress(const Side& side, const StatusItems& statuses, ItemPtr node,
                                      int bytesPerSecond)
{
    QTreeWidgetItem* row = RowOf(node);
    if (!row)
        return;
    const Totals sum = GroupTotals(side, statuses, node);
    if (sum.total <= 0)
        return;
    row->setText(kTimeLeftColumn,
                 TimeLeftText(bytesPerSecond > 0 ? sum.remaining / bytesPerSecond : 0));
    SetBar(row, sum.done, double(sum.done) * 100.0 / double(sum.total));
}

void TransfersForm::RefreshMarkedRows()
{
    m_refreshTimer.stop();
    // Rows are found under their folder and user rows.
    JoinWaitingRows();
    RefreshSide(m_downloads, m_downloadMarks);
    RefreshSide(m_uploads, m_uploadMarks);
}

void TransfersForm::RefreshSide(const Side& side, Marks& marks)
{
    // Each folder and user row once, with the speed of the last entry under it that reported,
    // as the rows above a single report would show it. They are known by their nodes, reached
    // from the entry's through the store.
    std::vector<Item*> groups;
    std::unordered_map<Item*, int> speeds;
    const auto note = [&](Item* node) -> int* {
        const auto [at, added] = speeds.emplace(node, 0);
        if (added)
            groups.push_back(node);
        return &at->second;
    };
    // What the entries of one folder row share: where their speed shows and whose figures they
    // change, worked out once for each run of entries of that folder.
    struct Branch
    {
        QTreeWidgetItem* folderRow = nullptr;
        QTreeWidgetItem* speedRow = nullptr;
        int* folderSpeed = nullptr;
        int* userSpeed = nullptr;
    } branch;
    for (const auto& [entry, row] : marks.order) {
        // An entry whose row went since it reported has left the marks.
        const auto marked = marks.entries.find(entry);
        if (marked == marks.entries.end() || marked->second != row)
            continue;
        QTreeWidgetItem* folderRow = row->parent();
        if (!folderRow)
            continue;
        if (folderRow != branch.folderRow) {
            ItemPtr folderNode = ItemPtr(entry)[side.fileNode][side.folderNode];
            ItemPtr userNode = folderNode[side.userNode];
            QTreeWidgetItem* userRow = folderRow->parent();
            if (!userRow || !userNode)
                continue;
            // The speed shows in the lowest row in view.
            branch.folderRow = folderRow;
            branch.speedRow = !userRow->isExpanded()     ? userRow
                              : !folderRow->isExpanded() ? folderRow
                                                         : nullptr;
            branch.folderSpeed = note(folderNode);
            ForgetTotals(side, folderNode);
            // Expanded over its only folder, the user row would repeat the folder's figures.
            branch.userSpeed =
                userRow->isExpanded() && userRow->childCount() <= 1 ? nullptr : note(userNode);
        }
        const int speed =
            ShowEntryProgress(side, entry, row, branch.speedRow ? branch.speedRow : row);
        *branch.folderSpeed = speed;
        if (branch.userSpeed)
            *branch.userSpeed = speed;
    }
    marks.order.clear();
    marks.entries.clear();
    const StatusItems statuses = Statuses(side);
    for (Item* node : groups)
        ShowGroupProgress(side, statuses, node, speeds[node]);

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
    // A cell set is news to the view, even to the same nothing: a new row has none of these.
    for (int column : {kStatusColumn, kTimeLeftColumn, kSpeedColumn}) {
        if (!row->text(column).isEmpty())
            row->setText(column, QString());
    }
    if (row->data(kProgressColumn, ProgressDelegate::kRole).isValid())
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
    // Summaries go by whether a row is expanded, which only a row in the tree is.
    JoinWaitingRows();
    for (const Side* side : {&m_downloads, &m_uploads}) {
        for (Item* node : d.GetType(side->fileNode)->GetItems()) {
            if (QTreeWidgetItem* row = RowOf(node))
                SetItemColorByStatus(row, Shown(ItemPtr(node)[side->entryType][side->statusType]));
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

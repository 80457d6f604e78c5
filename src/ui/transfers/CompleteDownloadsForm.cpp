#include "ui/transfers/CompleteDownloadsForm.h"

#include "server/ServerSchema.h"
#include "shell/DisplayText.h"
#include "shell/ShellServices.h"
#include "store/DataSaver.h"
#include "store/Schema.h"
#include "transfers/TransferQueueManager.h"
#include "transfers/TransfersSchema.h"
#include "ui/transfers/TransferRowTypes.h"

#include "ui_CompleteDownloadsForm.h"

#include <QDateTime>
#include <QHeaderView>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <vector>

CompleteDownloadsForm* completeDownloadsForm = nullptr;

namespace {

constexpr char kNeededBy[] = "The complete downloads list";

using namespace TransfersTypes;
using TransferRowTypes::CompleteDownloadNode;

// The rows' ties; none outlives the run.
const SchemaType kNodeTypes[] = {
    {CompleteDownloadNode, RootPrimacy, false, true, ValueKind::Address}};
const SchemaRelation kNodeRelations[] = {{CompleteDownloadNode, CompleteDownload, One, One}};

const char* const kColumnLabels[] = {"File", "Folder", "User", "Size", "Completion time"};
const int kColumnWidths[] = {250, 250, 100, 100, 150};
// A time as wide as the clock's text gets, and the room a cell leaves around its text.
const char kWidestTime[] = "Wed Sep 30 23:59:59 2026";
constexpr int kCellPadding = 16;

// Rows of this list, told from any other row a comparison might be handed.
constexpr int kRowType = QTreeWidgetItem::UserType + 1;

// Later fields weigh less: a key orders as the date and time it packs.
qint64 Pack(qint64 year, int month, int day, int hour, int minute, int second)
{
    return ((((year * 12 + month - 1) * 31 + day - 1) * 24 + hour) * 60 + minute) * 60 + second;
}

// Reads up to most digits at pos; false when none are there.
bool ReadNumber(const std::string& text, size_t& pos, size_t most, int& value)
{
    size_t digits = 0;
    value = 0;
    for (; pos < text.size() && digits < most && text[pos] >= '0' && text[pos] <= '9'; ++digits)
        value = value * 10 + (text[pos++] - '0');
    return digits > 0;
}

bool ReadChar(const std::string& text, size_t& pos, char c)
{
    if (pos >= text.size() || text[pos] != c)
        return false;
    ++pos;
    return true;
}

// The index of text's three letters at pos in names (three letters each), or -1.
int ReadName(const std::string& text, size_t& pos, const char* names)
{
    if (pos + 3 > text.size())
        return -1;
    for (int i = 0; names[i * 3]; ++i) {
        if (std::memcmp(names + i * 3, text.data() + pos, 3) == 0) {
            pos += 3;
            return i;
        }
    }
    return -1;
}

// The one form the clock writes, "Tue Mar 3 10:00:02 2026", read by hand: parsing it as a local
// date-time costs microseconds, which at thousands of rows is the whole opening of the list.
bool ReadClockText(const std::string& text, qint64& key)
{
    size_t pos = 0;
    if (ReadName(text, pos, "MonTueWedThuFriSatSun") < 0 || !ReadChar(text, pos, ' '))
        return false;
    const int month = ReadName(text, pos, "JanFebMarAprMayJunJulAugSepOctNovDec") + 1;
    int day = 0, hour = 0, minute = 0, second = 0, year = 0;
    const bool read = month > 0 && ReadChar(text, pos, ' ') && ReadNumber(text, pos, 2, day) &&
                      ReadChar(text, pos, ' ') && ReadNumber(text, pos, 2, hour) &&
                      ReadChar(text, pos, ':') && ReadNumber(text, pos, 2, minute) &&
                      ReadChar(text, pos, ':') && ReadNumber(text, pos, 2, second) &&
                      ReadChar(text, pos, ' ') && ReadNumber(text, pos, 4, year) &&
                      pos == text.size() && year >= 1000;
    if (!read || !QDate::isValid(year, month, day) || !QTime::isValid(hour, minute, second))
        return false;
    key = Pack(year, month, day, hour, minute, second);
    return true;
}

// Newest first.
bool FinishedLater(const QTreeWidgetItem* a, const QTreeWidgetItem* b)
{
    return *b < *a;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Rows

CompleteDownloadItem::CompleteDownloadItem(qint64 completion)
    : TiedRow(static_cast<QTreeWidgetItem*>(nullptr), kRowType), m_completion(completion)
{
}

bool CompleteDownloadItem::operator<(const QTreeWidgetItem& other) const
{
    if (other.type() != kRowType)
        return QTreeWidgetItem::operator<(other);
    return m_completion < static_cast<const CompleteDownloadItem&>(other).m_completion;
}

qint64 CompleteDownloadItem::TimeKey(const std::string& text)
{
    qint64 key = kNoTime;
    if (ReadClockText(text, key))
        return key;
    // Any other text Qt reads as a date and time (another spacing, an offset) by Qt's reading.
    const QDateTime time = QDateTime::fromString(Shown(ValueKind::Time, text), Qt::TextDate);
    if (!time.isValid())
        return kNoTime;
    const QDate date = time.date();
    const QTime clock = time.time();
    return Pack(date.year(), date.month(), date.day(), clock.hour(), clock.minute(),
                clock.second());
}

// ---------------------------------------------------------------------------------------------
// The list

CompleteDownloadsForm::CompleteDownloadsForm(QWidget* parent)
    : QWidget(parent), m_saver(RequireDataSaver(kNeededBy)),
      m_transfers(RequireTransfers(kNeededBy)), ui(std::make_unique<Ui_CompleteDownloadsForm>())
{
    completeDownloadsForm = this;
    ui->setupUi(this);
    QStringList labels;
    for (const char* label : kColumnLabels)
        labels << QString::fromLatin1(label);
    ui->downloadList->setHeaderLabels(labels);
    for (int i = 0; i < int(std::size(kColumnWidths)); ++i)
        ui->downloadList->setColumnWidth(i, kColumnWidths[i]);
    // The last column does not stretch: it starts wide enough for a whole time in this font.
    const int timeWidth =
        ui->downloadList->fontMetrics().horizontalAdvance(QString::fromLatin1(kWidestTime)) +
        kCellPadding;
    if (timeWidth > ui->downloadList->columnWidth(kTimeColumn))
        ui->downloadList->setColumnWidth(kTimeColumn, timeWidth);
    ui->downloadList->header()->setStretchLastSection(false);
    ui->downloadList->header()->setSectionsMovable(false);
}

CompleteDownloadsForm::~CompleteDownloadsForm()
{
    // The rows go with the list; nothing is to be left naming them.
    if (Type* nodes = d.HasType(CompleteDownloadNode))
        nodes->GetItems().Remove();
    if (completeDownloadsForm == this)
        completeDownloadsForm = nullptr;
}

void CompleteDownloadsForm::Init()
{
    DeclareSchema(MakeSchema(kNodeTypes, kNodeRelations));
    connect(&m_transfers, &TransferQueueManager::CompleteDownloadAdded, this,
            &CompleteDownloadsForm::OnCompleteDownloadAdded);
    m_saver.AddDataLoadedEventHandler(this);
}

CompleteDownloadItem* CompleteDownloadsForm::MakeRow(ItemPtr record)
{
    const ItemPtr time = record[CompleteDownloadCompletionTime];
    // Filled before it joins the list, where each change would be told to the view.
    auto* row = new CompleteDownloadItem(CompleteDownloadItem::TimeKey(time.AsString()));
    row->setText(kFileColumn, CellText(Shown(record[CompleteDownloadFilename])));
    row->setText(kFolderColumn, CellText(Shown(record[CompleteDownloadRelativeFolder])));
    row->setText(kUserColumn, CellText(Shown(record[ServerTypes::User])));
    row->setText(kSizeColumn, CellText(Shown(record[CompleteDownloadFileSize])));
    row->setText(kTimeColumn, CellText(Shown(time)));
    record += Ties::Make(CompleteDownloadNode, row);
    return row;
}

void CompleteDownloadsForm::DataLoaded()
{
    if (!d.HasType(CompleteDownloadNode))
        return;
    // Rows already there (none, unless the list was filled before) are sorted in with the new.
    QList<QTreeWidgetItem*> taken = ui->downloadList->invisibleRootItem()->takeChildren();
    const bool fresh = taken.isEmpty();
    std::vector<CompleteDownloadItem*> rows;
    for (QTreeWidgetItem* row : taken)
        rows.push_back(static_cast<CompleteDownloadItem*>(row));
    const ItemSet records = d.GetType(CompleteDownload)->GetItems();
    const std::vector<Item*> made(records.begin(), records.end());
    rows.reserve(rows.size() + made.size());
    // The later record first, so that of equal times it stays above.
    for (auto record = made.rbegin(); record != made.rend(); ++record) {
        if (fresh || !TiedRow::FromItem(ItemPtr(*record)[CompleteDownloadNode]))
            rows.push_back(MakeRow(*record));
    }
    std::stable_sort(rows.begin(), rows.end(),
                     [](const CompleteDownloadItem* a, const CompleteDownloadItem* b) {
                         return b->Completion() < a->Completion();
                     });
    ui->downloadList->addTopLevelItems(QList<QTreeWidgetItem*>(rows.begin(), rows.end()));
}

void CompleteDownloadsForm::OnCompleteDownloadAdded(ItemPtr record)
{
    if (!record || TiedRow::FromItem(record[CompleteDownloadNode]))
        return;
    CompleteDownloadItem* row = MakeRow(record);
    // Above every row that did not finish later: of equal times, the newest report is on top.
    QTreeWidget* list = ui->downloadList;
    int low = 0;
    int high = list->topLevelItemCount();
    while (low < high) {
        const int middle = low + (high - low) / 2;
        if (FinishedLater(list->topLevelItem(middle), row))
            low = middle + 1;
        else
            high = middle;
    }
    list->insertTopLevelItem(low, row);
}

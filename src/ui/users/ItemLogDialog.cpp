#include "ui/users/ItemLogDialog.h"

#include "server/ServerSchema.h"
#include "shell/DisplayText.h"
#include "store/Schema.h"

#include "ui_ItemLogDialog.h"

#include <QDateTime>
#include <QTextBrowser>
#include <QTextCursor>

#include <algorithm>

namespace {

using namespace ItemLogTypes;

const SchemaType kTypes[] = {
    {ItemLog, ReachablePrimacy, true, false, ValueKind::None},
    {LogOrder, ValuePrimacy, false, true, ValueKind::Number},
    {LogArea, ValuePrimacy, false, true, ValueKind::Utf8},
    {LogTime, ValuePrimacy, false, true, ValueKind::Time},
    {LogText, ValuePrimacy, false, true, ValueKind::Utf8},
    {LogLevel, ValuePrimacy, false, true, ValueKind::Number},
};
const SchemaRelation kRelations[] = {
    {ItemLog, ServerTypes::User, Many, One}, {ItemLog, LogOrder, Many, One},
    {ItemLog, LogArea, Many, One},           {ItemLog, LogTime, Many, One},
    {ItemLog, LogText, Many, One},           {ItemLog, LogLevel, Many, One},
};

constexpr int kIndentPerLevel = 3;

// Appends the line as a paragraph of its own, as text: log texts may carry a peer's words.
void AppendPlain(QTextBrowser* page, const QString& line)
{
    QTextCursor cursor(page->document());
    cursor.movePosition(QTextCursor::End);
    if (!page->document()->isEmpty())
        cursor.insertBlock();
    cursor.insertText(line);
}

} // namespace

void ItemLogDialog::DeclareRecordTypes()
{
    DeclareSchema(MakeSchema(kTypes, kRelations));
}

bool ItemLogDialog::CompareLogItemDates(ItemPtr first, ItemPtr second)
{
    const auto time = [](ItemPtr record) {
        return QDateTime::fromString(Shown(record[LogTime]), Qt::TextDate);
    };
    return time(first) < time(second);
}

ItemLogDialog::ItemLogDialog(ItemPtr item, QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui_ItemLogDialog>()), m_item(item),
      m_allPage(new QTextBrowser)
{
    ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    setAttribute(Qt::WA_QuitOnClose, false);
    auto* attached = new PathNode(&d, ItemLog);
    new PathNode(attached, item.Get(), PathConnected);
    d.AddPathEventHandler(attached, NewEventHandler(this, &ItemLogDialog::OnItemLog));

    ui->logTabWidget->addTab(m_allPage, QStringLiteral("All"));
    for (Item* record : item.GetItems(ItemLog).SortNumericBy(LogOrder, true))
        OnItemLog(record);
}

ItemLogDialog::~ItemLogDialog() = default;

void ItemLogDialog::OnItemLog(Item* record)
{
    const ItemPtr log(record);
    // Areas are names the program chose; the "&" of one would still read as a mnemonic.
    const QString area = EscapeMnemonics(Shown(log[LogArea]));
    QTextBrowser* page = nullptr;
    // From 1: "All" holds every area's lines, and an area named "All" has a tab of its own.
    for (int i = 1; i < ui->logTabWidget->count() && !page; ++i) {
        if (ui->logTabWidget->tabText(i) == area)
            page = qobject_cast<QTextBrowser*>(ui->logTabWidget->widget(i));
    }
    if (!page) {
        page = new QTextBrowser;
        ui->logTabWidget->addTab(page, area);
    }
    const int indent = std::max(0, int(log[LogLevel].AsInt()) - 1) * kIndentPerLevel;
    const QString line = QStringLiteral("[") + Shown(log[LogTime]) + QStringLiteral("] ") +
                         QString(indent, QLatin1Char(' ')) + Shown(log[LogText]);
    AppendPlain(page, line);
    AppendPlain(m_allPage, line);
}

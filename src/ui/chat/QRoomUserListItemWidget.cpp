#include "QRoomUserListItemWidget.h"

#include "shell/DisplayText.h"
#include "store/GeneralFunctions.h"

#include <QFile>
#include <QHash>

namespace {

enum Column
{
    FlagColumn = 1,
    NameColumn = 2,
    NoteColumn = 3,
    FilesColumn = 4,
    SpeedColumn = 5
};

// The flag of a country code (lower case), or a null icon when there is no such flag. Only
// flags that exist are kept, so the server's codes cannot grow the table beyond the images
// compiled in.
QIcon Flag(const QString& code)
{
    static QHash<QString, QIcon> flags;
    if (code.isEmpty())
        return QIcon();
    const auto known = flags.constFind(code);
    if (known != flags.constEnd())
        return *known;
    const QString path = QStringLiteral(":/resources/flags/") + code + QStringLiteral(".png");
    if (!QFile::exists(path))
        return QIcon();
    return *flags.insert(code, QIcon(path));
}

const QIcon& NoteIcon()
{
    static const QIcon note(QStringLiteral(":/icons/note_icon"));
    return note;
}

} // namespace

QRoomUserListItemWidget::QRoomUserListItemWidget(QTreeWidget* parent)
    : QTreeWidgetItem(parent, kType)
{
    // The list's layout then need not ask each row for children.
    setFlags(flags() | Qt::ItemNeverHasChildren);
}

void QRoomUserListItemWidget::SetUser(ItemPtr user)
{
    m_user = user->AsString();
    setText(NameColumn, CellText(Shown(user)));
}

void QRoomUserListItemWidget::SetFigures(qint64 files, qint64 bytesPerSecond,
                                         const QString& country)
{
    m_files = files;
    m_speed = bytesPerSecond;
    if (m_country.compare(country, Qt::CaseInsensitive) != 0) {
        m_country = country.toLower();
        m_flag = Flag(m_country);
    }
}

QString QRoomUserListItemWidget::SpeedText(qint64 bytesPerSecond)
{
    if (bytesPerSecond == 0)
        return QString();
    return QString::number(double(bytesPerSecond) / 1024.0, 'f', 1);
}

QVariant QRoomUserListItemWidget::data(int column, int role) const
{
    if (role == Qt::DecorationRole) {
        if (column == FlagColumn && !m_flag.isNull())
            return m_flag;
        if (column == NoteColumn && m_note)
            return NoteIcon();
    } else if (role == Qt::DisplayRole) {
        if (column == FilesColumn)
            return CommafyNumber(m_files);
        if (column == SpeedColumn)
            return SpeedText(m_speed);
    }
    return QTreeWidgetItem::data(column, role);
}

void QRoomUserListItemWidget::setData(int column, int role, const QVariant& value)
{
    // Before the base, which may move the row at once in a sorted list.
    if (column == NameColumn && (role == Qt::DisplayRole || role == Qt::EditRole))
        m_foldedName = value.toString().toCaseFolded();
    QTreeWidgetItem::setData(column, role, value);
}

bool QRoomUserListItemWidget::operator<(const QTreeWidgetItem& other) const
{
    if (other.type() != kType)
        return text(NameColumn).compare(other.text(NameColumn), Qt::CaseInsensitive) < 0;
    const QTreeWidget* tree = treeWidget();
    return Less(static_cast<const QRoomUserListItemWidget&>(other),
                tree ? tree->sortColumn() : NameColumn);
}

bool QRoomUserListItemWidget::Less(const QRoomUserListItemWidget& row, int column) const
{
    switch (column) {
    case FlagColumn:
        if (m_country != row.m_country)
            return m_country < row.m_country;
        break;
    case NoteColumn:
        if (m_note != row.m_note)
            return row.m_note;
        break;
    case FilesColumn:
        if (m_files != row.m_files)
            return m_files < row.m_files;
        break;
    case SpeedColumn:
        if (m_speed != row.m_speed)
            return m_speed < row.m_speed;
        break;
    default:
        break;
    }
    return m_foldedName < row.m_foldedName;
}

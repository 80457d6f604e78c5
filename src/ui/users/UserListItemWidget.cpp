#include "ui/users/UserListItemWidget.h"

#include <QIcon>

namespace {

// One of each for every row: a login sets thousands of dots.
const QIcon& Dot(bool online)
{
    static const QIcon onlineDot(QStringLiteral(":/icons/online_dot_icon"));
    static const QIcon offlineDot(QStringLiteral(":/icons/offline_dot_icon"));
    return online ? onlineDot : offlineDot;
}

} // namespace

UserListItemWidget::UserListItemWidget() : TiedRow(static_cast<QTreeWidget*>(nullptr)) {}

UserListItemWidget* UserListItemWidget::FromItem(ItemPtr item)
{
    return dynamic_cast<UserListItemWidget*>(TiedRow::FromItem(item));
}

QVariant UserListItemWidget::data(int column, int role) const
{
    if (column == 0 && role == Qt::DecorationRole)
        return Dot(m_online);
    return TiedRow::data(column, role);
}

bool UserListItemWidget::operator<(const QTreeWidgetItem& other) const
{
    const auto* row = dynamic_cast<const UserListItemWidget*>(&other);
    if (!row)
        return text(0).compare(other.text(0), Qt::CaseInsensitive) < 0;
    if (m_online != row->m_online)
        return m_online;
    return m_foldedName < row->m_foldedName;
}

void UserListItemWidget::setData(int column, int role, const QVariant& value)
{
    if (column == 0 && (role == Qt::DisplayRole || role == Qt::EditRole))
        m_foldedName = value.toString().toCaseFolded();
    QTreeWidgetItem::setData(column, role, value);
}

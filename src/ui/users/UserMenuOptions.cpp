#include "ui/users/UserMenuOptions.h"

#include "server/Server.h"
#include "server/ServerSchema.h"
#include "server/ServerStore.h"
#include "shares/SharesSchema.h"
#include "shell/DisplayText.h"
#include "shell/FormHooks.h"
#include "shell/ShellServices.h"
#include "shell/ShellTypes.h"
#include "transfers/TransferQueueManager.h"
#include "ui/users/ItemLogDialog.h"
#include "ui/users/UserGroupsDialog.h"
#include "ui/users/UserListForm.h"
#include "ui/users/UserNoteDialog.h"

#include <QAction>
#include <QMenu>

#include <vector>

namespace {

using ServerTypes::InUserList;
using ServerTypes::IsIgnored;

const char kChatIcon[] = ":/icons/chat_icon";
const char kBrowseIcon[] = ":/icons/browse_icon";

// Whether the user is linked to the room's own item of that type (members or operators). A room
// without one has nobody in that role; looking makes nothing.
bool InRole(ItemPtr room, const char* role, ItemPtr user)
{
    return room[role].IsConnected(user);
}

// The rooms with the flag, in byte order of their names.
std::vector<std::string> FlaggedRooms(const char* flag)
{
    std::vector<std::string> names;
    for (Item* room : ServerStore::FlaggedItems(flag, ServerTypes::Room).SortAlphabetic(true))
        names.push_back(room->AsString());
    return names;
}

// The groups dialog for the user, a window of the main window's.
void ShowGroupsDialog(const std::string& user)
{
    QWidget* parent = userListForm ? userListForm->window() : nullptr;
    (new UserGroupsDialog(user, parent))->show();
}

} // namespace

UserMenuOptions::UserMenuOptions(QMenu* menu, const std::string& user, QObject* parent)
    : QObject(parent), m_user(user)
{
    // No user to act on, and no nameless user item to make.
    if (user.empty())
        return;
    if (!menu->actions().isEmpty())
        menu->addSeparator();
    const ItemPtr userItem = ServerStore::User(user);

    AddEntry(menu, "Message user", kChatIcon, &UserMenuOptions::OnMessageUser, user);
    if (userItem.IsConnected(InUserList)) {
        AddEntry(menu, "Set user's groups", ":/icons/users_icon", &UserMenuOptions::OnSetUserGroups,
                 user);
        AddEntry(menu, "Remove user from list", ":/icons/remove_user_icon",
                 &UserMenuOptions::OnRemoveUser, user);
    } else {
        AddEntry(menu, "Add user to list", ":/icons/add_user_icon", &UserMenuOptions::OnAddUser,
                 user);
    }
    AddEntry(menu, "Browse user's files", kBrowseIcon, &UserMenuOptions::OnBrowseUser, user);
    AddEntry(menu, userItem.IsConnected(ShellTypes::UserNote) ? "Edit user note" : "Add user note",
             ":/icons/note_icon", &UserMenuOptions::OnUserNote, user);
    menu->addSeparator();
    if (userItem.IsConnected(SharesTypes::Unshared)) {
        AddEntry(menu, "Re-share files with user", kBrowseIcon,
                 &UserMenuOptions::OnReshareFilesWithUser, user);
    } else {
        AddEntry(menu, "Unshare files from user", kBrowseIcon,
                 &UserMenuOptions::OnUnshareFilesFromUser, user);
    }
    if (userItem.IsConnected(IsIgnored)) {
        AddEntry(menu, "Receive chat from user", kChatIcon, &UserMenuOptions::OnUnignoreUser, user);
    } else {
        AddEntry(menu, "Ignore chat from user", kChatIcon, &UserMenuOptions::OnIgnoreUser, user);
    }

    const std::vector<std::string> owned = FlaggedRooms(ServerTypes::IsOwner);
    const std::vector<std::string> operated = FlaggedRooms(ServerTypes::IsOperator);
    if (owned.empty() && operated.empty())
        return;
    menu->addSeparator();
    QMenu* rooms = menu->addMenu(QStringLiteral("Private Rooms"));
    for (const std::string& room : owned)
        AddRoomMenu(rooms, room, true);
    for (const std::string& room : operated) {
        // An owned room is listed once, with what its owner may do.
        if (!ServerStore::HasFlag(ServerStore::FindRoom(room), ServerTypes::IsOwner))
            AddRoomMenu(rooms, room, false);
    }
}

UserMenuOptions::~UserMenuOptions() = default;

QAction* UserMenuOptions::AddEntry(QMenu* menu, const char* text, const char* icon, Slot slot,
                                   const std::string& name)
{
    QAction* action =
        icon ? menu->addAction(QIcon(QString::fromLatin1(icon)), QString::fromLatin1(text))
             : menu->addAction(QString::fromLatin1(text));
    // The name as its bytes: a user's or a room's, whatever their kinds, never shown from here.
    action->setData(QByteArray::fromStdString(name));
    connect(action, &QAction::triggered, this, slot);
    return action;
}

void UserMenuOptions::AddRoomMenu(QMenu* rooms, const std::string& room, bool owned)
{
    const ItemPtr roomItem = ServerStore::FindRoom(room);
    const ItemPtr user = ServerStore::FindUser(m_user);
    const bool member = InRole(roomItem, ServerTypes::RoomMembers, user);
    const bool operatorStatus = InRole(roomItem, ServerTypes::RoomOperators, user);

    QMenu* menu = rooms->addMenu(EscapeMnemonics(CellText(Shown(roomItem))));
    if (owned) {
        menu->setIcon(QIcon(QString::fromLatin1(kChatIcon)));
        QFont font = menu->menuAction()->font();
        font.setBold(true);
        font.setUnderline(true);
        menu->menuAction()->setFont(font);
    }
    if (member) {
        AddEntry(menu, "Remove User's Membership", nullptr,
                 &UserMenuOptions::OnRemoveUserMembership, room);
    } else {
        AddEntry(menu, "Give User Membership", nullptr, &UserMenuOptions::OnAddUserMembership,
                 room);
    }
    if (!owned)
        return;
    if (operatorStatus) {
        menu->addSeparator();
        AddEntry(menu, "Remove User's Operator Status", nullptr,
                 &UserMenuOptions::OnRemoveUserOperatorship, room);
    } else if (member) {
        menu->addSeparator();
        AddEntry(menu, "Make User Operator", nullptr, &UserMenuOptions::OnAddUserOperatorship,
                 room);
    }
}

std::string UserMenuOptions::SenderName() const
{
    const auto* action = qobject_cast<const QAction*>(sender());
    return action ? action->data().toByteArray().toStdString() : std::string();
}

void UserMenuOptions::OnMessageUser()
{
    FormHooks::OpenChat(SenderName());
}

void UserMenuOptions::OnSetUserGroups()
{
    ShowGroupsDialog(SenderName());
}

void UserMenuOptions::OnAddUser()
{
    const std::string name = SenderName();
    // One to one: the user's own list item, made when the user has none.
    ServerStore::User(name).NewItem(InUserList);
    ShowGroupsDialog(name);
}

void UserMenuOptions::OnRemoveUser()
{
    const ItemPtr user = ServerStore::User(SenderName());
    const ItemPtr listed = user[InUserList];
    user -= listed;
    // Its groups would keep it, saved with them, long after the user left the list.
    listed.Remove();
}

void UserMenuOptions::OnBrowseUser()
{
    FormHooks::BrowseUser(SenderName());
}

void UserMenuOptions::OnUserLog()
{
    (new ItemLogDialog(ServerStore::User(m_user), nullptr))->show();
}

void UserMenuOptions::OnUnshareFilesFromUser()
{
    if (TransferQueueManager* transfers = ReachTransfers())
        transfers->UnshareUser(SenderName());
}

void UserMenuOptions::OnReshareFilesWithUser()
{
    if (TransferQueueManager* transfers = ReachTransfers())
        transfers->ReshareUser(SenderName());
}

void UserMenuOptions::OnIgnoreUser()
{
    ServerStore::SetFlag(ServerStore::User(SenderName()), IsIgnored);
}

void UserMenuOptions::OnUnignoreUser()
{
    ServerStore::ClearFlag(ServerStore::User(SenderName()), IsIgnored);
}

void UserMenuOptions::OnAddUserMembership()
{
    if (Server* server = ReachServer())
        server->AddPrivateRoomMember(SenderName(), m_user);
}

void UserMenuOptions::OnRemoveUserMembership()
{
    if (Server* server = ReachServer())
        server->RemovePrivateRoomMember(SenderName(), m_user);
}

void UserMenuOptions::OnAddUserOperatorship()
{
    if (Server* server = ReachServer())
        server->AddPrivateRoomOperator(SenderName(), m_user);
}

void UserMenuOptions::OnRemoveUserOperatorship()
{
    if (Server* server = ReachServer())
        server->RemovePrivateRoomOperator(SenderName(), m_user);
}

void UserMenuOptions::OnUserNote()
{
    UserNoteDialog::GetDialog(m_user)->show();
}

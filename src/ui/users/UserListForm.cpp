#include "ui/users/UserListForm.h"

#include "server/Server.h"
#include "server/ServerSchema.h"
#include "server/ServerStore.h"
#include "shares/SharesSchema.h"
#include "shell/ActionSetToolBar.h"
#include "shell/DisplayText.h"
#include "shell/FormHooks.h"
#include "shell/ModalDialogs.h"
#include "shell/ShellServices.h"
#include "shell/ShellTypes.h"
#include "shell/SizeManager.h"
#include "shell/UIFunctions.h"
#include "store/NextTurn.h"
#include "store/Schema.h"
#include "ui/users/AddUserDialog.h"
#include "ui/users/UserGroupConfigDialog.h"
#include "ui/users/UserGroupsDialog.h"
#include "ui/users/UserListItemWidget.h"
#include "ui/users/UserMenuOptions.h"
#include "ui/users/UserNoteDialog.h"

#include "ui_UserListForm.h"

#include <QMenu>

UserListForm* userListForm = nullptr;

namespace {

using namespace UserListTypes;
using ServerTypes::InUserList;
using ServerTypes::User;
using ServerTypes::UserListGroup;

const SchemaType kNodeTypes[] = {
    {UserListNode, RootPrimacy, false, true, ValueKind::Address},
    {UnsharedListNode, RootPrimacy, false, true, ValueKind::Address},
    {IgnoredListNode, RootPrimacy, false, true, ValueKind::Address},
};
const SchemaRelation kNodeRelations[] = {
    {UserListNode, User, One, One},
    {UnsharedListNode, User, One, One},
    {IgnoredListNode, User, One, One},
};

// The user list's columns; the other two lists have the name and the note only.
constexpr int kNameColumn = 0;
constexpr int kGroupsColumn = 1;
constexpr int kNoteColumn = 2;
constexpr int kPlainNoteColumn = 1;
constexpr int kNameWidth = 200;
constexpr int kGroupsWidth = 300;
constexpr int kFocusPriority = 1;

const char kActionSet[] = "user_list";
const char kAddUserAction[] = "manual_add_user";
const char kConfigureGroupsAction[] = "configure_user_groups";
const char kRemoveUserAction[] = "remove_user";
const char kUserGroupsAction[] = "user_groups";
const char kUserKey[] = "user";

const QIcon& NoteIcon()
{
    static const QIcon icon(QStringLiteral(":/icons/note_icon"));
    return icon;
}

} // namespace

UserListForm::UserListForm(QWidget* parent)
    : QWidget(parent), ui(std::make_unique<Ui_UserListForm>())
{
    userListForm = this;
    ui->setupUi(this);
    ui->userList->setHeaderLabels(
        {QStringLiteral("User"), QStringLiteral("Groups"), QStringLiteral("Note")});
    ui->userList->setColumnWidth(kNameColumn, kNameWidth);
    ui->userList->setColumnWidth(kGroupsColumn, kGroupsWidth);
    for (QTreeWidget* list : {ui->unsharedList, ui->ignoredList}) {
        list->setHeaderLabels({QStringLiteral("User"), QStringLiteral("Note")});
        list->setColumnWidth(kNameColumn, kNameWidth);
    }
    connect(ui->userList, &QWidget::customContextMenuRequested, this,
            &UserListForm::OnUserListContextMenuRequested);
    connect(ui->unsharedList, &QWidget::customContextMenuRequested, this,
            &UserListForm::OnUnsharedListContextMenuRequested);
    connect(ui->ignoredList, &QWidget::customContextMenuRequested, this,
            &UserListForm::OnIgnoredListContextMenuRequested);
    for (QTreeWidget* list : {ui->userList, ui->unsharedList, ui->ignoredList})
        RegisterWidgetForTabFocus(list, kFocusPriority);
}

UserListForm::~UserListForm()
{
    FormHooks::Get().fillUserMenu = nullptr;
    FormHooks::Get().openNote = nullptr;
    if (userListForm == this)
        userListForm = nullptr;
}

void UserListForm::Init()
{
    // Its actions reach it through the context tool bar: without it the page is not wired.
    ActionSetToolBar& bar = RequireActionBar("The user list page");
    // Forms below the users page (the chat tabs) reach the per-user entries through the hook;
    // the entries live as long as the menu they fill.
    FormHooks::Get().fillUserMenu = [](QMenu* menu, const std::string& user) {
        new UserMenuOptions(menu, user, menu);
    };
    FormHooks::Get().openNote = [](const std::string& user) {
        UserNoteDialog::GetDialog(user)->show();
    };

    DeclareSchema(MakeSchema(kNodeTypes, kNodeRelations));
    // Added at once: a tree on the screen does work for each row added by itself.
    Server* server = ReachServer();
    QList<QTreeWidgetItem*> rows;
    for (Item* listed : d.GetType(InUserList)->GetItems()) {
        if (ItemPtr user = ItemPtr(listed)[User]) {
            if (UserListItemWidget* row = MakeUserListRow(user, server))
                rows << row;
        }
    }
    ui->userList->addTopLevelItems(rows);
    ui->userList->sortItems(kNameColumn, Qt::AscendingOrder);
    for (Item* user : ServerStore::FlaggedItems(SharesTypes::Unshared, User))
        MakePlainRow(ui->unsharedList, UnsharedListNode, user);
    ui->unsharedList->setSortingEnabled(true);
    for (Item* user : ServerStore::FlaggedItems(ServerTypes::IsIgnored, User))
        MakePlainRow(ui->ignoredList, IgnoredListNode, user);
    ui->ignoredList->setSortingEnabled(true);

    RegisterUserHandlers();
    AddActions(bar);
    RegisterGroupHandlers();
    if (SizeManager* sizer = ReachSizeManager())
        sizer->RegisterTreeWidget(QStringLiteral("user_list"), ui->userList);
}

void UserListForm::RegisterUserHandlers()
{
    const struct
    {
        const char* flag;
        PathNodeRelation relation;
        void (UserListForm::*handler)(Item*);
        // The online state matters only for listed users.
        bool whileListed;
    } paths[] = {
        {ServerTypes::IsOnline, PathConnected, &UserListForm::OnUserOnline, true},
        {ServerTypes::IsOnline, PathDisconnected, &UserListForm::OnUserOffline, true},
        {InUserList, PathConnected, &UserListForm::OnUserAddedToList, false},
        {InUserList, PathDisconnected, &UserListForm::OnUserRemovedFromList, false},
        {SharesTypes::Unshared, PathConnected, &UserListForm::OnUserUnshared, false},
        {SharesTypes::Unshared, PathDisconnected, &UserListForm::OnUserReshared, false},
        {ServerTypes::IsIgnored, PathConnected, &UserListForm::OnUserIgnored, false},
        {ServerTypes::IsIgnored, PathDisconnected, &UserListForm::OnUserUnignored, false},
        {ShellTypes::UserNote, PathConnected, &UserListForm::OnUserNoteChanged, false},
        {ShellTypes::UserNote, PathDisconnected, &UserListForm::OnUserNoteRemoved, false},
    };
    for (const auto& path : paths) {
        auto* root = new PathNode(&d, User);
        new PathNode(root, path.flag, path.relation);
        if (path.whileListed)
            new PathNode(root, InUserList, PathConnectedCondition);
        d.AddPathEventHandler(root, NewEventHandler(this, path.handler));
    }
}

void UserListForm::RegisterGroupHandlers()
{
    // A listed user's groups hang on the user's in_user_list item, not on the user.
    const struct
    {
        PathNodeRelation relation;
        void (UserListForm::*handler)(Item*);
    } paths[] = {
        {PathConnected, &UserListForm::OnUserGroupAdded},
        {PathDisconnected, &UserListForm::OnUserGroupRemoved},
    };
    for (const auto& path : paths) {
        auto* root = new PathNode(&d, User);
        auto* listed = new PathNode(root, InUserList, PathConnectedCondition);
        new PathNode(listed, UserListGroup, path.relation);
        d.AddPathEventHandler(root, NewEventHandler(this, path.handler));
    }
}

void UserListForm::AddActions(ActionSetToolBar& bar)
{
    bar.AddSetAction(kActionSet, kAddUserAction, "Add User", ":/icons/add_user_icon", false);
    bar.AddSetAction(kActionSet, kConfigureGroupsAction, "Configure User Groups",
                     ":/icons/users_icon", false);
    bar.RegisterWidget(ui->userListTab, QString::fromLatin1(kActionSet));
    connect(&bar, &ActionSetToolBar::ActionTriggered, this, &UserListForm::OnActionBarTriggered);
}

UserListItemWidget* UserListForm::MakeUserListRow(ItemPtr user, Server* server)
{
    if (UserListItemWidget::FromItem(user[UserListNode]))
        return nullptr;
    auto* row = new UserListItemWidget;
    row->setText(kNameColumn, CellText(Shown(user)));
    user += Ties::Make(UserListNode, row);
    row->SetOnline(user.IsConnected(ServerTypes::IsOnline));
    if (server)
        server->TrackUser(user.AsString());
    ShowGroups(row, user);
    ShowNote(row, kNoteColumn, user);
    return row;
}

void UserListForm::MakePlainRow(QTreeWidget* list, const char* nodeType, ItemPtr user)
{
    if (TiedRow::FromItem(user[nodeType]))
        return;
    auto* row = new TiedRow(list);
    row->setText(kNameColumn, CellText(Shown(user)));
    ShowNote(row, kPlainNoteColumn, user);
    user += Ties::Make(nodeType, row);
}

void UserListForm::RemoveRow(ItemPtr user, const char* nodeType)
{
    ItemPtr node = user[nodeType];
    delete TiedRow::FromItem(node);
    node.Remove();
}

void UserListForm::ShowNote(QTreeWidgetItem* row, int column, ItemPtr user)
{
    const ItemPtr note = user[ShellTypes::UserNote];
    row->setIcon(column, note ? NoteIcon() : QIcon());
    row->setText(column, note ? CellText(Shown(note)) : QString());
}

void UserListForm::ShowGroups(QTreeWidgetItem* row, ItemPtr user)
{
    // Byte order, so capitals come first, as everywhere group names are listed.
    QStringList names;
    for (Item* group : user[InUserList].GetItems(UserListGroup).SortAlphabetic(true))
        names << Shown(group);
    row->setText(kGroupsColumn, names.join(QStringLiteral(", ")));
}

void UserListForm::UpdateUserGroupsDisplay(const std::string& name)
{
    const ItemPtr user = ServerStore::User(name);
    if (UserListItemWidget* row = UserListItemWidget::FromItem(user[UserListNode]))
        ShowGroups(row, user);
}

void UserListForm::ShowOnline(ItemPtr user, bool online)
{
    UserListItemWidget* row = UserListItemWidget::FromItem(user[UserListNode]);
    if (!row)
        return;
    row->SetOnline(online);
    ResortUserList();
}

void UserListForm::ResortUserList()
{
    // Once after a burst (a login's statuses): the same order as a sort after each change.
    OnceNextTurn(this, m_sortPending, [this] {
        ui->userList->sortItems(kNameColumn, Qt::AscendingOrder);
        // The dots changed without telling the tree (UserListItemWidget).
        ui->userList->viewport()->update();
    });
}

void UserListForm::OnUserOnline(Item* user)
{
    ShowOnline(user, true);
}

void UserListForm::OnUserOffline(Item* user)
{
    ShowOnline(user, false);
}

void UserListForm::OnUserAddedToList(Item* user)
{
    if (UserListItemWidget* row = MakeUserListRow(user, ReachServer())) {
        ui->userList->addTopLevelItem(row);
        ResortUserList();
    }
}

void UserListForm::OnUserRemovedFromList(Item* user)
{
    RemoveRow(user, UserListNode);
}

void UserListForm::OnUserUnshared(Item* user)
{
    MakePlainRow(ui->unsharedList, UnsharedListNode, user);
}

void UserListForm::OnUserReshared(Item* user)
{
    RemoveRow(user, UnsharedListNode);
}

void UserListForm::OnUserIgnored(Item* user)
{
    MakePlainRow(ui->ignoredList, IgnoredListNode, user);
}

void UserListForm::OnUserUnignored(Item* user)
{
    RemoveRow(user, IgnoredListNode);
}

void UserListForm::OnUserNoteChanged(Item* user)
{
    const ItemPtr userItem(user);
    if (QTreeWidgetItem* row = TiedRow::FromItem(userItem[UserListNode]))
        ShowNote(row, kNoteColumn, userItem);
    for (const char* nodeType : {UnsharedListNode, IgnoredListNode}) {
        if (QTreeWidgetItem* row = TiedRow::FromItem(userItem[nodeType]))
            ShowNote(row, kPlainNoteColumn, userItem);
    }
}

void UserListForm::OnUserNoteRemoved(Item* user)
{
    // The cells read the store, which holds no note by now.
    OnUserNoteChanged(user);
}

void UserListForm::OnUserGroupAdded(Item* user)
{
    UpdateUserGroupsDisplay(user->AsString());
}

void UserListForm::OnUserGroupRemoved(Item* user)
{
    UpdateUserGroupsDisplay(user->AsString());
}

void UserListForm::OnActionBarTriggered(QWidget*, std::string id)
{
    if (id == kAddUserAction) {
        (new AddUserDialog(this))->show();
    } else if (id == kConfigureGroupsAction) {
        if (userGroupConfigDialog) {
            userGroupConfigDialog->activateWindow();
            userGroupConfigDialog->setFocus(Qt::OtherFocusReason);
            return;
        }
        (new UserGroupConfigDialog(this))->show();
    } else if (id == kRemoveUserAction) {
        // The removal handler deletes the row; only the address of each is used here.
        for (QTreeWidgetItem* row : ui->userList->selectedItems())
            Ties::Find(UserListNode, row)[User].Disconnect(InUserList);
    } else if (id == kUserGroupsAction) {
        ActionSetToolBar* bar = ReachActionBar();
        const QString user = bar ? bar->GetKey(QString::fromLatin1(kUserKey)) : QString();
        if (!user.isEmpty())
            (new UserGroupsDialog(NameBytes(user), window()))->show();
    }
}

void UserListForm::OnUserListContextMenuRequested(const QPoint& position)
{
    RunUserMenu(ui->userList, position);
}

void UserListForm::OnUnsharedListContextMenuRequested(const QPoint& position)
{
    RunUserMenu(ui->unsharedList, position);
}

void UserListForm::OnIgnoredListContextMenuRequested(const QPoint& position)
{
    RunUserMenu(ui->ignoredList, position);
}

void UserListForm::RunUserMenu(QTreeWidget* list, const QPoint& position)
{
    const QTreeWidgetItem* row = list->itemAt(position);
    if (!row)
        return;
    // Taken now: entries of the menu may take the user off this list, and the row with it. The
    // name as stored, through the row's tie: the cell shows it made one line.
    std::string user;
    for (const char* node : {UserListNode, UnsharedListNode, IgnoredListNode}) {
        if (const ItemPtr tie = Ties::Find(node, row))
            user = tie[User].AsString();
    }
    if (user.empty())
        return;
    QMenu menu;
    new UserMenuOptions(&menu, user, &menu);
    ModalDialogs::Current().RunMenu(&menu, list->viewport()->mapToGlobal(position));
}

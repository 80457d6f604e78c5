#include "shell/ShellTypes.h"

#include "server/ServerSchema.h"
#include "store/Schema.h"

namespace {

using namespace ShellTypes;

const SchemaType kRoomNodeTypes[] = {{RoomNode, RootPrimacy, false, true, ValueKind::Address}};
const SchemaRelation kRoomNodeRelations[] = {{ServerTypes::Room, RoomNode, One, One}};

const SchemaType kUserChatWidgetTypes[] = {
    {UserChatWidget, RootPrimacy, false, true, ValueKind::Address}};
const SchemaRelation kUserChatWidgetRelations[] = {{ServerTypes::User, UserChatWidget, One, One}};

const SchemaType kChatLogFormTypes[] = {
    {ChatLogForm, RootPrimacy, false, true, ValueKind::Address}};
const SchemaRelation kChatLogFormRelations[] = {
    {ChatLogForm, ServerTypes::Room, One, One},
    {ChatLogForm, ServerTypes::User, One, One},
};

} // namespace

void ShellTypes::DeclareRoomNode()
{
    DeclareSchema(MakeSchema(kRoomNodeTypes, kRoomNodeRelations));
}

void ShellTypes::DeclareUserChatWidget()
{
    DeclareSchema(MakeSchema(kUserChatWidgetTypes, kUserChatWidgetRelations));
}

void ShellTypes::DeclareChatLogForm()
{
    DeclareSchema(MakeSchema(kChatLogFormTypes, kChatLogFormRelations));
}

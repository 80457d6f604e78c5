#pragma once

// Users as the store file keeps them (on the user list with their groups, with a note, unshared,
// ignored), written into a store file before a window loads it. For the tests and benchmarks of
// the forms that show users; they link the window and its engine.

#include "peer/PeerMessenger.h"
#include "server/Server.h"
#include "server/ServerSchema.h"
#include "shares/SharedFoldersManager.h"
#include "shares/SharesSchema.h"
#include "shell/ShellTypes.h"
#include "store/DataSaver.h"
#include "store/Schema.h"
#include "store/Settings.h"
#include "support/StoreGuard.h"

#include <QString>

#include <string>
#include <vector>

struct SeededUser
{
    std::string name;
    bool listed = true;
    std::vector<std::string> groups{}; // of a listed user
    std::string note{};                // none when empty
    bool unshared = false;
    bool ignored = false;
};
using SeededUsers = std::vector<SeededUser>;

// Puts the users into the store at hand, whose schema has the user types.
inline void AddSeededUsers(const SeededUsers& users)
{
    Type* userType = d.GetType(ServerTypes::User);
    for (const SeededUser& seeded : users) {
        const ItemPtr user = userType->GetItem(Value(seeded.name));
        if (seeded.listed) {
            const ItemPtr listed = user.NewItem(ServerTypes::InUserList);
            for (const std::string& group : seeded.groups)
                listed += d.GetType(ServerTypes::UserListGroup)->GetItem(Value(group));
        }
        if (!seeded.note.empty())
            user += d.GetType(ShellTypes::UserNote)->GetItem(Value(seeded.note));
        if (seeded.unshared)
            user.NewItem(SharesTypes::Unshared);
        if (seeded.ignored)
            user.NewItem(ServerTypes::IsIgnored);
    }
}

// Declares what a store file of users needs: the settings, the server connection's and the
// shares' types, and the note type that the window declares.
inline void DeclareUserSchema(DataSaver& saver)
{
    static const SchemaType kNoteType[] = {
        {ShellTypes::UserNote, ReachablePrimacy, false, true, ValueKind::Utf8}};
    static const SchemaRelation kNoteRelation[] = {
        {ServerTypes::User, ShellTypes::UserNote, Many, One}};
    static const SchemaSaved kNoteSaved[] = {{ShellTypes::UserNote},
                                             {ServerTypes::User, ShellTypes::UserNote}};
    Server::CreateData(saver);
    PeerMessenger::CreateData(saver);
    Settings::CreateData(saver);
    SharedFoldersManager::CreateData(saver);
    DeclareSchema(MakeSchema(kNoteType, kNoteRelation, kNoteSaved), saver);
}

// Adds the users to the store file at path, in a scratch store of its own; whether the file was
// written.
inline bool SeedUsers(const QString& path, const SeededUsers& users)
{
    StoreGuard scratch;
    DataSaver saver;
    DeclareUserSchema(saver);
    saver.Load(path);
    AddSeededUsers(users);
    return saver.Save(path);
}

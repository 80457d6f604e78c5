#include "dnet/DNetManager.h"

#include "dnet/DNetSchema.h"
#include "server/ServerSchema.h"
#include "store/Schema.h"

// The distributed tree as the store holds it. Sockets are named by their addresses, so none of
// it may outlive the run: no type is saved, and no relation owns its partner.

namespace {

using namespace DNetTypes;
using ServerTypes::User;

const SchemaType kTypes[] = {
    {AttemptedDNetConnection, ValuePrimacy, true, true},
    {DNetGlobal, RootPrimacy, false, true},
    {DNetValue, ValuePrimacy, false, true},
    {DNetChild, RootPrimacy, false, true},
    {DNetChildDepth, ValuePrimacy, false, true},
    {DNetParentCandidate, RootPrimacy, false, true},
    {DNetCandidateLevel, ValuePrimacy, false, true},
    {DNetCandidateLeader, ValuePrimacy, false, true},
};

const SchemaRelation kRelations[] = {
    {User, AttemptedDNetConnection, Many, One},
    {DNetGlobal, DNetValue, Many, One},
    {DNetChild, User, One, One},
    {DNetChild, DNetChildDepth, Many, One},
    // A user may be a candidate on several connections at once.
    {DNetParentCandidate, User, Many, One},
    {DNetParentCandidate, DNetCandidateLevel, Many, One},
    {DNetParentCandidate, DNetCandidateLeader, Many, One},
};

} // namespace

void DNetManager::CreateData(DataSaver& saver)
{
    DeclareSchema(MakeSchema(kTypes, kRelations), saver);
}

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
    {AttemptedDNetConnection, ValuePrimacy, true, true, ValueKind::None},
    {DNetGlobal, RootPrimacy, false, true, ValueKind::Word},
    {DNetValue, ValuePrimacy, false, true, ValueKind::ByKey},
    {DNetChild, RootPrimacy, false, true, ValueKind::Address},
    {DNetChildDepth, ValuePrimacy, false, true, ValueKind::Number},
    {DNetParentCandidate, RootPrimacy, false, true, ValueKind::Address},
    {DNetCandidateLevel, ValuePrimacy, false, true, ValueKind::Number},
    {DNetCandidateLeader, ValuePrimacy, false, true, ValueKind::Name},
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

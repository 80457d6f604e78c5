#include "transfers/UploadCandidates.h"

#include "server/ServerSchema.h"
#include "transfers/TransfersSchema.h"

using namespace TransfersTypes;

UploadCandidates::UploadCandidates()
    : m_status(d.GetType(UploadEntryStatus)), m_user(d.GetType(ServerTypes::User)),
      m_order(d.GetType(EffectiveUploadOrder))
{
    Type* entries = d.GetType(UploadEntry);
    entries->connectedEvent.Add(NewEventHandler(this, &UploadCandidates::OnEntryLink));
    entries->disconnectedEvent.Add(NewEventHandler(this, &UploadCandidates::OnEntryUnlink));
    entries->itemRemovedEvent.Add(NewEventHandler(this, &UploadCandidates::OnEntryRemoved));
    Type* online = d.GetType(ServerTypes::IsOnline);
    online->connectedEvent.Add(NewEventHandler(this, &UploadCandidates::OnOnlineLink));
    online->disconnectedEvent.Add(NewEventHandler(this, &UploadCandidates::OnOnlineLink));
    for (Item* entry : entries->GetItems())
        Update(entry);
}

Item* UploadCandidates::First(const std::unordered_set<Item*>& busy) const
{
    for (const Place& candidate : m_candidates) {
        Item* user = d.ItemById(candidate.second);
        if (!user || user->GetType() != m_user || busy.count(user))
            continue;
        const auto queued = m_queuedByUser.find(candidate.second);
        if (queued != m_queuedByUser.end() && !queued->second.empty())
            return d.ItemById(queued->second.begin()->second);
    }
    return nullptr;
}

void UploadCandidates::OnEntryLink(ConnectionInfo link)
{
    const Type* partner = link.second->GetType();
    if (partner == m_order) {
        // A new place changes nothing among the user's own entries, whose order is their
        // arrival; it moves the user only when it is the place of their first.
        const auto filed = m_entries.find(link.first->Id());
        if (filed == m_entries.end())
            Update(link.first);
        else if (m_queuedByUser[filed->second.user].begin()->second == link.first->Id())
            UpdateUser(filed->second.user);
    } else if (partner == m_status || partner == m_user) {
        Update(link.first);
    }
}

void UploadCandidates::OnEntryUnlink(ConnectionInfo link)
{
    // A place is only ever taken to give another: numbering the order anew takes each entry's
    // place as the entry before it gets that number, and the entry gets its own next. Until
    // then it keeps its standing.
    const Type* partner = link.second->GetType();
    if (partner == m_status || partner == m_user)
        Update(link.first);
}

void UploadCandidates::OnEntryRemoved(Item* entry)
{
    Unfile(entry->Id());
}

void UploadCandidates::OnOnlineLink(ConnectionInfo link)
{
    if (link.second->GetType() == m_user)
        UpdateUser(link.second->Id());
}

void UploadCandidates::Update(Item* entry)
{
    ItemPtr e(entry);
    ItemPtr user = e[ServerTypes::User];
    const bool queued =
        user && e.IsConnected(m_order) && e[UploadEntryStatus].AsString() == TransferStatus::Queued;
    const auto it = m_entries.find(entry->Id());
    // Its status set again (queued once more), or its user linked anew, changes nothing here.
    if (it != m_entries.end() && queued && it->second.user == user->Id())
        return;
    Unfile(entry->Id());
    if (!queued)
        return;
    // One user's uploads go in the order they came, whatever the ranks (and each new request
    // carries the newest arrival number), so among them the arrival number is the order.
    const Filed filed{user->Id(), e[UploadOrder].AsInt64()};
    m_entries.emplace(entry->Id(), filed);
    std::set<Place>& places = m_queuedByUser[filed.user];
    // Only a new first entry moves the user among the candidates.
    const auto filedAt = places.emplace(filed.arrival, entry->Id()).first;
    if (filedAt == places.begin())
        UpdateUser(filed.user);
}

void UploadCandidates::Unfile(uint32_t entryId)
{
    const auto it = m_entries.find(entryId);
    if (it == m_entries.end())
        return;
    const Filed filed = it->second;
    m_entries.erase(it);
    const auto queued = m_queuedByUser.find(filed.user);
    if (queued == m_queuedByUser.end())
        return;
    std::set<Place>& places = queued->second;
    const bool wasFirst = !places.empty() && places.begin()->second == entryId;
    places.erase(Place(filed.arrival, entryId));
    if (places.empty())
        m_queuedByUser.erase(queued);
    if (wasFirst)
        UpdateUser(filed.user);
}

void UploadCandidates::UpdateUser(uint32_t userId)
{
    const auto at = m_candidateAt.find(userId);
    if (at != m_candidateAt.end()) {
        m_candidates.erase(Place(at->second, userId));
        m_candidateAt.erase(at);
    }
    const auto queued = m_queuedByUser.find(userId);
    if (queued == m_queuedByUser.end())
        return;
    Item* user = d.ItemById(userId);
    if (!user || !user->IsConnected(ServerTypes::IsOnline))
        return;
    const qint64 place =
        ItemPtr(d.ItemById(queued->second.begin()->second))[EffectiveUploadOrder].AsInt64();
    m_candidates.emplace(place, userId);
    m_candidateAt.emplace(userId, place);
}

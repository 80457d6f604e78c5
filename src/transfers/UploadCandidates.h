#pragma once

// The queued uploads that the scheduler may start, kept in their effective order as the store
// changes, so that finding the next one costs the same however long the queue is. A peer may
// queue up to the caps under names that never come online; the scheduler runs on every request,
// and must not walk, let alone sort, all of that each time. So the entries are filed per user in
// their order, and only users who are online stand among the candidates, each by the place
// (effective_upload_order) of their first queued entry.
//
// The index follows the store's own connection events (an entry's status, user and place, a
// user's online flag), so it holds whoever changes them.

#include "store/Data.h"

#include <QtGlobal>

#include <cstdint>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <utility>

class UploadCandidates : public DataHandler
{
public:
    // Files the upload entries already in the store and follows every change from then on.
    UploadCandidates();

    // The first queued upload, in effective order, of an online user not in busy; null when
    // there is none. Costs a step for each busy user passed over, nothing for the others.
    Item* First(const std::unordered_set<Item*>& busy) const;

private:
    // An order and the id of what it places: an entry by its arrival among its user's, or a
    // user by the place of their first entry among the candidates.
    using Place = std::pair<qint64, uint32_t>;
    struct Filed
    {
        uint32_t user;
        qint64 arrival;
    };

    void OnEntryLink(ConnectionInfo link);
    void OnEntryUnlink(ConnectionInfo link);
    void OnEntryRemoved(Item* entry);
    void OnOnlineLink(ConnectionInfo link);
    // Files the entry anew: under its user, while it is queued and has its place.
    void Update(Item* entry);
    void Unfile(uint32_t entryId);
    // Stands the user among the candidates by their first queued entry while they are online.
    void UpdateUser(uint32_t userId);

    Type* m_status;
    Type* m_user;
    Type* m_order;
    std::unordered_map<uint32_t, Filed> m_entries;
    std::unordered_map<uint32_t, std::set<Place>> m_queuedByUser;
    std::unordered_map<uint32_t, qint64> m_candidateAt;
    std::set<Place> m_candidates;
};

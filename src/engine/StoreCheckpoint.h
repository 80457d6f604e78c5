#pragma once

#include <string>
#include <utility>
#include <vector>

class Type;

// What the store holds at one moment, to be put back later: every item (its type and value) and
// every connection, in the order the items were made. Objects whose addresses items hold are not
// copied, only the numbers. For hosts that reuse one engine for many runs (the fuzz targets).
class StoreCheckpoint
{
public:
    static StoreCheckpoint Take();

    // Into an empty store: the items made again in their order, then the connections, each
    // with its usual events.
    void Restore() const;

    size_t ItemCount() const { return m_items.size(); }

private:
    struct Entry
    {
        Type* type;
        std::string value;
    };
    std::vector<Entry> m_items;
    // Positions in m_items, each connection once.
    std::vector<std::pair<size_t, size_t>> m_links;
};

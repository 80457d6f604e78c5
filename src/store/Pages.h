#pragma once

// Fresh memory a load is about to fill, faulted in ahead of its first write. A load keeps well
// over a hundred megabytes beyond the file's bytes for a big share; faulting those in a page at
// a time costs the kernel an entry and an exit per 4 KiB, where one request for a whole range
// costs it a fraction of that.

#include <cstddef>
#include <vector>

namespace storeimpl {

// Blocks below this are left to fault in as they are written: the request would cost more than
// the few faults it saves.
constexpr size_t kPopulateMin = size_t(1) << 20;

// Asks the kernel for the whole pages inside [begin, begin + bytes), writable, for memory this
// process owns and is about to write. Nothing is written, so a page shared with a neighbouring
// block is left as it was; a kernel that cannot do it (or a build that must not ask) leaves the
// pages to fault in as before. Returns whether the pages were populated.
bool PopulatePages(void* begin, size_t bytes);

// The same, but by the worker of the PopulationScope alive, if any, while this thread goes on:
// for a block written a little at a time from its front, which the worker populates from the
// far end. Without a scope, at once.
void PopulateSoon(void* begin, size_t bytes);

// Room for n elements in v, its unused part populated when it is large. A vector filled at once
// (assign) wants it now; one filled as a load goes (push_back) can have it soon.
enum class When { Now, Soon };
template <class T> void ReservePopulated(std::vector<T>& v, size_t n, When when = When::Now)
{
    v.reserve(n);
    const size_t unused = (v.capacity() - v.size()) * sizeof(T);
    if (unused < kPopulateMin)
        return;
    if (when == When::Now)
        PopulatePages(v.data() + v.size(), unused);
    else
        PopulateSoon(v.data() + v.size(), unused);
}

// While one is alive, PopulateSoon hands its blocks to a worker thread of its own, started with
// the first block. The worker only asks the kernel to fault pages in; it reads and writes no
// object, so the thread that owns the blocks goes on using them meanwhile. A block freed before
// the worker reaches it costs nothing but a failed request: populating never changes a byte.
// The destructor waits for the worker to be through every block handed to it: by then the owner
// has mostly written them, and a request for pages in memory already costs little. One scope at
// a time, on the store's thread.
class PopulationScope
{
public:
    PopulationScope();
    ~PopulationScope();
    PopulationScope(const PopulationScope&) = delete;
    PopulationScope& operator=(const PopulationScope&) = delete;

private:
    friend void PopulateSoon(void* begin, size_t bytes);
    struct Worker;
    Worker* m_worker = nullptr;
    PopulationScope* m_outer;
};

// Gives the whole pages inside [begin, begin + bytes) back to the system: memory this process
// owns, keeps allocated and will not read again (they would read as zeros).
void ReleasePages(void* begin, size_t bytes);

// Tests only: whether PopulatePages asks the kernel at all, so that a load can be tried with
// its blocks left to fault in page by page. Returns the previous setting.
bool SetPagePopulation(bool enabled);

} // namespace storeimpl

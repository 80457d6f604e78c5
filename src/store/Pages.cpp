#include "store/Pages.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <system_error>
#include <utility>
#include <sys/mman.h>
#include <unistd.h>

// Linux 5.14 and later; older headers lack the name, and older kernels answer EINVAL.
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

namespace storeimpl {

namespace {

std::atomic<bool> g_enabled{true};
// Cleared the first time the kernel says it does not know the request, so that a kernel
// without it is asked once per process, not once per block.
std::atomic<bool> g_supported{true};

PopulationScope* g_scope = nullptr;

uintptr_t PageSize()
{
    static const uintptr_t page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    return page;
}

// A request covers this much at a time, so that the owner, writing from the front, meets pages
// the worker has done soon after it starts from the back.
constexpr size_t kPopulateStep = size_t(2) << 20;

} // namespace

void ReleasePages(void* begin, size_t bytes)
{
    const uintptr_t page = PageSize();
    const uintptr_t from = (reinterpret_cast<uintptr_t>(begin) + page - 1) & ~(page - 1);
    const uintptr_t to = (reinterpret_cast<uintptr_t>(begin) + bytes) & ~(page - 1);
    if (to > from) {
        const int saved = errno;
        ::madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);
        errno = saved;
    }
}

bool PopulatePages(void* begin, size_t bytes)
{
    if (!g_enabled.load(std::memory_order_relaxed) ||
        !g_supported.load(std::memory_order_relaxed) || bytes == 0)
        return false;
    const uintptr_t page = PageSize();
    const uintptr_t from = (reinterpret_cast<uintptr_t>(begin) + page - 1) & ~(page - 1);
    const uintptr_t to = (reinterpret_cast<uintptr_t>(begin) + bytes) & ~(page - 1);
    if (to <= from)
        return false;
    const int saved = errno;
    int result;
    do {
        result = ::madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
    } while (result != 0 && errno == EINTR);
    if (result != 0 && errno == EINVAL)
        g_supported.store(false, std::memory_order_relaxed);
    errno = saved;
    return result == 0;
}

struct PopulationScope::Worker
{
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::pair<char*, size_t>> blocks; // guarded by mutex
    bool stop = false;                           // guarded by mutex
    std::thread thread;

    void Run()
    {
        for (;;) {
            std::pair<char*, size_t> block;
            {
                std::unique_lock<std::mutex> lock(mutex);
                wake.wait(lock, [this] { return stop || !blocks.empty(); });
                if (blocks.empty())
                    return;
                block = blocks.front();
                blocks.pop_front();
            }
            // From the far end back, a step at a time, towards the owner writing from the
            // front: where the two meet, the kernel takes whichever asks first. The steps
            // begin on page boundaries, so that no page between two of them is left out.
            const uintptr_t page = PageSize();
            const uintptr_t begin = reinterpret_cast<uintptr_t>(block.first);
            const uintptr_t from = (begin + page - 1) & ~(page - 1);
            for (uintptr_t to = begin + block.second; to > from;) {
                const uintptr_t step =
                    to - from > kPopulateStep ? (to - kPopulateStep) & ~(page - 1) : from;
                PopulatePages(reinterpret_cast<void*>(step), to - step);
                to = step;
            }
        }
    }
};

PopulationScope::PopulationScope() : m_outer(g_scope)
{
    g_scope = this;
}

PopulationScope::~PopulationScope()
{
    g_scope = m_outer;
    if (!m_worker)
        return;
    {
        std::lock_guard<std::mutex> lock(m_worker->mutex);
        m_worker->stop = true;
    }
    m_worker->wake.notify_one();
    m_worker->thread.join();
    delete m_worker;
}

void PopulateSoon(void* begin, size_t bytes)
{
    if (!g_scope || !g_enabled.load(std::memory_order_relaxed) ||
        !g_supported.load(std::memory_order_relaxed)) {
        PopulatePages(begin, bytes);
        return;
    }
    PopulationScope::Worker*& worker = g_scope->m_worker;
    if (!worker) {
        worker = new PopulationScope::Worker;
        try {
            worker->thread = std::thread(&PopulationScope::Worker::Run, worker);
        } catch (const std::system_error&) {
            // No thread to be had: the pages are faulted in here and now.
            delete worker;
            worker = nullptr;
            PopulatePages(begin, bytes);
            return;
        }
    }
    {
        std::lock_guard<std::mutex> lock(worker->mutex);
        worker->blocks.emplace_back(static_cast<char*>(begin), bytes);
    }
    worker->wake.notify_one();
}

bool SetPagePopulation(bool enabled)
{
    return g_enabled.exchange(enabled);
}

} // namespace storeimpl

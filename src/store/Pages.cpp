#include "store/Pages.h"

#include "store/WorkerThread.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <sys/mman.h>
#include <system_error>
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

// Each block handed over is a piece of work of the worker's; nothing comes back.
struct PopulationScope::Worker
{
    WorkerThread thread;
};

namespace {

// From the far end back, a step at a time, towards the owner writing from the front: where the
// two meet, the kernel takes whichever asks first. The steps begin on page boundaries, so that no
// page between two of them is left out.
void PopulateFromTheBack(char* block, size_t bytes, const WorkerThread::Stop& stop)
{
    const uintptr_t page = PageSize();
    const uintptr_t begin = reinterpret_cast<uintptr_t>(block);
    const uintptr_t from = (begin + page - 1) & ~(page - 1);
    for (uintptr_t to = begin + bytes; to > from && !stop;) {
        const uintptr_t step =
            to - from > kPopulateStep ? (to - kPopulateStep) & ~(page - 1) : from;
        PopulatePages(reinterpret_cast<void*>(step), to - step);
        to = step;
    }
}

} // namespace

PopulationScope::PopulationScope() : m_outer(g_scope)
{
    g_scope = this;
}

PopulationScope::~PopulationScope()
{
    g_scope = m_outer;
    if (!m_worker)
        return;
    m_worker->thread.Finish();
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
    if (!worker)
        worker = new PopulationScope::Worker;
    char* block = static_cast<char*>(begin);
    try {
        worker->thread.Run(
            [block, bytes](const WorkerThread::Stop& stop) {
                PopulateFromTheBack(block, bytes, stop);
                return true;
            },
            [](bool) {});
    } catch (const std::system_error&) {
        // No thread to be had: the pages are faulted in here and now.
        PopulatePages(begin, bytes);
    }
}

bool SetPagePopulation(bool enabled)
{
    return g_enabled.exchange(enabled);
}

} // namespace storeimpl

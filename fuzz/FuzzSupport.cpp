#include "FuzzSupport.h"

#include <QCoreApplication>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__)
#define QV_FUZZ_HAVE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QV_FUZZ_HAVE_ASAN 1
#endif
#endif

#ifdef QV_FUZZ_HAVE_ASAN
// Declared here rather than through <sanitizer/allocator_interface.h>, which GCC does not ship;
// both compilers' runtimes export it.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*mallocHook)(const volatile void*,
                                                                            size_t),
                                                         void (*freeHook)(const volatile void*));
#endif

namespace {

std::atomic<size_t> g_largest{0};
std::atomic<bool> g_watching{false};

#ifdef QV_FUZZ_HAVE_ASAN
void OnMalloc(const volatile void*, size_t size)
{
    if (!g_watching.load(std::memory_order_relaxed))
        return;
    size_t seen = g_largest.load(std::memory_order_relaxed);
    while (size > seen && !g_largest.compare_exchange_weak(seen, size)) {
    }
}

void OnFree(const volatile void*) {}

bool InstallHooks()
{
    return __sanitizer_install_malloc_and_free_hooks(OnMalloc, OnFree) != 0;
}
#else
bool InstallHooks()
{
    return false;
}
#endif

bool HooksInstalled()
{
    static const bool installed = InstallHooks();
    return installed;
}

} // namespace

AllocationWatch::AllocationWatch(size_t cap, const char* what) : m_cap(cap), m_what(what)
{
    HooksInstalled();
    g_largest.store(0);
    g_watching.store(true);
}

AllocationWatch::~AllocationWatch()
{
    g_watching.store(false);
    const size_t largest = g_largest.load();
    if (largest > m_cap) {
        std::fprintf(stderr, "%s: one allocation of %zu bytes, above the cap of %zu bytes\n",
                     m_what, largest, m_cap);
        std::abort();
    }
}

bool AllocationWatch::Active()
{
    return HooksInstalled();
}

void FuzzFail(const char* what)
{
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

void EnsureApplication()
{
    if (QCoreApplication::instance())
        return;
    // Without TZ the C library looks at /etc/localtime again (a stat) each time Qt turns a time
    // into local time, and the engine does that for every log line and stored time: dozens of
    // system calls per input. Named once, the zone is read once; it is the same zone.
    if (qEnvironmentVariableIsEmpty("TZ"))
        qputenv("TZ", ":/etc/localtime");
    static int argc = 1;
    static char name[] = "fuzz";
    static char* argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);
}

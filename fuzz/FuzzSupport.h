#pragma once

// Shared by every fuzz target: the entry point libFuzzer calls, and the allocation watch that
// makes an input fail when a decoder allocates more than its cap in one piece.

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

// For the lifetime of one input, records the largest single allocation; the destructor aborts
// (so that libFuzzer keeps the input, and a replay fails) when it was above the cap. Works where
// AddressSanitizer is linked in, which is every fuzzing build and the CI test build; elsewhere
// it checks nothing.
class AllocationWatch
{
public:
    explicit AllocationWatch(size_t cap, const char* what);
    ~AllocationWatch();
    AllocationWatch(const AllocationWatch&) = delete;
    AllocationWatch& operator=(const AllocationWatch&) = delete;

    // Whether allocations are seen at all in this build.
    static bool Active();

private:
    size_t m_cap;
    const char* m_what;
};

// A target's own consistency check failed: reports and aborts, in every build type (Q_ASSERT
// would vanish from the release builds some developers fuzz with).
[[noreturn]] void FuzzFail(const char* what);
#define FUZZ_CHECK(cond) ((cond) ? void(0) : FuzzFail(#cond))

// Makes the application object the Qt code under test expects (sockets, timers), once per
// process. No target runs its event loop.
void EnsureApplication();

#pragma once

#include <QtGlobal>

// Bytes the process has allocated on the heap and not freed yet, for tests that check what a
// reader keeps allocated. Under AddressSanitizer its allocator is asked (glibc's counters do not
// see its heap); elsewhere glibc's, counting the large blocks it maps separately too.

#if defined(__SANITIZE_ADDRESS__)
#define QV_HEAP_USE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QV_HEAP_USE_ASAN 1
#endif
#endif

#ifdef QV_HEAP_USE_ASAN
#include <cstddef>
// Declared here rather than through <sanitizer/allocator_interface.h>, which GCC does not ship.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
inline qint64 HeapInUse()
{
    return qint64(__sanitizer_get_current_allocated_bytes());
}
#else
#include <malloc.h>
inline qint64 HeapInUse()
{
    const struct mallinfo2 m = mallinfo2();
    return qint64(m.uordblks + m.hblkhd);
}
#endif

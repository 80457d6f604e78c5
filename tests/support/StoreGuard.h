#pragma once

// Gives a test case a fresh global store and tears it down again when the case ends, so that no
// types, items or handlers leak from one case into the next. Production code keeps seeing the
// one store `d`; only its contents are replaced.
//
//     void tst_Foo::connects()
//     {
//         StoreGuard store;
//         ...
//     }

class StoreGuard
{
public:
    StoreGuard();
    ~StoreGuard();
    StoreGuard(const StoreGuard&) = delete;
    StoreGuard& operator=(const StoreGuard&) = delete;

    // Destroys the store's contents (without firing events) and starts an empty store.
    static void Reset();
};

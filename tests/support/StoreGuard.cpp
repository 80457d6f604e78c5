#include "support/StoreGuard.h"

#include "store/Data.h"

#include <new>

StoreGuard::StoreGuard()
{
    Reset();
}

StoreGuard::~StoreGuard()
{
    Reset();
}

void StoreGuard::Reset()
{
    d.~Data();
    new (&d) Data();
}

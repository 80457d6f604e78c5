#include "icons/Icons.h"

#include <QtGlobal>

// Q_INIT_RESOURCE names a function of the global namespace, so it cannot be used inside one.
static bool RegisterImages()
{
    Q_INIT_RESOURCE(qv_images);
    return true;
}

void Icons::InitResources()
{
    static const bool registered = RegisterImages();
    Q_UNUSED(registered);
}

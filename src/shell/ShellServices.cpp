#include "shell/ShellServices.h"

#include "store/Log.h"

// Here rather than beside the window's code: forms may read it, and they link below the window.
MainWindow* mainWindow = nullptr;

namespace {

template <class Service>
Service* Reached(Service* service, const QString& category, const char* name)
{
    if (!service)
        Log(category, 1, QStringLiteral("%1 is not available.").arg(QLatin1String(name)));
    return service;
}

} // namespace

Server* ReachServer()
{
    return Reached(gp_server, LogCategories::kServer, "The server connection");
}

PortForwarder* ReachPortForwarder()
{
    return Reached(portForwarder, LogCategories::kPortForwarding, "Port forwarding");
}

PeerMessenger* ReachPeerMessenger()
{
    return Reached(peerMessenger, LogCategories::kPeerMessenger, "The peer connection manager");
}

SharedFoldersManager* ReachSharedFolders()
{
    return Reached(sharedFoldersManager, LogCategories::kShared, "The shared-folder manager");
}

TransferQueueManager* ReachTransfers()
{
    return Reached(transferQueueManager, LogCategories::kTransferQueue, "The transfer engine");
}

TimerManager* ReachTimers()
{
    return Reached(timerManager, LogCategories::kConfigurationData, "The shared timers");
}

DataSaver* ReachDataSaver()
{
    return Reached(dataSaver, LogCategories::kConfigurationData, "The store file handler");
}

DelayedInvoker* ReachDelayedInvoker()
{
    return Reached(delayedInvoker, LogCategories::kConfigurationData, "The delayed invoker");
}

// The shell's own services have no category of their own; they log with the shell's.
ActionSetToolBar* ReachActionBar()
{
    return Reached(actionBar, LogCategories::kConfigurationData, "The context tool bar");
}

EventToolBar* ReachEventToolBar()
{
    return Reached(eventToolBar, LogCategories::kConfigurationData, "The event tool bar");
}

SizeManager* ReachSizeManager()
{
    return Reached(sizeManager, LogCategories::kConfigurationData, "The size manager");
}

#include "shell/ShellServices.h"

#include "store/Dependency.h"
#include "store/Log.h"

// Here rather than beside the window's code: forms may read it, and they link below the window.
MainWindow* mainWindow = nullptr;

namespace {

// A service by its name in a sentence ("the server connection") and the log category it
// tells of its absence under.
struct Named
{
    const char* name;
    const QString& category;
};

template <class Service> Service* Reached(Service* service, const Named& named)
{
    if (!service) {
        QString name = QString::fromLatin1(named.name);
        name[0] = name.at(0).toUpper();
        Log(named.category, 1, QStringLiteral("%1 is not available.").arg(name));
    }
    return service;
}

template <class Service>
Service& Required(Service* service, const Named& named, const char* neededBy)
{
    RequireService(service, neededBy, named.name);
    return *service;
}

const Named kServer{"the server connection", LogCategories::kServer};
const Named kPortForwarder{"port forwarding", LogCategories::kPortForwarding};
const Named kPeerMessenger{"the peer connection manager", LogCategories::kPeerMessenger};
const Named kSharedFolders{"the shared-folder manager", LogCategories::kShared};
const Named kTransfers{"the transfer engine", LogCategories::kTransferQueue};
const Named kTimers{"the shared timers", LogCategories::kConfigurationData};
const Named kDataSaver{"the store file handler", LogCategories::kConfigurationData};
const Named kDelayedInvoker{"the delayed invoker", LogCategories::kConfigurationData};
// The shell's own services have no category of their own; they log with the shell's.
const Named kActionBar{"the context tool bar", LogCategories::kConfigurationData};
const Named kEventToolBar{"the event tool bar", LogCategories::kConfigurationData};
const Named kSizeManager{"the size manager", LogCategories::kConfigurationData};

} // namespace

Server* ReachServer()
{
    return Reached(gp_server, kServer);
}

PortForwarder* ReachPortForwarder()
{
    return Reached(portForwarder, kPortForwarder);
}

PeerMessenger* ReachPeerMessenger()
{
    return Reached(peerMessenger, kPeerMessenger);
}

SharedFoldersManager* ReachSharedFolders()
{
    return Reached(sharedFoldersManager, kSharedFolders);
}

TransferQueueManager* ReachTransfers()
{
    return Reached(transferQueueManager, kTransfers);
}

TimerManager* ReachTimers()
{
    return Reached(timerManager, kTimers);
}

DataSaver* ReachDataSaver()
{
    return Reached(dataSaver, kDataSaver);
}

DelayedInvoker* ReachDelayedInvoker()
{
    return Reached(delayedInvoker, kDelayedInvoker);
}

ActionSetToolBar* ReachActionBar()
{
    return Reached(actionBar, kActionBar);
}

EventToolBar* ReachEventToolBar()
{
    return Reached(eventToolBar, kEventToolBar);
}

SizeManager* ReachSizeManager()
{
    return Reached(sizeManager, kSizeManager);
}

Server& RequireServer(const char* neededBy)
{
    return Required(gp_server, kServer, neededBy);
}

PeerMessenger& RequirePeerMessenger(const char* neededBy)
{
    return Required(peerMessenger, kPeerMessenger, neededBy);
}

TransferQueueManager& RequireTransfers(const char* neededBy)
{
    return Required(transferQueueManager, kTransfers, neededBy);
}

DataSaver& RequireDataSaver(const char* neededBy)
{
    return Required(dataSaver, kDataSaver, neededBy);
}

ActionSetToolBar& RequireActionBar(const char* neededBy)
{
    return Required(actionBar, kActionBar, neededBy);
}

#include "engine/Engine.h"

#include "dnet/DNetManager.h"
#include "engine/StoreCheckpoint.h"
#include "peer/PeerMessenger.h"
#include "server/Server.h"
#include "shares/SharedFoldersManager.h"
#include "store/Data.h"
#include "store/DataSaver.h"
#include "store/DelayedInvoker.h"
#include "store/Log.h"
#include "store/Settings.h"
#include "store/TimerManager.h"
#include "transfers/TransferQueueManager.h"

#include <QDir>
#include <QMetaType>
#include <QTcpSocket>

#include <stdexcept>
#include <string>

namespace {

// Arguments of the engine's signals, by name, so that receivers on other threads can take them
// queued.
void RegisterMetaTypes()
{
    qRegisterMetaType<ItemPtr>("ItemPtr");
    qRegisterMetaType<std::string>("std::string");
    qRegisterMetaType<QTcpSocket*>("QTcpSocket*");
}

} // namespace

Engine::Engine(const EngineOptions& options) : m_options(options)
{
    // Everything after this connects to the timers, joins the store file handler's data-loaded
    // set or names saved types.
    m_timers = std::make_unique<TimerManager>();
    Step(EngineStep::Timers);
    m_saver = std::make_unique<DataSaver>();
    Step(EngineStep::StoreFile);

    m_server = std::make_unique<Server>();
    Server::CreateData(*m_saver);
    if (m_options.localServerPort != 0)
        m_server->UseLocalServerForTesting(m_options.localServerPort);
    QObject::connect(m_timers->everyHalfMinute(), &SharedTimer::timeout, m_server.get(),
                     &Server::AttemptReconnect);
    QObject::connect(m_timers->everyFiveMinutes(), &SharedTimer::timeout, m_server.get(),
                     &Server::EveryFiveMinutes);
    QObject::connect(m_timers->everyHour(), &SharedTimer::timeout, m_server.get(),
                     &Server::RenewPortMapping);
    m_saver->AddDataLoadedEventHandler(m_server.get());
    RegisterMetaTypes();
    Step(EngineStep::Server);

    // The server's messages fill the peer types (addresses, relayed requests, searches), so they
    // exist even where the manager is not built.
    PeerMessenger::CreateData(*m_saver);
    if (m_options.peerMessenger) {
        m_peer = std::make_unique<PeerMessenger>();
        if (m_options.loopbackListeners)
            m_peer->ListenOnLoopbackForTesting();
        QObject::connect(m_server.get(), &Server::Connected, m_peer.get(),
                         &PeerMessenger::OnConnectedToServer);
        QObject::connect(m_server.get(), &Server::IndirectPeerConnectionFailure, m_peer.get(),
                         &PeerMessenger::OnIndirectPeerConnectionFailure);
        QObject::connect(m_timers->everyHalfMinute(), &SharedTimer::timeout, m_peer.get(),
                         &PeerMessenger::EveryHalfMinute);
        m_saver->AddDataLoadedEventHandler(m_peer.get());
    }
    Step(EngineStep::PeerMessenger);

    Settings::CreateData(*m_saver);
    Step(EngineStep::SettingsTypes);

    m_invoker = std::make_unique<DelayedInvoker>();
    Step(EngineStep::DelayedInvoker);

    DNetManager::CreateData(*m_saver);
    if (m_options.distributedNetwork && m_peer) {
        m_dnet = std::make_unique<DNetManager>();
        DNetManager* dnet = m_dnet.get();
        Server* server = m_server.get();
        QObject::connect(server, &Server::DNetParentMinSpeed, dnet,
                         &DNetManager::OnDNetParentMinSpeed);
        QObject::connect(server, &Server::DNetParentSpeedConnectionRatio, dnet,
                         &DNetManager::OnDNetParentSpeedConnectionRatio);
        QObject::connect(server, &Server::DNetPossibleParents, dnet,
                         &DNetManager::OnDNetPossibleParents);
        QObject::connect(server, &Server::DNetMessage, dnet, &DNetManager::OnDNetMessage);
        QObject::connect(server, &Server::DNetDeliveryReport, dnet,
                         &DNetManager::OnDNetDeliveryReport);
        QObject::connect(server, &Server::DNetReset, dnet, &DNetManager::OnDNetReset);
        QObject::connect(m_peer.get(), &PeerMessenger::DNetConnectionAccepted, dnet,
                         &DNetManager::OnDNetConnectionAccepted);
        QObject::connect(m_peer.get(), &PeerMessenger::DNetConnectionRequested, dnet,
                         &DNetManager::OnDNetConnectionRequested);
        // After the peer connection manager's receiver, before the shares'.
        QObject::connect(server, &Server::Connected, dnet, &DNetManager::OnConnected);
        QObject::connect(m_timers->everyHalfMinute(), &SharedTimer::timeout, dnet,
                         &DNetManager::EveryHalfMinute);
    }
    Step(EngineStep::DistributedNetwork);

    // Other subsystems name the shares' types (uploads look files up), so they exist even where
    // the manager is not built.
    SharedFoldersManager::CreateData(*m_saver);
    if (m_options.sharedFolders) {
        m_shares = std::make_unique<SharedFoldersManager>();
        QObject::connect(m_server.get(), &Server::Connected, m_shares.get(),
                         &SharedFoldersManager::OnConnectedToServer);
        QObject::connect(m_server.get(), &Server::ReceivedUserStats, m_shares.get(),
                         &SharedFoldersManager::OnReceivedUserStats);
        // Searches handed over by the distributed network, where it is built. The replies go
        // to the searchers directly over peer messaging, never back along the tree.
        if (m_dnet) {
            QObject::connect(m_dnet.get(), &DNetManager::DNetSearchRequest, m_shares.get(),
                             &SharedFoldersManager::OnDNetSearchRequest);
        }
        QObject::connect(m_timers->everyHalfMinute(), &SharedTimer::timeout, m_shares.get(),
                         &SharedFoldersManager::EveryHalfMinute);
        if (m_peer) {
            // Other users browsing our shares, and our browsing theirs. The peer library does
            // not link the shares: a share-list request reaches them through the hook.
            QObject::connect(m_peer.get(), &PeerMessenger::SharedFilesInFolderRequested,
                             m_shares.get(), &SharedFoldersManager::OnFilesInFoldersRequested);
            QObject::connect(m_peer.get(), &PeerMessenger::MessagingConnectionsClosed,
                             m_shares.get(), &SharedFoldersManager::OnMessagingConnectionsClosed);
            QObject::connect(m_peer.get(), &PeerMessenger::ConnectionToUserFailed, m_shares.get(),
                             &SharedFoldersManager::OnConnectionToUserFailed);
            HookShareLists();
        }
    }
    Step(EngineStep::SharedFolders);

    // Other subsystems name the transfer engine's types (the search page links its downloads
    // to their searches), so they exist even where the engine is not built.
    TransferQueueManager::CreateData(*m_saver);
    if (m_options.transferQueue && m_peer) {
        m_transfers = std::make_unique<TransferQueueManager>();
        // Its receivers of the peer manager's and the timers' signals, in this order: transfer
        // requests (40), file connections (in and out), queue requests (43), transfer responses
        // (41), upload failed (46) and denied (50), the 5-minute and the half-minute ticks, then
        // places in line (44).
        TransferQueueManager* transfers = m_transfers.get();
        QObject::connect(m_peer.get(), &PeerMessenger::FileTransferRequested, transfers,
                         &TransferQueueManager::OnFileTransferRequest);
        // Queued: the peer connection manager hands a file connection over from inside the
        // socket's own signal handling, where moving the socket to a worker is not safe.
        QObject::connect(m_peer.get(), &PeerMessenger::FileConnectionRequested, transfers,
                         &TransferQueueManager::OnFileConnection, Qt::QueuedConnection);
        QObject::connect(m_peer.get(), &PeerMessenger::FileConnectionAccepted, transfers,
                         &TransferQueueManager::OnFileConnectionAccepted, Qt::QueuedConnection);
        QObject::connect(m_peer.get(), &PeerMessenger::QueueUploadRequested, transfers,
                         &TransferQueueManager::OnQueueUploadRequested);
        QObject::connect(m_peer.get(), &PeerMessenger::FileTransferResponse, transfers,
                         &TransferQueueManager::OnFileTransferResponse);
        QObject::connect(m_peer.get(), &PeerMessenger::UploadFailed, transfers,
                         &TransferQueueManager::OnUploadFailedNotification);
        QObject::connect(m_peer.get(), &PeerMessenger::UploadDenied, transfers,
                         &TransferQueueManager::OnUploadDeniedNotification);
        QObject::connect(m_timers->everyFiveMinutes(), &SharedTimer::timeout, transfers,
                         &TransferQueueManager::PeriodicCheck);
        QObject::connect(m_timers->everyHalfMinute(), &SharedTimer::timeout, transfers,
                         &TransferQueueManager::EveryHalfMinute);
        QObject::connect(m_peer.get(), &PeerMessenger::DownloadPlaceInLine, transfers,
                         &TransferQueueManager::OnDownloadPlaceInLine);
        m_saver->AddDataLoadedEventHandler(transfers);
        if (m_shares) {
            // Search replies tell of the uploads; the shares library does not link this one.
            m_shares->SetUploadStateHook([transfers] {
                return SharedFoldersManager::UploadState{transfers->IsFreeToUpload(),
                                                         transfers->QueuedUploadCount()};
            });
        }
    }
    Step(EngineStep::TransferQueue);

    if (m_options.reusableForTesting)
        m_built = std::make_unique<StoreCheckpoint>(StoreCheckpoint::Take());
}

Engine::~Engine()
{
    // Each service goes before the ones it calls; the destructors clear their globals.
    if (m_shares)
        m_shares->SetUploadStateHook({});
    m_transfers.reset();
    if (m_peer) {
        m_peer->SetShareListHook({});
        m_peer->SetReplyOwedHook({});
    }
    m_shares.reset();
    m_invoker.reset();
    m_dnet.reset();
    m_peer.reset();
    m_server.reset();
    m_saver.reset();
    m_timers.reset();
}

void Engine::HookShareLists()
{
    SharedFoldersManager* shares = m_shares.get();
    // A list read is handed over as it came: a copy of a million files would take the GUI
    // thread for longer than the reading did.
    m_peer->SetReceivedListHook(
        [shares](const std::string& user, std::shared_ptr<const ReceivedShareList> list) {
            shares->KeepUserShare(user, std::move(list));
        });
    m_peer->SetShareListHook(
        [shares](const std::string& user) { shares->OnShareListRequested(user); });
    m_peer->SetReplyOwedHook([shares](const std::string& user) { return shares->OwesReply(user); });
}

void Engine::ResetForTesting()
{
    if (!m_built)
        throw std::logic_error("Engine::ResetForTesting needs EngineOptions::reusableForTesting");
    if (m_shares)
        m_shares->ResetForTesting();
    if (m_dnet)
        m_dnet->ResetForTesting();
    if (m_peer) {
        m_peer->ResetForTesting();
        if (m_shares) {
            HookShareLists();
        } else {
            m_peer->SetShareListHook({});
            m_peer->SetReplyOwedHook({});
        }
    }
    m_server->ResetForTesting();
    d.RemoveAllItems();
    m_built->Restore();
}

void Engine::Step(EngineStep step)
{
    if (m_options.afterStep)
        m_options.afterStep(step);
}

QString Engine::StoreFilePath()
{
    return QDir::homePath() + QStringLiteral("/.Quorvale");
}

bool Engine::Load(const QString& path)
{
    Log(LogCategories::kConfigurationData, 1,
        QStringLiteral("Loading configuration data from %1").arg(path));
    try {
        m_saver->Load(path);
    } catch (const DataLoadFailure&) {
        Log(LogCategories::kConfigurationData, 1,
            QStringLiteral("Failure to load configuration data."));
        return false;
    }
    Log(LogCategories::kConfigurationData, 1, QStringLiteral("Data loaded successfully."));
    return true;
}

bool Engine::Shutdown(const QString& path)
{
    // What a scan applied so far is a consistent picture; the rest waits for the next start.
    if (m_shares)
        m_shares->StopScans();
    // Downloads the user asked for are kept, also those not made yet.
    if (m_transfers)
        m_transfers->FinishAddingDownloads();
    m_server->Disconnect();
    // Swept first, so that nothing unreachable is written.
    d.RemoveDisconnectedItems();
    return m_saver->Save(path);
}

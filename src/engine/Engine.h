#pragma once

// The engine's composition root: the one place that builds the services without widgets, in
// start-up order, makes every connection between them and tears them down in shutdown order.
// The shell, headless hosts, tests and fuzz targets all build the engine here.
//
// How a subsystem plugs in:
//   - its store types: a table in <Subsystem>Schema.cpp of its own folder, declared by a static
//     CreateData(DataSaver&) of its service, with the names in a <Subsystem>Schema.h;
//   - its service: an EngineStep, an option if some hosts go without it, a member below, and
//     its lines in Engine::Engine (construction, then its connections to the services before
//     it) and in Engine::~Engine (deletion, in shutdown order);
//   - its constructor throws MissingDependencyError (store/Dependency.h) when a service it calls
//     was not built, rather than skipping the wiring;
//   - its process-wide global: declared in store/Services.h with the hosts that leave it out, set
//     by its constructor and cleared by its destructor;
//   - what it keeps beside the store (sockets, buffers, counters) dropped by a ResetForTesting
//     of its own, which Engine::ResetForTesting calls.

#include <QString>

#include <functional>
#include <memory>

class DataSaver;
class DelayedInvoker;
class DNetManager;
class PeerMessenger;
class Server;
class SharedFoldersManager;
class StoreCheckpoint;
class TimerManager;
class TransferQueueManager;

// The steps of start-up, in their order.
enum class EngineStep
{
    Timers,             // the shared timers
    StoreFile,          // the store file handler
    Server,             // the server connection and its store types
    PeerMessenger,      // the peer connection manager's store types, and the manager when built
    SettingsTypes,      // global, vglobal and global_value
    DelayedInvoker,     // the coalescing delayed call
    DistributedNetwork, // the distributed network's store types, and the manager when built
    SharedFolders,      // the shares' store types, and the shared-folder manager when built
    TransferQueue,      // the transfer engine's store types, and the transfer engine when built
};

struct EngineOptions
{
    // The peer connection manager. Without it the server connection works alone; its store
    // types are declared all the same, since server messages fill them.
    bool peerMessenger = true;
    // The distributed network. It dials and takes connections through the peer connection
    // manager, so it is built only where that is. Its store types are declared all the same.
    bool distributedNetwork = true;
    // The shared-folder manager. Its store types are declared all the same.
    bool sharedFolders = true;
    // The transfer engine. It talks to peers, so it is built only with the peer connection
    // manager. Its store types are declared all the same.
    bool transferQueue = true;

    // Called after each step of start-up, before the next: where the shell interleaves its own
    // steps (its receivers of the server's signals, for one, before the other services').
    std::function<void(EngineStep)> afterStep;

    // Test-only: the server connection goes to 127.0.0.1 on this port (0: the real server).
    quint16 localServerPort = 0;
    // Test-only: the peer listeners take 127.0.0.1 and ports the system picks.
    bool loopbackListeners = false;
    // Test-only: the engine keeps what the store held once it was built, so that
    // ResetForTesting can put it back.
    bool reusableForTesting = false;
};

class Engine
{
public:
    explicit Engine(const EngineOptions& options = EngineOptions());
    // Deletes the services in shutdown order: the transfer engine, the shared-folder manager,
    // the delayed invoker, the distributed network, the peer connection manager, the server
    // connection, the store file handler, the timers.
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Where the store file lives: ".Quorvale" in the home directory.
    static QString StoreFilePath();

    // Loads the store file; every service that waits for the data finishes its set-up before
    // this returns (the peer connection manager starts listening). A missing file counts as
    // loaded. False when the file could not be read: it was moved aside, the store keeps its
    // defaults, and the services were told all the same. The host then calls
    // SharedFoldersManager::Init, at its own place in start-up, to scan the shares.
    bool Load(const QString& path);

    // The shutdown steps before the services go: give up the share scans, disconnect from the
    // server, sweep the store and save it. Returns whether the file was saved; a failed save
    // leaves the old file.
    bool Shutdown(const QString& path);

    // Test-only, with EngineOptions::reusableForTesting: puts the services and the store back as
    // they were when the engine was built, for hosts that reuse one engine for many runs (the
    // fuzz targets). The services drop their connections and what they keep beside the store,
    // the engine's own hooks replace any a run installed, and the store is emptied (each item
    // with its removal events, which free what items own) and filled again as it was. Posted
    // events are the host's: the sockets of the last run may still have deletions pending.
    void ResetForTesting();

    TimerManager& timers() { return *m_timers; }
    DataSaver& saver() { return *m_saver; }
    Server& server() { return *m_server; }
    // Null unless built (EngineOptions::peerMessenger).
    PeerMessenger* peer() { return m_peer.get(); }
    DelayedInvoker& invoker() { return *m_invoker; }
    // Null unless built (EngineOptions::distributedNetwork, with the peer connection manager).
    DNetManager* dnet() { return m_dnet.get(); }
    // Null unless built (EngineOptions::sharedFolders).
    SharedFoldersManager* shares() { return m_shares.get(); }
    // Null unless built (EngineOptions::transferQueue, with the peer connection manager).
    TransferQueueManager* transfers() { return m_transfers.get(); }

private:
    void Step(EngineStep step);
    // The peer connection manager answers share-list requests through the shares.
    void HookShareLists();

    EngineOptions m_options;
    std::unique_ptr<TimerManager> m_timers;
    std::unique_ptr<DataSaver> m_saver;
    std::unique_ptr<Server> m_server;
    std::unique_ptr<PeerMessenger> m_peer;
    std::unique_ptr<DelayedInvoker> m_invoker;
    std::unique_ptr<DNetManager> m_dnet;
    std::unique_ptr<SharedFoldersManager> m_shares;
    std::unique_ptr<TransferQueueManager> m_transfers;
    std::unique_ptr<StoreCheckpoint> m_built;
};

#pragma once

// The process-wide services, by the names every other part of the program reaches them under.
// Each pointer is set by its service's constructor and cleared by its destructor; the engine's
// root (engine/Engine.h) builds them in start-up order and deletes them in shutdown order.
//
// How a service is reached:
//   - one that every host builds is used directly; a service that calls it checks it once, in
//     its constructor (RequireService, store/Dependency.h);
//   - one that some hosts leave out (the EngineOptions flag is named below) is checked at each
//     use, and the check names the flag, so that a reader sees why it may be missing there;
//   - forms go through the shell's checked accessors (shell/ShellServices.h), which log a
//     missing service instead of skipping it in silence.
//
// Declared here, below every service, so that each folder can name the services under it
// without including a folder that links above it. The shell's own services (the tool bars, the
// size manager, the diagnostics page, the main window) are declared in shell/ShellServices.h.

class Data;
class DataSaver;
class DelayedInvoker;
class DNetManager;
class PeerMessenger;
class PortForwarder;
class Server;
class SharedFoldersManager;
class TimerManager;
class TransferQueueManager;

// The object store. Not built by anyone: it lives for the whole process.
extern Data d;
// The three shared timers (30 s, 5 min, 1 h). Every host.
extern TimerManager* timerManager;
// The store file handler. Every host.
extern DataSaver* dataSaver;
// The server connection. Every host.
extern Server* gp_server;
// UPnP port mapping on its worker thread, made by the server connection. Every host.
extern PortForwarder* portForwarder;
// The peer connection manager. Left out where EngineOptions::peerMessenger is false.
extern PeerMessenger* peerMessenger;
// The coalescing delayed call. Every host.
extern DelayedInvoker* delayedInvoker;
// The distributed network. Left out where EngineOptions::distributedNetwork is false, and
// wherever the peer connection manager is.
extern DNetManager* dnetManager;
// The shared-folder manager. Left out where EngineOptions::sharedFolders is false.
extern SharedFoldersManager* sharedFoldersManager;
// The transfer engine. Left out where EngineOptions::transferQueue is false, and wherever the
// peer connection manager is.
extern TransferQueueManager* transferQueueManager;

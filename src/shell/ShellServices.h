#pragma once

// The shell's own process-wide services, beside the engine's (store/Services.h), and the one way
// forms reach any service.
//
// The main window builds every service before its forms and deletes them after the last form
// goes, so in the program each accessor below returns its service. A host that builds forms
// without one (a test, a tool) gets null and one log line, "<the service> is not available.",
// under the service's category. Forms never name a service's global themselves.
//
// A form is whole or fails loudly. What it cannot work without (the service its rows come from,
// the tool bar its actions reach it through) it takes when it is made, through a Require...
// accessor, which raises MissingDependencyError naming the form and the service: a form left
// half wired would show nothing with nobody the wiser. A service it can do without is reached at
// the place of use only: the action asks once at its start and returns at once on null, and the
// line says why nothing happened.

#include "store/Services.h"

class ActionSetToolBar;
class DiagnosticsForm;
class EventToolBar;
class MainWindow;
class SizeManager;

// The context tool bar. Made by the main window's layout, before any form.
extern ActionSetToolBar* actionBar;
// The event tool bar (unseen-event alerts). Made by the main window at start-up.
extern EventToolBar* eventToolBar;
// Saved window, splitter and column geometry. Made by the main window at start-up.
extern SizeManager* sizeManager;
// The diagnostics page with the log. A page of the main window's layout.
extern DiagnosticsForm* diagnosticsForm;
// The main window. Forms reach what it does through the hooks of shell/FormHooks.h.
extern MainWindow* mainWindow;

// Each returns its service, or null after logging that it is not available.
Server* ReachServer();
PortForwarder* ReachPortForwarder();
PeerMessenger* ReachPeerMessenger();
SharedFoldersManager* ReachSharedFolders();
TransferQueueManager* ReachTransfers();
TimerManager* ReachTimers();
DataSaver* ReachDataSaver();
DelayedInvoker* ReachDelayedInvoker();
ActionSetToolBar* ReachActionBar();
EventToolBar* ReachEventToolBar();
SizeManager* ReachSizeManager();

// Each returns its service, or throws MissingDependencyError saying that neededBy ("The chat
// form") needs it.
Server& RequireServer(const char* neededBy);
PeerMessenger& RequirePeerMessenger(const char* neededBy);
TransferQueueManager& RequireTransfers(const char* neededBy);
DataSaver& RequireDataSaver(const char* neededBy);
ActionSetToolBar& RequireActionBar(const char* neededBy);

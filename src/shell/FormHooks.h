#pragma once

// How a form opens or changes one that links above it. The forms' folders depend on each other in
// one order (ui/dialogs and ui/chat, then ui/users, then ui/search and ui/transfers, then the
// main window), and none includes a header of one above it. Where a lower form must reach a
// higher one (the user menu opens a chat tab or a share browser, a colour save recolours the
// transfers), it calls the hook here; the form that owns the target sets the hook in its Init
// and clears it when it goes. An unset hook logs that it is not set and does nothing.

#include <functional>
#include <string>

class QMenu;

struct FormHooks
{
    // Opens the user's private chat tab, or brings the open one forward. Set by the main window.
    std::function<void(const std::string& user)> openChat;
    // Opens the user's share-browser tab, asking for the list when the tab is new, or brings the
    // open one forward. Set by the share browser.
    std::function<void(const std::string& user)> browseUser;
    // Shows the user's note dialog, making it when there is none. Set by the users page.
    std::function<void(const std::string& user)> openNote;
    // Appends the per-user entries to a context menu. Set by the users page.
    std::function<void(QMenu* menu, const std::string& user)> fillUserMenu;
    // Gives every transfer row the colour of its status from the colour settings. Set by the
    // transfers form.
    std::function<void()> recolourTransfers;

    // The process's one set.
    static FormHooks& Get();

    // Each runs its hook of the one set.
    static void OpenChat(const std::string& user);
    static void BrowseUser(const std::string& user);
    static void OpenNote(const std::string& user);
    static void FillUserMenu(QMenu* menu, const std::string& user);
    static void RecolourTransfers();
};

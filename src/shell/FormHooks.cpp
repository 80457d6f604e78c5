#include "shell/FormHooks.h"

#include "store/Log.h"

namespace {

// True when the hook is set; otherwise the line says which one was missed.
template <class Hook> bool IsSet(const Hook& hook, const char* name)
{
    if (!hook)
        Log(LogCategories::kConfigurationData, 1,
            QStringLiteral("The hook to %1 is not set.").arg(QLatin1String(name)));
    return bool(hook);
}

} // namespace

FormHooks& FormHooks::Get()
{
    static FormHooks hooks;
    return hooks;
}

// Each runs a copy of its hook: a hook may set or clear its own slot while it runs.

void FormHooks::OpenChat(const std::string& user)
{
    const auto hook = Get().openChat;
    if (IsSet(hook, "open a chat"))
        hook(user);
}

void FormHooks::BrowseUser(const std::string& user)
{
    const auto hook = Get().browseUser;
    if (IsSet(hook, "browse a user"))
        hook(user);
}

void FormHooks::OpenNote(const std::string& user)
{
    const auto hook = Get().openNote;
    if (IsSet(hook, "open a note"))
        hook(user);
}

void FormHooks::FillUserMenu(QMenu* menu, const std::string& user)
{
    const auto hook = Get().fillUserMenu;
    if (IsSet(hook, "fill a user menu"))
        hook(menu, user);
}

void FormHooks::RecolourTransfers()
{
    const auto hook = Get().recolourTransfers;
    if (IsSet(hook, "recolour the transfers"))
        hook();
}

#pragma once

// The room and chat forms without the main window: the server connection against a fake server
// (from the server tests' environment), the shell's images, store types and size manager, a context
// tool bar with the shell's sets, an event tool bar whose window side is recorded, a tab widget for
// the forms, and the clock held at 2026-03-05 14:05:09 ("Mar 5 2:05:09 pm").

#include "icons/Icons.h"
#include "server/ServerTestEnv.h"
#include "shell/ActionSetToolBar.h"
#include "shell/EventToolBar.h"
#include "shell/RoomMessages.h"
#include "shell/ShellActionSets.h"
#include "shell/ShellTypes.h"
#include "shell/SizeManager.h"
#include "shell/ToolBarTexts.h"
#include "store/Schema.h"
#include "store/Settings.h"
#include "support/HeldClock.h"
#include "ui/chat/ChatLog.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QTabWidget>
#include <QVBoxLayout>
#include <QWidget>

// The rooms a flood fills: user i of a room. Mixed case, names that differ only in case (equal
// to the list), figures and countries that repeat, so that ties are many.
inline RoomUser FloodUser(int i)
{
    static const char* const kStems[] = {"ann", "Bob", "carla", "ANN", "eve", "Zo\xeb"};
    static const char* const kCountries[] = {"de", "", "FR", "nl"};
    return RoomUser(QByteArray(kStems[i % 6]) + QByteArray::number(i / 6), quint32(i % 5) * 512,
                    quint32((i * 7919) % 90), kCountries[i % 4]);
}

// The main window's side of the event tool bar: the tray balloons it would show.
struct RecordedAlerts : AlertWindow
{
    void SetApplicationIcon(const QString&) override {}
    void ResetApplicationIcon() override {}
    void PopupAlert(const QString& text) override { popups << text; }
    bool IsActiveWindow() const override { return true; }

    QStringList popups;
};

// The users' notes, which the window declares itself: the room tab marks the users who have one.
inline void DeclareUserNotes()
{
    const SchemaType note[] = {
        {ShellTypes::UserNote, ReachablePrimacy, false, true, ValueKind::Utf8}};
    const SchemaRelation noted[] = {{"user", ShellTypes::UserNote, Many, One}};
    DeclareSchema(MakeSchema(note, noted));
}

struct ChatTestScene
{
    ChatTestScene()
    {
        Icons::InitResources();
        ShellTypes::DeclareRoomNode();
        ShellTypes::DeclareUserChatWidget();
        ShellTypes::DeclareChatLogForm();
        DeclareUserNotes();
        bar = new ActionSetToolBar(&window);
        using namespace ShellActions;
        for (const char* set : {RoomListSet, RoomSet, SharedFoldersSet, LoginOptionsSet})
            AddSet(*bar, kEarlySets, kEarlySetRowCount, set);
        AddChatLogSets(*bar);
        auto* layout = new QVBoxLayout(&window);
        layout->addWidget(bar);
        layout->addWidget(events);
        layout->addWidget(tabs);
        // Logging on, as the shell's defaults have it; every case starts without logs.
        Settings::SetYes(SettingKeys::LogRoomChat, true);
        Settings::SetYes(SettingKeys::LogPrivateChat, true);
        QDir(QDir::homePath() + "/Quorvale Chat Logs").removeRecursively();
    }
    ~ChatTestScene() { QDir(QDir::homePath() + "/Quorvale Chat Logs").removeRecursively(); }

    // The bar's visible action texts for the widget, as its focus would show them.
    QStringList Shown(QWidget* widget, const char* set)
    {
        bar->Clear();
        bar->ChangeSet(widget, set);
        return ShownActionTexts(bar);
    }

    static QByteArray ReadLog(ChatLog::Kind kind, const std::string& name)
    {
        QFile file(ChatLog::Path(kind, name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // The texts of the event tool bar's buttons.
    QStringList Alerts() const
    {
        QStringList texts;
        for (QAction* action : events->actions()) {
            if (!action->text().isEmpty())
                texts << action->text();
        }
        return texts;
    }

    HeldClock clock{QDateTime(QDate(2026, 3, 5), QTime(14, 5, 9))};
    ServerTestEnv env;
    SizeManager sizes;
    RecordedAlerts alerts;
    QWidget window;
    ActionSetToolBar* bar = nullptr;
    EventToolBar* events = new EventToolBar(&alerts, &window);
    QTabWidget* tabs = new QTabWidget;
};

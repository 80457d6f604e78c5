#pragma once

// The room and chat forms without the main window: the server connection against a fake server
// (from the server tests' environment), the shell's store types, a context tool bar with the
// shell's sets, and a tab widget for the forms.

#include "server/ServerTestEnv.h"
#include "shell/ActionSetToolBar.h"
#include "shell/ShellActionSets.h"
#include "shell/ShellTypes.h"
#include "ui/chat/ChatLog.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QTabWidget>
#include <QVBoxLayout>
#include <QWidget>

struct ChatTestScene
{
    ChatTestScene()
    {
        ShellTypes::DeclareRoomNode();
        ShellTypes::DeclareUserChatWidget();
        ShellTypes::DeclareChatLogForm();
        bar = new ActionSetToolBar(&window);
        using namespace ShellActions;
        for (const char* set : {RoomListSet, RoomSet, SharedFoldersSet, LoginOptionsSet})
            AddSet(*bar, kEarlySets, kEarlySetRowCount, set);
        AddChatLogSets(*bar);
        auto* layout = new QVBoxLayout(&window);
        layout->addWidget(bar);
        layout->addWidget(tabs);
        // Every case starts without logs.
        QDir(QDir::homePath() + "/Quorvale Chat Logs").removeRecursively();
    }
    ~ChatTestScene() { QDir(QDir::homePath() + "/Quorvale Chat Logs").removeRecursively(); }

    // The bar's visible action texts for the widget, as its focus would show them.
    QStringList Shown(QWidget* widget, const char* set)
    {
        bar->Clear();
        bar->ChangeSet(widget, set);
        QStringList shown;
        for (QAction* action : bar->actions()) {
            if (action->isVisible() && !action->text().isEmpty())
                shown << action->text();
        }
        return shown;
    }

    static QByteArray ReadLog(ChatLog::Kind kind, const std::string& name)
    {
        QFile file(ChatLog::Path(kind, name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    ServerTestEnv env;
    QWidget window;
    ActionSetToolBar* bar = nullptr;
    QTabWidget* tabs = new QTabWidget;
};

#pragma once

#include "shell/EventToolBar.h"
#include "shell/ResizableWindow.h"
#include "shell/ShellServices.h"
#include "store/Data.h"
#include "store/Events.h"
#include "store/SlicedJob.h"
#include "ui/chat/RowRelisting.h"

#include <QKeySequence>
#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <QSystemTrayIcon>

#include <ctime>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class ChatForm;
class QTreeWidgetItem;
class DataDialog;
class Engine;
class QTreeWidgetItem;
class Server;
class SizeManager;
class TypeNavigatorDialog;
class Ui_MainWindow;

// The program's one window and its composition root: Init builds every service in start-up order
// (the engine's through Engine, the shell's own steps in between), loads the store file and
// logs in; the destructor saves the store and tears everything down again. Its pages hold every
// form of the program; the window mirrors the server connection in its Connection menu and its
// icon, reports refused logins, owns the tray icon and runs the half-minute sweep and the
// five-minute save of the store.
class MainWindow : public QMainWindow, public DataHandler, public AlertWindow
{
    Q_OBJECT

public:
    // The window's position and size, for the size manager.
    class SizeProxy : public ResizableWindow
    {
    public:
        int GetX() override;
        int GetY() override;
        int GetWidth() override;
        int GetHeight() override;
        void SetPosition(int x, int y) override;
        void SetSize(int width, int height) override;
    };

    // The keys that open the store inspection dialog and the type navigator.
    static inline const QKeySequence kShowDataKey{QStringLiteral("Ctrl+Shift+D")};
    static inline const QKeySequence kTypeNavigatorKey{QStringLiteral("Ctrl+Shift+T")};

    explicit MainWindow(QWidget* parent = nullptr);
    // Disconnects, sweeps and saves the store, then takes down the window's widgets while the
    // services they call still live, then the services.
    ~MainWindow() override;

    // Called once, after the window is shown and before the event loop runs.
    void Init();

    // Who is there to answer when the last save fails.
    enum class Ending
    {
        // The user closed the window: a failed save asks to try again or to quit without saving.
        Attended,
        // A termination signal (a desktop logout, a service manager): nobody is. A failed save
        // goes to stderr and the diagnostics log only, and the previous file stays.
        Unattended,
    };
    // The first steps of shutdown: the forms and tool bars stop reacting, the inspection dialogs
    // close, and the store is swept and saved. Whether the store file was saved (true when the
    // engine was never built). The destructor ends the session attended unless it was ended.
    bool EndSession(Ending ending);

    // AlertWindow: the application icon (window and tray), the connection state's icon, a tray
    // balloon (plain text) where there is a tray.
    void SetApplicationIcon(const QString& icon) override;
    void ResetApplicationIcon() override;
    void PopupAlert(const QString& text) override;
    bool IsActiveWindow() const override;

    // The resource path of the icon the application shows now.
    const QString& ApplicationIcon() const { return m_applicationIcon; }

    // The chat page (MainWindowChats.cpp): the user's private chat tab, made when missing and
    // tied to the user through the store; OpenChatForm also brings it to the front.
    ChatForm* GetChatForm(std::string user);
    void OpenChatForm(std::string user);

public Q_SLOTS:
    void OnConnecting();
    void OnConnected();
    void OnDisconnected();
    void OnConnectionFailed(std::string reason);
    void OnConnectMenuOptionClicked();
    void OnDisconnectMenuOptionClicked();
    void OnTrayIconActivated(QSystemTrayIcon::ActivationReason reason);
    void EveryHalfMinute();
    void EveryFiveMinutes();
    // The options page (MainWindowOptions.cpp).
    void OnUPnPCheckboxToggled(bool checked);
    void OnMinimizeToTrayCheckboxToggled(bool checked);
    void OnExpandNewSharesCheckboxToggled(bool checked);
    void OnLogRoomChatCheckBoxClicked(bool checked);
    void OnLogPrivateChatCheckBoxClicked(bool checked);
    void OnChatTimestampsBoxIndexChanged(int index);
    void OnOptionsTabSelectionChanged(int index);
    void OnSharedFilesRescanned(int added, int removed);
    void OnSelectColors();
    void OnShowData();
    void OnTypeNavigator();
    void OnChangeUsernamePasswordClicked();
    // The rooms page (MainWindowRooms.cpp).
    void OnRoomListItemDoubleClicked(QTreeWidgetItem* row, int column);
    void OnRoomTabClosed(int index);
    void OnRoomListItemSelectionChanged();
    void OnPrivateRoomAddEnabled(bool enabled);
    // The chat page.
    void OnPrivateChat(std::string user, std::string text, time_t time, bool isNew);
    void OnChatTabClosed(int index);
    // The shell's tool-bar actions (MainWindowDispatch.cpp).
    void OnToolBarActionTriggered(QWidget* widget, std::string id);

protected:
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // Init's own steps around the engine's.
    void AfterServer();
    void AfterSettingsTypes();
    void AfterSharedFolders();
    void AfterTransferEngine();
    void LoadStoreFile();
    // The last save, which the user may try again when it fails and someone is there.
    bool SaveAtShutdown(Ending ending);
    // The first scan of the shares, after which rescans are reported.
    void StartShares();
    void ShowSavedOptions();
    void SetConnectActions(bool connectEnabled, bool disconnectEnabled);

    // The signals the designed layout connects to the window, before start-up connects any.
    void ConnectLayout();
    // Start-up steps of the pages, each called by Init at its place.
    void ConnectLogCheckBoxes();
    void RegisterSharedFolderHandlers();
    void WatchUsername();
    void WatchNewListeningPort();
    void RegisterRoomListHandlers();
    void AddShellActionSets();
    void AddChatLogActionSets();
    void RegisterChatPage();
    void RegisterUserOnlineHandlers();

    // Store handlers of the options page.
    void OnSharedFolderAdded(Item* folder);
    void OnSharedFolderRemoved(Item* folder);
    void OnSharedFolderChange(ConnectionInfo info);
    void OnUsernameChanged(Item* key);
    void OnNewListeningPortChanged(Item* key);
    // Store handlers of the rooms page.
    void OnRoomAdded(Item* room);
    void OnRoomUserCountChanged(Item* room);
    void OnBecomingRoomOwner(Item* room);
    void OnBecomingRoomOperator(Item* room);
    void OnBecomingRoomMember(Item* room);
    void OnLosingRoomRole(Item* room);
    void OnEnteredRoom(ConnectionInfo& info);
    // Sorts the room list again from the next turn of the event loop on, once however often
    // asked meanwhile.
    void ResortRoomList();
    // Puts a new room's row in the room list at its place, or with the others that came at once.
    void ListRoomRow(QTreeWidgetItem* row);
    // A step of m_roomRows: of a listing of the rows, or the start of one for the rows that came
    // or a sort; false once nothing is left to do.
    bool RoomRowsStep();
    // Store handlers of the chat page.
    void OnUserOnline(Item* user);
    void OnUserOffline(Item* user);
    void SetChatTabIcon(Item* user, bool online);
    // Shows the first private message not yet shown, opening its tab if need be; false once
    // none is left.
    bool DeliverChatStep();
    void OpenRoomChatLog(ItemPtr room);

    std::unique_ptr<Ui_MainWindow> ui;
    Server* server = nullptr;
    SizeProxy sizeProxy;
    QSystemTrayIcon trayIcon;
    std::unique_ptr<Engine> m_engine;
    std::unique_ptr<SizeManager> m_sizeManager;
    QString m_applicationIcon;
    // The store inspection dialog deletes itself when closed: the guard then reads null.
    QPointer<DataDialog> dataDialog;
    QPointer<TypeNavigatorDialog> typeNavigatorDialog;
    // The room list keeps its rows in order itself: a sorting tree sorts every row again at the
    // next turn after each row added, and a login's list brings a hundred thousand rooms. Rows
    // of rooms that came by the hundred wait out of the list, in the order they came, for a
    // listing that merges them in a step at a time (RowRelisting); a few go in one by one.
    static constexpr size_t kMaxRoomRowsInsertedOneByOne = 64;
    std::vector<QTreeWidgetItem*> m_newRoomRows;
    size_t m_roomRowsInsertedOneByOne = 0;
    bool m_roomListSortPending = false;
    std::unique_ptr<RowRelisting> m_roomRelisting;
    RelistPace m_roomListPace;
    SlicedJob m_roomRows{[this] { return RoomRowsStep(); }};
    // Private messages not yet shown (user, text), in the order they came, shown a message a
    // step: thousands of users writing at once, each opening a tab, must not hold the window.
    std::deque<std::pair<std::string, std::string>> m_pendingChats;
    SlicedJob m_chatDelivery{[this] { return DeliverChatStep(); }};
    bool m_sessionEnded = false;
    bool m_savedAtEnd = false;
};

#pragma once

#include "shell/EventToolBar.h"
#include "shell/ResizableWindow.h"
#include "store/Events.h"

#include <QMainWindow>
#include <QString>
#include <QSystemTrayIcon>

#include <memory>
#include <string>

class Engine;
class Server;
class SizeManager;
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

    explicit MainWindow(QWidget* parent = nullptr);
    // Disconnects, sweeps and saves the store, then takes down the window's widgets while the
    // services they call still live, then the services.
    ~MainWindow() override;

    // Called once, after the window is shown and before the event loop runs.
    void Init();

    // AlertWindow: the application icon (window and tray), the connection state's icon, a tray
    // balloon (plain text) where there is a tray.
    void SetApplicationIcon(const QString& icon) override;
    void ResetApplicationIcon() override;
    void PopupAlert(const QString& text) override;
    bool IsActiveWindow() const override;

    // The resource path of the icon the application shows now.
    const QString& ApplicationIcon() const { return m_applicationIcon; }

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
    void ShowSavedOptions();
    void SetConnectActions(bool connectEnabled, bool disconnectEnabled);

    std::unique_ptr<Ui_MainWindow> ui;
    Server* server = nullptr;
    SizeProxy sizeProxy;
    QSystemTrayIcon trayIcon;
    std::unique_ptr<Engine> m_engine;
    std::unique_ptr<SizeManager> m_sizeManager;
    QString m_applicationIcon;
};

extern MainWindow* mainWindow;

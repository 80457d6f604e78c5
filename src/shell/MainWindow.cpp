#include "shell/MainWindow.h"

#include "engine/Engine.h"
#include "icons/Icons.h"
#include "server/Server.h"
#include "server/ServerSchema.h"
#include "shares/SharedFoldersManager.h"
#include "shell/ActionSetToolBar.h"
#include "shell/DiagnosticsForm.h"
#include "shell/DisplayText.h"
#include "shell/FormHooks.h"
#include "shell/ModalDialogs.h"
#include "shell/OptionsPage.h"
#include "shell/SettingsDefaults.h"
#include "shell/ShellState.h"
#include "shell/ShellTypes.h"
#include "shell/SizeManager.h"
#include "shell/UIFunctions.h"
#include "store/Data.h"
#include "store/DataSaver.h"
#include "store/Log.h"
#include "store/Schema.h"
#include "store/Settings.h"
#include "store/TimerManager.h"
#include "ui/chat/RowRelisting.h"
#include "ui/dialogs/ChangeUsernamePasswordDialog.h"
#include "ui/dialogs/DataDialog.h"
#include "ui/dialogs/TypeNavigatorDialog.h"
#include "ui/search/SearchForm.h"
#include "ui/search/SharesForm.h"
#include "ui/search/WishListSearcher.h"
#include "ui/transfers/TransfersForm.h"
#include "ui/users/UserListForm.h"
#include "ui/users/UserNoteDialog.h"

#include "ui_MainWindow.h"

#include <QApplication>
#include <QFile>
#include <QMoveEvent>
#include <QResizeEvent>
#include <QShortcut>

#include <cstdio>

namespace {

const QString kOnlineIcon = QStringLiteral(":/icons/online_icon");
const QString kOfflineIcon = QStringLiteral(":/icons/offline_icon");
constexpr int kBalloonMs = 10000;
// What start-up gives the room list out of the window's width.
constexpr int kRoomListWidth = 220;

using namespace ShellTypes;

// The wish list's texts and the notes on users, kept in the store file; a user is saved when it
// has a note.
const SchemaType kSavedTypes[] = {
    {WishListItem, RootPrimacy, false, true, ValueKind::Utf8},
    {WishListItemEnabled, ValuePrimacy, true, true, ValueKind::None},
    {UserNote, ReachablePrimacy, false, true, ValueKind::Utf8},
};
const SchemaRelation kSavedRelations[] = {
    {WishListItem, WishListItemEnabled, Many, One},
    {ServerTypes::User, UserNote, Many, One},
};
const SchemaSaved kSaved[] = {
    {WishListItem},
    {WishListItemEnabled},
    {UserNote},
    {ServerTypes::User, UserNote},
};

QString SettingText(SettingKey key)
{
    return Utf8Text(Settings::Text(key));
}

void ShowInformation(QWidget* parent, const QString& title, const QString& text)
{
    ModalDialogs::MessageBox box;
    box.icon = QMessageBox::Information;
    box.parent = parent;
    box.title = title;
    box.text = text;
    box.buttons = QMessageBox::Ok;
    ModalDialogs::Current().Show(box);
}

} // namespace

int MainWindow::SizeProxy::GetX()
{
    return mainWindow->geometry().x();
}

int MainWindow::SizeProxy::GetY()
{
    return mainWindow->geometry().y();
}

int MainWindow::SizeProxy::GetWidth()
{
    return mainWindow->geometry().width();
}

int MainWindow::SizeProxy::GetHeight()
{
    return mainWindow->geometry().height();
}

void MainWindow::SizeProxy::SetPosition(int x, int y)
{
    const QRect now = mainWindow->geometry();
    mainWindow->setGeometry(x, y, now.width(), now.height());
}

void MainWindow::SizeProxy::SetSize(int width, int height)
{
    const QRect now = mainWindow->geometry();
    mainWindow->setGeometry(now.x(), now.y(), width, height);
}

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent), ui(std::make_unique<Ui_MainWindow>())
{
    Icons::InitResources();
    // One window per process; a window made after another was torn down starts afresh.
    g_showIsOver = false;
    mainWindow = this;
    ui->setupUi(this);
    SetApplicationIcon(kOfflineIcon);

    ui->roomList->setColumnWidth(0, 150);
    ui->roomList->setColumnWidth(1, 30);
    ui->roomSplitter->setStretchFactor(0, 1);
    ui->roomSplitter->setStretchFactor(1, 0);
    ui->roomList->setHeaderLabels({QStringLiteral("Room Name"), QStringLiteral("Users")});
    ui->sharedFoldersList->setColumnWidth(0, 400);
    ui->sharedFoldersList->setHeaderLabels(
        {QStringLiteral("Shared folder"), QStringLiteral("Accessible to")});
    ConnectLayout();
}

MainWindow::~MainWindow()
{
    if (!m_sessionEnded)
        EndSession(Ending::Attended);

    // The store changes below (widgets removing their items) are no business of the window's.
    RemoveDataHandlers();
    // Room rows out of the list: a listing under way, and rows waiting for one.
    m_roomRelisting.reset();
    qDeleteAll(m_newRoomRows);
    m_newRoomRows.clear();

    // The forms, room tabs, dialogs and tool bars go while the services they call (a room tab
    // leaves its room through the server connection) are still there.
    delete wishListSearcher;
    for (QDialog* dialog : findChildren<QDialog*>(Qt::FindDirectChildrenOnly))
        delete dialog;
    delete takeCentralWidget();
    delete eventToolBar;
    delete ui->mainToolBar;
    delete ui->menuBar;
    delete ui->statusBar;

    // The services, each before those it calls; their globals go with them.
    m_engine.reset();
    server = nullptr;
    ui.reset();
    m_sizeManager.reset();

    if (mainWindow == this)
        mainWindow = nullptr;
}

void MainWindow::Init()
{
    EngineOptions options;
    options.afterStep = [this](EngineStep step) {
        switch (step) {
        case EngineStep::Server:
            AfterServer();
            break;
        case EngineStep::SettingsTypes:
            AfterSettingsTypes();
            break;
        case EngineStep::SharedFolders:
            AfterSharedFolders();
            break;
        default:
            break;
        }
    };
    // The timers, the store file handler, the server connection, the peer connection manager,
    // the settings types, the delayed invoker, the distributed network, the shared-folder
    // manager and the transfer engine, with the window's steps in between.
    m_engine = std::make_unique<Engine>(options);
    AfterTransferEngine();
    // Before the load, so that a stored user name reaches the field.
    WatchUsername();

    SettingsDefaults::WriteBeforeLoad();
    ConnectLogCheckBoxes();
    LoadStoreFile();
    SettingsDefaults::ApplyColours();
    SettingsDefaults::WriteAfterLoad();

    // The login: asked for first when none is stored; a cancelled dialog leaves the client
    // offline until the user connects by hand.
    if (!Settings::HasValue(SettingKeys::Username)) {
        ChangeUsernamePasswordDialog dialog(true, nullptr);
        dialog.exec();
    }
    if (Settings::HasValue(SettingKeys::Username))
        server->Connect();

    ShowSavedOptions();

    m_sizeManager->RegisterResizableWindow(QStringLiteral("main_window"), &sizeProxy);
    ui->roomSplitter->setSizes({width() - kRoomListWidth, kRoomListWidth});
    m_sizeManager->RegisterSplitter(QStringLiteral("room_list_splitter"), ui->roomSplitter, {});
    m_sizeManager->RegisterTreeWidget(QStringLiteral("room_list"), ui->roomList);

    ui->userListForm->Init();

    // Only now: the login and the saved options come first.
    connect(m_engine->timers().everyHalfMinute(), &SharedTimer::timeout, this,
            &MainWindow::EveryHalfMinute);
    connect(m_engine->timers().everyFiveMinutes(), &SharedTimer::timeout, this,
            &MainWindow::EveryFiveMinutes);
    connect(&trayIcon, &QSystemTrayIcon::activated, this, &MainWindow::OnTrayIconActivated);

    UserNoteDialog::Init();
    activateWindow();
    StartShares();

    RegisterWidgetForTabFocus(ui->usernameEdit, 1);
    RegisterWidgetForTabFocus(ui->sharedFoldersList, 1);

    connect(server, &Server::PrivateRoomAddEnabled, this, &MainWindow::OnPrivateRoomAddEnabled);
    RegisterUserOnlineHandlers();
    AddChatLogActionSets();

    ui->logRoomChatCheckBox->setChecked(Settings::IsYes(SettingKeys::LogRoomChat));
    ui->logPrivateChatCheckBox->setChecked(Settings::IsYes(SettingKeys::LogPrivateChat));
}

void MainWindow::StartShares()
{
    SharedFoldersManager* shares = ReachSharedFolders();
    if (!shares)
        return;
    // The start-up rescan reports once the disk is walked, well after start-up; its report is
    // not the window's to show. The rescans after it are.
    connect(
        shares, &SharedFoldersManager::SharedFilesRescanned, this,
        [this, shares] {
            connect(shares, &SharedFoldersManager::SharedFilesRescanned, this,
                    &MainWindow::OnSharedFilesRescanned);
        },
        Qt::SingleShotConnection);
    shares->Init();
}

void MainWindow::AfterServer()
{
    server = gp_server;
    // Before any other receiver of the server's signals: the window's OnConnected runs first.
    connect(server, &Server::Connected, this, &MainWindow::OnConnected);
    connect(server, &Server::Connecting, this, &MainWindow::OnConnecting);
    connect(server, &Server::Disconnected, this, &MainWindow::OnDisconnected);
    connect(ui->action_Connect, &QAction::triggered, this, &MainWindow::OnConnectMenuOptionClicked);
    connect(ui->action_Disconnect, &QAction::triggered, this,
            &MainWindow::OnDisconnectMenuOptionClicked);
    // The store's inspection windows have no place on the pages; keys open them from anywhere
    // in the window.
    connect(new QShortcut(kShowDataKey, this), &QShortcut::activated, this,
            &MainWindow::OnShowData);
    connect(new QShortcut(kTypeNavigatorKey, this), &QShortcut::activated, this,
            &MainWindow::OnTypeNavigator);

    connect(ui->roomList, &QTreeWidget::itemDoubleClicked, this,
            &MainWindow::OnRoomListItemDoubleClicked);
    RegisterRoomListHandlers();
    AddShellActionSets();
}

void MainWindow::AfterSettingsTypes()
{
    DeclareSchema(MakeSchema(kSavedTypes, kSavedRelations, kSaved), *dataSaver);
}

void MainWindow::AfterSharedFolders()
{
    if (QSystemTrayIcon::isSystemTrayAvailable())
        trayIcon.setIcon(QIcon(kOfflineIcon));
    RegisterChatPage();
    RegisterSharedFolderHandlers();
    m_sizeManager = std::make_unique<SizeManager>();
    ui->diagnosticsForm->Init();
}

void MainWindow::AfterTransferEngine()
{
    ui->transfersForm->Init();
    ui->sharesForm->Init();
    ui->searchForm->Init();
    new WishListSearcher(this);

    setContextMenuPolicy(Qt::NoContextMenu);
    // A second row of the top tool-bar area, under the context tool bar.
    auto* events = new EventToolBar(this);
    addToolBarBreak(Qt::TopToolBarArea);
    addToolBar(Qt::TopToolBarArea, events);

    connect(server, &Server::ConnectionFailed, this, &MainWindow::OnConnectionFailed);
}

void MainWindow::LoadStoreFile()
{
    if (m_engine->Load(Engine::StoreFilePath()))
        return;
    // The unreadable file was moved aside; the client carries on from the defaults.
    ShowInformation(this, QStringLiteral("Error loading configuration data"),
                    QStringLiteral("Your client configuration data could not be loaded. Starting "
                                   "from scratch..."));
}

bool MainWindow::EndSession(Ending ending)
{
    if (m_sessionEnded)
        return m_savedAtEnd;
    m_sessionEnded = true;
    // From here on the tool bars ignore the widgets that go, and no form opens a chat.
    g_showIsOver = true;
    FormHooks::Get().openChat = nullptr;

    // The inspection dialogs go before the sweep and the save: they follow every change of the
    // store, and a sweep of a big store would only queue work for them.
    delete dataDialog;
    delete typeNavigatorDialog;

    // Downloads the user cleared are gone from the file, however far their removal had come.
    if (ui->transfersForm)
        ui->transfersForm->FinishClearing();
    m_savedAtEnd = !m_engine || SaveAtShutdown(ending);
    return m_savedAtEnd;
}

bool MainWindow::SaveAtShutdown(Ending ending)
{
    const QString path = Engine::StoreFilePath();
    bool saved = m_engine->Shutdown(path);
    // Everything changed since the last save goes unless this one succeeds: the user is told,
    // and may make room or lift the write protection and try again. Nobody is there to answer
    // after a logout or a service manager's signal, which waits only so long before it kills.
    while (!saved && ending == Ending::Attended) {
        ModalDialogs::MessageBox box;
        box.icon = QMessageBox::Warning;
        box.title = QStringLiteral("Error saving configuration data");
        box.text = QStringLiteral("Your client configuration data could not be saved: %1.\n\n"
                                  "The configuration saved before is kept. Quitting without "
                                  "saving loses every change made since then.")
                       .arg(m_engine->saver().SaveFailure());
        box.buttons = QMessageBox::Retry | QMessageBox::Discard;
        box.defaultButton = QMessageBox::Retry;
        box.buttonTexts = {{QMessageBox::Retry, QStringLiteral("Try Again")},
                           {QMessageBox::Discard, QStringLiteral("Quit Without Saving")}};
        if (ModalDialogs::Current().Show(box) != QMessageBox::Retry)
            break;
        saved = m_engine->saver().Save(path);
    }
    // For a client whose box nobody saw, the terminal has it as well.
    if (!saved)
        std::fprintf(stderr,
                     "Quorvale: Saving the configuration data failed, the previous file is "
                     "kept: %s\n",
                     qPrintable(m_engine->saver().SaveFailure()));
    return saved;
}

void MainWindow::ShowSavedOptions()
{
    // The engine keeps the download folder in the file system's encoding.
    ui->downloadFolderEdit->setText(
        QFile::decodeName(QByteArray::fromStdString(Settings::Text(SettingKeys::DownloadFolder))));
    ui->uPnPCheckBox->setChecked(Settings::IsYes(SettingKeys::UseUpnp));
    ui->autoExpandSharesCheckBox->setChecked(Settings::IsYes(SettingKeys::ExpandNewShares));
    if (Settings::IsYes(SettingKeys::MinimizeToTray)) {
        ui->minimizeToTrayCheckBox->setChecked(true);
        if (QSystemTrayIcon::isSystemTrayAvailable())
            trayIcon.setVisible(true);
    }
    ui->listeningPortEdit->setText(SettingText(SettingKeys::ListeningPort));
    WatchNewListeningPort();

    // A word the box does not know shows as the last item and is written back as its word.
    ui->chatTimestampsBox->setCurrentIndex(
        OptionsPage::ChatTimestampsIndex(Settings::Text(SettingKeys::ChatTimestamps)));
}

void MainWindow::SetApplicationIcon(const QString& icon)
{
    m_applicationIcon = icon;
    const QIcon image(icon);
    QApplication::setWindowIcon(image);
    setWindowIcon(image);
    if (QSystemTrayIcon::isSystemTrayAvailable())
        trayIcon.setIcon(image);
}

void MainWindow::ResetApplicationIcon()
{
    SetApplicationIcon(server && server->IsConnected() ? kOnlineIcon : kOfflineIcon);
}

void MainWindow::PopupAlert(const QString& text)
{
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return;
    // Alerts quote what other users wrote. Notification services read the body as markup, so
    // the text is escaped to show as it is.
    trayIcon.showMessage(QString(), text.toHtmlEscaped(), QSystemTrayIcon::Information, kBalloonMs);
}

bool MainWindow::IsActiveWindow() const
{
    return isActiveWindow();
}

void MainWindow::SetConnectActions(bool connectEnabled, bool disconnectEnabled)
{
    ui->action_Connect->setEnabled(connectEnabled);
    ui->action_Disconnect->setEnabled(disconnectEnabled);
}

void MainWindow::OnConnecting()
{
    SetConnectActions(false, false);
}

void MainWindow::OnConnected()
{
    SetConnectActions(false, true);
    SetApplicationIcon(kOnlineIcon);
    server->GetOwnPrivilegesStatus();
    // The server tells the real state soon after the login.
    Settings::Set(SettingKeys::EnablePrivateRoomAdd, "no");
}

void MainWindow::OnDisconnected()
{
    SetConnectActions(true, false);
    SetApplicationIcon(kOfflineIcon);
}

void MainWindow::OnConnectionFailed(std::string reason)
{
    QString title;
    QString text;
    if (reason == "INVALIDPASS") {
        title = QStringLiteral("Login Failure: Wrong Password");
        text = QStringLiteral("Login failed. The password you supplied does not match your "
                              "username. Please change your login settings in the Options tab "
                              "and try reconnecting.");
    } else if (reason == "INVALIDUSERNAME") {
        title = QStringLiteral("Login Failure: Username is Invalid");
        text = QStringLiteral("Login failed. The username you supplied is invalid. Please change "
                              "your login settings in the Options tab and try reconnecting.");
    } else if (!server->IsAbruptlyDisconnected()) {
        // Reconnection attempts after a lost connection fail quietly until one reaches the
        // server.
        title = QStringLiteral("Login Failure");
        text = QStringLiteral("Login failed. Reported failure reason: %1. Please change your "
                              "login settings in the Options tab and try reconnecting.")
                   .arg(CellText(Utf8Text(reason)));
    }
    if (!title.isEmpty())
        ShowInformation(this, title, text);
    SetConnectActions(true, false);
}

void MainWindow::OnConnectMenuOptionClicked()
{
    server->Connect();
}

void MainWindow::OnDisconnectMenuOptionClicked()
{
    server->Disconnect();
}

void MainWindow::OnTrayIconActivated(QSystemTrayIcon::ActivationReason reason)
{
    if (reason != QSystemTrayIcon::Trigger)
        return;
    showNormal();
    activateWindow();
}

void MainWindow::EveryHalfMinute()
{
    // A slice now, the rest on the turn's budget: the first sweep walks the whole store.
    d.SweepInSlices();
}

void MainWindow::EveryFiveMinutes()
{
    const QString path = Engine::StoreFilePath();
    Log(LogCategories::kConfigurationData, 1,
        QStringLiteral("Saving configuration data to %1").arg(path));
    // The store file handler logged why; the old file is still there and the next try is in
    // five minutes.
    if (!m_engine->saver().Save(path))
        Log(LogCategories::kConfigurationData, 1,
            QStringLiteral("The configuration data was not saved; trying again in five "
                           "minutes."));
}

void MainWindow::moveEvent(QMoveEvent* event)
{
    QMainWindow::moveEvent(event);
    // The geometry kept is that of the normal window.
    if (!isMaximized())
        Q_EMIT sizeProxy.WindowMoved(event->pos().x(), event->pos().y());
}

void MainWindow::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    if (!isMaximized())
        Q_EMIT sizeProxy.WindowResized(event->size().width(), event->size().height());
}

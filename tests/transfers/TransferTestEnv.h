#pragma once

#include "peer/PeerMessages.h"
#include "peer/PeerSchema.h"
#include "peer/PeerTestEnv.h"
#include "server/ServerSchema.h"
#include "server/ServerStore.h"
#include "shares/SharedFoldersManager.h"
#include "store/GeneralFunctions.h"
#include "store/Settings.h"
#include "support/LogLines.h"
#include "transfers/TransferQueueManager.h"
#include "transfers/TransferWorker.h"
#include "transfers/TransfersSchema.h"

#include <QAtomicInt>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <memory>
#include <string>

// The "Transfer Queue" lines.
class TransferLog : public LogLines
{
public:
    TransferLog() : LogLines(QStringLiteral("Transfer Queue")) {}
};

// A transfer's worker that does nothing until it is told to stop, then counts itself finished.
class IdleWorker : public TransferWorker
{
public:
    explicit IdleWorker(QAtomicInt& finished) : m_finished(finished) {}

protected:
    void run() override
    {
        while (!ExitSignalled())
            msleep(1);
        m_finished.fetchAndAddOrdered(1);
    }

private:
    QAtomicInt& m_finished;
};

// The engine as start-up builds it: the timers, the store file handler, the server connection
// talking to a FakeServer, the peer connection manager on loopback ports, the shared-folder
// manager and the transfer engine. Downloads go to "Quorvale Downloads" in a temporary folder
// (unless the engine's own default is wanted), and the data is loaded as start-up loads it: from
// storeFile when one is given. env() has the fake server, fake peers and the log-in.
class TransferTestEnv
{
public:
    struct Options
    {
        QString storeFile;             // loaded instead of starting without a file
        bool ownDownloadFolder = true; // false: keep the default under HOME
    };

    TransferTestEnv() : TransferTestEnv(Options()) {}
    explicit TransferTestEnv(const Options& options) : m_env(false)
    {
        if (options.ownDownloadFolder) {
            Settings::Set(SettingKeys::DownloadFolder,
                          QFile::encodeName(m_dir.filePath(QStringLiteral("Quorvale Downloads")))
                              .toStdString());
        }
        m_loaded = std::make_unique<QSignalSpy>(transferQueueManager,
                                                &TransferQueueManager::TransfersLoaded);
        if (options.storeFile.isEmpty())
            m_env.LoadData();
        else
            dataSaver->Load(options.storeFile);
    }

    PeerTestEnv& env() { return m_env; }
    TransferQueueManager& transfers() { return *transferQueueManager; }
    // TransfersLoaded, as emitted by the load.
    QSignalSpy& loaded() { return *m_loaded; }
    // A folder of the test's own, beside the download folder.
    QString Scratch(const QString& name) const { return m_dir.filePath(name); }

    // The download folder, and a path below it, as the file system names them.
    static QString DownloadFolder() { return TransferQueueManager::DownloadFolder(); }
    static QString Local(const QString& internal)
    {
        return TransferQueueManager::ToLocalPath(internal);
    }

    // A download as the store keeps one, made by hand: nothing is sent and nothing is looked at
    // on disk. An empty status leaves it without one.
    static ItemPtr Entry(const std::string& user, const std::string& remoteFolder,
                         const std::string& name, qint64 size = 1000, int level = 0,
                         const char* status = TransferStatus::Queued, int order = 1)
    {
        using namespace TransfersTypes;
        ItemPtr entry = d.GetType(DownloadEntry)->NewItem();
        entry += ServerStore::User(user);
        entry += d.GetType(FileName)->GetItem(Value(name));
        entry += d.GetType(RemoteFolder)->GetItem(Value(remoteFolder));
        entry += d.GetType(PeerTypes::FileSize)->GetItem(Value(size));
        entry += d.GetType(SubfolderSaveLevel)->GetItem(Value(level));
        entry += d.GetType(DownloadOrder)->GetItem(Value(order));
        if (status && *status)
            entry += d.GetType(DownloadEntryStatus)->GetItem(Value(status));
        return entry;
    }

    static std::string Status(ItemPtr entry)
    {
        return entry[TransfersTypes::DownloadEntryStatus].AsString();
    }

    // What the server connection does when it hears that a user came online or went away.
    static void SetOnline(const std::string& user, bool online)
    {
        if (online)
            ServerStore::SetFlag(ServerStore::User(user), ServerTypes::IsOnline);
        else
            ServerStore::ClearFlag(ServerStore::User(user), ServerTypes::IsOnline);
    }

    // A file of that many bytes at a local path, with its folders.
    static bool WriteFile(const QString& path, qint64 size)
    {
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.resize(size);
    }

    static size_t Count(const char* type) { return d.GetType(type)->GetItems().size(); }

    // A fake peer that has connected to us as user over a messaging connection: what is sent to
    // the user arrives there.
    std::unique_ptr<FakePeer> ConnectPeer(const QByteArray& user = "bob")
    {
        return m_env.DialMessaging(false, user);
    }
    // The next message the peer got, its code first; empty when none came.
    static QByteArray NextMessage(FakePeer& peer)
    {
        QByteArray body;
        return peer.WaitForFrame(&body, kWaitMs) ? body : QByteArray();
    }
    // Whether the peer got nothing since the last message read: a marker sent to the user now
    // is the next message to arrive.
    static bool NothingMoreSent(FakePeer& peer, const std::string& user = "bob")
    {
        const QByteArray marker = FakePeer::U32(PM_NOTHING) + "marker";
        peerMessenger->SendMessage(user, Message(PM_NOTHING, "marker"));
        return NextMessage(peer) == marker;
    }
    // Sends a message as the peer and waits until the peer connection manager has handled it.
    void Deliver(FakePeer& peer, const QByteArray& message)
    {
        PeerLog log;
        peer.SendFrame(message);
        QTRY_VERIFY_WITH_TIMEOUT(log.lines.filter(QStringLiteral("Received PM_")).size() == 1,
                                 kWaitMs);
    }

    // Generous: loopback under a loaded machine.
    static constexpr int kWaitMs = 20000;

private:
    QTemporaryDir m_dir;
    PeerTestEnv m_env;
    std::unique_ptr<QSignalSpy> m_loaded;
};

#pragma once

#include "peer/PeerMessages.h"
#include "peer/PeerSchema.h"
#include "peer/PeerTestEnv.h"
#include "server/ServerSchema.h"
#include "server/ServerStore.h"
#include "shares/SharedFoldersManager.h"
#include "shares/SharesSchema.h"
#include "store/GeneralFunctions.h"
#include "store/Settings.h"
#include "support/LogLines.h"
#include "support/WireBytes.h"
#include "transfers/TransferQueueManager.h"
#include "transfers/TransfersSchema.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtEndian>

#include <memory>
#include <string>

// The "Transfer Queue" lines.
class TransferLog : public LogLines
{
public:
    TransferLog() : LogLines(QStringLiteral("Transfer Queue")) {}
};

// Peer messages about transfers, as peers send them and as we send them; a file's content that
// no off-by-one shift passes for itself, and a start offset as it goes on a file connection.
struct Msg
{
    static QByteArray Queue(const QByteArray& path) { return W(PM_QUEUE_UPLOAD).str(path); }
    static QByteArray Offer(quint32 token, const QByteArray& path, qint64 size)
    {
        return W(PM_TRANSFER_REQUEST).u32(1).u32(token).str(path).u64(quint64(size));
    }
    static QByteArray Allowed(quint32 token) { return W(PM_TRANSFER_RESPONSE).u32(token).u8(1); }
    static QByteArray Refused(quint32 token, const QByteArray& reason)
    {
        return W(PM_TRANSFER_RESPONSE).u32(token).u8(0).str(reason);
    }
    static QByteArray Denied(const QByteArray& path, const QByteArray& reason)
    {
        return W(PM_UPLOAD_DENIED).str(path).str(reason);
    }
    static QByteArray Failed(const QByteArray& path) { return W(PM_UPLOAD_FAILED).str(path); }
    static QByteArray Place(const QByteArray& path, quint32 n)
    {
        return W(PM_UPLOAD_PLACE_IN_LINE).str(path).u32(n);
    }
    static WireWriter W(quint32 code) { return WireWriter().u32(code); }
    static QByteArray Pattern(qint64 size, quint32 seed)
    {
        QByteArray bytes(size, Qt::Uninitialized);
        QRandomGenerator gen(seed);
        for (char& c : bytes)
            c = char(gen.generate() & 0xff);
        return bytes;
    }
    static QByteArray Le64(qint64 v) { return W(0).u64(quint64(v)).bytes().mid(4); }
};

// A table of cases as an array of structs, each with a name: one row per entry, fetched back by
// its index.
template <class Row, size_t N> void AddRows(const Row (&rows)[N])
{
    QTest::addColumn<int>("row");
    for (size_t i = 0; i < N; ++i)
        QTest::newRow(rows[i].name) << int(i);
}
template <class Row, size_t N> const Row& CurrentRow(const Row (&rows)[N])
{
    return rows[*static_cast<const int*>(QTest::qData("row", qMetaTypeId<int>()))];
}

// The engine as start-up builds it (timers, store file handler, server connection talking to a
// FakeServer, peer connection manager on loopback ports, shared-folder manager, transfer engine),
// in a folder of the test's own that is the current folder while it lives: downloads go to
// "Quorvale Downloads" in it (unless the engine's default under HOME is wanted), and shared files
// lie below it, so that a peer's "Music\Album\a.mp3" is Music/Album/a.mp3. The data is loaded as
// start-up loads it, from storeFile when one is given.
class TransferTestEnv
{
public:
    struct Options
    {
        QString storeFile;
        bool ownDownloadFolder = true;
        bool distributedNetwork = false;
    };

    TransferTestEnv() : TransferTestEnv(Options()) {}
    explicit TransferTestEnv(const Options& options) : m_previous(QDir::currentPath()), m_env(false, options.distributedNetwork)
    {
        QDir::setCurrent(m_dir.path());
        if (options.ownDownloadFolder)
            SetDownloadFolder(m_dir.filePath(QStringLiteral("Quorvale Downloads")));
        m_loaded = std::make_unique<QSignalSpy>(transferQueueManager,
                                                &TransferQueueManager::TransfersLoaded);
        if (options.storeFile.isEmpty())
            m_env.LoadData();
        else
            dataSaver->Load(options.storeFile);
    }
    ~TransferTestEnv() { QDir::setCurrent(m_previous); }

    PeerTestEnv& env() { return m_env; }
    TransferQueueManager& transfers() { return *transferQueueManager; }
    QSignalSpy& loaded() { return *m_loaded; }
    QString Scratch(const QString& name) const { return m_dir.filePath(name); }

    static void SetDownloadFolder(const QString& folder)
    {
        Settings::Set(SettingKeys::DownloadFolder, QFile::encodeName(folder).toStdString());
    }
    static QString DownloadFolder() { return TransferQueueManager::DownloadFolder(); }
    // A download's partial file (the one it owns, else where the layout puts it) and finished
    // file as the file system names them.
    QString Partial(ItemPtr e)
    {
        const QString owned = transfers().PartialFilePath(e);
        return owned.isEmpty() ? Local(e, false) : owned;
    }
    QString Finished(ItemPtr e) { return Local(e, true); }
    QString Local(ItemPtr e, bool finished)
    {
        return TransferQueueManager::ToLocalPath(transfers().GetDownloadTargetPath(e, finished));
    }

    // A download as the store keeps one, made by hand: nothing is sent. An unfinished one owns
    // its partial file, as AddDownload's do. A null or empty status leaves it without one.
    static ItemPtr Entry(const std::string& user, const std::string& remoteFolder,
                         const std::string& name, qint64 size = 1000, int level = 0,
                         const char* status = TransferStatus::Queued, int order = 1)
    {
        ItemPtr entry = d.GetType(TransfersTypes::DownloadEntry)->NewItem();
        entry += ServerStore::User(user);
        entry += d.GetType(TransfersTypes::FileName)->GetItem(Value(name));
        entry += d.GetType(TransfersTypes::RemoteFolder)->GetItem(Value(remoteFolder));
        entry += d.GetType(PeerTypes::FileSize)->GetItem(Value(size));
        entry += d.GetType(TransfersTypes::SubfolderSaveLevel)->GetItem(Value(level));
        entry += d.GetType(TransfersTypes::DownloadOrder)->GetItem(Value(order));
        if (status && *status)
            entry += d.GetType(TransfersTypes::DownloadEntryStatus)->GetItem(Value(status));
        if (!status || std::string(status) != TransferStatus::Complete)
            transferQueueManager->ClaimPartialFile(entry);
        return entry;
    }
    // A download's or an upload's status.
    static std::string Status(ItemPtr entry)
    {
        return entry.IsConnected(TransfersTypes::UploadEntryStatus)
                   ? entry[TransfersTypes::UploadEntryStatus].AsString()
                   : entry[TransfersTypes::DownloadEntryStatus].AsString();
    }
    static bool IsNow(ItemPtr item)
    {
        return PeerTestEnv::IsStoredNow(item, TransfersTypes::LastStatusChangeTime);
    }

    // What the server connection does when it hears that a user came online or went away.
    static void SetOnline(const std::string& user, bool online = true)
    {
        if (online)
            ServerStore::SetFlag(ServerStore::User(user), ServerTypes::IsOnline);
        else
            ServerStore::ClearFlag(ServerStore::User(user), ServerTypes::IsOnline);
    }

    // A file of these bytes (or a sparse one of that size) at a path, with its folders.
    static bool WriteFile(const QString& path, const QByteArray& content, qint64 size = -1)
    {
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
               file.write(content) == content.size() && (size < 0 || file.resize(size));
    }
    static bool WriteFile(const QString& path, qint64 size)
    {
        return WriteFile(path, QByteArray(), size);
    }
    static QByteArray ReadFile(const QString& path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(missing)");
    }
    static size_t Count(const char* type) { return d.GetType(type)->GetItems().size(); }

    // A fake peer that has connected to us as user over a messaging connection.
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
        peerMessenger->SendMessage(user, Message(PM_NOTHING, "marker"));
        return NextMessage(peer) == FakePeer::U32(PM_NOTHING) + "marker";
    }
    // Sends a message as the peer and waits until the peer connection manager has handled it.
    void Deliver(FakePeer& peer, const QByteArray& message)
    {
        PeerLog log;
        peer.SendFrame(message);
        QTRY_VERIFY_WITH_TIMEOUT(log.lines.filter(QStringLiteral("Received PM_")).size() == 1,
                                 kWaitMs);
    }

    // Shares a folder below the current one with everyone, or as access says (null: nobody),
    // and scans it.
    static ItemPtr Share(const char* folder = "Music",
                         const char* access = SharesTypes::SharedPublic)
    {
        ItemPtr root = d.GetType(SharesTypes::SharedFolder)->GetItem(Value(folder));
        if (access)
            root.NewItem(access);
        sharedFoldersManager->RescanShares();
        sharedFoldersManager->WaitForScans();
        return root;
    }
    // Writes Music/Album/<name> for each name and shares Music with everyone.
    static void ShareAlbum(const QStringList& names, qint64 size = 100)
    {
        for (const QString& name : names)
            QVERIFY(WriteFile("Music/Album/" + name, size));
        Share();
    }
    // The upload of the album's file to user, or null.
    static ItemPtr Upload(const std::string& user, const std::string& name)
    {
        return d.GetItem(ServerStore::User(user),
                         sharedFoldersManager->GetSharedFileItem("Music/Album/" + name),
                         TransfersTypes::UploadEntry);
    }
    static std::string StatusOf(const std::string& user, const std::string& name)
    {
        return Status(Upload(user, name));
    }
    // A queue request for the album's file, as the peer connection manager hands it over.
    void Request(const std::string& user, const std::string& name)
    {
        transfers().OnQueueUploadRequested(user, "Music\\Album\\" + name);
    }

    // Moves the clock on and fires the half-minute tick.
    void Tick(qint64 seconds)
    {
        Clock::Shift(seconds);
        m_env.fireHalfMinute();
    }

    // Generous: loopback under a loaded machine.
    static constexpr int kWaitMs = 20000;

private:
    QTemporaryDir m_dir;
    QString m_previous;
    PeerTestEnv m_env;
    std::unique_ptr<QSignalSpy> m_loaded;
};

// The path peers know the album's files by.
inline QByteArray AlbumPath(const QByteArray& name)
{
    return "Music\\Album\\" + name;
}

#pragma once

#include "TransferTestEnv.h"

#include "shares/SharesSchema.h"
#include "support/WireBytes.h"

// The engine with files to upload. They live in a folder of the test's own, which is the
// current folder while the test runs: a peer names a file as "Music\Album\a.mp3" and the share
// finds it at Music/Album/a.mp3 below that folder. Users are online unless a test says not.
class UploadTestEnv : public TransferTestEnv
{
public:
    UploadTestEnv() : m_previous(QDir::currentPath()) { QDir::setCurrent(m_files.path()); }
    ~UploadTestEnv() { QDir::setCurrent(m_previous); }

    // A file of that many bytes below the current folder, with its folders.
    static bool Write(const QString& relative, qint64 size = 100)
    {
        return WriteFile(QDir::current().filePath(relative), size);
    }
    // Shares a folder below the current one, with everyone or as access says (null: with
    // nobody), and scans it.
    static ItemPtr Share(const char* folder = "Music",
                         const char* access = SharesTypes::SharedPublic)
    {
        ItemPtr root = d.GetType(SharesTypes::SharedFolder)->GetItem(Value(folder));
        if (access)
            root.NewItem(access);
        sharedFoldersManager->RescanShares();
        return root;
    }
    // Writes Music/Album/<name> for each name and shares Music with everyone.
    static void ShareAlbum(const QStringList& names, qint64 size = 100)
    {
        for (const QString& name : names)
            QVERIFY(Write("Music/Album/" + name, size));
        Share();
    }

    static ItemPtr SharedFile(const std::string& localPath)
    {
        return sharedFoldersManager->GetSharedFileItem(localPath);
    }
    // The upload of the album's file name to user, or null.
    static ItemPtr Upload(const std::string& user, const std::string& name)
    {
        return d.GetItem(ServerStore::User(user), SharedFile("Music/Album/" + name),
                         TransfersTypes::UploadEntry);
    }
    static std::string UploadStatus(ItemPtr upload)
    {
        return upload[TransfersTypes::UploadEntryStatus].AsString();
    }
    static std::string StatusOf(const std::string& user, const std::string& name)
    {
        return UploadStatus(Upload(user, name));
    }
    static int Place(ItemPtr upload)
    {
        return upload[TransfersTypes::EffectiveUploadOrder].AsInt();
    }

    // A queue request for the album's file, as the peer connection manager hands it over.
    void Request(const std::string& user, const std::string& name)
    {
        transfers().OnQueueUploadRequested(user, "Music\\Album\\" + name);
    }

    // Peer messages as a peer sends them, and as we send them.
    static QByteArray QueueUpload(const QByteArray& path)
    {
        return WireWriter().u32(PM_QUEUE_UPLOAD).str(path);
    }
    static QByteArray Offer(quint32 token, const QByteArray& path, qint64 size)
    {
        return WireWriter().u32(PM_TRANSFER_REQUEST).u32(1).u32(token).str(path).u64(quint64(size));
    }
    static QByteArray UploadDenied(const QByteArray& path, const QByteArray& reason)
    {
        return WireWriter().u32(PM_UPLOAD_DENIED).str(path).str(reason);
    }
    static QByteArray UploadFailed(const QByteArray& path)
    {
        return WireWriter().u32(PM_UPLOAD_FAILED).str(path);
    }

private:
    QString m_previous;
    QTemporaryDir m_files;
};

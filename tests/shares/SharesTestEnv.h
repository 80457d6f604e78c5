#pragma once

#include "peer/PeerTestEnv.h"
#include "shares/SharedFoldersManager.h"
#include "support/LogLines.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <set>
#include <string>

// A compressed peer message's body, once its code and level-9 zlib header are checked; otherwise
// a text naming what came, so that a comparison shows it.
inline QByteArray Inflated(const QByteArray& message, quint32 code)
{
    if (message.left(6) != FakePeer::U32(code) + Hex("78da"))
        return "not a compressed message " + QByteArray::number(code) + ": " + message.toHex();
    return qUncompress(QByteArray(4, '\0') + message.mid(4));
}

// The engine with its shared-folder manager (and the distributed network when asked), and a
// folder to share from (a temporary one unless given). The data is loaded (from storeFile when
// given) as start-up does; the test calls Init, which start-up calls later.
class SharesTestEnv
{
public:
    explicit SharesTestEnv(const QString& base = QString(), const QString& storeFile = QString(),
                           bool distributedNetwork = false)
        : m_env(false, distributedNetwork), m_base(base.isEmpty() ? m_dir.path() : base)
    {
        if (storeFile.isEmpty())
            m_env.LoadData();
        else
            dataSaver->Load(storeFile);
    }

    PeerTestEnv& env() { return m_env; }
    SharedFoldersManager& shares() { return *sharedFoldersManager; }

    // What start-up does after the load: watch for new roots and rescan; the scan is applied
    // before this returns.
    void Init()
    {
        shares().Init();
        shares().WaitForScans();
    }
    // A rescan, applied before this returns.
    void Rescan()
    {
        shares().RescanShares();
        shares().WaitForScans();
    }

    // The local path of a name under the folder, as the store keeps it.
    std::string Path(const QString& relative = QString()) const
    {
        return QFile::encodeName(relative.isEmpty() ? m_base : m_base + '/' + relative)
            .toStdString();
    }

    // A file of that many bytes, with its folders.
    void Write(const QString& relative, qint64 size = 1)
    {
        const QString path = m_base + '/' + relative;
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QVERIFY(file.resize(size));
    }
    // Removed by the bytes of its path, folders with everything in them: Qt's own removal reads
    // names as text and leaves behind those that are not UTF-8.
    void Remove(const QString& relative) { RemovePath(Path(relative)); }
    static void RemovePath(const std::string& path)
    {
        std::error_code error;
        QVERIFY(std::filesystem::remove_all(path, error) > 0 && !error);
    }
    // A file of no bytes at a path given as bytes.
    static void Touch(const std::string& path)
    {
        std::ofstream file(path);
        QVERIFY(file.good());
    }
    // A symbolic link at relative pointing to target (taken as written).
    void Link(const QString& relative, const QString& target)
    {
        QVERIFY(QFile::link(target, m_base + '/' + relative));
    }

    // A shared folder the way the add-folder dialog makes one, with its two access marks.
    ItemPtr Share(const QString& relative, const char* access = "shared_public")
    {
        return Root(Path(relative), access);
    }

    // The shares as a scan leaves them in the store, without a disk (/data/Music need not
    // exist): a root by its full path, shared with everyone ("shared_public"), the user list
    // ("shared_userlist") or, access null, only the groups tied to it later.
    static ItemPtr Root(const std::string& path, const char* access = "shared_public")
    {
        ItemPtr root = d.GetType("shared_folder")->GetItem(Value(path));
        if (access)
            root.NewItem(access);
        return root;
    }
    // A folder under a root, and an indexed file of that size in it.
    static ItemPtr Folder(ItemPtr root, const std::string& path)
    {
        ItemPtr folder = d.GetType("shared_file_folder")->GetItem(Value(path));
        root += folder;
        return folder;
    }
    static ItemPtr AddFile(ItemPtr root, const std::string& folder, const std::string& name,
                           qint64 size = 1)
    {
        ItemPtr file = d.GetType("shared_file")->NewItem();
        file += Folder(root, folder);
        file += d.GetType("shared_file_name")->GetItem(Value(name));
        file += d.GetType("shared_file_size")->GetItem(Value(static_cast<long long>(size)));
        sharedFoldersManager->TokenizeSharedFile(file);
        return file;
    }
    static ItemPtr Group(const char* name) { return d.GetType("user_list_group")->GetItem(name); }

    // Who may see what. Roots /public, /userlist, /group for groups G and H, and /group/x nested
    // in it for group K, with tune.mp3 in /public, /userlist and /group/x. Users: outside (known,
    // not listed), listed (no group), member (G), both (G and H), other (K), unshared, and
    // unshared member (G).
    static void AddAccessCases()
    {
        AddFile(Root("/public"), "/public", "tune.mp3");
        AddFile(Root("/userlist", "shared_userlist"), "/userlist", "tune.mp3");
        ItemPtr group = Root("/group", nullptr);
        group += Group("G");
        group += Group("H");
        AddFile(group, "/group/x", "tune.mp3");
        ItemPtr nested = Root("/group/x", nullptr);
        nested += Group("K");
        Folder(nested, "/group/x");

        StoreFixture::User("outside");
        const auto listed = [](const char* user, std::initializer_list<const char*> groups) {
            ItemPtr inList = StoreFixture::User(user).NewItem("in_user_list");
            for (const char* group : groups)
                inList += Group(group);
        };
        listed("listed", {});
        listed("member", {"G"});
        listed("both", {"G", "H"});
        listed("other", {"K"});
        listed("unshared member", {"G"});
        StoreFixture::User("unshared").NewItem("unshared");
        StoreFixture::User("unshared member").NewItem("unshared");
    }

    // The shared files as paths relative to the folder, sorted.
    QStringList SharedFiles() const
    {
        QStringList out;
        for (Item* file : g("shared_file")) {
            ItemPtr f(file);
            out << Relative(f["shared_file_folder"].AsString() + '/' +
                            f["shared_file_name"].AsString());
        }
        out.sort();
        return out;
    }
    // A path below the folder, relative to it.
    QString Relative(const std::string& path) const
    {
        return QString::fromUtf8(path.substr(std::min(path.size(), Path().size() + 1)));
    }

    // The shared_file item of a path relative to the folder.
    ItemPtr File(const QString& relative) { return shares().GetSharedFileItem(Path(relative)); }

    // The search words a file carries: those linked to it and to its folder.
    static std::set<std::string> Tokens(ItemPtr file)
    {
        std::set<std::string> words;
        for (Item* token : file.GetItems("search_token"))
            words.insert(token->AsString());
        for (Item* token : file["shared_file_folder"].GetItems("search_token"))
            words.insert(token->AsString());
        return words;
    }

private:
    PeerTestEnv m_env;
    QTemporaryDir m_dir;
    QString m_base;
};

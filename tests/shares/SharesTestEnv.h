#pragma once

#include "peer/PeerTestEnv.h"
#include "shares/SharedFoldersManager.h"
#include "support/LogLines.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <algorithm>
#include <set>
#include <string>

// The engine with its shared-folder manager, and a folder to share from (a temporary one unless
// given). The data is loaded (from storeFile when given) as start-up does; the test calls Init,
// which start-up calls later.
class SharesTestEnv
{
public:
    explicit SharesTestEnv(const QString& base = QString(), const QString& storeFile = QString())
        : m_env(false), m_base(base.isEmpty() ? m_dir.path() : base)
    {
        if (storeFile.isEmpty())
            m_env.LoadData();
        else
            dataSaver->Load(storeFile);
    }

    PeerTestEnv& env() { return m_env; }
    SharedFoldersManager& shares() { return *sharedFoldersManager; }

    // What start-up does after the load: watch for new roots and rescan.
    void Init() { shares().Init(); }

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
    void Remove(const QString& relative)
    {
        const QString path = m_base + '/' + relative;
        if (QFileInfo(path).isDir())
            QVERIFY(QDir(path).removeRecursively());
        else
            QVERIFY(QFile::remove(path));
    }
    // A symbolic link at relative pointing to target (taken as written).
    void Link(const QString& relative, const QString& target)
    {
        QVERIFY(QFile::link(target, m_base + '/' + relative));
    }

    // A shared folder the way the add-folder dialog makes one, with its two access marks.
    ItemPtr Share(const QString& relative, const char* access = "shared_public")
    {
        ItemPtr root = d.GetType("shared_folder")->GetItem(Path(relative));
        if (access)
            root.NewItem(access);
        return root;
    }

    // The shared files and folders as paths relative to the folder, sorted.
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
    QStringList SharedFolders() const
    {
        QStringList out;
        for (Item* folder : g("shared_file_folder"))
            out << Relative(folder->AsString());
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

    // The search words linked to a file.
    static std::set<std::string> Tokens(ItemPtr file)
    {
        std::set<std::string> words;
        for (Item* token : file.GetItems("search_token"))
            words.insert(token->AsString());
        return words;
    }

private:
    PeerTestEnv m_env;
    QTemporaryDir m_dir;
    QString m_base;
};

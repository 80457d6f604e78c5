#include "transfers/TransferQueueManager.h"

#include "peer/PeerSchema.h"
#include "server/ServerSchema.h"
#include "store/GeneralFunctions.h"
#include "store/Log.h"
#include "store/Settings.h"
#include "transfers/TransfersSchema.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

// The layout: <download folder>\downloading\<tail>\<name> while a file arrives, and
// <download folder>\complete\<tail>\<name> once it is whole. The tail repeats the last
// subfolder_save_level + 1 components of the folder the file has on the peer. Names that differ
// on the peer can come out the same here (each through SafePathComponent and UTF-8, and cut to
// the file system's limit), so a download owns its partial file, and another that the layout puts
// there gets one beside it.

using namespace TransfersTypes;

namespace {

bool IsSeparator(char c)
{
    return c == '\\' || c == '/';
}

// Whether a remote folder has a component before its last one. A folder of one component is its
// own parent, so without this a level beyond the folder's depth would repeat its name.
bool HasParent(const std::string& folder)
{
    std::string trimmed = folder;
    while (!trimmed.empty() && IsSeparator(trimmed.back()))
        trimmed.pop_back();
    return trimmed.find_last_of("\\/") != std::string::npos && !GetParentFolder(folder).empty();
}

// The components of the remote folder that the layout repeats, outermost first, as the peer
// wrote them: the last level + 1, fewer when the folder has fewer. A negative level (only a store
// file edited by hand holds one) counts as 0.
std::vector<std::string> TailComponents(ItemPtr entry)
{
    std::vector<std::string> parts;
    std::string folder = entry[RemoteFolder].AsString();
    if (folder.empty())
        return parts;
    const size_t count = size_t(std::max(entry[SubfolderSaveLevel].AsInt(), 0)) + 1;
    while (parts.size() < count) {
        parts.push_back(GetFileName(folder));
        if (!HasParent(folder))
            break;
        folder = GetParentFolder(folder);
    }
    std::reverse(parts.begin(), parts.end());
    return parts;
}

QString Component(const std::string& name)
{
    return QString::fromUtf8(SafePathComponent(name));
}

QString InternalBase()
{
    return TransferQueueManager::DownloadFolder().replace(QLatin1Char('/'), QLatin1Char('\\'));
}

// Whether a path in internal form lies strictly below the download folder once "." and ".." are
// resolved. Nothing lies below an empty download folder.
bool LiesBelow(const QString& path, const QString& base)
{
    QString root = QDir::cleanPath(TransferQueueManager::ToLocalPath(base));
    if (root.isEmpty())
        return false;
    if (!root.endsWith(QLatin1Char('/')))
        root += QLatin1Char('/');
    const QString target = QDir::cleanPath(TransferQueueManager::ToLocalPath(path));
    return target.startsWith(root) && target.size() > root.size();
}

// Whether anything is at path, a link to nothing included (opening it would make its target).
bool IsThere(const QString& path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

} // namespace

TransferQueueManager::LayoutMemo::LayoutMemo(TransferQueueManager& transfers)
    : m_transfers(transfers)
{
    if (m_transfers.m_layoutMemos++ == 0)
        m_transfers.m_layoutCache = std::make_unique<LayoutCache>();
}

TransferQueueManager::LayoutMemo::~LayoutMemo()
{
    if (--m_transfers.m_layoutMemos == 0)
        m_transfers.m_layoutCache.reset();
}

bool TransferQueueManager::FolderMayHold(const QString& path)
{
    LayoutCache* cache = m_layoutCache.get();
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    if (!cache || slash <= 0)
        return true;
    const QString folder = path.left(slash);
    auto known = cache->there.constFind(folder);
    if (known == cache->there.constEnd())
        known = cache->there.insert(folder, QFileInfo(folder).exists());
    return *known;
}

QString TransferQueueManager::DownloadFolder()
{
    return QFile::decodeName(
        QByteArray::fromStdString(Settings::Text(SettingKeys::DownloadFolder)));
}

QString TransferQueueManager::ToLocalPath(QString internal)
{
    return internal.replace(QLatin1Char('\\'), QLatin1Char('/'));
}

QString TransferQueueManager::GetDownloadTargetFolder(ItemPtr entry, bool complete)
{
    LayoutCache* cache = m_layoutCache.get();
    const std::tuple<Item*, int, bool> key(entry[RemoteFolder].Get(),
                                           entry[SubfolderSaveLevel].AsInt(), complete);
    if (cache) {
        const auto known = cache->folders.find(key);
        if (known != cache->folders.end())
            return known->second;
    }
    const QString base = InternalBase();
    QString folder =
        base + (complete ? QStringLiteral("\\complete") : QStringLiteral("\\downloading"));
    for (const std::string& part : TailComponents(entry))
        folder += QLatin1Char('\\') + Component(part);
    if (!LiesBelow(folder, base))
        folder.clear();
    if (cache)
        cache->folders.emplace(key, folder);
    return folder;
}

QString TransferQueueManager::GetDownloadTargetPath(ItemPtr entry, bool complete)
{
    // Saved beside a file that had its name, the finished file has its record's.
    ItemPtr saved = complete ? entry[CompleteDownload][CompleteDownloadFilename] : ItemPtr();
    if (!saved)
        return LaidOutPath(entry, complete);
    const QString folder = GetDownloadTargetFolder(entry, true);
    return folder.isEmpty() ? folder : folder + QLatin1Char('\\') + Component(saved.AsString());
}

QString TransferQueueManager::LaidOutPath(ItemPtr entry, bool complete)
{
    const QString folder = GetDownloadTargetFolder(entry, complete);
    if (folder.isEmpty())
        return QString();
    return folder + QLatin1Char('\\') + Component(entry[FileName].AsString());
}

QString TransferQueueManager::GetDownloadRelativeDownloadFolder(ItemPtr entry)
{
    QStringList parts;
    for (const std::string& part : TailComponents(entry))
        parts << Component(part);
    return parts.join(QLatin1Char('\\'));
}

bool TransferQueueManager::DoesDownloadItemCompleteFilenameExist(ItemPtr entry)
{
    const QString path = GetDownloadTargetPath(entry, true);
    if (path.isEmpty() || !FolderMayHold(ToLocalPath(path)))
        return false;
    // Its own bytes so far are in its partial file; the finished file of that name is another
    // download's.
    const QString partial = PartialFilePath(entry);
    if (!partial.isEmpty() && IsThere(partial))
        return false;
    // A folder, or a file of another size (a different file, or one cut short), is not the
    // download done.
    const QFileInfo file(ToLocalPath(path));
    return file.isFile() && file.size() == entry[PeerTypes::FileSize].AsInt64();
}

void TransferQueueManager::RemoveDownloadDownloadingFolderIfAppropriate(ItemPtr entry)
{
    // Another download from the same remote folder, of any user, may still write there.
    ItemSet sharing(entry.Get());
    if (ItemPtr remote = entry[RemoteFolder])
        sharing = remote.GetItems(DownloadEntry);
    for (Item* other : sharing) {
        if (ItemPtr(other)[DownloadEntryStatus].AsString() != TransferStatus::Complete)
            return;
    }

    // The download's own folder and each folder above it that the layout made, innermost
    // first; with no tail, the downloading folder itself. rmdir takes only empty folders.
    const QString base = InternalBase();
    const QString downloading = base + QStringLiteral("\\downloading");
    const std::vector<std::string> parts = TailComponents(entry);
    QStringList folders;
    if (parts.empty())
        folders << downloading;
    QString folder = downloading;
    for (const std::string& part : parts) {
        folder += QLatin1Char('\\') + Component(part);
        folders.prepend(folder);
    }
    for (const QString& f : folders) {
        if (LiesBelow(f, base))
            QDir().rmdir(ToLocalPath(f));
    }
}

// ---------------------------------------------------------------------------------------------
// Partial files and their owners

QString TransferQueueManager::PartialFilePath(ItemPtr entry)
{
    if (auto* file = entry[TransfersTypes::DownloadFile].AsPointer<QFile>())
        return file->fileName();
    if (!entry[PartialFile])
        return QString();
    return OwnedPartialFile(entry, ToLocalPath(GetDownloadTargetFolder(entry, false)));
}

QString TransferQueueManager::OwnedPartialFile(ItemPtr entry, const QString& folder)
{
    ItemPtr owned = entry[PartialFile];
    if (!owned || folder.isEmpty())
        return QString();
    const QString path = QFile::decodeName(QByteArray::fromStdString(owned.AsString()));
    // What a store file names counts only as a file of that very folder.
    const QString prefix = folder + QLatin1Char('/');
    const QString name = path.mid(prefix.size());
    if (!path.startsWith(prefix) || name.isEmpty() || name.contains(QLatin1Char('/')) ||
        name == QLatin1String(".") || name == QLatin1String(".."))
        return QString();
    return path;
}

bool TransferQueueManager::ClaimPartialFile(ItemPtr entry)
{
    return ClaimPartialFile(entry, false);
}

bool TransferQueueManager::ClaimPartialFile(ItemPtr entry, bool adopt)
{
    const QString wanted = ToLocalPath(GetDownloadTargetPath(entry, false));
    if (wanted.isEmpty())
        return false;
    const qsizetype slash = wanted.lastIndexOf(QLatin1Char('/'));
    const QString folder = wanted.left(slash);
    if (!OwnedPartialFile(entry, folder).isEmpty())
        return true;

    Type* partials = d.GetType(PartialFile);
    QString takenBy;
    for (int n = 0; n <= kMaxFreeNameTries; ++n) {
        const QString path =
            n == 0 ? wanted : folder + QLatin1Char('/') + NumberedName(wanted.mid(slash + 1), n);
        const std::string key = QFile::encodeName(path).toStdString();
        ItemPtr owner = partials->HasItem(Value(key))[DownloadEntry];
        if (owner && owner != entry) {
            takenBy = n == 0 ? QStringLiteral("another download") : takenBy;
            continue;
        }
        if (FolderMayHold(path) && IsThere(path) && !(adopt && n == 0)) {
            takenBy = n == 0 ? QStringLiteral("no download") : takenBy;
            continue;
        }
        entry += partials->GetItem(Value(key));
        if (n > 0) {
            Log(LogCategories::kTransferQueue, 1,
                QStringLiteral("Partial file %1 belongs to %2, downloading %3\\%4 to %5")
                    .arg(wanted, takenBy, TextForLog(entry[RemoteFolder].AsString()),
                         TextForLog(entry[FileName].AsString()), path),
                entry[ServerTypes::User]);
        }
        return true;
    }
    return false;
}

void TransferQueueManager::AdoptPartialFiles(const ItemSet& entries)
{
    std::vector<std::pair<Item*, QString>> older;
    std::map<QString, int> wanted;
    for (Item* entry : entries) {
        if (ItemPtr(entry)[DownloadEntryStatus].AsString() == TransferStatus::Complete ||
            entry->IsConnected(PartialFile))
            continue;
        const QString path = ToLocalPath(GetDownloadTargetPath(entry, false));
        older.emplace_back(entry, path);
        ++wanted[path];
    }
    for (const auto& [entry, path] : older)
        ClaimPartialFile(entry, wanted[path] == 1);
}

QString TransferQueueManager::NumberedName(const QString& name, int n)
{
    // A name at the length limit makes room for its number: two names a peer made long enough to
    // be cut to the same bytes still get a file each.
    return QString::fromStdString(
        FitName(name.toStdString(), " (" + std::to_string(n) + ")", kMaxNameBytes));
}

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
#include <string_view>
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

// The download folder as LiesBelow compares paths with it: local, "." and ".." resolved, ending
// in "/"; empty for an empty download folder.
QString RootOf(const QString& base)
{
    QString root = QDir::cleanPath(TransferQueueManager::ToLocalPath(base));
    if (!root.isEmpty() && !root.endsWith(QLatin1Char('/')))
        root += QLatin1Char('/');
    return root;
}

// Whether a path in internal form lies strictly below the download folder (its RootOf) once "."
// and ".." are resolved. Nothing lies below an empty download folder.
bool LiesBelow(const QString& path, const QString& root)
{
    if (root.isEmpty())
        return false;
    const QString target = QDir::cleanPath(TransferQueueManager::ToLocalPath(path));
    return target.startsWith(root) && target.size() > root.size();
}

// The components the layout repeats, each after a "\".
QString Tail(ItemPtr entry)
{
    QString tail;
    for (const std::string& part : TailComponents(entry))
        tail += QLatin1Char('\\') + Component(part);
    return tail;
}

// Whether anything is at path, a link to nothing included (opening it would make its target).
bool IsThere(const QString& path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

} // namespace

TransferQueueManager::BatchMemo::BatchMemo(TransferQueueManager& transfers) : m_transfers(transfers)
{
    if (m_transfers.m_batchMemos++ == 0)
        m_transfers.m_layoutCache = std::make_unique<LayoutCache>();
}

TransferQueueManager::BatchMemo::~BatchMemo()
{
    if (--m_transfers.m_batchMemos > 0)
        return;
    m_transfers.m_layoutCache.reset();
    if (m_transfers.m_orderHeld) {
        m_transfers.m_orderHeld = false;
        Settings::SetNumber(SettingKeys::TransferOrderCounter, m_transfers.m_nextOrder);
    }
}

qint64 TransferQueueManager::TakeTransferOrder()
{
    if (m_batchMemos == 0) {
        const qint64 order = Settings::Int64(SettingKeys::TransferOrderCounter);
        Settings::SetNumber(SettingKeys::TransferOrderCounter, order + 1);
        return order;
    }
    // Each number written makes a value item of its own, which the sweep takes again: a memo
    // writes the last one, when it ends.
    if (!m_orderHeld) {
        m_nextOrder = Settings::Int64(SettingKeys::TransferOrderCounter);
        m_orderHeld = true;
    }
    return m_nextOrder++;
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

TransferQueueManager::LaidOutFolder TransferQueueManager::LayoutFolder(ItemPtr entry, bool complete)
{
    LayoutCache* cache = m_layoutCache.get();
    if (!cache) {
        const QString base = InternalBase();
        return FolderBelow(base, RootOf(base), Tail(entry), complete);
    }
    const LayoutCache::Key key(Partner(entry, m_types.remoteFolder),
                               Partner(entry, m_types.level).AsInt());
    // A download asks for both of its folders, and those of a folder come one after the other.
    if (!cache->last || cache->lastKey != key) {
        auto known = cache->folders.find(key);
        if (known == cache->folders.end()) {
            if (!cache->baseRead) {
                cache->base = InternalBase();
                cache->root = RootOf(cache->base);
                cache->baseRead = true;
            }
            const QString tail = Tail(entry);
            LayoutCache::Folders folders;
            for (const bool kind : {false, true}) {
                LaidOutFolder& folder = folders[kind];
                folder = FolderBelow(cache->base, cache->root, tail, kind);
                folder.mayHold =
                    !folder.internal.isEmpty() && cache->IsThere(folder.local, cache->base);
            }
            known = cache->folders.emplace(key, std::move(folders)).first;
        }
        cache->last = &known->second;
        cache->lastKey = key;
    }
    return (*cache->last)[complete];
}

TransferQueueManager::LaidOutFolder TransferQueueManager::FolderBelow(const QString& base,
                                                                      const QString& root,
                                                                      const QString& tail,
                                                                      bool complete)
{
    LaidOutFolder folder;
    folder.internal =
        base + (complete ? QStringLiteral("\\complete") : QStringLiteral("\\downloading")) + tail;
    if (!LiesBelow(folder.internal, root))
        folder.internal.clear();
    folder.local = ToLocalPath(folder.internal);
    folder.encoded = QFile::encodeName(folder.local);
    return folder;
}

bool TransferQueueManager::LayoutCache::IsThere(const QString& local, const QString& base)
{
    // Nothing is in a folder that is not there: each folder from the download folder down is
    // looked at once, and the first one missing answers for those below it.
    const qsizetype below = base.size();
    for (qsizetype slash = local.indexOf(QLatin1Char('/'), below);;) {
        const QString folder = slash < 0 ? local : local.left(slash);
        auto known = there.constFind(folder);
        if (known == there.constEnd())
            known = there.insert(folder, QFileInfo(folder).exists());
        if (!*known || slash < 0)
            return *known;
        slash = local.indexOf(QLatin1Char('/'), slash + 1);
    }
}

const TransferQueueManager::NameComponent& TransferQueueManager::ComponentOf(ItemPtr nameItem)
{
    const std::string_view name = nameItem ? nameItem->AsString().View() : std::string_view();
    NameComponent& last = m_lastComponent;
    if (!last.component.isEmpty() && last.name == name)
        return last;
    last.name.assign(name.data(), name.size());
    std::string safe = SafePathComponent(last.name);
    last.component = QString::fromUtf8(safe.data(), qsizetype(safe.size()));
    // ASCII is its own encoding, which most names are.
    const bool ascii = std::all_of(safe.begin(), safe.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    last.encoded = ascii ? std::move(safe) : QFile::encodeName(last.component).toStdString();
    return last;
}

QString TransferQueueManager::GetDownloadTargetFolder(ItemPtr entry, bool complete)
{
    return LayoutFolder(entry, complete).internal;
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
    return folder + QLatin1Char('\\') + ComponentOf(Partner(entry, m_types.fileName)).component;
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
    const LaidOutFolder folder = LayoutFolder(entry, true);
    if (folder.internal.isEmpty() || !folder.mayHold)
        return false;
    // Its own bytes so far are in its partial file; the finished file of that name is another
    // download's.
    const QString partial = PartialFilePath(entry);
    if (!partial.isEmpty() && IsThere(partial))
        return false;
    // Saved beside a file that had its name, the finished file has its record's.
    ItemPtr saved = Partner(entry, m_types.completeDownload)[CompleteDownloadFilename];
    const QString path = folder.local + QLatin1Char('/') +
                         ComponentOf(saved ? saved : Partner(entry, m_types.fileName)).component;
    // A folder, or a file of another size (a different file, or one cut short), is not the
    // download done.
    const QFileInfo file(path);
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
    const QString root = RootOf(base);
    for (const QString& f : folders) {
        if (LiesBelow(f, root))
            QDir().rmdir(ToLocalPath(f));
    }
}

// ---------------------------------------------------------------------------------------------
// Partial files and their owners

QString TransferQueueManager::PartialFilePath(ItemPtr entry)
{
    if (auto* file = Partner(entry, m_types.file).AsPointer<QFile>())
        return file->fileName();
    if (!entry.IsConnected(m_types.partialFile))
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
    const LaidOutFolder folder = LayoutFolder(entry, false);
    if (folder.internal.isEmpty())
        return false;
    if (!OwnedPartialFile(entry, folder.local).isEmpty())
        return true;

    const NameComponent& name = ComponentOf(Partner(entry, m_types.fileName));
    // Copied, as the handlers of the claim may ask for other names.
    const QString component = name.component;
    Type* partials = m_types.partialFile;
    QString takenBy;
    for (int n = 0; n <= kMaxFreeNameTries; ++n) {
        // The layout's own name, which nearly every download gets, is looked up by its bytes:
        // its path is made only to look on disk.
        QString path;
        std::string key;
        if (n == 0) {
            key.reserve(size_t(folder.encoded.size()) + 1 + name.encoded.size());
            key.append(folder.encoded.constData(), size_t(folder.encoded.size()));
            key += '/';
            key += name.encoded;
        } else {
            path = folder.local + QLatin1Char('/') + NumberedName(component, n);
            key = QFile::encodeName(path).toStdString();
        }
        ItemPtr owner = partials->HasItem(Value(key))[DownloadEntry];
        if (owner && owner != entry) {
            takenBy = n == 0 ? QStringLiteral("another download") : takenBy;
            continue;
        }
        if (folder.mayHold && !(adopt && n == 0)) {
            if (n == 0)
                path = folder.local + QLatin1Char('/') + component;
            if (IsThere(path)) {
                takenBy = n == 0 ? QStringLiteral("no download") : takenBy;
                continue;
            }
        }
        entry += partials->GetItem(Value(std::move(key)));
        if (n > 0) {
            Log(LogCategories::kTransferQueue, 1,
                QStringLiteral("Partial file %1 belongs to %2, downloading %3\\%4 to %5")
                    .arg(folder.local + QLatin1Char('/') + component, takenBy,
                         TextForLog(entry[RemoteFolder].AsString()),
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

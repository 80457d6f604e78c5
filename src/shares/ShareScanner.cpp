// Keeping the store's picture of the shared folders in step with the disk: the walker's records
// applied on the GUI thread, a slice at a time.
//
// A rescan leaves each root linked to exactly the folders its walk entered. The links are not
// dropped before the walk and made again: a root's folders stay linked (and their files found
// by searches and share lists) while the walk goes on, and a shutdown in the middle saves every
// folder not yet reached as it was, instead of leaving it for the sweep. The links the walk did
// not make again go when it ends.

#include "shares/ShareScanner.h"

#include "peer/PeerSchema.h"
#include "shares/SharedFoldersManager.h"
#include "shares/SharesSchema.h"

#include "store/DataSaver.h"
#include "store/Log.h"

#include <QFile>
#include <QMetaObject>

#include <algorithm>
#include <cstdlib>

#include <sys/stat.h>

using namespace SharesTypes;

namespace {

// Files or folders removed in one step of a slice.
constexpr size_t kRemovalsPerStep = 16;
// Items looked at in one step of tidying up after a rescan.
constexpr size_t kTidiedPerStep = 64;
// The types whose items a rescan's removals can leave unused: names first, since a name going
// can leave its lower-case key unused.
const char* const kLeftOverTypes[] = {
    SharedFileName,
    SharedFileLowercaseName,
    SharedFileFolderLowercaseName,
    SharedFileSize,
    SearchToken,
    PeerTypes::MpegVersion,
    PeerTypes::ChannelMode,
    PeerTypes::AudioFrequency,
    PeerTypes::BitrateMode,
    PeerTypes::Bitrate,
};
constexpr size_t kLeftOverTypeCount = sizeof(kLeftOverTypes) / sizeof(kLeftOverTypes[0]);

// A name linked to at most this many files is looked up by visiting them; a commoner one
// through an index of the folder's own files by name, made once for the folder, when the
// folder holds at most kFolderIndexed files: making it for a bigger one would hold the thread
// in one step.
constexpr size_t kNameFilesVisited = 8;
constexpr size_t kFolderIndexed = 4096;

QString Text(std::string_view bytes)
{
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

// The item's first partner of that type, or null.
Item* Partner(const Item* item, const Type* type)
{
    Item* first = nullptr;
    item->VisitItems(type, [&first](Item* partner) {
        first = partner;
        return true;
    });
    return first;
}

std::string Join(const std::string& folder, std::string_view name)
{
    std::string path = folder;
    if (path.empty() || path.back() != '/')
        path += '/';
    path += name;
    return path;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Held items

void ShareScanner::HeldItems::Clear()
{
    m_items.clear();
}

void ShareScanner::HeldItems::Add(Item* item)
{
    m_items.push_back(Held{item->Id(), item, false});
}

size_t ShareScanner::HeldItems::Find(const Item* item) const
{
    const uint32_t id = item->Id();
    const auto at = std::lower_bound(m_items.begin(), m_items.end(), id,
                                     [](const Held& h, uint32_t key) { return h.id < key; });
    if (at == m_items.end() || at->id != id || at->item != item)
        return size_t(-1);
    return size_t(at - m_items.begin());
}

Item* ShareScanner::HeldItems::Live(size_t k) const
{
    const Held& held = m_items[k];
    return d.ItemById(held.id) == held.item ? held.item : nullptr;
}

bool ShareScanner::HeldItems::Forget(const Item* item)
{
    const size_t k = Find(item);
    if (k == size_t(-1))
        return false;
    m_items[k].item = nullptr;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Asking for scans

ShareScanner::ShareScanner(SharedFoldersManager& shares)
    : m_shares(shares), m_walker([this] { m_slices.Start(); })
{
}

ShareScanner::~ShareScanner()
{
    Stop();
}

void ShareScanner::QueueRescan()
{
    m_jobs.push_back(Job{Job::Rescan, std::string(), std::string(), false});
    m_slices.Start();
}

void ShareScanner::QueueWalk(const std::string& root, const std::string& folder)
{
    m_jobs.push_back(Job{Job::Walk, root, folder, false});
    m_slices.Start();
}

void ShareScanner::Finish()
{
    for (;;) {
        const Step step = Next();
        if (step == Step::Idle) {
            m_shares.ScheduleMP3Results();
            return;
        }
        if (step == Step::Waiting) {
            m_batch = ShareWalk::Batch();
            m_walker.WaitAndTake(m_batch);
            m_batchAt = 0;
            if (m_batch.walk != m_walk)
                m_batch.records.clear();
            m_walkDone = m_batch.walk == m_walk && m_batch.last;
        }
    }
}

void ShareScanner::Stop()
{
    m_slices.Stop();
    m_walker.Cancel();
    m_jobs.clear();
    Abandon();
    m_goneFiles.Clear();
    m_goneFolders.Clear();
    m_tidy.Clear();
    m_phase = Phase::Idle;
}

bool ShareScanner::SliceStep()
{
    const Step step = Next();
    if (step == Step::Idle)
        m_shares.ScheduleMP3Results();
    // Done, or the walker posts again with its next batch.
    return step == Step::Worked;
}

// ---------------------------------------------------------------------------------------------
// The steps

ShareScanner::Step ShareScanner::Next()
{
    switch (m_phase) {
    case Phase::Idle:
        if (m_jobs.empty())
            return Step::Idle;
        {
            Job job = std::move(m_jobs.front());
            m_jobs.pop_front();
            StartJob(std::move(job));
        }
        return Step::Worked;
    case Phase::Walking:
        return WalkStep();
    case Phase::Unlinking:
        UnlinkStep();
        return Step::Worked;
    case Phase::Removing:
        RemoveStep();
        return Step::Worked;
    case Phase::Tidying:
        TidyStep();
        return Step::Worked;
    case Phase::Reporting:
        Report();
        return Step::Worked;
    }
    return Step::Idle;
}

void ShareScanner::StartJob(Job job)
{
    if (job.kind == Job::Rescan) {
        m_shares.m_filesAdded = 0;
        m_shares.m_filesRemoved = 0;
        m_dropped = false;
        // Every root, in set order, then the end of the rescan: ahead of what was asked for
        // after it.
        std::vector<Job> walks;
        for (Item* root : g(SharedFolder))
            walks.push_back(Job{Job::Walk, root->AsString(), root->AsString(), true});
        m_jobs.push_front(Job{Job::RescanEnd, std::string(), std::string(), true});
        m_jobs.insert(m_jobs.begin(), walks.begin(), walks.end());
        return;
    }
    if (job.kind == Job::RescanEnd) {
        StartRemoving();
        return;
    }
    StartWalk(job);
}

void ShareScanner::StartWalk(const Job& job)
{
    // Roots come from shared_folder items; one removed since the walk was asked for is not
    // made again.
    m_root = d.GetType(SharedFolder)->HasItem(Value(job.root)).Get();
    if (!m_root)
        return;
    m_job = job;
    m_phase = Phase::Walking;
    m_entered.clear();
    m_batch = ShareWalk::Batch();
    m_batchAt = 0;
    m_walkDone = false;
    m_walk = m_walker.Start(job.folder, StoreFiles());
}

ShareScanner::Step ShareScanner::WalkStep()
{
    if (!m_frames.empty() && m_frames.back().leaving) {
        LeaveStep(m_frames.back());
        return Step::Worked;
    }
    if (m_batchAt == m_batch.records.size()) {
        if (m_walkDone) {
            EndWalk();
            return Step::Worked;
        }
        if (!m_walker.Take(m_batch))
            return Step::Waiting;
        m_batchAt = 0;
        if (m_batch.walk != m_walk) {
            m_batch.records.clear();
            return Step::Worked;
        }
        m_walkDone = m_batch.last;
        return Step::Worked;
    }
    Apply(m_batch.records[m_batchAt++]);
    return Step::Worked;
}

void ShareScanner::Apply(const ShareWalk::Record& record)
{
    using ShareWalk::Record;
    switch (record.kind) {
    case Record::EnterFolder:
        EnterFolder(m_batch.Text(record));
        break;
    case Record::File:
        ApplyFile(m_frames.back(), m_batch.Text(record), record.size, record.mp3);
        break;
    case Record::LeaveFolder:
        m_frames.back().leaving = true;
        break;
    case Record::LoopSkipped:
        Log(LogCategories::kShared, 2,
            QStringLiteral("Not entering folder %1: it leads back into a folder above it")
                .arg(Text(m_batch.Text(record))));
        break;
    case Record::TwiceSkipped:
        Log(LogCategories::kShared, 2,
            QStringLiteral("Not entering folder %1: already shared as %2")
                .arg(Text(m_batch.Text(record)), Text(m_batch.Other(record))));
        break;
    }
}

void ShareScanner::EnterFolder(std::string_view path)
{
    Log(LogCategories::kShared, 1,
        QStringLiteral("Adding folder %1 as part of sharing %2").arg(Text(path), Text(m_job.root)));
    ItemPtr folder = d.GetType(SharedFileFolder)->GetItem(Value(std::string(path)));
    folder += m_root;
    m_entered.push_back(folder->Id());
    m_frames.emplace_back();
    Frame& frame = m_frames.back();
    frame.folder = folder.Get();
    frame.path = std::string(path);
    folder->VisitItems(m_shares.m_types.file, [&frame](Item* file) {
        frame.known.Add(file);
        return false;
    });
}

Item* ShareScanner::FindKnown(Frame& frame, const Item* name, size_t* index)
{
    // The first file, by id, linked both to the name and to the folder.
    const SharedFoldersManager::ScanTypes& types = m_shares.m_types;
    *index = size_t(-1);
    if (name->ConnectionCount(types.file) <= kNameFilesVisited ||
        frame.known.Size() > kFolderIndexed) {
        Item* found = nullptr;
        name->VisitItems(types.file, [&](Item* file) {
            found = Partner(file, types.folder) == frame.folder ? file : nullptr;
            return found != nullptr;
        });
        if (found)
            *index = frame.known.Find(found);
        return found;
    }
    if (!frame.byNameMade) {
        frame.byNameMade = true;
        for (size_t k = 0; k < frame.known.Size(); ++k) {
            if (Item* file = frame.known.At(k))
                frame.byName.emplace(Partner(file, types.name), k); // the first stays
        }
    }
    const auto at = frame.byName.find(name);
    if (at == frame.byName.end() || !frame.known.At(at->second))
        return nullptr;
    *index = at->second;
    return frame.known.At(at->second);
}

void ShareScanner::ApplyFile(Frame& frame, std::string_view name, qint64 size, bool mp3)
{
    const SharedFoldersManager::ScanTypes& types = m_shares.m_types;
    // Found or made in one look-up: a name just made has no file to find.
    ItemPtr nameItem = types.name->GetItem(Value(std::string(name)));
    size_t k = 0;
    ItemPtr file = FindKnown(frame, nameItem.Get(), &k);
    if (k != size_t(-1))
        frame.known.Mark(k);

    const std::string sizeText = std::to_string(size);
    // A file's words follow from its folder and name, which never change: a file that has
    // some has them all. Only those loaded from the store file, and new ones, have none.
    bool indexed = false;
    if (!file) {
        file = types.file->NewItem();
        file += frame.folder;
        file += nameItem;
        file += types.size->GetItem(sizeText);
        ++m_shares.m_filesAdded;
    } else {
        indexed = file.IsConnected(types.token);
        // Rewritten with another size: what replies advertise follows, and so does the MP3
        // scan, since the old details may no longer hold.
        if (file[SharedFileSize].AsString() != sizeText) {
            file += types.size->GetItem(sizeText);
            file.Disconnect(IsScanned);
            m_dropped = true;
        }
    }
    if (mp3 && !file.IsConnected(types.scanned)) {
        const std::string path = Join(frame.path, name);
        Q_EMIT m_shares.MP3ScanRequired(
            QString::fromLatin1(path.data(), static_cast<qsizetype>(path.size())));
    }
    if (indexed)
        return;
    if (!frame.indexed) {
        frame.indexed = true;
        if (!frame.folder->IsConnected(types.token))
            m_shares.LinkTokens(frame.folder, m_shares.TokenItems(frame.path));
    }
    m_shares.LinkTokens(file, m_shares.TokenItems(std::string(name)));
}

void ShareScanner::LeaveStep(Frame& frame)
{
    // Whatever the store knew and the disk no longer has, a few at a time.
    ItemSet gone;
    for (size_t n = 0; n < kRemovalsPerStep && frame.leaveAt < frame.known.Size();
         ++frame.leaveAt) {
        Item* file = frame.known.At(frame.leaveAt);
        if (file && !frame.known.Marked(frame.leaveAt)) {
            gone.Insert(file);
            ++n;
        }
    }
    m_shares.m_filesRemoved += static_cast<int>(gone.Size());
    m_dropped = m_dropped || !gone.IsEmpty();
    gone.Remove();
    if (frame.leaveAt == frame.known.Size())
        m_frames.pop_back();
}

void ShareScanner::EndWalk()
{
    m_phase = Phase::Idle;
    if (!m_job.partOfRescan)
        return;
    // The root's folders that the walk did not enter again: vanished from the disk, or no
    // longer reached from this root.
    std::sort(m_entered.begin(), m_entered.end());
    m_unlink.Clear();
    m_root->VisitItems(d.GetType(SharedFileFolder), [this](Item* folder) {
        if (!std::binary_search(m_entered.begin(), m_entered.end(), folder->Id()))
            m_unlink.Add(folder);
        return false;
    });
    m_unlinkAt = 0;
    if (m_unlink.Size() > 0)
        m_phase = Phase::Unlinking;
}

void ShareScanner::UnlinkStep()
{
    for (size_t n = 0; n < kRemovalsPerStep && m_unlinkAt < m_unlink.Size(); ++n, ++m_unlinkAt) {
        if (Item* folder = m_unlink.At(m_unlinkAt))
            ItemPtr(m_root).Disconnect(folder);
    }
    if (m_unlinkAt == m_unlink.Size()) {
        m_unlink.Clear();
        m_phase = Phase::Idle;
    }
}

void ShareScanner::StartRemoving()
{
    // Directories that vanished, and all those of roots that are gone. They are removed here
    // and not left to the sweep: a file there that shares its name item with a live file is
    // still reachable through that name, and would stay, and be counted again, forever.
    const ItemSet folders = g(SharedFileFolder).NotConnected(SharedFolder);
    const ItemSet files = folders.GetItems(SharedFile);
    m_shares.m_filesRemoved += static_cast<int>(files.Size());
    m_goneFiles.Clear();
    for (Item* file : files)
        m_goneFiles.Add(file);
    m_goneFolders.Clear();
    for (Item* folder : folders)
        m_goneFolders.Add(folder);
    m_removeAt = 0;
    m_phase = Phase::Removing;
}

void ShareScanner::RemoveStep()
{
    // The files first, then their folders.
    HeldItems& list = m_removeAt < m_goneFiles.Size() ? m_goneFiles : m_goneFolders;
    size_t at = &list == &m_goneFiles ? m_removeAt : m_removeAt - m_goneFiles.Size();
    ItemSet gone;
    for (size_t n = 0; n < kRemovalsPerStep && at < list.Size(); ++n, ++at, ++m_removeAt) {
        if (Item* item = list.At(at))
            gone.Insert(item);
    }
    m_dropped = m_dropped || !gone.IsEmpty();
    gone.Remove();
    if (m_removeAt < m_goneFiles.Size() + m_goneFolders.Size())
        return;
    m_goneFiles.Clear();
    m_goneFolders.Clear();
    // Nothing went: nothing can have been left unused.
    if (m_dropped)
        StartTidying(0);
    else
        m_phase = Phase::Reporting;
}

// The name, size, lower-case name, word and MP3 detail items that no file uses any more, which
// the garbage sweep would take. The sweep walks the whole store at once, half a second at a
// million files; this takes the few types a rescan leaves items of, a step at a time.
void ShareScanner::StartTidying(size_t type)
{
    m_tidyType = type;
    m_tidy.Clear();
    m_tidyAt = 0;
    if (m_tidyType == kLeftOverTypeCount) {
        m_phase = Phase::Reporting;
        return;
    }
    m_phase = Phase::Tidying;
    for (Item* item : d.GetType(kLeftOverTypes[m_tidyType])->GetItems())
        m_tidy.Add(item);
}

void ShareScanner::TidyStep()
{
    const Type* names = m_shares.m_types.name;
    const Type* files = m_shares.m_types.file;
    ItemSet unused;
    for (size_t n = 0; n < kTidiedPerStep && m_tidyAt < m_tidy.Size(); ++n, ++m_tidyAt) {
        Item* item = m_tidy.Live(m_tidyAt);
        if (!item)
            continue;
        // A name is kept by its files, not by its lower-case key.
        const bool used =
            item->GetType() == names ? item->IsConnected(files) : !item->IsDisconnectedFromAll();
        if (!used)
            unused.Insert(item);
    }
    unused.Remove();
    if (m_tidyAt == m_tidy.Size())
        StartTidying(m_tidyType + 1);
}

void ShareScanner::Report()
{
    m_phase = Phase::Idle;
    SharedFoldersManager::ReleaseFreedMemory(size_t(m_shares.m_filesRemoved));
    Q_EMIT m_shares.SharedFilesRescanned(m_shares.m_filesAdded, m_shares.m_filesRemoved);
    // Every file is in the word index now.
    m_shares.AnswerHeldSearches();
}

void ShareScanner::Abandon()
{
    m_frames.clear();
    m_entered.clear();
    m_unlink.Clear();
    m_batch = ShareWalk::Batch();
    m_batchAt = 0;
    m_root = nullptr;
    if (m_phase == Phase::Walking || m_phase == Phase::Unlinking)
        m_phase = Phase::Idle;
}

// ---------------------------------------------------------------------------------------------
// Removals by others

void ShareScanner::OnFileRemoved(Item* file)
{
    if (m_phase == Phase::Idle)
        return;
    for (Frame& frame : m_frames)
        frame.known.Forget(file);
    m_goneFiles.Forget(file);
}

void ShareScanner::OnFolderRemoved(Item* folder)
{
    if (m_phase == Phase::Idle)
        return;
    m_unlink.Forget(folder);
    m_goneFolders.Forget(folder);
    const bool applying = std::any_of(m_frames.begin(), m_frames.end(),
                                      [folder](const Frame& f) { return f.folder == folder; });
    if (applying) {
        m_walker.Cancel();
        Abandon();
    }
}

void ShareScanner::OnRootRemoved(Item* root)
{
    if (root != m_root || (m_phase != Phase::Walking && m_phase != Phase::Unlinking))
        return;
    // Its folders are the sweep's now.
    m_walker.Cancel();
    Abandon();
}

// ---------------------------------------------------------------------------------------------

std::vector<ShareWalk::StoreFile> ShareScanner::StoreFiles() const
{
    std::vector<ShareWalk::StoreFile> files;
    if (!dataSaver || dataSaver->Path().isEmpty())
        return files;
    const QByteArray path = QFile::encodeName(dataSaver->Path());
    std::vector<std::string> places{path.toStdString()};
    // Saved through a link, the file and its companions live beside the link's target.
    if (char* target = realpath(path.constData(), nullptr)) {
        places.emplace_back(target);
        std::free(target);
    }
    for (const std::string& place : places) {
        const auto slash = place.rfind('/');
        const std::string folder = slash == std::string::npos ? std::string(".")
                                   : slash == 0               ? std::string("/")
                                                              : place.substr(0, slash);
        struct stat st;
        if (stat(folder.c_str(), &st) == 0)
            files.push_back(
                ShareWalk::StoreFile{ShareWalk::FolderId(quint64(st.st_dev), quint64(st.st_ino)),
                                     place.substr(slash + 1)});
    }
    return files;
}

// ---------------------------------------------------------------------------------------------
// The manager's side

void SharedFoldersManager::Init()
{
    d.GetType(SharedFolder)
        ->itemAddedEvent.Add(NewEventHandler(this, &SharedFoldersManager::OnSharedFolderAdded));
    m_holdSearches = true;
    RescanShares();
}

void SharedFoldersManager::OnSharedFolderAdded(Item* item)
{
    AddSharedFiles(item->AsString(), item->AsString());
}

void SharedFoldersManager::RescanShares()
{
    m_scan->QueueRescan();
}

void SharedFoldersManager::AddSharedFiles(const std::string& root, const std::string& folder)
{
    m_scan->QueueWalk(root, folder);
}

bool SharedFoldersManager::IsScanning() const
{
    return m_scan->IsScanning();
}

void SharedFoldersManager::WaitForScans()
{
    m_scan->Finish();
}

void SharedFoldersManager::StopScans()
{
    m_scan->Stop();
}

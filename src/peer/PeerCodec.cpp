#include "peer/PeerMessages.h"
#include "peer/PeerMessenger.h"
#include "peer/PeerSchema.h"
#include "server/ServerSchema.h"

#include "store/Clock.h"
#include "store/GeneralFunctions.h"
#include "store/Log.h"
#include "store/MemStream.h"
#include "store/Settings.h"

#include <QMetaMethod>
#include <QPointer>
#include <QTcpSocket>

#include <algorithm>
#include <utility>

using namespace PeerTypes;
using ServerTypes::User;

namespace {

// Counts down the bytes a socket had waiting, in its buffer and its outbox, right after a message
// was written to it; done when they have all gone out.
class WriteDrain : public QObject
{
public:
    WriteDrain(QTcpSocket* socket, qint64 waiting, std::function<void()> done)
        : QObject(socket), m_left(waiting), m_done(std::move(done))
    {
        connect(socket, &QTcpSocket::bytesWritten, this, [this](qint64 n) {
            m_left -= n;
            if (m_left > 0)
                return;
            deleteLater();
            if (auto done = std::exchange(m_done, nullptr))
                done();
        });
    }
    bool Done() const { return m_left <= 0; }

private:
    qint64 m_left;
    std::function<void()> m_done;
};

} // namespace

// Every peer message code: its name in the log, the function that reads it when this client
// reads it, and (in the comment) who builds it. The builders of this file sit beside their
// readers below; codes 5 and 37 are built by the shared-folder manager, code 9 by its search
// answering, codes 46 and 51 by the transfer engine.
const PeerMessenger::MessageKind* PeerMessenger::FindMessageKind(quint32 code)
{
    // clang-format off
#define QV_MESSAGE(code, reader) {code, #code, reader}
    static const MessageKind kinds[] = {
        QV_MESSAGE(PM_SAY,                          nullptr),
        QV_MESSAGE(PM_GET_SHARED_FILE_LIST,         &PeerMessenger::ReadSharedFileListRequest),
                                                    // GetUserSharedFiles
        QV_MESSAGE(PM_SHARED_FILE_LIST,             &PeerMessenger::ReadSharedFileList),
                                                    // the share-list hook
        QV_MESSAGE(PM_FILE_SEARCH_REQUEST,          nullptr),
        QV_MESSAGE(PM_FILE_SEARCH_RESULT,           &PeerMessenger::ReadSearchReply),
                                                    // search answering
        QV_MESSAGE(PM_INVITE_USER_TO_ROOM,          nullptr),
        QV_MESSAGE(PM_CANCELLED_QUEUED_TRANSFER,    nullptr),
        QV_MESSAGE(PM_USER_INFO_REQUEST,            nullptr),
        QV_MESSAGE(PM_USER_INFO_REPLY,              nullptr),
        QV_MESSAGE(PM_SEND_CONNECT_TOKEN,           nullptr),
        QV_MESSAGE(PM_MOVE_DOWNLOAD_TO_TOP,         nullptr),
        QV_MESSAGE(PM_GET_SHARED_FILES_IN_FOLDER,   &PeerMessenger::ReadFolderContentsRequest),
        QV_MESSAGE(PM_SHARED_FILES_IN_FOLDER,       nullptr), // OnFilesInFoldersRequested
        QV_MESSAGE(PM_TRANSFER_REQUEST,             &PeerMessenger::ReadTransferRequest),
                                                    // RequestUpload
        QV_MESSAGE(PM_TRANSFER_RESPONSE,            &PeerMessenger::ReadTransferResponse),
                                                    // AcceptTransferRequest, DenyTransferRequest
        QV_MESSAGE(PM_PLACEHOLD_UPLOAD,             nullptr),
        QV_MESSAGE(PM_QUEUE_UPLOAD,                 &PeerMessenger::ReadQueueUpload),
                                                    // QueueDownload
        QV_MESSAGE(PM_UPLOAD_PLACE_IN_LINE,         &PeerMessenger::ReadPlaceInLine),
        QV_MESSAGE(PM_UPLOAD_FAILED,                &PeerMessenger::ReadUploadFailed),
                                                    // the transfer engine
        QV_MESSAGE(PM_EXACT_FILE_SEARCH_REQUEST,    nullptr),
        QV_MESSAGE(PM_QUEUED_DOWNLOADS,             nullptr),
        QV_MESSAGE(PM_INDIRECT_FILE_SEARCH_REQUEST, nullptr),
        QV_MESSAGE(PM_UPLOAD_DENIED,                &PeerMessenger::ReadUploadDenied),
                                                    // DenyUpload
        QV_MESSAGE(PM_UPLOAD_PLACE_IN_LINE_REQUEST, nullptr), // the transfer engine
        QV_MESSAGE(PM_NOTHING,                      nullptr),
    };
    // clang-format on
#undef QV_MESSAGE
    for (const MessageKind& kind : kinds) {
        if (kind.code == code)
            return &kind;
    }
    return nullptr;
}

QString PeerMessenger::MessageCodeToString(int code)
{
    if (const MessageKind* kind = FindMessageKind(quint32(code)))
        return QString::fromLatin1(kind->name);
    return QStringLiteral("%1 (unknown)").arg(code);
}

bool PeerMessenger::HandlePeerMessage(QTcpSocket* socket, MemStream& body)
{
    ItemPtr socketItem = d.GetType(PeerSocket)->HasItem(Value(socket));
    if (!socketItem)
        return false;
    const std::string user = socketItem[User].AsString();
    quint32 code = 0;
    if (!body.Read(code)) {
        Log(LogCategories::kPeerMessenger, 1,
            QStringLiteral("Could not read message code on connection to user %1, disposing of "
                           "socket")
                .arg(TextForLog(user)));
        return false;
    }
    TouchActivity(socket);
    Log(LogCategories::kPeerMessenger, 1,
        QStringLiteral("Received %1 message from user %2")
            .arg(MessageCodeToString(int(code)), TextForLog(user)));
    const MessageKind* kind = FindMessageKind(code);
    if (!kind || !kind->read)
        return true;
    m_messageSocket = socket;
    const bool keep = (this->*kind->read)(user, body);
    m_messageSocket = nullptr;
    return keep;
}

namespace {

// What inflating a compressed body came to, logged: whether the body is there. When it is not,
// *keep tells whether the connection stays: a body that could not be allocated is dropped with
// the connection kept; a corrupt, cut short or too large one closes it. cap is what the body was
// inflated within.
bool Inflated(ZInflateResult result, qsizetype cap, bool* keep)
{
    *keep = result == ZInflateResult::NoMemory;
    switch (result) {
    case ZInflateResult::Ok:
        return true;
    case ZInflateResult::TooLarge:
        Log(LogCategories::kPeerMessenger, 2,
            QStringLiteral("Compressed message inflates to more than %1 bytes").arg(cap));
        return false;
    case ZInflateResult::NoMemory:
        Log(LogCategories::kPeerMessenger, 2,
            QStringLiteral("No memory to inflate a compressed message, dropped"));
        return false;
    case ZInflateResult::Corrupt:
        return false;
    }
    return false;
}

// The compressed rest of a message, inflated, as Inflated tells.
bool InflateRest(MemStream& fields, qsizetype cap, QByteArray* body, bool* keep)
{
    return Inflated(ZInflate(fields.GetReadBuffer(), fields.GetPendingReadLength(), cap, body), cap,
                    keep);
}

QString ShareListRefusal(ShareListCheck check)
{
    switch (check) {
    case ShareListCheck::TooManyEntries:
        return QStringLiteral("more than %1 folders and files").arg(kMaxShareListEntries);
    case ShareListCheck::TooManyFolders:
        return QStringLiteral("more than %1 folders").arg(kMaxShareListFolders);
    case ShareListCheck::PathsTooLong:
        return QStringLiteral("folder paths of more than %1 bytes in all")
            .arg(kMaxShareListFolderPathBytes);
    case ShareListCheck::TooDeep:
        return QStringLiteral("folders nested more than %1 deep").arg(kMaxShareListDepth);
    case ShareListCheck::PathTooLong:
        return QStringLiteral("a folder path longer than %1 bytes").arg(kMaxShareListPathLength);
    case ShareListCheck::Ok:
    case ShareListCheck::Malformed:
        break;
    }
    return QString();
}

} // namespace

// Code 4 and its builder. The reply is the shared-folder manager's; it may take a while.

void PeerMessenger::GetUserSharedFiles(std::string user)
{
    m_shareListsAsked[user] = Clock::MonotonicMs();
    MemStream m;
    m.Write(quint32(PM_GET_SHARED_FILE_LIST));
    SendMessage(user, m);
}

bool PeerMessenger::ReadSharedFileListRequest(const std::string& user, MemStream&)
{
    if (m_shareListHook)
        m_shareListHook(user);
    return true;
}

std::function<bool()> PeerMessenger::WatchLastSent(const std::string& userName,
                                                   std::function<void()> gone)
{
    ItemPtr user = d.GetType(User)->HasItem(Value(userName));
    const ItemSet sockets = user.GetItems(PeerSocket);
    if (!sockets.empty()) {
        auto* socket = ChosenSocket(sockets, false).AsPointer<QTcpSocket>();
        if (WaitingOn(socket) == 0)
            return [] { return true; };
        // Gone once its bytes are written, or with its socket.
        QPointer<QObject> drain(new WriteDrain(socket, WaitingOn(socket), std::move(gone)));
        return [drain] { return !drain || static_cast<WriteDrain*>(drain.data())->Done(); };
    }
    std::vector<uint32_t> unsent;
    for (Item* i : user.GetItems(UnsentMessage))
        unsent.push_back(i->Id());
    return [unsent = std::move(unsent)] {
        Type* type = d.GetType(UnsentMessage);
        return std::none_of(unsent.begin(), unsent.end(), [type](uint32_t id) {
            const Item* item = d.ItemById(id);
            return item && item->GetType() == type;
        });
    };
}

qint64 PeerMessenger::BytesQueuedTo(const std::string& userName) const
{
    ItemPtr user = d.GetType(User)->HasItem(Value(userName));
    qint64 bytes = 0;
    if (!user)
        return bytes;
    for (Item* i : user.GetItems(UnsentMessage))
        bytes += ItemPtr(i).AsPointer<QByteArray>()->size();
    for (Item* i : user.GetItems(PeerSocket)) {
        const auto* socket = ItemPtr(i).AsPointer<QTcpSocket>();
        bytes += WaitingOn(socket) + KernelUnsent(socket);
    }
    return bytes;
}

// Code 5.

void PeerMessenger::DropShareList(const std::string& user, const QString& why)
{
    // One line a user between two sweeps: a peer may send lists on every connection it holds.
    if (m_shareListDropsLogged.insert(user).second)
        Log(LogCategories::kPeerMessenger, 1,
            QStringLiteral("Shared file list from user %1 %2, dropping it")
                .arg(TextForLog(user), why));
}

bool PeerMessenger::ReadSharedFileList(const std::string& user, MemStream& fields)
{
    if (!m_shareListsAsked.count(user)) {
        DropShareList(user, QStringLiteral("was not asked for"));
        return true;
    }
    // The request is answered by the list being read, whatever it turns out to hold.
    if (m_shareListReader && m_shareListReader->IsReading(user)) {
        DropShareList(user, QStringLiteral("came while another one is read"));
        return true;
    }
    const char* data = fields.GetReadBuffer();
    const qsizetype size = fields.GetPendingReadLength();
    // A small list is read here and now; a bigger one inflates past the first bytes and is read
    // again, from the start, by the reader, while its connection waits.
    const qsizetype inline_ = qMin(m_inlineShareListBytes, kMaxShareListBytes);
    ShareListRead read = ReadShareList(data, size, inline_);
    if (read.inflated == ZInflateResult::TooLarge && inline_ < kMaxShareListBytes &&
        m_messageSocket) {
        if (!m_shareListReader) {
            m_shareListReader = std::make_unique<ShareListReader>(
                [this](QTcpSocket* socket, const std::string& from, ShareListRead& done) {
                    OnShareListRead(socket, from, done);
                });
            m_shareListReader->HoldForTesting(m_shareListReadsHeld);
        }
        ReceiveState(m_messageSocket).m_paused = true;
        // Whatever the peer sends meanwhile waits in the system's buffers and then its own, not
        // in ours.
        m_messageSocket->setReadBufferSize(kMaxPausedReadBytes);
        m_shareListReader->Read(m_messageSocket, user, QByteArray(data, size), kMaxShareListBytes);
        return true;
    }
    return DeliverShareList(user, read, inline_);
}

bool PeerMessenger::DeliverShareList(const std::string& user, ShareListRead& read, qsizetype cap)
{
    bool keep = false;
    if (!Inflated(read.inflated, cap, &keep))
        return keep;
    if (read.check == ShareListCheck::Malformed)
        return false;
    if (read.check != ShareListCheck::Ok) {
        Log(LogCategories::kPeerMessenger, 1,
            QStringLiteral("Shared file list from user %1 refused: %2")
                .arg(TextForLog(user), ShareListRefusal(read.check)));
        m_shareListsAsked.erase(user);
        // Whoever waits for the list hears of it as of a browse that could not be made.
        Q_EMIT ConnectionToUserFailed(user, "P");
        return true;
    }
    m_shareListsAsked.erase(user);
    // The list is made into a folder map only for someone who listens for one: the shared-folder
    // manager takes it as it came, a fraction of the map's size.
    if (isSignalConnected(QMetaMethod::fromSignal(&PeerMessenger::UserShare)))
        Q_EMIT UserShare(user, read.list->ToMap(), read.list->Attributes());
    if (m_receivedListHook)
        m_receivedListHook(user, std::move(read.list));
    return true;
}

void PeerMessenger::OnShareListRead(QTcpSocket* socket, const std::string& user,
                                    ShareListRead& read)
{
    bool keep = true;
    // The request may have been answered or given up while the list was read.
    if (m_shareListsAsked.count(user))
        keep = DeliverShareList(user, read, kMaxShareListBytes);
    else
        DropShareList(user, QStringLiteral("was read after its request was over"));
    if (!socket || !d.GetType(PeerSocket)->HasItem(Value(socket)))
        return;
    if (!keep) {
        socket->disconnect();
        DisposeOfSocket(socket);
        return;
    }
    // The frames that came after the list, read now as they would have been then.
    ReceiveState(socket).m_paused = false;
    socket->setReadBufferSize(0);
    QPointer<QTcpSocket> later(socket);
    QMetaObject::invokeMethod(
        this,
        [this, later] {
            if (later)
                ReadSocket(later);
        },
        Qt::QueuedConnection);
}

void PeerMessenger::WaitForShareLists()
{
    if (m_shareListReader)
        m_shareListReader->Finish();
}

void PeerMessenger::HoldShareListReadsForTesting(bool hold)
{
    m_shareListReadsHeld = hold;
    if (m_shareListReader)
        m_shareListReader->HoldForTesting(hold);
}

// Code 9.

bool PeerMessenger::ReadSearchReply(const std::string& user, MemStream& fields)
{
    QByteArray body;
    bool keep = false;
    if (!InflateRest(fields, kMaxSearchReplyBytes, &body, &keep))
        return keep;
    BytesInputStream in(body);
    std::string replier;
    if (!in.Read(replier) || replier != user)
        return false;
    quint32 token = 0;
    if (!in.Read(token))
        return false;
    // A reply to a search that is gone is dropped unread.
    ItemPtr request = d.GetType(SearchRequest)->HasItem(Value(token));
    if (!request)
        return true;
    // Counts are unsigned and bounded, and each record is read into a fresh one: a record
    // with code 0 is empty, never a repeat of the one before.
    std::vector<FileInfo> files;
    if (!in.Read(files))
        return false;
    quint8 freeSlot = 0;
    quint32 speed = 0;
    quint32 queued = 0;
    // Older clients end the reply here: what is missing counts as 0.
    if (in.Read(freeSlot) && in.Read(speed))
        in.Read(queued);
    StoreSearchReply(user, request, files, freeSlot, speed, queued);
    return true;
}

void PeerMessenger::StoreSearchReply(const std::string& user, ItemPtr request,
                                     const std::vector<FileInfo>& files, quint8 freeSlot,
                                     quint32 speed, quint32 queued)
{
    ItemPtr userItem = d.GetType(User)->GetItem(Value(user));
    ItemPtr results = d.GetType(PeerTypes::SearchResults)->NewItem();
    Type* names = d.GetType(SearchResultFileName);
    Type* folders = d.GetType(SearchResultFileFolder);
    for (const FileInfo& file : files) {
        ItemPtr name = names->GetItem(Value(GetFileName(file.name)));
        ItemPtr folder = folders->GetItem(Value(GetFolder(file.name)));
        // A file this user listed before, for any search, is shown once. The new results item
        // is not yet tied to the user, so repeats within this reply all stay.
        bool listed = false;
        for (Item* earlier : d.GetItems(name, folder, SearchResult)) {
            if (ItemPtr(earlier)[PeerTypes::SearchResults].IsConnected(userItem)) {
                listed = true;
                break;
            }
        }
        if (listed)
            continue;
        ItemPtr result = d.GetType(SearchResult)->NewItem();
        // A bitrate or length is never below nothing: past 2^31 it is a big one, not a
        // negative one.
        for (const auto& [code, value] : file.attributes.attributes) {
            switch (code) {
            case AttributeMap::Bitrate:
                result += d.GetType(Bitrate)->GetItem(Value(quint32(value)));
                break;
            case AttributeMap::LengthSeconds:
                result += d.GetType(LengthSeconds)->GetItem(Value(quint32(value)));
                break;
            case AttributeMap::VariableBitrate:
                result += d.GetType(BitrateMode)->GetItem(Value(value != 0 ? "vbr" : "cbr"));
                break;
            default:
                break;
            }
        }
        result += results;
        result += name;
        result += folder;
        result += d.GetType(FileSize)->GetItem(Value(static_cast<long long>(file.size)));
    }
    if (!results.IsConnected(SearchResult)) {
        results.Remove();
        return;
    }
    results += request;
    results += userItem;
    results += d.GetType(SearchResultsUserAvailable)->GetItem(Value(freeSlot ? "yes" : "no"));
    // Unsigned as they come: read signed, a queue of 2^32 - 1 would be -1 and rank first.
    results += d.GetType(SearchResultsUserSpeed)->GetItem(Value(speed));
    results += d.GetType(SearchResultsUploadsInQueue)->GetItem(Value(queued));
    Q_EMIT SearchResults(results);
}

// Code 36. Answered (code 37) by the shared-folder manager.

bool PeerMessenger::ReadFolderContentsRequest(const std::string& user, MemStream& fields)
{
    quint32 token = 0;
    std::string folder;
    if (!fields.Read(token) || !fields.Read(folder))
        return false;
    Q_EMIT SharedFilesInFolderRequested(user, token, folder);
    return true;
}

// Code 40 and its builder.

quint32 PeerMessenger::RequestUpload(std::string user, std::string file, qint64 size)
{
    // The counter is a saved setting, so tokens go on rising across restarts.
    const quint32 token = quint32(Settings::Int64(SettingKeys::TransferReqCounter));
    Settings::SetNumber(SettingKeys::TransferReqCounter, quint32(token + 1u));
    MemStream m;
    m.Write(quint32(PM_TRANSFER_REQUEST));
    m.Write(quint32(1)); // direction: we would upload
    m.Write(token);
    m.Write(file);
    m.Write(size);
    SendMessage(user, m);
    return token;
}

bool PeerMessenger::ReadTransferRequest(const std::string& user, MemStream& fields)
{
    quint32 direction = 0;
    quint32 token = 0;
    std::string file;
    qint64 size = 0;
    if (!fields.Read(direction) || !fields.Read(token) || !fields.Read(file))
        return false;
    // Only an upload offer says how large the file is.
    if (direction == 1 && !fields.Read(size))
        return false;
    Q_EMIT FileTransferRequested(user, int(direction), token, file, size);
    return true;
}

// Code 41 and its builders.

void PeerMessenger::AcceptTransferRequest(std::string user, quint32 token, bool hasSize,
                                          qint64 size)
{
    m_fileConnectionsDue[user][token] = Clock::MonotonicMs();
    MemStream m;
    m.Write(quint32(PM_TRANSFER_RESPONSE));
    m.Write(token);
    m.Write(quint8(1));
    if (hasSize)
        m.Write(size);
    SendMessage(user, m);
}

void PeerMessenger::WithdrawFileConnection(const std::string& user, quint32 token)
{
    const auto due = m_fileConnectionsDue.find(user);
    if (due == m_fileConnectionsDue.end())
        return;
    due->second.erase(token);
    if (due->second.empty())
        m_fileConnectionsDue.erase(due);
}

void PeerMessenger::DenyTransferRequest(std::string user, quint32 token, std::string reason)
{
    MemStream m;
    m.Write(quint32(PM_TRANSFER_RESPONSE));
    m.Write(token);
    m.Write(quint8(0));
    m.Write(reason);
    SendMessage(user, m);
}

bool PeerMessenger::ReadTransferResponse(const std::string& user, MemStream& fields)
{
    quint32 token = 0;
    quint8 allowed = 0;
    if (!fields.Read(token) || !fields.Read(allowed))
        return false;
    if (allowed) {
        qint64 size = 0;
        const bool hasSize = fields.Read(size);
        Q_EMIT FileTransferResponse(user, token, true, hasSize, hasSize ? size : 0, std::string());
        return true;
    }
    std::string reason;
    if (!fields.Read(reason))
        return false;
    Q_EMIT FileTransferResponse(user, token, false, false, 0, reason);
    return true;
}

// Code 43 and its builder.

void PeerMessenger::QueueDownload(std::string user, std::string file)
{
    MemStream m;
    m.Write(quint32(PM_QUEUE_UPLOAD));
    m.Write(file);
    SendMessage(user, m);
}

bool PeerMessenger::ReadQueueUpload(const std::string& user, MemStream& fields)
{
    std::string file;
    if (!fields.Read(file))
        return false;
    Q_EMIT QueueUploadRequested(user, file);
    return true;
}

// Code 44.

bool PeerMessenger::ReadPlaceInLine(const std::string& user, MemStream& fields)
{
    std::string file;
    quint32 place = 0;
    if (!fields.Read(file) || !fields.Read(place))
        return false;
    Q_EMIT DownloadPlaceInLine(user, file, place);
    return true;
}

// Code 46.

bool PeerMessenger::ReadUploadFailed(const std::string& user, MemStream& fields)
{
    std::string file;
    if (!fields.Read(file))
        return false;
    Q_EMIT UploadFailed(user, file);
    return true;
}

// Code 50 and its builder.

void PeerMessenger::DenyUpload(std::string user, std::string file, std::string reason)
{
    MemStream m;
    m.Write(quint32(PM_UPLOAD_DENIED));
    m.Write(file);
    m.Write(reason);
    SendMessage(user, m);
}

bool PeerMessenger::ReadUploadDenied(const std::string& user, MemStream& fields)
{
    std::string file;
    std::string reason;
    if (!fields.Read(file) || !fields.Read(reason))
        return false;
    Q_EMIT UploadDenied(user, file, reason);
    return true;
}

// Every peer message code, as the connection manager reads a frame body from "bob" on an open
// messaging connection. Byte 0 of the input: bit 0 compresses everything after the message code
// (so that the fuzzer reaches the fields of codes 5 and 9 behind their zlib stream); bit 1 means
// we asked bob for his share list; bit 2 installs a share-list hook that answers at once. The
// store holds searches 1 to 3, and bob's earlier reply to search 1 listing \music\a.mp3. The rest
// of the input is the message: its code, then its fields.
//
// Checked: a refused message (false) leaves no trace, neither a store item nor a signal nor a
// share-list build; a kept one emits at most one signal, and exactly one for the codes whose
// fields all read; a share list is only taken when asked for; every search result made is
// complete and tied to bob and its search; the hook runs only for code 4; no allocation exceeds
// the inflate cap of the code.

#include "FuzzEngine.h"
#include "FuzzSupport.h"

#include "peer/PeerMessages.h"
#include "peer/PeerMessenger.h"
#include "store/Data.h"
#include "store/MemStream.h"

#include <QTcpSocket>
#include <QtEndian>

#include <zlib.h>

namespace {

class Bob
{
public:
    Bob() : peer(engine.peer())
    {
        user = d.GetType("user")->GetItem(Value("bob"));
        d.GetType("peer_socket")->NewItem(Value(&socket)) += user;
        for (unsigned token = 1; token <= 3; ++token)
            d.GetType("search_request")->NewItem(Value(token));
        const auto count = [this] { ++emitted; };
        QObject::connect(peer, &PeerMessenger::UserShare, &receiver, count);
        QObject::connect(peer, &PeerMessenger::SearchResults, &receiver, [this](ItemPtr r) {
            ++emitted;
            results = r;
        });
        QObject::connect(peer, &PeerMessenger::SharedFilesInFolderRequested, &receiver, count);
        QObject::connect(peer, &PeerMessenger::FileTransferRequested, &receiver, count);
        QObject::connect(peer, &PeerMessenger::FileTransferResponse, &receiver, count);
        QObject::connect(peer, &PeerMessenger::QueueUploadRequested, &receiver, count);
        QObject::connect(peer, &PeerMessenger::DownloadPlaceInLine, &receiver, count);
        QObject::connect(peer, &PeerMessenger::UploadFailed, &receiver, count);
        QObject::connect(peer, &PeerMessenger::UploadDenied, &receiver, count);
    }

    bool Feed(const QByteArray& body)
    {
        MemStream m;
        m.WriteBuffer(body.constData(), static_cast<unsigned long>(body.size()));
        return peer->HandleMessage(&socket, m);
    }

    FuzzRun run{EngineOptions()};
    Engine& engine{run.engine()};
    QTcpSocket socket;
    // The connections above go with it, so that no later input's signal reaches this Bob.
    QObject receiver;
    PeerMessenger* peer;
    ItemPtr user;
    int emitted = 0;
    int builds = 0;
    ItemPtr results;
};

QByteArray Compress(const char* data, qsizetype n)
{
    QByteArray out(qsizetype(compressBound(uLong(n))), '\0');
    uLongf length = uLongf(out.size());
    compress2(reinterpret_cast<Bytef*>(out.data()), &length, reinterpret_cast<const Bytef*>(data),
              uLong(n), 9);
    out.resize(qsizetype(length));
    return out;
}

// Bob's earlier reply to search 1: one file, \music\a.mp3.
QByteArray EarlierReply()
{
    MemStream body;
    body.Write(std::string("bob"));
    body.Write(quint32(1));
    body.Write(quint32(1));
    body.Write(FileInfo("\\music\\a.mp3", 10));
    MemStream message;
    ZMessage(PM_FILE_SEARCH_RESULT, body.GetBuffer(), body.GetBufferLength(), &message);
    return QByteArray(message.GetBuffer(), message.GetBufferLength());
}

bool ReadHere(quint32 code)
{
    switch (code) {
    case PM_GET_SHARED_FILE_LIST:
    case PM_SHARED_FILE_LIST:
    case PM_FILE_SEARCH_RESULT:
    case PM_GET_SHARED_FILES_IN_FOLDER:
    case PM_TRANSFER_REQUEST:
    case PM_TRANSFER_RESPONSE:
    case PM_QUEUE_UPLOAD:
    case PM_UPLOAD_PLACE_IN_LINE:
    case PM_UPLOAD_FAILED:
    case PM_UPLOAD_DENIED:
        return true;
    default:
        return false;
    }
}

void CheckResults(Bob& bob)
{
    ItemPtr r = bob.results;
    FUZZ_CHECK(r["user"] == bob.user);
    FUZZ_CHECK(r["search_request"]);
    FUZZ_CHECK(r["search_results_user_available"]);
    FUZZ_CHECK(r["search_results_user_speed"]);
    FUZZ_CHECK(r["search_results_uploads_in_queue"]);
    const ItemSet files = r.GetItems("search_result");
    FUZZ_CHECK(!files.empty());
    for (Item* i : files) {
        ItemPtr file(i);
        FUZZ_CHECK(file["search_result_file_name"]);
        FUZZ_CHECK(file["search_result_file_folder"]);
        FUZZ_CHECK(file["file_size"]);
        // The earlier reply's file is never listed again.
        FUZZ_CHECK(!(file["search_result_file_name"].AsString() == "a.mp3" &&
                     file["search_result_file_folder"].AsString() == "\\music"));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    EnsureApplication();
    const quint8 control = data[0];
    const char* rest = reinterpret_cast<const char*>(data + 1);
    const qsizetype n = qsizetype(size - 1);
    QByteArray body(rest, n);
    if ((control & 1) && n >= 4)
        body = body.left(4) + Compress(rest + 4, n - 4);
    const bool asked = control & 2;
    const bool hook = control & 4;

    Bob bob;
    FUZZ_CHECK(bob.Feed(EarlierReply()));
    FUZZ_CHECK(bob.emitted == 1);
    bob.emitted = 0;
    bob.results = ItemPtr();
    if (asked)
        bob.peer->GetUserSharedFiles("bob");
    if (hook) {
        bob.peer->SetShareListHook([&bob](const std::string& user) {
            FUZZ_CHECK(user == "bob");
            ++bob.builds;
        });
    }

    const quint32 code = body.size() >= 4 ? qFromLittleEndian<quint32>(body.constData()) : 0;
    const size_t itemsBefore = d.ItemCount();
    const size_t resultsBefore = d.GetType("search_results")->ItemCount();
    bool ok;
    {
        const qsizetype cap =
            code == PM_SHARED_FILE_LIST ? kMaxShareListBytes : kMaxSearchReplyBytes;
        AllocationWatch watch(size_t(cap) + 64, "peer message");
        ok = bob.Feed(body);
    }

    FUZZ_CHECK(bob.emitted <= 1);
    FUZZ_CHECK(bob.builds == 0 || (code == PM_GET_SHARED_FILE_LIST && bob.builds == 1));
    if (!ok) {
        FUZZ_CHECK(bob.emitted == 0 && bob.builds == 0);
        FUZZ_CHECK(d.ItemCount() == itemsBefore);
        FUZZ_CHECK(ReadHere(code) || body.size() < 4);
        return 0;
    }
    if (!ReadHere(code) || code == PM_GET_SHARED_FILE_LIST) {
        FUZZ_CHECK(bob.emitted == 0);
        FUZZ_CHECK(d.ItemCount() == itemsBefore);
        FUZZ_CHECK(bob.builds == (code == PM_GET_SHARED_FILE_LIST && hook ? 1 : 0));
        return 0;
    }
    if (code == PM_SHARED_FILE_LIST) {
        // Unasked, it is dropped unread; asked, it is taken unless it cannot be allocated.
        FUZZ_CHECK(asked || bob.emitted == 0);
        return 0;
    }
    if (code == PM_FILE_SEARCH_RESULT) {
        if (bob.emitted == 1)
            CheckResults(bob);
        else
            FUZZ_CHECK(d.GetType("search_results")->ItemCount() == resultsBefore);
        return 0;
    }
    FUZZ_CHECK(bob.emitted == 1);
    FUZZ_CHECK(d.ItemCount() == itemsBefore);
    return 0;
}

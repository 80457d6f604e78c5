// Answering a share-list request for a big share: 1,000,000 files in 50,000 folders, put in the
// store the way a scan leaves them (no disk involved). Each figure is printed with its baseline,
// measured in the same run, and the ratio to its target:
//   first request    GetSharedFilesMessage, against compress2 at level 9 of the same body
//                    alone (target 1.25x)
//   repeat           the same request again, nothing changed, against the first (target 1%)
//   GUI thread       how long a request from the network holds the calling thread before the
//                    compression goes to a worker (target: about a second), and when the
//                    reply is ready
// Nothing is asserted. Run it from a Release build.

#include "engine/Engine.h"
#include "peer/PeerMessages.h"
#include "shares/SharedFoldersManager.h"
#include "store/Data.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <zlib.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kArtists = 250;
constexpr int kAlbumsPerArtist = 200; // 50,000 folders
constexpr int kFilesPerFolder = 20;   // 1,000,000 files

const char* const kKinds[] = {".mp3", ".mp3", ".ogg", ".flac", ".jpg", ".mp3", ".MP3", ".txt"};

void MakeShare()
{
    Type* folders = d.GetType("shared_file_folder");
    Type* files = d.GetType("shared_file");
    Type* names = d.GetType("shared_file_name");
    Type* sizes = d.GetType("shared_file_size");
    Type* bitrates = d.GetType("bitrate");
    Type* modes = d.GetType("bitrate_mode");
    ItemPtr root = d.GetType("shared_folder")->GetItem(Value("/home/user/Music"));
    root.NewItem("shared_public");
    unsigned seed = 7;
    for (int a = 0; a < kArtists; ++a) {
        const std::string artist = "/home/user/Music/Artist " + std::to_string(a);
        for (int b = 0; b < kAlbumsPerArtist; ++b) {
            ItemPtr folder = folders->GetItem(Value(artist + "/Album " + std::to_string(b) + " (" +
                                                    std::to_string(1960 + b % 60) + ")"));
            root += folder;
            for (int f = 0; f < kFilesPerFolder; ++f) {
                seed = seed * 1103515245u + 12345u;
                ItemPtr file = files->NewItem();
                file += folder;
                const char* kind = kKinds[f % 8];
                file += names->GetItem(Value(std::to_string(f + 1) + " - Track " +
                                             std::to_string(seed % 100000) + kind));
                file += sizes->GetItem(Value(static_cast<long long>(100000 + seed % 9000000)));
                if (kind[1] == 'm' || kind[1] == 'M') {
                    file += bitrates->GetItem(Value(int(128 + (seed >> 8) % 4 * 64)));
                    file += modes->GetItem(Value((seed >> 12) % 3 ? "cbr" : "vbr"));
                }
            }
        }
    }
}

double Seconds(const QElapsedTimer& t)
{
    return double(t.nsecsElapsed()) / 1e9;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    EngineOptions options;
    options.peerMessenger = false;
    Engine engine(options);
    SharedFoldersManager& shares = *engine.shares();

    QElapsedTimer t;
    t.start();
    MakeShare();
    std::printf("share: %d files in %d folders, made in %.1f s\n",
                kArtists * kAlbumsPerArtist * kFilesPerFolder, kArtists * kAlbumsPerArtist,
                Seconds(t));

    t.restart();
    const MemStream first = shares.GetSharedFilesMessage("bob");
    const double firstSeconds = Seconds(t);
    const QByteArray message(first.GetBuffer(), first.GetBufferLength());

    // The body back out of the message, and compress2 on it alone.
    QByteArray body;
    if (ZInflate(message.constData() + 4, message.size() - 4, kMaxShareListBytes, &body) !=
        ZInflateResult::Ok) {
        std::printf("the message does not inflate\n");
        return 1;
    }
    QByteArray compressed(qsizetype(compressBound(uLong(body.size()))), '\0');
    uLongf length = uLongf(compressed.size());
    t.restart();
    compress2(reinterpret_cast<Bytef*>(compressed.data()), &length,
              reinterpret_cast<const Bytef*>(body.constData()), uLong(body.size()), 9);
    const double compressSeconds = Seconds(t);
    std::printf("body %lld bytes, message %lld bytes (%s compress2's bytes)\n",
                static_cast<long long>(body.size()), static_cast<long long>(message.size()),
                message.mid(4) == compressed.left(qsizetype(length)) ? "exactly" : "NOT");
    std::printf("first request: %.3f s; compress2 level 9 of the body alone: %.3f s; "
                "ratio %.2fx (target 1.25x)\n",
                firstSeconds, compressSeconds, firstSeconds / compressSeconds);

    t.restart();
    const MemStream again = shares.GetSharedFilesMessage("bob");
    const double repeatSeconds = Seconds(t);
    std::printf("repeat, nothing changed: %.2f ms, %.3f%% of the first (target 1%%)\n",
                repeatSeconds * 1e3, 100 * repeatSeconds / firstSeconds);

    // Something changes, and a peer asks: the list is built on this thread and compressed on a
    // worker.
    d.GetType("shared_file")
        ->GetItems()
        .First()
        ->Connect(d.GetType("shared_file_size")->GetItem(Value(1)));
    bool replied = false;
    QElapsedTimer total;
    total.start();
    t.restart();
    shares.AnswerShareListRequest("bob", [&replied](MemStream) { replied = true; });
    const double blockedSeconds = Seconds(t);
    while (!replied)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    std::printf("request from the network: GUI thread held %.3f s (target about 1 s, "
                "ratio %.2fx); reply ready after %.3f s\n",
                blockedSeconds, blockedSeconds / 1.0, Seconds(total));
    return 0;
}

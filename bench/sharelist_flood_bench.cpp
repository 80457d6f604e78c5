// What a browsed peer's big share lists cost us: a list of a million files that compresses to
// about 300 KB and inflates to about 250 MiB, sent by the peer we asked on 1 and on 16 messaging
// connections at once, and sent once more followed by 256 MB streamed on the same connection
// while it is read. The peer is a thread of plain blocking sockets, so that what it sends waits
// in the system's buffers and never in this process. Each figure is the rise of the resident
// set's high-water mark over the run (VmHWM, reset before each run), printed with the one-list
// run as its baseline and the ratio to its target:
//   16 connections   within twice one list's inflated size plus 64 MB, one list delivered
//   streaming        the one-list figure plus PeerMessenger::kMaxPausedReadBytes, and 16 MB
//                    for the allocator's slack
// Nothing is asserted. Run it from a Release build (an ASan build shows its own figures).

#include "BenchLists.h"
#include "BenchShare.h"

#include "engine/Engine.h"
#include "peer/PeerMessages.h"
#include "peer/PeerMessenger.h"
#include "store/Data.h"
#include "store/DataSaver.h"
#include "store/Settings.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kFolders = 1000;
constexpr int kFilesPerFolder = 1000;
constexpr int kNameBytes = 240;
constexpr qint64 kStreamBytes = qint64(256) * 1024 * 1024;
constexpr double kMiB = 1024.0 * 1024.0;

using BenchShare::Frame;
using BenchShare::Put32;
using BenchShare::PutText;
using BenchShare::SendAll;
using BenchShare::WaitFor;

// The code 5 message: the code, then the list deflated a folder at a time.
std::string ListMessage(qint64* inflated)
{
    z_stream z{};
    deflateInit(&z, 9);
    std::string message;
    Put32(message, PM_SHARED_FILE_LIST);
    std::string out(1 << 20, '\0');
    *inflated = 0;
    const auto feed = [&](const std::string& in, bool last) {
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
        z.avail_in = uInt(in.size());
        *inflated += qint64(in.size());
        do {
            z.next_out = reinterpret_cast<Bytef*>(out.data());
            z.avail_out = uInt(out.size());
            deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
            message.append(out.data(), out.size() - z.avail_out);
        } while (z.avail_out == 0);
    };
    std::string head;
    Put32(head, kFolders);
    feed(head, false);
    const std::string name(kNameBytes, 'n');
    for (int f = 0; f < kFolders; ++f) {
        std::string folder;
        PutText(folder, "\\share\\f" + std::to_string(f));
        Put32(folder, kFilesPerFolder);
        for (int k = 0; k < kFilesPerFolder; ++k) {
            folder += char(1);
            PutText(folder, name);
            Put32(folder, quint32(k));
            Put32(folder, 0);
            PutText(folder, "");
            Put32(folder, 0);
        }
        feed(folder, false);
    }
    std::string tail;
    Put32(tail, 0); // no attribute names
    feed(tail, true);
    deflateEnd(&z);
    return message;
}

// The peer: connections as bob, each sending the list, the first then streaming.
class Bob
{
public:
    Bob(quint16 port, int connections)
    {
        for (int k = 0; k < connections; ++k) {
            const int fd = BenchShare::ConnectAsPeer(port, "bob");
            m_fds.push_back(fd);
        }
    }
    ~Bob()
    {
        if (m_thread.joinable())
            m_thread.join();
        for (int fd : m_fds)
            ::close(fd);
    }
    void Send(const std::string& listFrame, qint64 stream)
    {
        m_thread = std::thread([this, &listFrame, stream] {
            std::vector<std::thread> senders;
            for (size_t k = 0; k < m_fds.size(); ++k) {
                senders.emplace_back([this, k, &listFrame, stream] {
                    SendAll(m_fds[k], listFrame);
                    if (k != 0 || stream == 0)
                        return;
                    // Frames of an unknown code, 1 MiB each.
                    std::string filler((1 << 20) + 4, 'x');
                    std::memcpy(filler.data(), "\x00\x00\x10\x00\x63\x00\x00\x00", 8);
                    for (qint64 sent = 0; sent < stream && !m_stop; sent += qint64(filler.size()))
                        if (!SendAll(m_fds[k], filler))
                            return;
                    m_streamed = true;
                });
            }
            for (std::thread& t : senders)
                t.join();
        });
    }
    void Stop() { m_stop = true; }
    bool Streamed() const { return m_streamed; }

private:
    std::vector<int> m_fds;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_streamed{false};
};

struct Run
{
    double peakMiB = 0;
    int delivered = 0;
    double seconds = 0;
};

Run Measure(PeerMessenger& peer, const std::string& listFrame, int connections, qint64 stream)
{
    // Taken as the shared-folder manager takes it, and let go.
    int delivered = 0;
    peer.SetReceivedListHook([&delivered](const std::string&, auto) { ++delivered; });
    Run run;
    {
        Bob bob(peer.ListeningPort(), connections);
        WaitFor([&] { return int(d.GetType("peer_socket")->ItemCount()) == connections; }, 10000);
        peer.GetUserSharedFiles("bob");
        malloc_trim(0);
        const long long before = BenchShare::StatusKb("VmRSS");
        BenchLists::ResetPeak();
        QElapsedTimer t;
        t.start();
        bob.Send(listFrame, stream);
        // Until the list is in, and what streams behind it has been sent and read.
        WaitFor([&] { return delivered > 0 && (stream == 0 || bob.Streamed()); }, 600000);
        WaitFor([] { return false; }, stream > 0 ? 2000 : 500);
        run.seconds = double(t.nsecsElapsed()) / 1e9;
        run.peakMiB = double(BenchShare::StatusKb("VmHWM") - before) / 1024.0;
        run.delivered = delivered;
        bob.Stop();
    }
    peer.SetReceivedListHook({});
    WaitFor([] { return d.GetType("peer_socket")->ItemCount() == 0; }, 10000);
    return run;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    qint64 inflated = 0;
    const std::string listFrame = Frame(ListMessage(&inflated));
    std::printf("list: %.1f KB compressed, %.1f MiB inflated\n", double(listFrame.size()) / 1024,
                double(inflated) / kMiB);
    const double inflatedMiB = double(inflated) / kMiB;
    EngineOptions options;
    options.sharedFolders = false;
    options.transferQueue = false;
    options.loopbackListeners = true;
    Engine engine(options);
    Settings::Set(SettingKeys::Username, "alice");
    Settings::SetYes(SettingKeys::UseUpnp, false);
    dataSaver->EmitDataLoaded();
    PeerMessenger& peer = *engine.peer();
    const Run one = Measure(peer, listFrame, 1, 0);
    std::printf("1 connection (baseline): +%.0f MiB peak, %d list(s) delivered, %.1f s\n",
                one.peakMiB, one.delivered, one.seconds);
    const Run many = Measure(peer, listFrame, 16, 0);
    const double target = 2 * inflatedMiB + 64;
    std::printf("16 connections: +%.0f MiB peak (%.2f times the baseline), %d list(s) delivered, "
                "%.1f s; target at most %.0f MiB: %.2f of it, %s\n",
                many.peakMiB, one.peakMiB > 0 ? many.peakMiB / one.peakMiB : 0.0, many.delivered,
                many.seconds, target, many.peakMiB / target,
                many.peakMiB <= target && many.delivered == 1 ? "met" : "MISSED");
    const Run streaming = Measure(peer, listFrame, 1, kStreamBytes);
    const double bound = double(PeerMessenger::kMaxPausedReadBytes) / kMiB + 16;
    std::printf("1 connection streaming %lld MiB behind its list: +%.0f MiB peak, %+.0f MiB over "
                "the baseline; target at most %+.0f: %s\n",
                kStreamBytes >> 20, streaming.peakMiB, streaming.peakMiB - one.peakMiB, bound,
                streaming.peakMiB - one.peakMiB <= bound ? "met" : "MISSED");
    return 0;
}

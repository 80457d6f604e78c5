// The server frame reader and every received server message, into a Server with the real store
// schema. Byte 0 of the input: bit 0 clear logs the client in first (the usual case: every
// handler runs), set leaves it connecting, so that the login reply itself is fuzzed too; the
// other bits seed how the rest is cut into deliveries. The rest is what the server sent: frames
// of a u32 length and a body that starts with the u32 message code.
//
// The connection is never really made: the socket is left connecting to a local port that never
// accepts, and the bytes go straight to the frame reader. Nothing here runs the event loop, so
// whatever the handlers send stays in the socket's buffer, and no handler can reach the network.
//
// Checked: a length above the limit drops the connection at once; otherwise the reader takes
// everything delivered except a partial length; no allocation exceeds the frame limit.

#include "FuzzEngine.h"
#include "FuzzServer.h"
#include "FuzzSupport.h"
#include "support/FeedDevice.h"

#include "server/Server.h"
#include "store/Data.h"
#include "store/Settings.h"

#include <QtEndian>

#include <cstring>

namespace {

// The reader sizes its buffer to the announced body; nothing else a message does comes close.
constexpr size_t kFrameCap = size_t(Server::kMaxFrameLength) + 64;

// Skips whole frames of wire until one with a length above the limit; its offset, or -1.
qsizetype OverLimitAt(const char* wire, qsizetype size)
{
    qsizetype at = 0;
    while (size - at >= 4) {
        const quint32 length = qFromLittleEndian<quint32>(wire + at);
        if (length > Server::kMaxFrameLength)
            return at;
        at += 4 + qsizetype(length);
    }
    return -1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    EnsureApplication();
    const quint8 control = data[0];
    const char* wire = reinterpret_cast<const char*>(data) + 1;
    const qsizetype wireSize = qsizetype(size) - 1;

    // The server connection on the program's schema, without the peer connection manager, whose
    // store handlers would open connections to the addresses in the messages.
    EngineOptions options;
    options.peerMessenger = false;
    options.localServerPort = SilentPort();
    FuzzRun run(options);
    Server& server = run.engine().server();
    Settings::Set(SettingKeys::Username, "fuzzer");
    Settings::Set(SettingKeys::Password, "secret");
    server.Connect();

    FeedDevice dev;
    if ((control & 1) == 0) {
        dev.Feed(AcceptedLoginFrame());
        server.ReadFrames(dev);
        FUZZ_CHECK(server.IsConnected());
    }

    // Once the reader meets a length above the limit it drops the connection; the socket's
    // bytes are gone then, so nothing after that point is delivered.
    const qsizetype dropAt = OverLimitAt(wire, wireSize);
    const qsizetype end = dropAt < 0 ? wireSize : dropAt + 4;
    Pieces pieces(control >> 1);
    qsizetype delivered = 0;
    while (delivered < end) {
        const qsizetype n = pieces.Next(end - delivered);
        dev.Feed(wire + delivered, n);
        delivered += n;
        {
            AllocationWatch watch(kFrameCap, "server frame reader");
            server.ReadFrames(dev);
        }
        if (dropAt >= 0 && delivered == end) {
            FUZZ_CHECK(!server.IsConnected());
            FUZZ_CHECK(dev.bytesAvailable() == 0);
        } else {
            // Everything is taken but a length that is not whole yet.
            FUZZ_CHECK(dev.bytesAvailable() < 4);
        }
    }
    return 0;
}

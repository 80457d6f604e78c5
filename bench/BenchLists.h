#pragma once

// Share lists as a peer sends them (the body of a code 5 message before it is compressed), in
// the shapes the browse benchmarks receive through a real connection, and what a peer writes
// on its messaging connection around them.

#include "peer/PeerFraming.h"
#include "peer/PeerMessages.h"
#include "store/Data.h"
#include "store/FileInfo.h"
#include "store/MemStream.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QTcpSocket>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace BenchLists {

// A million files with distinct names, as real shares have them, in 50,021 folders: "Music",
// kArtists artists under it, kAlbums albums under each, kTracks files in each album. Half the
// files are MP3 files with a bitrate and a length.
constexpr int kArtists = 20;
constexpr int kAlbums = 2500;
constexpr int kTracks = 20;
constexpr int kMillionFolders = 1 + kArtists + kArtists * kAlbums;
constexpr int kMillionFiles = kArtists * kAlbums * kTracks;

inline std::string ArtistPath(int artist)
{
    return "Music\\Artist " + std::to_string(artist);
}

inline std::string AlbumPath(int artist, int album)
{
    return ArtistPath(artist) + "\\Album " + std::to_string(album) + " (" +
           std::to_string(1960 + album % 60) + ")";
}

inline void WriteFolder(BytesOutputStream& out, const std::string& path, int firstFile, int files)
{
    static const char* const kWords[] = {"blue", "night", "river", "live", "echo", "gold"};
    out.Write(path);
    out.Write(quint32(files));
    for (int f = 0; f < files; ++f) {
        const int n = firstFile + f;
        const bool mp3 = n % 2 == 0;
        FileInfo file(std::to_string(f + 1) + " - Track " + std::to_string(n) + " " +
                          kWords[n % 6] + (mp3 ? ".mp3" : ".flac"),
                      100000 + qint64(n % 9000) * 1013);
        file.attributes.extension = mp3 ? "mp3" : "flac";
        if (mp3)
            file.attributes.attributes = {{0, 128 + (n % 4) * 64}, {1, 120 + n % 300}};
        out.Write(file);
    }
}

// In map order (byte-wise by path), as a peer's map writes itself.
inline QByteArray MillionBody()
{
    QByteArray body;
    BytesOutputStream out(&body);
    out.Write(quint32(kMillionFolders));
    WriteFolder(out, "Music", 0, 0);
    // "Album 10 (1970)" sorts before "Album 2 (1962)", and "Artist 10" before "Artist 2".
    std::vector<std::pair<std::string, int>> artists;
    for (int a = 0; a < kArtists; ++a)
        artists.emplace_back(ArtistPath(a), a);
    std::sort(artists.begin(), artists.end());
    for (const auto& [artistPath, a] : artists) {
        WriteFolder(out, artistPath, 0, 0);
        std::vector<std::pair<std::string, int>> albums;
        for (int b = 0; b < kAlbums; ++b)
            albums.emplace_back(AlbumPath(a, b), b);
        std::sort(albums.begin(), albums.end());
        for (const auto& [albumPath, b] : albums)
            WriteFolder(out, albumPath, (a * kAlbums + b) * kTracks, kTracks);
    }
    out.Write(quint32(0)); // no attribute names
    return body;
}

// count empty folders, each path about pathBytes long in at most 1,024 parts, distinct by their
// last part.
inline QByteArray LongPathsBody(int count, int pathBytes)
{
    constexpr int kParts = 1000;
    const int part = pathBytes / kParts - 1;
    std::string stem;
    for (int k = 0; k + 1 < kParts; ++k)
        stem += std::string(size_t(part), char('a' + k % 26)) + "\\";
    std::vector<std::string> paths;
    for (int f = 0; f < count; ++f) {
        std::string path = stem + std::to_string(f);
        path += std::string(size_t(std::max(0, pathBytes - int(path.size()))), 'z');
        paths.push_back(std::move(path));
    }
    std::sort(paths.begin(), paths.end());
    QByteArray body;
    BytesOutputStream out(&body);
    out.Write(quint32(count));
    for (const std::string& path : paths) {
        out.Write(path);
        out.Write(quint32(0));
    }
    out.Write(quint32(0));
    return body;
}

// chains of folders, each levels deep: "c<k>", "c<k>\a", "c<k>\a\a", ...
inline QByteArray ChainsBody(int chains, int levels)
{
    std::vector<std::string> paths;
    for (int c = 0; c < chains; ++c) {
        std::string path = "c" + std::to_string(c);
        for (int l = 0; l < levels; ++l) {
            paths.push_back(path);
            path += "\\a";
        }
    }
    std::sort(paths.begin(), paths.end());
    QByteArray body;
    BytesOutputStream out(&body);
    out.Write(quint32(paths.size()));
    for (const std::string& path : paths) {
        out.Write(path);
        out.Write(quint32(0));
    }
    out.Write(quint32(0));
    return body;
}

// The code 5 message of the body, compressed as peers compress it, framed.
inline QByteArray Frame(const QByteArray& body)
{
    MemStream message;
    ZMessage(PM_SHARED_FILE_LIST, body.constData(), body.size(), &message);
    return BuildFrame(message.GetBuffer(), qsizetype(message.GetWriteIndex()));
}

// A peer dialled in to the client's plain port as user, its messaging connection taken (the
// client made a peer_socket for it); null when that did not happen within ten seconds.
inline std::unique_ptr<QTcpSocket> DialMessaging(quint16 port, const std::string& user)
{
    const auto count = [] { return d.GetType("peer_socket")->ItemCount(); };
    const size_t before = count();
    auto socket = std::make_unique<QTcpSocket>();
    socket->connectToHost(QHostAddress(QHostAddress::LocalHost), port);
    if (!socket->waitForConnected(10000))
        return nullptr;
    socket->write(BuildFrame(InitFrameBody(user, "P")));
    socket->flush();
    QElapsedTimer waited;
    waited.start();
    while (count() == before && waited.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return count() > before ? std::move(socket) : nullptr;
}

// Writes all of frame but its last byte and lets the client read them, so that what follows
// times the client's part alone.
inline void SendAllButLastByte(QTcpSocket& socket, const QByteArray& frame)
{
    socket.write(frame.left(frame.size() - 1));
    while (socket.bytesToWrite() > 0) {
        socket.waitForBytesWritten(50);
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < 500)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

inline void SendLastByte(QTcpSocket& socket, const QByteArray& frame)
{
    socket.write(frame.right(1));
    socket.flush();
}

// The process's resident memory and its peak since the last ResetPeak, in megabytes, from the
// kernel's own counts.
inline double StatusMB(const char* field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').first().toDouble() / 1024;
    }
    return 0;
}
inline double ResidentMB()
{
    return StatusMB("VmRSS:");
}
inline double PeakMB()
{
    return StatusMB("VmHWM:");
}
inline void ResetPeak()
{
    QFile refs(QStringLiteral("/proc/self/clear_refs"));
    if (refs.open(QIODevice::WriteOnly))
        refs.write("5");
}

// A user's answer to a search as a peer sends it: code 9, then the compressed body (user,
// token, the files, a free slot, 12,800 bytes a second, no queue).
inline MemStream SearchAnswer(const std::string& user, quint32 token,
                              const std::vector<FileInfo>& files)
{
    MemStream body;
    body.Write(user);
    body.Write(token);
    body.Write(files);
    body.Write(quint8(1));
    body.Write(quint32(12800));
    body.Write(quint32(0));
    // Qt's compressor puts the length in front of the zlib stream; the wire has none.
    const QByteArray packed =
        qCompress(QByteArray(body.GetBuffer(), body.GetBufferLength()), 9).mid(4);
    MemStream message;
    message.Write(quint32(9));
    message.WriteBuffer(packed.constData(), static_cast<unsigned long>(packed.size()));
    return message;
}

} // namespace BenchLists

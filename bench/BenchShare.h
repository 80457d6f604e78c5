#pragma once

// What the share benchmarks have in common: a share made on disk (a million files named as in a
// real share, or a shape of the benchmark's own), the listing by find
// a scan is measured against, a measure of how long the GUI thread was held, and a wait for the
// MP3 details of a first scan.

#include "store/Data.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace BenchShare {

constexpr int kTop = 1000;
constexpr int kPerTop = 50; // 50,000 album folders, 51,001 folders with the tops and the root
constexpr int kFilesPerFolder = 20;
constexpr int kFiles = kTop * kPerTop * kFilesPerFolder;
constexpr int kFolders = kTop * kPerTop + kTop + 1;
// Half the files are MP3 files (".mp3" or ".MP3").
constexpr int kMP3Files = kFiles / 2;
// How long the MP3 details of a first scan may take to be written.
constexpr qint64 kMP3DetailsMs = 120000;

inline const char* const kArtists[] = {
    "The Quiet Hours", "Marta Ferreira",           "LOW tide",       "Orchestra 9",
    "dj_kopek",        "\xc3\x81ngel Ru\xc3\xadz", "Blue-Note Trio", "Saltwater"};
inline const char* const kKinds[] = {".mp3", ".MP3", ".ogg", ".flac",
                                     ".jpg", ".mp3", ".mp3", ".txt"};

// A title word: one of 1,000 made of three of ten syllables ("kamiro"), with a capital first.
inline std::string Word(int n)
{
    static const char* const kSyllables[] = {"ka", "mi", "ro",  "sun", "de",
                                             "lo", "va", "ter", "ni",  "bo"};
    std::string word =
        std::string(kSyllables[n % 10]) + kSyllables[n / 10 % 10] + kSyllables[n / 100 % 10];
    word[0] = char(word[0] - 'a' + 'A');
    return word;
}

// The name of the file numbered index in the syllable tree, track within its folder: "07 - Kamiro
// Sundeva.mp3". Two title words of the 1,000 spell the index, so that no two files below 1,000,000
// share a name while the words repeat across the share as a vocabulary does.
inline std::string FileName(int index, int track, const char* kind)
{
    const std::string number = (track < 10 ? "0" : "") + std::to_string(track);
    return number + " - " + Word(index % 1000) + " " + Word(index / 1000 % 1000) + kind;
}

// A share on disk: top folders, each of album folders, each of files.
struct TreeShape
{
    int tops;
    int albumsPerTop;
    int filesPerAlbum;
    // A file's size is baseSize and up to sizeSpread - 1 bytes more, by its place in the tree
    // (the syllable tree only).
    int baseSize;
    int sizeSpread;
    // Whether the MP3 files start with a frame header, for the MP3 scanner to read.
    bool mp3Headers;
    // Names like a real share's (see Realistic below) rather than the syllable tree's two words
    // spelling the file's index, with sizes of their own.
    bool realistic = false;

    int Files() const { return tops * albumsPerTop * filesPerAlbum; }
    int Folders() const { return tops * albumsPerTop + tops + 1; }
};

// The million-file tree of the benchmarks, named as a real share is.
constexpr TreeShape kMillion{kTop, kPerTop, kFilesPerFolder, 100, 4000, true, true};
// The same tree named by the syllable words, every name "NN - Word Word.ext" of 23 bytes.
constexpr TreeShape kSyllableMillion{kTop, kPerTop, kFilesPerFolder, 100, 4000, true, false};

// A tree like a real one. Names are 30-40 bytes on average: a track number, two to four title
// words from a vocabulary of 5,000 drawn by a Zipf law (a few words in tens of thousands of
// names, most in a handful), now and then a number, and the extension. Artists are two words of
// their own vocabulary, albums a year and one to three title words. Sizes are drawn too: the MP3
// files small, since the MP3 scanner reads them whole (a few thousand distinct sizes), the others
// from 400,000 sizes (some 300,000 distinct over a million files). Every album is drawn from a
// generator seeded by its number, so the tree is the same from run to run, whatever thread makes
// it.
//
// Two common title words, PairWords(), each in more than 8,000 files of the million-file tree, are
// carried together by one file of every album numbered kPairAlbum modulo kPairEvery and by no
// other file: 14 files of the 50,000 albums.
namespace Realistic {

constexpr size_t kTitleWords = 5000;
constexpr size_t kArtistWords = 800;
constexpr size_t kPairRanks[2] = {19, 29};
constexpr int kPairEvery = 3571;
constexpr int kPairAlbum = 7;
constexpr int kPairTrack = 2;

// Title words, then artist words, all distinct, in lower case.
inline const std::vector<std::string>& Words()
{
    static const std::vector<std::string> words = [] {
        static const char* const syllables[] = {
            "ka", "lo",  "mi",  "ren", "tor", "vel", "sa",  "dun", "bri", "ost", "ne", "quo",
            "fa", "gil", "har", "ju",  "pe",  "ri",  "sto", "um",  "wa",  "xe",  "yo", "zi"};
        std::mt19937 rng(7);
        std::vector<std::string> all;
        std::set<std::string> seen;
        while (all.size() < kTitleWords + kArtistWords) {
            std::string w;
            const int n = 2 + int(rng() % 3);
            for (int k = 0; k < n; ++k)
                w += syllables[rng() % (sizeof syllables / sizeof *syllables)];
            if (seen.insert(w).second)
                all.push_back(w);
        }
        return all;
    }();
    return words;
}

inline const std::string& TitleWord(size_t rank)
{
    return Words()[rank];
}

inline const std::string& ArtistWord(size_t n)
{
    return Words()[kTitleWords + n % kArtistWords];
}

// The two common words carried together by few files, lower case as a search gives them.
inline std::pair<std::string, std::string> PairWords()
{
    return {TitleWord(kPairRanks[0]), TitleWord(kPairRanks[1])};
}

// How many files of a tree of that many albums carry both PairWords().
inline int PairFiles(int albums)
{
    return albums > kPairAlbum ? (albums - kPairAlbum - 1) / kPairEvery + 1 : 0;
}

inline std::string Capitalized(std::string word)
{
    if (!word.empty() && word[0] >= 'a' && word[0] <= 'z')
        word[0] = char(word[0] - 'a' + 'A');
    return word;
}

// Ranks of the title words drawn by a Zipf law.
inline size_t DrawTitleRank(std::mt19937_64& rng)
{
    static const std::vector<double> cdf = [] {
        std::vector<double> c(kTitleWords);
        double sum = 0;
        for (size_t k = 0; k < kTitleWords; ++k)
            c[k] = sum += 1.0 / double(k + 1);
        for (double& x : c)
            x /= sum;
        return c;
    }();
    const double u = double(rng() >> 11) * (1.0 / 9007199254740992.0);
    return std::min(size_t(std::lower_bound(cdf.begin(), cdf.end(), u) - cdf.begin()),
                    kTitleWords - 1);
}

// A top folder's name: two artist words, distinct for each of the first 640,000 tops.
inline std::string TopName(int top)
{
    return Capitalized(ArtistWord(size_t(top))) + " " +
           Capitalized(ArtistWord(size_t(top / int(kArtistWords) + top * 37)));
}

} // namespace Realistic

struct TreeFile
{
    std::string name;
    long long size;
    bool mp3;
};

// A top folder's name.
inline std::string TopName(const TreeShape& shape, int top)
{
    return shape.realistic ? Realistic::TopName(top)
                           : std::string(kArtists[top % 8]) + " " + std::to_string(top);
}

// The album numbered a within top t: its folder's name and its files.
inline void MakeAlbum(const TreeShape& shape, int t, int a, std::string& folder,
                      std::vector<TreeFile>& files)
{
    files.clear();
    const int album = t * shape.albumsPerTop + a;
    if (!shape.realistic) {
        folder = "Album " + std::to_string(a) + " (Live)";
        for (int f = 0; f < shape.filesPerAlbum; ++f) {
            const std::string kind = kKinds[f % 8];
            files.push_back(
                TreeFile{FileName(album * shape.filesPerAlbum + f, f + 1, kKinds[f % 8]),
                         shape.baseSize + (t * 131 + a * 17 + f) % shape.sizeSpread,
                         kind == ".mp3" || kind == ".MP3"});
        }
        return;
    }
    using namespace Realistic;
    std::mt19937_64 rng(0x9e3779b97f4a7c15ull * unsigned(album + 1));
    const std::pair<std::string, std::string> pair = PairWords();
    const auto isPairWord = [](size_t rank) {
        return rank == kPairRanks[0] || rank == kPairRanks[1];
    };
    // A year of its own within the top, so that no two albums of a top share a folder.
    folder = std::to_string(1950 + (a + t % 20) % 100) + " -";
    for (int w = 1 + int(rng() % 3); w > 0; --w) {
        size_t rank = DrawTitleRank(rng);
        while (isPairWord(rank))
            rank = DrawTitleRank(rng);
        folder += " " + Capitalized(TitleWord(rank));
    }
    const bool pairAlbum = album % kPairEvery == kPairAlbum;
    for (int f = 0; f < shape.filesPerAlbum; ++f) {
        std::string name = (f + 1 < 10 ? "0" : "") + std::to_string(f + 1) + " -";
        std::vector<size_t> ranks;
        if (pairAlbum && f == kPairTrack)
            ranks = {kPairRanks[0], kPairRanks[1]};
        const size_t count = ranks.size() + 2 + rng() % 3;
        bool pairWord = !ranks.empty();
        while (ranks.size() < count) {
            const size_t rank = DrawTitleRank(rng);
            // A name holds a word once, and at most one of the pair unless it is the pair's.
            if (std::find(ranks.begin(), ranks.end(), rank) != ranks.end() ||
                (isPairWord(rank) && pairWord))
                continue;
            pairWord = pairWord || isPairWord(rank);
            ranks.push_back(rank);
        }
        for (size_t rank : ranks)
            name += " " + Capitalized(TitleWord(rank));
        if (rng() % 6 == 0)
            name += rng() % 2 ? " (" + std::to_string(1 + rng() % 12) + ")"
                              : " " + std::to_string(1 + rng() % 999);
        const std::string kind = kKinds[f % 8];
        const bool mp3 = kind == ".mp3" || kind == ".MP3";
        const long long size = mp3 ? 600 + static_cast<long long>(rng() % 4000)
                                   : 10000 + static_cast<long long>(rng() % 400000);
        files.push_back(TreeFile{name + kind, size, mp3});
    }
}

inline void MakeTops(const std::string& root, const TreeShape& shape, int first, int step)
{
    std::string albumName;
    std::vector<TreeFile> files;
    for (int t = first; t < shape.tops; t += step) {
        const std::string top = root + "/" + TopName(shape, t);
        ::mkdir(top.c_str(), 0755);
        for (int a = 0; a < shape.albumsPerTop; ++a) {
            MakeAlbum(shape, t, a, albumName, files);
            const std::string album = top + "/" + albumName;
            ::mkdir(album.c_str(), 0755);
            for (const TreeFile& f : files) {
                const std::string file = album + "/" + f.name;
                const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                if (fd < 0)
                    continue;
                // The MP3 files hold a frame header (128 kbit/s, 44.1 kHz), so that the MP3
                // scanner finds their details once and later scans do not ask again, as with
                // real files. Sparse: a scan reads sizes only, and the MP3 scanner reads what
                // the first scan asks it to.
                if (shape.mp3Headers && f.mp3) {
                    static const unsigned char header[] = {0xff, 0xfb, 0x90, 0x64};
                    if (::write(fd, header, sizeof header) != ssize_t(sizeof header))
                        std::perror("write");
                }
                if (::ftruncate(fd, f.size) != 0)
                    std::perror("ftruncate");
                ::close(fd);
            }
        }
    }
}

// Makes the folder root if it is not there; whether it holds nothing (a tree kept from an
// earlier run is not made again).
inline bool MadeEmpty(const std::string& root)
{
    ::mkdir(root.c_str(), 0755);
    bool empty = true;
    if (DIR* dir = ::opendir(root.c_str())) {
        while (const dirent* e = ::readdir(dir))
            empty = empty && e->d_name[0] == '.';
        ::closedir(dir);
    }
    return empty;
}

// The tree under root, made by eight threads, unless root holds something already (a tree kept
// from an earlier run).
inline void MakeTreeIfEmpty(const std::string& root, const TreeShape& shape = kMillion)
{
    if (!MadeEmpty(root))
        return;
    std::printf("making %d files in %d folders...\n", shape.Files(), shape.Folders());
    std::vector<std::thread> makers;
    const int n = 8;
    for (int k = 0; k < n; ++k)
        makers.emplace_back(MakeTops, root, shape, k, n);
    for (std::thread& t : makers)
        t.join();
}

// A share of another shape, for the stretches a scan holds the GUI thread: kDeepChains chains
// of folders nested kDeepLevels deep, every folder holding the same kDeepNames names, so that
// each name repeats in thousands of folders and a folder's path runs to a thousand bytes.
constexpr int kDeepChains = 200;
constexpr int kDeepLevels = 40;
constexpr int kDeepNames = 25;
constexpr int kDeepFiles = kDeepChains * kDeepLevels * kDeepNames;

// The share's root, the path given on the command line or share/ in dir, made with shape when
// empty.
inline std::string TreeRoot(int argc, char** argv, const std::string& dir,
                            const TreeShape& shape = kMillion)
{
    const std::string root = argc > 1 ? std::string(argv[1]) : dir + "/share";
    MakeTreeIfEmpty(root, shape);
    return root;
}

inline void MakeDeepChains(const std::string& root, int first, int step)
{
    for (int c = first; c < kDeepChains; c += step) {
        std::string folder = root + "/Chain " + std::to_string(c);
        for (int level = 0; level < kDeepLevels; ++level) {
            if (level > 0)
                folder += "/Disc " + std::to_string(level) + " - " + Word(c * 7 + level) + " " +
                          Word(level * 13);
            ::mkdir(folder.c_str(), 0755);
            for (int f = 0; f < kDeepNames; ++f) {
                const std::string name = f + 1 == kDeepNames ? std::string("cover.jpg")
                                                             : FileName(f, f + 1, kKinds[f % 8]);
                const int fd =
                    ::open((folder + "/" + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                if (fd < 0)
                    continue;
                if (::ftruncate(fd, 1000 + f) != 0)
                    std::perror("ftruncate");
                ::close(fd);
            }
        }
    }
}

inline void MakeDeepTreeIfEmpty(const std::string& root)
{
    if (!MadeEmpty(root))
        return;
    std::printf("making %d files in %d folders nested %d deep...\n", kDeepFiles,
                kDeepChains * kDeepLevels, kDeepLevels);
    std::vector<std::thread> makers;
    for (int k = 0; k < 8; ++k)
        makers.emplace_back(MakeDeepChains, root, k, 8);
    for (std::thread& t : makers)
        t.join();
}

// The best of three runs of find over root with these arguments, output thrown away: the
// listing a scan is measured against.
inline qint64 FindNs(const std::string& root, const std::string& arguments)
{
    const std::string command = "find '" + root + "' " + arguments + " > /dev/null";
    qint64 best = -1;
    for (int k = 0; k < 3; ++k) {
        QElapsedTimer t;
        t.start();
        if (std::system(command.c_str()) != 0)
            std::fprintf(stderr, "find failed\n");
        const qint64 ns = t.nsecsElapsed();
        if (best < 0 || ns < best)
            best = ns;
    }
    return best;
}

inline double Ms(qint64 ns)
{
    return double(ns) / 1e6;
}

// Keeps the compiler from dropping a read whose bytes nothing looks at.
inline volatile size_t g_readSink = 0;

// Out of the page cache, so that the next read comes from the disk.
inline void DropFromCache(const char* path)
{
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fdatasync(fd);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
}

// The whole file read from the disk (dropped from the page cache first) into a buffer allocated
// for it, as a loader must at the least: nanoseconds, or -1 on failure.
inline qint64 FreshReadNs(const char* path)
{
    DropFromCache(path);
    QElapsedTimer t;
    t.start();
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return -1;
    }
    const size_t size = size_t(st.st_size);
    std::unique_ptr<char[]> buffer(new char[size + 1]);
    size_t got = 0;
    while (got < size) {
        const ssize_t n = ::read(fd, buffer.get() + got, size - got);
        if (n <= 0)
            break;
        got += size_t(n);
    }
    ::close(fd);
    const qint64 ns = t.nsecsElapsed();
    g_readSink = g_readSink + size_t(buffer[got / 2]);
    return got == size ? ns : -1;
}

// The longest time between two turns of the event loop, as a timer due every millisecond sees
// it: a turn held up by work on the thread fires the timer that much late.
class StretchMonitor
{
public:
    StretchMonitor()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(1);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { Tick(); });
    }
    void Start()
    {
        m_longestNs = 0;
        m_clock.start();
        m_last = 0;
        m_timer.start();
    }
    void Stop()
    {
        Tick();
        m_timer.stop();
    }
    double LongestMs() const { return double(m_longestNs) / 1e6; }

private:
    void Tick()
    {
        const qint64 now = m_clock.nsecsElapsed();
        m_longestNs = std::max(m_longestNs, now - m_last);
        m_last = now;
    }
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_longestNs = 0;
};

// Runs the event loop until the MP3 files of the tree are marked scanned (or kMP3DetailsMs have
// passed), and returns how long that took.
inline qint64 WaitForMP3Details()
{
    QElapsedTimer waited;
    waited.start();
    while (ItemPtr(d.GetType("is_scanned")->GetGlobalNullItem()).GetItems("shared_file").Size() <
               size_t(kMP3Files) &&
           waited.elapsed() < kMP3DetailsMs) {
        QEventLoop wait;
        QTimer::singleShot(100, &wait, &QEventLoop::quit);
        wait.exec();
    }
    return waited.nsecsElapsed();
}

// A figure of /proc/self/status in kB ("VmRSS", "VmHWM"), or -1.
inline long long StatusKb(const char* field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

// Peer wire fields appended to a message being built by hand, as a peer writes them: a 32-bit
// little-endian number, and a text as its length and bytes.
inline void Put32(std::string& out, quint32 v)
{
    const char b[4] = {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
    out.append(b, 4);
}

inline void PutText(std::string& out, const std::string& text)
{
    Put32(out, quint32(text.size()));
    out += text;
}

// A peer message's frame: its length, then the message.
inline std::string Frame(const std::string& body)
{
    std::string frame;
    Put32(frame, quint32(body.size()));
    return frame + body;
}

// Sends all of bytes on a blocking socket; false once the socket fails or is closed.
inline bool SendAll(int fd, const std::string& bytes)
{
    const char* data = bytes.data();
    size_t size = bytes.size();
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

// A messaging connection to the client's port on this host, from 127.0.address.1 when address is
// given, as user: its first frame sent. The socket blocks.
inline int ConnectAsPeer(quint16 port, const std::string& user, int address = -1)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (address >= 0) {
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = htonl(0x7f000001 | (quint32(address) << 8));
        if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0)
            std::perror("bind");
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
        std::perror("connect");
    std::string init(1, char(1));
    PutText(init, user);
    PutText(init, "P");
    Put32(init, 0);
    SendAll(fd, Frame(init));
    return fd;
}

// Turns the event loop until done() or ms have passed; done() then.
template <class Done> bool WaitFor(Done done, qint64 ms)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

} // namespace BenchShare

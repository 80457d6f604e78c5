// The MP3 scanner: header votes and the bitrate verdict on hand-made streams and at chunk
// boundaries, counts past 32 bits, quitting, short reads and read errors through a scripted
// device, and files from a real encoder carried through the scanner's own thread into the
// shared files' items.

#include "SharesTestEnv.h"

#include "shares/MP3Scanner.h"
#include "store/TurnBudget.h"
#include "support/EncodedAudio.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>

namespace {

// Four header bytes each; a stream repeats a header with 413 zero bytes after it, the length
// of a 128 kbit/s frame at 44.1 kHz.
const char kH128[] = "fffb9064";
const char kH192[] = "fffbb064";
const char kH320[] = "fffbe064";

// The real files: lame's settings, and what they give. A variable-rate file's bitrate is
// checked against the mean of its own frame chain.
const struct
{
    const char* mp3;
    const char* options; // of a 44.1 kHz stereo WAV, or with "-m m" a 22.05 kHz mono one
    const char* expected;
} kEncoded[] = {
    {"cbr128-stereo.mp3", "-b 128 -m s", "1, stereo, 0, cbr, 128"},
    {"cbr192-joint.mp3", "-b 192 -m j", "1, joint stereo, 0, cbr, 192"},
    {"cbr64-mono.mp3", "-m m -b 64", "2, mono, 0, cbr, 64"},
    {"vbr-v2.mp3", "-V 2", "1, joint stereo, 0, vbr"},
};

QByteArray Stream(std::initializer_list<std::pair<int, const char*>> runs)
{
    QByteArray out;
    for (const auto& run : runs) {
        const QByteArray frame = QByteArray::fromHex(run.second) + QByteArray(413, '\0');
        for (int i = 0; i < run.first; ++i)
            out += frame;
    }
    return out;
}

// 70,000 zero bytes with one 128 kbit/s header at offset: the first read takes 65,536 of them.
QByteArray HeaderAt(int offset)
{
    return QByteArray(offset, '\0') + QByteArray::fromHex(kH128) + QByteArray(69996 - offset, '\0');
}

// Results written the way the cases below state them: "none", or version, mode, sampling-rate
// index, cbr or vbr, kbit/s.
QString Describe(bool found, const MP3Details& r)
{
    if (!found)
        return QStringLiteral("none");
    return QStringLiteral("%1, %2, %3, %4, %5")
        .arg(r.version)
        .arg(QString::fromStdString(r.mode))
        .arg(r.frequency)
        .arg(r.variable ? "vbr" : "cbr")
        .arg(r.bitrate);
}

// A shared file's details as the store holds them, written the same way.
QString StoredDetails(ItemPtr file)
{
    QStringList details;
    for (const char* type :
         {"mpeg_version", "channel_mode", "audio_frequency", "bitrate_mode", "bitrate"})
        details << QString::fromStdString(file[type].AsString());
    return file.IsConnected("is_scanned") ? details.join(", ") : QStringLiteral("not scanned");
}

QString ScanFile(MP3Scanner& scanner, const QString& path)
{
    MP3Details r;
    const bool found = scanner.ScanMP3(path.toUtf8().toStdString(), r.version, r.mode, r.frequency,
                                       r.variable, r.bitrate);
    if (!found && r.bitrate != -1)
        return QStringLiteral("no result, but bitrate %1").arg(r.bitrate);
    return Describe(found, r);
}

bool WriteFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

// Serves bytes the way a file does, with a fault on a chosen read: a short read (a file that
// shrank) or an error, or a hook that runs after the first read.
class ScriptedFile : public QIODevice
{
public:
    explicit ScriptedFile(QByteArray data) : m_data(std::move(data))
    {
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }
    bool isSequential() const override { return true; }

    int reads = 0;
    int shortRead = 0; // which read returns only shortLength bytes
    qint64 shortLength = 0;
    int failingRead = 0; // which read reports an error
    std::function<void()> afterFirstRead;

protected:
    qint64 readData(char* data, qint64 max) override
    {
        if (++reads == failingRead)
            return -1;
        qint64 n = std::min<qint64>(max, m_data.size() - m_offset);
        if (reads == shortRead)
            n = std::min(n, shortLength);
        std::memcpy(data, m_data.constData() + m_offset, size_t(n));
        m_offset += n;
        if (reads == 1 && afterFirstRead)
            afterFirstRead();
        return n;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    QByteArray m_data;
    qint64 m_offset = 0;
};

// The mean bitrate of the frame chain an MPEG-1 Layer III file holds, walked header to header
// (a frame is 144000 x kbit/s / rate bytes, plus one when padded). 0 when there is no chain.
int ChainMeanBitrate(const QByteArray& mp3, int& frames)
{
    static const int kbps[16] = {0,   32,  40,  48,  56,  64,  80,  96,
                                 112, 128, 160, 192, 224, 256, 320, 0};
    static const int rates[4] = {44100, 48000, 32000, 0};
    const auto* b = reinterpret_cast<const unsigned char*>(mp3.constData());
    const qsizetype size = mp3.size();
    auto isHeader = [&](qsizetype at) {
        return at + 4 <= size && b[at] == 0xFF && (b[at + 1] & 0xFE) == 0xFA &&
               kbps[b[at + 2] >> 4] != 0 && rates[(b[at + 2] >> 2) & 3] != 0;
    };
    qsizetype at = 0;
    if (mp3.startsWith("ID3") && size >= 10)
        at = 10 + ((b[6] & 0x7f) << 21 | (b[7] & 0x7f) << 14 | (b[8] & 0x7f) << 7 | (b[9] & 0x7f));
    while (at < size && !isHeader(at))
        ++at;
    qint64 sum = 0;
    frames = 0;
    for (; isHeader(at); ++frames) {
        const int rate = kbps[b[at + 2] >> 4];
        sum += rate;
        at += 144000 * rate / rates[(b[at + 2] >> 2) & 3] + ((b[at + 2] >> 1) & 1);
    }
    return frames ? int(sum / frames) : 0;
}

} // namespace

class tst_MP3Scanner : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();

    void handMadeStreams_data();
    void handMadeStreams();
    void countsBeyond32Bits();
    void missingFileAndNonFiles();
    void faultyReads_data();
    void faultyReads();

    // The four encoded files, through the scanner's thread into the store.
    void detailsReachTheStore_data();
    void detailsReachTheStore();
    void resultForAFileNoLongerShared();
    void resultsWaitForAScanBeingApplied_data();
    void resultsWaitForAScanBeingApplied();
    void nameNotInUtf8();

private:
    QString Path(const QString& name) const { return m_dir.filePath(name); }

    QTemporaryDir m_dir;
    QString m_lameMissing;
};

void tst_MP3Scanner::initTestCase()
{
    QVERIFY(m_dir.isValid());
    const QString lame = EncodedAudio::LamePath();
    if (lame.isEmpty()) {
        m_lameMissing = QStringLiteral("lame is not installed (scripts/install-deps.sh --tests)");
        return;
    }
    QVERIFY(EncodedAudio::WriteWav(Path("stereo44.wav"), 44100, 2, 10));
    QVERIFY(EncodedAudio::WriteWav(Path("mono22.wav"), 22050, 1, 10));
    for (const auto& e : kEncoded) {
        const QString wav =
            Path(QString(e.options).contains("-m m") ? "mono22.wav" : "stereo44.wav");
        const QString error =
            EncodedAudio::Encode(wav, Path(e.mp3), QString(e.options).split(QLatin1Char(' ')));
        QVERIFY2(error.isEmpty(), qPrintable(error));
    }
}

void tst_MP3Scanner::handMadeStreams_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expected");

    const auto row = [](const char* name, const QByteArray& bytes, const char* expected) {
        QTest::newRow(name) << bytes << QString(expected);
    };
    const char* cbr128 = "1, joint stereo, 0, cbr, 128";
    row("150 x 128", Stream({{150, kH128}}), cbr128);
    row("75 x 128 + 75 x 192: the mean", Stream({{75, kH128}, {75, kH192}}),
        "1, joint stereo, 0, vbr, 160");
    row("99% one bitrate is constant", Stream({{198, kH128}, {2, kH320}}), cbr128);
    row("98.5% one bitrate is variable", Stream({{197, kH128}, {3, kH320}}),
        "1, joint stereo, 0, vbr, 130");
    row("mono headers outvoted stay out of the bitrate", Stream({{95, kH128}, {5, "fffbb0c4"}}),
        cbr128);
    row("Layer II", Stream({{100, "fffd9064"}}), "none");
    row("mostly MPEG 2.5", Stream({{100, "ffe39064"}, {50, kH128}}), "none");
    row("MPEG 2 uses its own bitrate row", Stream({{100, "fff380c4"}}), "2, mono, 0, cbr, 64");
    row("MPEG 1 and 2 tied: MPEG 2", Stream({{50, kH128}, {50, "fff38064"}}),
        "2, joint stereo, 0, cbr, 64");
    row("protection bit voted", Stream({{100, "fffab064"}, {60, kH128}}),
        "1, joint stereo, 0, cbr, 192");
    row("reserved sampling rate keeps its earlier votes", Stream({{100, "fffa9c64"}, {10, kH128}}),
        "none");
    row("sampling-rate index voted", Stream({{100, "fffb9464"}, {60, kH192}}),
        "1, joint stereo, 1, cbr, 128");
    row("stereo and joint stereo tied: joint stereo", Stream({{50, "fffbb004"}, {50, kH128}}),
        cbr128);
    row("dual mono wins a tie", Stream({{50, "fffbb0a4"}, {50, kH128}}),
        "1, dual mono, 0, cbr, 192");
    row("free-format and invalid bitrates carry no bitrate",
        Stream({{100, kH128}, {40, "fffb0064"}, {40, "fffbf064"}}), cbr128);
    row("free-format headers still vote", Stream({{100, kH128}, {150, "fffb00c4"}}), "none");
    row("empty file", QByteArray(), "none");
    row("1,000 zero bytes", QByteArray(1000, '\0'), "none");

    // A header counts only with a byte after it in the same chunk.
    row("header at the first byte", HeaderAt(0), cbr128);
    row("last place in the first chunk", HeaderAt(65531), cbr128);
    row("no byte after it in the chunk", HeaderAt(65532), "none");
    row("across two chunks", HeaderAt(65534), "none");
    row("start of the second chunk", HeaderAt(65536), cbr128);
    row("last place in the file", HeaderAt(69995), cbr128);
    row("no byte after it in the file", HeaderAt(69996), "none");
}

void tst_MP3Scanner::handMadeStreams()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);

    const QString path = Path("stream.mp3");
    QVERIFY(WriteFile(path, bytes));
    MP3Scanner scanner;
    QCOMPARE(ScanFile(scanner, path), expected);
}

void tst_MP3Scanner::countsBeyond32Bits()
{
    // A header every 4 bytes: 21.6 million in 1,320 chunks, so one bitrate's count
    // times 100 no longer fits 32 bits; only a count that did not wrap tells that the file,
    // with its hundred other headers, is still constant-rate.
    QByteArray chunk;
    for (int i = 0; i < MP3Scanner::kChunkSize / 4; ++i)
        chunk += QByteArray::fromHex(kH128);
    const auto* data = reinterpret_cast<const unsigned char*>(chunk.constData());
    MP3HeaderTally tally;
    const int chunks = 1320;
    for (int i = 0; i < chunks; ++i)
        tally.AddChunk(data, size_t(chunk.size()));
    const QByteArray odd = Stream({{100, kH320}});
    tally.AddChunk(reinterpret_cast<const unsigned char*>(odd.constData()), size_t(odd.size()));

    MP3Details r;
    QVERIFY(tally.Result(r));
    QCOMPARE(Describe(true, r), QStringLiteral("1, joint stereo, 0, cbr, 128"));
}

void tst_MP3Scanner::missingFileAndNonFiles()
{
    MP3Scanner scanner;
    QCOMPARE(ScanFile(scanner, Path("no such file.mp3")), QStringLiteral("none"));
    QCOMPARE(ScanFile(scanner, m_dir.path()), QStringLiteral("none"));
    // A pipe reports no size: it is not read, so it cannot hold the thread forever.
    const QString fifo = Path("pipe.mp3");
    QCOMPARE(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    QCOMPARE(ScanFile(scanner, fifo), QStringLiteral("none"));
}

void tst_MP3Scanner::faultyReads_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("quit");        // -1: never; 0: before the scan; 1: during read 1
    QTest::addColumn<int>("shortRead");   // which read brings only the 834 bytes of 2 frames
    QTest::addColumn<int>("failingRead"); // which read fails
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("reads");

    // Three chunks of good headers.
    const QByteArray good = Stream({{480, kH128}});
    QTest::newRow("quit during the first read: no result, no second read")
        << good << 1 << 0 << 0 << "none" << 1;
    QTest::newRow("quit before the scan: nothing read") << good << 0 << 0 << 0 << "none" << 0;
    QTest::newRow("read error") << good << -1 << 0 << 2 << "none" << 2;
    // The first chunk holds 150 headers of 192 kbit/s. The file then shrinks: the second read
    // brings two 128 kbit/s frames only, while the buffer behind them still holds 148 headers
    // of the first chunk. The third chunk, of 320 kbit/s, is never reached. 150 of 152
    // agreeing headers (98.7%) are one bitrate: variable, at the mean.
    QByteArray shrinking = Stream({{150, kH192}});
    shrinking.append(QByteArray(MP3Scanner::kChunkSize - shrinking.size(), '\0'));
    shrinking += Stream({{2, kH128}}) + QByteArray(MP3Scanner::kChunkSize - 834, '\0');
    shrinking += Stream({{150, kH320}});
    QTest::newRow("short read: only the bytes read, and the end of the file")
        << shrinking << -1 << 2 << 0 << "1, joint stereo, 0, vbr, 191" << 2;
}

void tst_MP3Scanner::faultyReads()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, quit);
    QFETCH(int, shortRead);
    QFETCH(int, failingRead);
    QFETCH(QString, expected);
    QFETCH(int, reads);

    MP3Scanner scanner;
    ScriptedFile file(bytes);
    file.shortRead = shortRead;
    file.shortLength = 834;
    file.failingRead = failingRead;
    if (quit == 0)
        scanner.Quit();
    if (quit == 1)
        file.afterFirstRead = [&scanner] { scanner.Quit(); };
    MP3Details r;
    const bool found = scanner.ScanDevice(file, bytes.size(), r);
    QCOMPARE(Describe(found, r), expected);
    QCOMPARE(file.reads, reads);
    if (quit >= 0) {
        // A stopped scanner scans nothing more.
        const QString path = Path("quit.mp3");
        QVERIFY(WriteFile(path, bytes));
        QCOMPARE(ScanFile(scanner, path), QStringLiteral("none"));
    }
}

void tst_MP3Scanner::detailsReachTheStore_data()
{
    QTest::addColumn<QString>("folder");
    QTest::newRow("plain folder") << "share";
    // Its path crosses to the scanner's thread and back as its UTF-8 bytes one per character.
    QTest::newRow("folder named Café") << "share/Café";
}

void tst_MP3Scanner::detailsReachTheStore()
{
    QFETCH(QString, folder);
    // The test machines run as root and install lame; only elsewhere may it be missing.
    if (!m_lameMissing.isEmpty() && geteuid() == 0)
        QFAIL(qPrintable(m_lameMissing));
    if (!m_lameMissing.isEmpty())
        QSKIP(qPrintable(m_lameMissing));

    SharesTestEnv env;
    QVERIFY(QDir().mkpath(QFile::decodeName(QByteArray::fromStdString(env.Path(folder)))));
    const auto bytes = [&](const QString& name) {
        return QByteArray::fromStdString(env.Path(folder + '/' + name));
    };
    for (const auto& e : kEncoded)
        QVERIFY(QFile::copy(Path(e.mp3), QFile::decodeName(bytes(e.mp3))));
    // Gives no result, so it is never marked scanned and is asked for again.
    env.Write(folder + "/silence.mp3", 1000);
    env.Share("share");

    LogLines log(QStringLiteral("MP3 Scanning"));
    QSignalSpy asked(&env.shares(), &SharedFoldersManager::MP3ScanRequired);
    env.Init();
    QCOMPARE(asked.count(), 5);
    const auto allScanned = [&] {
        return std::all_of(std::begin(kEncoded), std::end(kEncoded), [&](const auto& e) {
            return env.File(folder + '/' + e.mp3).IsConnected("is_scanned");
        });
    };
    QTRY_VERIFY_WITH_TIMEOUT(allScanned(), 30000);
    for (const auto& e : kEncoded) {
        QVERIFY(log.Has("Scanned " + QString::fromLatin1(bytes(e.mp3))));
        const QString got = StoredDetails(env.File(folder + '/' + e.mp3));
        if (!QString(e.expected).endsWith("vbr")) {
            QCOMPARE(got, e.expected);
            continue;
        }
        QVERIFY2(got.startsWith(e.expected + QStringLiteral(", ")), qPrintable(got));
        QFile f(Path(e.mp3));
        QVERIFY(f.open(QIODevice::ReadOnly));
        int frames = 0;
        const int mean = ChainMeanBitrate(f.readAll(), frames);
        // Ten seconds at 44.1 kHz are about 383 frames.
        QVERIFY2(frames > 350, qPrintable(QString::number(frames)));
        const int bitrate = got.section(QStringLiteral(", "), -1).toInt();
        QVERIFY2(qAbs(bitrate - mean) <= 2,
                 qPrintable(QStringLiteral("scanned %1, chain %2").arg(bitrate).arg(mean)));
    }
    // Its request went before the last file's, and requests are served in order.
    QVERIFY(!log.Has("Scanned " + QString::fromLatin1(bytes("silence.mp3"))));

    asked.clear();
    env.Rescan();
    QCOMPARE(asked.count(), 1);
    QCOMPARE(asked.at(0).at(0).toString(), QString::fromLatin1(bytes("silence.mp3")));
}

void tst_MP3Scanner::resultForAFileNoLongerShared()
{
    SharesTestEnv env;
    QVERIFY(QDir().mkpath(QFile::decodeName(QByteArray::fromStdString(env.Path("share")))));
    const QByteArray path = QByteArray::fromStdString(env.Path("share/song.mp3"));
    QVERIFY(WriteFile(QFile::decodeName(path), Stream({{150, kH128}})));
    ItemPtr root = env.Share("share");
    LogLines log(QStringLiteral("MP3 Scanning"));
    env.Init();

    // Unshared while the request is on its way: the result has no item to go to.
    root.Remove();
    env.Rescan();
    QVERIFY(!env.File("share/song.mp3"));
    QTRY_VERIFY_WITH_TIMEOUT(log.Has("Scanned " + QString::fromLatin1(path)), 30000);
    for (const char* type : {"mpeg_version", "channel_mode", "audio_frequency", "bitrate_mode",
                             "bitrate", "is_scanned"})
        QVERIFY2(d.GetType(type)->ItemCount() == 0, type);
}

void tst_MP3Scanner::resultsWaitForAScanBeingApplied_data()
{
    QTest::addColumn<bool>("scanning"); // a rescan is being applied when the results come
    QTest::addColumn<int>("steps");     // a slice's steps; 0, by time alone
    QTest::newRow("no scan") << false << 0;
    QTest::newRow("a rescan being applied") << true << 0;
    // A result a step, in the order they came: the store and the log as from one slice.
    QTest::newRow("no scan, a result a slice") << false << 1;
    QTest::newRow("a rescan being applied, a result a slice") << true << 1;
}

void tst_MP3Scanner::resultsWaitForAScanBeingApplied()
{
    QFETCH(bool, scanning);
    QFETCH(int, steps);

    SharesTestEnv env;
    // Holding no frame, they give nothing when the scanner reads them itself: the only results
    // are those handed in below.
    for (const char* name : {"share/song.mp3", "share/late.mp3"})
        env.Write(name, 10);
    for (const char* name : {"share/a/one.ogg", "share/b/two.ogg", "share/c/three.ogg"})
        env.Write(name);
    env.Share("share");
    env.Init();
    const TurnBudget::StepsForTesting scanSlices(scanning ? 1 : 0);
    if (scanning) {
        env.shares().RescanShares();
        QCoreApplication::processEvents();
        QVERIFY(env.shares().IsScanning());
    }
    const TurnBudget::StepsForTesting slices(steps);
    LogLines log(QStringLiteral("MP3 Scanning"));
    ItemPtr song = env.File("share/song.mp3");
    ItemPtr late = env.File("share/late.mp3");
    QStringList paths;
    for (const char* name : {"share/song.mp3", "share/gone.mp3", "share/late.mp3"}) {
        paths << QString::fromStdString(env.Path(name));
        env.shares().OnMP3Scanned(paths.back(), 1, "Joint Stereo", 44100, true, 192);
    }
    // The scan keeps the thread to itself until it is done.
    while (env.shares().IsScanning()) {
        QCOMPARE(StoredDetails(song), QStringLiteral("not scanned"));
        QCoreApplication::processEvents();
    }
    // The turn that writes the first result writes no other.
    QElapsedTimer waited;
    waited.start();
    while (steps == 1 && log.lines.isEmpty() && waited.elapsed() < 5000)
        QCoreApplication::processEvents();
    QVERIFY(steps == 0 || log.lines.size() == 1);
    QTRY_COMPARE(StoredDetails(late), QStringLiteral("1, Joint Stereo, 44100, vbr, 192"));
    QCOMPARE(StoredDetails(song), QStringLiteral("1, Joint Stereo, 44100, vbr, 192"));
    QCOMPARE(log.lines,
             QStringList({"Scanned " + paths[0], "Scanned " + paths[1], "Scanned " + paths[2]}));
}

void tst_MP3Scanner::nameNotInUtf8()
{
    // Names on disk are bytes: one written in Latin-1 is scanned like any other.
    SharesTestEnv env;
    QVERIFY(QDir().mkpath(QFile::decodeName(QByteArray::fromStdString(env.Path("share")))));
    const std::string path = env.Path("share") + "/caf\xe9.mp3";
    // Removed by its bytes: the temporary folder's clean-up goes through text and misses it.
    const auto unlink = [](const std::string* p) { ::unlink(p->c_str()); };
    const std::unique_ptr<const std::string, decltype(unlink)> removeAfter(&path, unlink);
    const QByteArray bytes = Stream({{150, kH128}});
    std::FILE* f = std::fopen(path.c_str(), "wb");
    QVERIFY(f);
    const size_t written = std::fwrite(bytes.constData(), 1, size_t(bytes.size()), f);
    QCOMPARE(std::fclose(f), 0);
    QCOMPARE(written, size_t(bytes.size()));
    env.Share("share");
    env.Init();
    ItemPtr file = env.shares().GetSharedFileItem(path);
    QVERIFY(file);
    QTRY_COMPARE_WITH_TIMEOUT(StoredDetails(file), QStringLiteral("1, joint stereo, 0, cbr, 128"),
                              30000);
}

QTEST_GUILESS_MAIN(tst_MP3Scanner)
#include "tst_mp3scanner.moc"

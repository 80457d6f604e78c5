#include "support/PeerBodies.h"

#include "support/WireBytes.h"

namespace {

// Peer code of a search reply.
constexpr quint32 kSearchReplyCode = 9;
constexpr quint64 kKiB = 1024;
constexpr quint64 kMiB = 1024 * kKiB;

const QList<QByteArray> kArtists = {
    "Bj\xc3\xb6rk",
    "Sigur R\xc3\xb3s",
    "Caf\xc3\xa9 Tacvba",
    "Mot\xc3\xb6rhead",
    "\xc3\x89"
    "dith Piaf",
    "Beyonc\xc3\xa9",
    "\xe5\x9d\x82\xe6\x9c\xac\xe9\xbe\x8d\xe4\xb8\x80", // a Japanese composer
    "\xe5\xae\x87\xe5\xa4\x9a\xe7\x94\xb0\xe3\x83\x92\xe3\x82\xab\xe3\x83\xab", // a singer
    "\xe7\x8e\x8b\xe8\x8f\xb2",                                                 // a Chinese singer
    "Ol\xc3\xa1"
    "fur Arnalds",
    "The Cure",
    "Daft Punk",
    "Simon & Garfunkel",
};
const QList<QByteArray> kAlbums = {
    "Greatest Hits",  "Live at the Royal Albert Hall",        "D\xc3\xa9j\xc3\xa0 Vu",
    "Homogenic",      "\xe6\x98\xa5\xe3\x81\xae\xe6\xad\x8c", "Discovery",
    "Disintegration", "Bridge over Troubled Water",           "( )",
};
const QList<QByteArray> kTitles = {
    "Intro",
    "J\xc3\xb3ga",
    "Hopp\xc3\xadpolla",
    "One More Time",
    "Ace of Spades",
    "La Vie en rose",
    "\xe6\x88\xa6\xe5\xa0\xb4\xe3\x81\xae\xe3\x83\xa1\xe3\x83\xaa\xe3\x83\xbc"
    "\xe3\x82\xaf\xe3\x83\xaa\xe3\x82\xb9\xe3\x83\x9e\xe3\x82\xb9",
    "Pictures of You",
    "The Boxer",
    "Crazy in Love",
    "Outro (Reprise)",
};
const QList<QByteArray> kTop = {"Music", "Musik", "M\xc3\xbasica", "Shared", "Downloads"};
const QList<QByteArray> kFilms = {
    "Am\xc3\xa9lie", "Spirited Away (\xe5\x8d\x83\xe3\x81\xa8\xe5\x8d\x83\xe5\xb0\x8b)",
    "Metropolis", "La Haine"};

} // namespace

QByteArray Zlib(const QByteArray& body)
{
    return qCompress(body, 9).mid(4);
}

QByteArray FileRecord(const QByteArray& name, quint64 size,
                      const QList<QPair<qint32, qint32>>& pairs, const QByteArray& ext)
{
    WireWriter w;
    w.u8(1).str(name).u64(size).str(ext).u32(quint32(pairs.size()));
    for (const auto& p : pairs)
        w.i32(p.first).i32(p.second);
    return w;
}

QByteArray ReplyBody(const QByteArray& user, quint32 token, quint32 count,
                     const QByteArray& records, const QByteArray& tail)
{
    return WireWriter().str(user).u32(token).u32(count).raw(records).raw(tail);
}

QByteArray ShareMaker::Pick(const QList<QByteArray>& words)
{
    return words.at(Between(0, int(words.size()) - 1));
}

int ShareMaker::Between(int low, int high)
{
    return int(m_random.bounded(low, high + 1));
}

QList<MadeFile> ShareMaker::Files(int count)
{
    QList<MadeFile> files;
    while (files.size() < count) {
        // One folder at a time, a few files in it.
        const int kind = Between(0, 9);
        QByteArray folder = Pick(kTop);
        if (kind < 7) {
            // Music, two to six levels: top, [genre,] artist, album (year), [CD n].
            if (Between(0, 1))
                folder += "\\" + Pick({"Rock", "Electr\xc3\xb3nica", "Chanson", "J-Pop"});
            folder += "\\" + Pick(kArtists) + "\\" + Pick(kAlbums) + " (" +
                      QByteArray::number(Between(1965, 2012)) + ")";
            if (Between(0, 3) == 0)
                folder += "\\CD" + QByteArray::number(Between(1, 2));
            const bool mp3 = kind < 5;
            const int tracks = Between(2, 6);
            for (int track = 1; track <= tracks && files.size() < count; ++track) {
                MadeFile file;
                file.folder = folder;
                file.extension = mp3 ? "mp3" : QByteArray(Between(0, 1) ? "flac" : "ogg");
                file.name = (track < 10 ? "0" : "") + QByteArray::number(track) + " - " +
                            Pick(kTitles) + "." + file.extension;
                const int seconds = Between(95, 540);
                if (mp3) {
                    const bool vbr = Between(0, 2) == 0;
                    const int bitrate =
                        vbr ? Between(160, 256) : Pick({"128", "192", "256", "320"}).toInt();
                    file.attributes = {{0, bitrate}, {1, seconds}, {2, vbr ? 1 : 0}};
                    file.size = quint64(bitrate) * 1000 / 8 * quint64(seconds);
                } else {
                    file.size = quint64(Between(18, 60)) * kMiB + quint64(Between(0, 1023)) * kKiB;
                }
                files << file;
            }
        } else if (kind < 9) {
            // Films, up to a few gibibytes.
            MadeFile file;
            file.folder = folder + "\\Video\\" + Pick(kFilms);
            file.extension = Between(0, 1) ? "mkv" : "avi";
            file.name = Pick(kFilms) + "." + file.extension;
            file.size = quint64(Between(700, 4400)) * kMiB + quint64(Between(0, 1023)) * kKiB;
            files << file;
        } else {
            // Pictures and documents, a few kilobytes to a few megabytes.
            const int pictures = Between(1, 4);
            for (int i = 0; i < pictures && files.size() < count; ++i) {
                MadeFile file;
                file.folder = folder + "\\" + Pick({"Pictures\\Cover Art", "Documents\\Lyrics"});
                file.extension = file.folder.endsWith("Art") ? "jpg" : "txt";
                file.name = Pick(kArtists) + " " + QByteArray::number(i + 1) + "." + file.extension;
                file.size = quint64(Between(3, 4000)) * kKiB + quint64(Between(0, 1023));
                files << file;
            }
        }
    }
    return files;
}

FileInfoMap ShareMaker::Share(int count)
{
    FileInfoMap share;
    for (const MadeFile& made : Files(count)) {
        AttributeMap::AttributeList attributes;
        for (const auto& [code, value] : made.attributes)
            attributes.emplace_back(code, value);
        share[made.folder.toStdString()].insert(
            FileInfo(made.name.toStdString(), qint64(made.size),
                     AttributeMap(made.extension.toStdString(), attributes)));
    }
    return share;
}

QByteArray ShareMaker::SearchReplyBody(const QByteArray& user, quint32 token, int count)
{
    const QList<MadeFile> files = Files(count);
    QByteArray records;
    for (const MadeFile& file : files)
        records += FileRecord(file.Path(), file.size, file.attributes, file.extension);
    const QByteArray tail = WireWriter().u8(1).u32(12800).u32(0);
    return ReplyBody(user, token, quint32(files.size()), records, tail);
}

QByteArray ShareMaker::SearchReply(const QByteArray& user, quint32 token, int count)
{
    return WireWriter().u32(kSearchReplyCode).raw(Zlib(SearchReplyBody(user, token, count)));
}

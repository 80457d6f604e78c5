#pragma once

// Peer message bodies as another client writes them (search replies, file records), and seeded
// makers of realistic ones: accented and CJK names, folders several levels deep, sizes from a few
// kilobytes to gigabytes, MP3 files with their bitrate, length and bitrate mode. A maker given
// the same seed makes the same files, so a test or a screenshot shows the same every run.
//
// No widgets here, and no client code but the store's records: the bytes are written with
// WireWriter and Qt's own compressor, so they check the client's readers rather than mirror them.

#include "store/FileInfo.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QRandomGenerator>

// A zlib stream made with Qt's compressor (its 4-byte size prefix dropped).
QByteArray Zlib(const QByteArray& body);

// One file record of a share list or search reply: code 1, the name, the size, the extension and
// the attribute pairs (code, value).
QByteArray FileRecord(const QByteArray& name, quint64 size,
                      const QList<QPair<qint32, qint32>>& pairs = {}, const QByteArray& ext = "");

// A search reply body before compression: user, token, count, the records, then the tail
// (free slot, speed, queued uploads, ...) as given.
QByteArray ReplyBody(const QByteArray& user, quint32 token, quint32 count,
                     const QByteArray& records, const QByteArray& tail);

// One made file.
struct MadeFile
{
    // Backslash-separated, as peers send them; the folder has no trailing backslash.
    QByteArray folder;
    QByteArray name;
    quint64 size = 0;
    // Lower case, without the dot.
    QByteArray extension;
    // (code, value): bitrate (kbit/s), length (seconds), variable bitrate (1 or 0); MP3s only.
    QList<QPair<qint32, qint32>> attributes;

    // Folder and name joined, as a search reply names the file.
    QByteArray Path() const { return folder + '\\' + name; }
};

class ShareMaker
{
public:
    explicit ShareMaker(quint32 seed) : m_random(seed) {}

    // count files of one user's share: albums of MP3s and other music, films, pictures and
    // documents, in folders two to six levels deep, a few files to a folder.
    QList<MadeFile> Files(int count);

    // count files as a share list reads them (folder to records), for
    // SharedFoldersManager::OnUserShare.
    FileInfoMap Share(int count);

    // A search reply (code 9, compressed) from the user for the token with count files: a free
    // slot, 12,800 bytes a second, 0 queued uploads.
    QByteArray SearchReply(const QByteArray& user, quint32 token, int count);
    // Its body before compression.
    QByteArray SearchReplyBody(const QByteArray& user, quint32 token, int count);

private:
    QByteArray Pick(const QList<QByteArray>& words);
    int Between(int low, int high);

    QRandomGenerator m_random;
};

#pragma once

#include <QByteArray>
#include <QIODevice>

#include <algorithm>
#include <cstring>

// A sequential device that tests and fuzz targets fill piece by piece, like a socket's receive
// buffer, so that a frame reader sees data arrive the way the network delivers it.
class FeedDevice : public QIODevice
{
public:
    FeedDevice() { open(QIODevice::ReadOnly | QIODevice::Unbuffered); }
    void Feed(const char* bytes, qsizetype n) { m_data.append(bytes, n); }
    void Feed(const QByteArray& bytes) { m_data += bytes; }
    // Bytes fed and not yet read.
    qsizetype Left() const { return m_data.size(); }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return m_data.size() + QIODevice::bytesAvailable(); }

protected:
    qint64 readData(char* data, qint64 max) override
    {
        const qint64 n = std::min<qint64>(max, m_data.size());
        if (n > 0)
            std::memcpy(data, m_data.constData(), size_t(n));
        m_data.remove(0, n);
        return n;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    QByteArray m_data;
};

// Piece sizes for delivering an input: everything at once when seed is 0, else 1 to 64 bytes
// from a small generator, so that headers and bodies get split at every offset.
class Pieces
{
public:
    explicit Pieces(quint32 seed) : m_split(seed != 0), m_state(seed) {}
    qsizetype Next(qsizetype left)
    {
        if (!m_split)
            return left;
        m_state = m_state * 1103515245u + 12345u;
        return std::min<qsizetype>(left, 1 + (m_state >> 16) % 64);
    }

private:
    bool m_split;
    quint32 m_state;
};

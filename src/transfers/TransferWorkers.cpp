#include "transfers/TransferWorkers.h"

#include <QFile>
#include <QTcpSocket>
#include <QtEndian>

#include <algorithm>
#include <atomic>
#include <functional>
#include <limits>

namespace {

std::atomic<int> g_waitMsForTesting{0};

using SocketWait = bool (QAbstractSocket::*)(int);

// One wait of the transfer's I/O wait for the socket, cut into slices with the stop flag looked
// at between them. False on a stop request, a closed or failed connection, or a wait that ran
// out; true once the socket did what was waited for.
bool WaitSliced(QTcpSocket* socket, SocketWait waitFor, const std::function<bool()>& stopped)
{
    QElapsedTimer waited;
    waited.start();
    const int limit = TransferIo::WaitMs();
    for (;;) {
        if (stopped())
            return false;
        const qint64 left = limit - waited.elapsed();
        if (left <= 0)
            return false;
        if ((socket->*waitFor)(static_cast<int>(std::min<qint64>(left, TransferIo::kWaitSliceMs))))
            return true;
        if (socket->state() != QAbstractSocket::ConnectedState ||
            socket->error() != QAbstractSocket::SocketTimeoutError)
            return false;
    }
}

// Waits for the peer to close the connection, for at most the I/O wait; whether it did is not
// asked.
void WaitForClose(QTcpSocket* socket, const std::function<bool()>& stopped)
{
    if (socket->state() == QAbstractSocket::UnconnectedState)
        return;
    WaitSliced(socket, &QAbstractSocket::waitForDisconnected, stopped);
}

} // namespace

int TransferIo::WaitMs()
{
    const int ms = g_waitMsForTesting.load();
    return ms > 0 ? ms : kDefaultWaitMs;
}

void TransferIo::SetWaitMsForTesting(int ms)
{
    g_waitMsForTesting.store(ms);
}

void TransferProgress::Begin(qint64 position)
{
    m_reported = position;
    m_sinceReport.invalidate();
    Restart();
}

void TransferProgress::Restart()
{
    m_start.start();
    m_counted = 0;
}

int TransferProgress::BytesPerSecond() const
{
    const qint64 ms = m_start.elapsed();
    if (ms <= 0)
        return 0;
    // Loopback copies pass 2 GiB/s; a rate that does not fit says so rather than going negative.
    return static_cast<int>(
        std::min<qint64>(1000 * m_counted / ms, std::numeric_limits<int>::max()));
}

bool TransferProgress::Due(qint64 position, bool final)
{
    if (position == m_reported)
        return false;
    if (!final && m_sinceReport.isValid() &&
        !m_sinceReport.hasExpired(TransferIo::kProgressIntervalMs))
        return false;
    m_reported = position;
    m_sinceReport.start();
    return true;
}

DownloadThread::DownloadThread(QTcpSocket* socket, QFile* file, long long size, long long position)
    : socket(socket), file(file), size(size), position(position), m_home(QThread::currentThread()),
      m_block(TransferIo::kBlockSize, Qt::Uninitialized)
{
}

void DownloadThread::run()
{
    bool ok = PerformDownload();
    ReportProgress(true);
    socket->moveToThread(m_home);
    // Whatever the file still buffers must reach the disk before the download counts as done.
    if (ok && !file->flush())
        ok = false;
    file->close();
    if (file->error() != QFileDevice::NoError)
        ok = false;
    if (ok)
        Q_EMIT DownloadComplete();
    else
        Q_EMIT DownloadError();
}

bool DownloadThread::PerformDownload()
{
    m_progress.Begin(position);
    for (;;) {
        if (Stopped())
            return false;
        const qint64 remaining = size - position;
        if (remaining < 0)
            return false;
        const qint64 block = std::min(remaining, TransferIo::kBlockSize);
        if (!FillBlock(block))
            return false;
        // A short write, or one the file could not pass on (a full disk), fails the download
        // here, before the bytes after it are taken from the peer.
        if (file->write(m_block.constData(), block) != block || !file->flush())
            return false;
        position += block;
        m_progress.Count(block);
        ReportProgress(false);
        if (position == size) {
            socket->close();
            return true;
        }
    }
}

bool DownloadThread::FillBlock(qint64 length)
{
    qint64 got = 0;
    while (got < length) {
        const qint64 n = socket->read(m_block.data() + got, length - got);
        if (n < 0)
            return false;
        got += n;
        if (got < length && socket->bytesAvailable() == 0 &&
            !WaitSliced(socket, &QAbstractSocket::waitForReadyRead, [this] { return Stopped(); }))
            return false;
    }
    return true;
}

void DownloadThread::ReportProgress(bool final)
{
    if (m_progress.Due(position, final))
        Q_EMIT DownloadProgress(position, m_progress.BytesPerSecond());
}

UploadThread::UploadThread(QTcpSocket* socket, QFile* file, int token, UploadSpeedLimits& limits,
                           ThrottleClock* clock)
    : socket(socket), file(file), token(static_cast<quint32>(token)),
      m_home(QThread::currentThread()), m_throttle(limits, clock ? *clock : m_steadyClock),
      m_block(TransferIo::kBlockSize, Qt::Uninitialized)
{
}

void UploadThread::run()
{
    const bool ok = PerformUpload();
    ReportProgress(true);
    socket->moveToThread(m_home);
    if (ok)
        Q_EMIT UploadComplete();
    else
        Q_EMIT UploadError();
}

bool UploadThread::PerformUpload()
{
    const auto stopped = [this] { return Stopped(); };
    // The downloader sends its offset and nothing more. Every wait on the socket takes in what
    // has come, so without a bound a peer that sent instead of reading would have its data
    // piled up in memory for as long as the upload lasts; past the offset it stays in the
    // connection, and the peer's sending stalls.
    socket->setReadBufferSize(sizeof(qint64));
    const quint32 wireToken = qToLittleEndian(token);
    if (socket->write(reinterpret_cast<const char*>(&wireToken), sizeof wireToken) !=
        sizeof wireToken)
        return false;
    socket->flush();

    qint64 offset = 0;
    if (!ReadOffset(offset))
        return false;
    const qint64 fileSize = file->size();
    if (offset < 0 || offset > fileSize || !file->seek(offset))
        return false;
    m_position = offset;
    // The engine counts an upload's position from 0.
    m_progress.Begin(0);
    // The downloader already holds the whole file (or it is empty): nothing to send, and
    // nothing failed.
    if (offset == fileSize) {
        WaitForClose(socket, stopped);
        return true;
    }

    m_throttle.Begin();
    for (;;) {
        if (Stopped())
            return false;
        switch (m_throttle.BeforeBlock(stopped)) {
        case UploadThrottle::Step::Stopped:
            return false;
        case UploadThrottle::Step::ShareChanged:
            m_progress.Restart();
            break;
        case UploadThrottle::Step::Go:
            break;
        }
        const qint64 block = std::min(fileSize - m_position, TransferIo::kBlockSize);
        if (!SendBlock(block))
            return false;
        m_position += block;
        m_throttle.Sent(block);
        m_progress.Count(block);
        ReportProgress(false);
        if (m_position == fileSize) {
            WaitForClose(socket, stopped);
            return true;
        }
    }
}

bool UploadThread::ReadOffset(qint64& offset)
{
    char bytes[sizeof(qint64)];
    qint64 got = 0;
    while (got < qint64(sizeof bytes)) {
        if (socket->bytesAvailable() == 0 &&
            !WaitSliced(socket, &QAbstractSocket::waitForReadyRead, [this] { return Stopped(); }))
            return false;
        const qint64 n = socket->read(bytes + got, qint64(sizeof bytes) - got);
        if (n < 0)
            return false;
        got += n;
    }
    offset = qFromLittleEndian<qint64>(bytes);
    return true;
}

bool UploadThread::SendBlock(qint64 length)
{
    if (file->read(m_block.data(), length) != length)
        return false;
    if (socket->write(m_block.constData(), length) != length)
        return false;
    socket->flush();
    // The next block is read only once this one has left: one block buffered per connection.
    while (socket->bytesToWrite() > 0) {
        if (!WaitSliced(socket, &QAbstractSocket::waitForBytesWritten,
                        [this] { return Stopped(); }))
            return false;
    }
    return true;
}

void UploadThread::ReportProgress(bool final)
{
    if (m_progress.Due(m_position, final))
        Q_EMIT UploadProgress(m_position, m_progress.BytesPerSecond());
}

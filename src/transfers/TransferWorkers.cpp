#include "transfers/TransferWorkers.h"

#include <QFile>
#include <QMutexLocker>
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

void TransferWorker::SignalExit()
{
    QMutexLocker lock(&m_mutex);
    m_stop = true;
}

bool TransferWorker::ExitSignalled() const
{
    QMutexLocker lock(&m_mutex);
    return m_stop;
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
    : m_socket(socket), m_file(file), m_size(size), m_position(position),
      m_home(QThread::currentThread()), m_block(TransferIo::kBlockSize, Qt::Uninitialized)
{
}

void DownloadThread::run()
{
    bool ok = PerformDownload();
    ReportProgress(true);
    m_socket->moveToThread(m_home);
    // Whatever the file still buffers must reach the disk before the download counts as done.
    if (ok && !m_file->flush())
        ok = false;
    m_file->close();
    if (m_file->error() != QFileDevice::NoError)
        ok = false;
    if (ok)
        Q_EMIT DownloadComplete();
    else
        Q_EMIT DownloadError();
}

bool DownloadThread::PerformDownload()
{
    m_progress.Begin(m_position);
    for (;;) {
        if (Stopped())
            return false;
        const qint64 remaining = m_size - m_position;
        if (remaining < 0)
            return false;
        const qint64 block = std::min(remaining, TransferIo::kBlockSize);
        if (!FillBlock(block))
            return false;
        // A short write, or one the file could not pass on (a full disk), fails the download
        // here, before the bytes after it are taken from the peer.
        if (m_file->write(m_block.constData(), block) != block || !m_file->flush())
            return false;
        m_position += block;
        m_progress.Count(block);
        ReportProgress(false);
        if (m_position == m_size) {
            m_socket->close();
            return true;
        }
    }
}

bool DownloadThread::FillBlock(qint64 length)
{
    qint64 got = 0;
    while (got < length) {
        const qint64 n = m_socket->read(m_block.data() + got, length - got);
        if (n < 0)
            return false;
        got += n;
        if (got < length && m_socket->bytesAvailable() == 0 &&
            !WaitSliced(m_socket, &QAbstractSocket::waitForReadyRead, [this] { return Stopped(); }))
            return false;
    }
    return true;
}

void DownloadThread::ReportProgress(bool final)
{
    if (m_progress.Due(m_position, final))
        Q_EMIT DownloadProgress(m_position, m_progress.BytesPerSecond());
}

UploadThread::UploadThread(QTcpSocket* socket, QFile* file, int token, UploadSpeedLimits& limits,
                           ThrottleClock* clock)
    : m_socket(socket), m_file(file), m_token(static_cast<quint32>(token)),
      m_home(QThread::currentThread()), m_throttle(limits, clock ? *clock : m_steadyClock),
      m_block(TransferIo::kBlockSize, Qt::Uninitialized)
{
}

void UploadThread::run()
{
    const bool ok = PerformUpload();
    ReportProgress(true);
    m_socket->moveToThread(m_home);
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
    m_socket->setReadBufferSize(sizeof(qint64));
    const quint32 wireToken = qToLittleEndian(m_token);
    if (m_socket->write(reinterpret_cast<const char*>(&wireToken), sizeof wireToken) !=
        sizeof wireToken)
        return false;
    m_socket->flush();

    qint64 offset = 0;
    if (!ReadOffset(offset))
        return false;
    const qint64 fileSize = m_file->size();
    if (offset < 0 || offset > fileSize || !m_file->seek(offset))
        return false;
    m_position = offset;
    // The engine counts an upload's position from 0.
    m_progress.Begin(0);
    // The downloader already holds the whole file (or it is empty): nothing to send, and
    // nothing failed.
    if (offset == fileSize) {
        WaitForClose(m_socket, stopped);
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
            WaitForClose(m_socket, stopped);
            return true;
        }
    }
}

bool UploadThread::ReadOffset(qint64& offset)
{
    char bytes[sizeof(qint64)];
    qint64 got = 0;
    while (got < qint64(sizeof bytes)) {
        if (m_socket->bytesAvailable() == 0 &&
            !WaitSliced(m_socket, &QAbstractSocket::waitForReadyRead, [this] { return Stopped(); }))
            return false;
        const qint64 n = m_socket->read(bytes + got, qint64(sizeof bytes) - got);
        if (n < 0)
            return false;
        got += n;
    }
    offset = qFromLittleEndian<qint64>(bytes);
    return true;
}

bool UploadThread::SendBlock(qint64 length)
{
    if (m_file->read(m_block.data(), length) != length)
        return false;
    if (m_socket->write(m_block.constData(), length) != length)
        return false;
    m_socket->flush();
    // The next block is read only once this one has left: one block buffered per connection.
    while (m_socket->bytesToWrite() > 0) {
        if (!WaitSliced(m_socket, &QAbstractSocket::waitForBytesWritten,
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

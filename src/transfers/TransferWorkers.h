#pragma once

// The worker threads that copy a transfer's bytes between its file connection and its file, one
// 8192-byte block at a time. A worker never touches the store: the engine hands it a socket
// (every connection removed, no parent, moved to the worker's thread) and an open file, and it
// reports by signals that reach the engine queued. Before its end signal it moves the socket
// back to the thread that built it.
//
// Every wait on the peer is cut into slices of at most kWaitSliceMs with the stop flag looked at
// between them, so tearing a transfer down never waits for a stalled peer's full time-out.
// Progress goes out at most every kProgressIntervalMs, and the last position always goes out
// before the end signal.

#include "transfers/UploadThrottle.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QMutex>
#include <QThread>

class QFile;
class QTcpSocket;

namespace TransferIo {

// How long a worker waits for its peer to send, to take what was sent, or to close.
constexpr int kDefaultWaitMs = 30000;
constexpr int kWaitSliceMs = 250;
constexpr int kProgressIntervalMs = 100;
constexpr qint64 kBlockSize = 8192;

int WaitMs();
// Test-only: every worker started afterwards waits this long instead (0: the default again).
void SetWaitMsForTesting(int ms);

} // namespace TransferIo

// What the engine needs of every transfer's worker thread (the download and the upload thread
// derive from it): a stop flag, under the worker's own mutex, that the worker reads between
// blocks. Tearing a transfer down sets the flag and then waits for the thread to end.
class TransferWorker : public QThread
{
    Q_OBJECT

public:
    explicit TransferWorker(QObject* parent = nullptr) : QThread(parent) {}

    void SignalExit();

protected:
    bool ExitSignalled() const;

private:
    mutable QMutex m_mutex;
    bool m_stop = false;
};

// A worker's rate (the average since it started, or since its upload share last changed) and
// the pacing of its progress reports.
class TransferProgress
{
public:
    // Copying begins at position, which the engine already knows.
    void Begin(qint64 position);
    // The rate is measured again from now.
    void Restart();
    void Count(qint64 bytes) { m_counted += bytes; }
    // Bytes per second since the restart; 0 within the first millisecond.
    int BytesPerSecond() const;
    // Whether to report position now: the first time it moved, then once the interval has
    // passed since the last report; with final, whenever it differs from the last one reported.
    bool Due(qint64 position, bool final);

private:
    QElapsedTimer m_start;
    QElapsedTimer m_sinceReport;
    qint64 m_counted = 0;
    qint64 m_reported = 0;
};

// Writes what the downloader's socket delivers into the partial file, from the start offset up
// to the expected size. Every block is flushed and checked, so a full disk ends the download as
// failed instead of losing its last bytes.
class DownloadThread : public TransferWorker
{
    Q_OBJECT

public:
    DownloadThread(QTcpSocket* socket, QFile* file, long long size, long long position);

Q_SIGNALS:
    void DownloadComplete();
    void DownloadProgress(qint64 position, int bytesPerSecond);
    void DownloadError();

protected:
    void run() override;

private:
    bool PerformDownload();
    bool FillBlock(qint64 length);
    void ReportProgress(bool final);
    bool Stopped() const { return ExitSignalled(); }

    QTcpSocket* m_socket;
    QFile* m_file;
    qint64 m_size;
    qint64 m_position;
    QThread* m_home;
    QByteArray m_block;
    TransferProgress m_progress;
};

// Sends the shared file on the uploader's side: the token, then, once the downloader has named
// its start offset, the rest of the file, paced by the upload speed limit. The file stays open;
// the engine's teardown closes it.
class UploadThread : public TransferWorker
{
    Q_OBJECT

public:
    // clock: the throttle's clock, replaced by tests; null for the real one.
    UploadThread(QTcpSocket* socket, QFile* file, int token, UploadSpeedLimits& limits,
                 ThrottleClock* clock = nullptr);

Q_SIGNALS:
    void UploadComplete();
    void UploadProgress(qint64 position, int bytesPerSecond);
    void UploadError();

protected:
    void run() override;

private:
    bool PerformUpload();
    bool ReadOffset(qint64& offset);
    bool SendBlock(qint64 length);
    void ReportProgress(bool final);
    bool Stopped() const { return ExitSignalled(); }

    QTcpSocket* m_socket;
    QFile* m_file;
    quint32 m_token;
    QThread* m_home;
    SteadyThrottleClock m_steadyClock;
    UploadThrottle m_throttle;
    QByteArray m_block;
    TransferProgress m_progress;
    qint64 m_position = 0;
};

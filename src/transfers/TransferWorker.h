#pragma once

#include <QMutex>
#include <QThread>

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

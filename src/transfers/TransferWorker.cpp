#include "transfers/TransferWorker.h"

#include <QMutexLocker>

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

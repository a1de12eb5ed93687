// The single worker thread that runs batches and exports, so the window never waits on I/O.
#pragma once

#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

namespace veltrano {

// One thread: batches and exports never overlap, as if they ran one after another on one thread.
QThreadPool &workerPool();

template <class Work>
auto runOnWorker(Work &&work)
{
    return QtConcurrent::run(&workerPool(), std::forward<Work>(work));
}

} // namespace veltrano

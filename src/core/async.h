// Off-thread work, written one way: run on a pool, then continue on the thread of a context object.
#pragma once

#include <QFutureWatcher>
#include <QObject>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <type_traits>
#include <utility>

namespace veltrano {

// Runs work() on `pool`, then then(result) (or then() for work without a result) on the thread of
// `context`, always from its event loop: never inside this call, even when the work is done before
// it returns. Nothing continues once `context` is gone, so a window may close while its work runs;
// the pool's owner waits for the work itself.
template <class Work, class Then>
void runThen(QThreadPool &pool, QObject *context, Work &&work, Then &&then)
{
    using Result = std::invoke_result_t<std::decay_t<Work>>;
    auto *watcher = new QFutureWatcher<Result>(context);
    QObject::connect(watcher, &QFutureWatcherBase::finished, context,
                     [watcher, then = std::forward<Then>(then)]() mutable {
                         watcher->deleteLater();
                         if constexpr (std::is_void_v<Result>)
                             then();
                         else
                             then(watcher->result());
                     });
    watcher->setFuture(QtConcurrent::run(&pool, std::forward<Work>(work)));
}

} // namespace veltrano

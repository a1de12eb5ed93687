// The worker pool, limited to one thread.
#include "core/worker.h"

namespace veltrano {

QThreadPool &workerPool()
{
    static QThreadPool *pool = [] {
        auto *p = new QThreadPool;
        p->setMaxThreadCount(1);
        p->setExpiryTimeout(-1);
        return p;
    }();
    return *pool;
}

} // namespace veltrano

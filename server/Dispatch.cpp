#include "server/Dispatch.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThreadPool>

#include <mutex>

namespace Dispatch {

namespace {

// A stop script or generator that hangs must not hold up every later
// command; on a two-core machine the pool would otherwise run only two.
constexpr int minimumWorkers = 16;

QThreadPool &workerPool()
{
    static std::once_flag widened;
    QThreadPool *pool = QThreadPool::globalInstance();
    std::call_once(widened, [pool] {
        if (pool->maxThreadCount() < minimumWorkers)
            pool->setMaxThreadCount(minimumWorkers);
    });
    return *pool;
}

} // namespace

void toWorker(std::function<void()> task)
{
    workerPool().start(std::move(task));
}

void toMain(std::function<void()> task)
{
    QCoreApplication *application = QCoreApplication::instance();
    if (!application)
        return;
    QMetaObject::invokeMethod(application, std::move(task), Qt::QueuedConnection);
}

} // namespace Dispatch

#include "adapters/qt/QtMainQueue.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <QTimer>

namespace sorvane {

QtMainQueue::QtMainQueue() : m_context(std::make_unique<QObject>()) {}

QtMainQueue::~QtMainQueue() = default;

void QtMainQueue::post(std::function<void()> task) {
    // Qt drops the call if the context is destroyed before it runs.
    QMetaObject::invokeMethod(m_context.get(), std::move(task), Qt::QueuedConnection);
}

bool QtMainQueue::isMainThread() const { return QThread::currentThread() == m_context->thread(); }

void QtMainQueue::postDelayed(std::chrono::milliseconds delay, std::function<void()> task) {
    if (isMainThread()) {
        QTimer::singleShot(delay, Qt::PreciseTimer, m_context.get(), std::move(task));
        return;
    }
    // Timers belong to the thread that starts them: start this one on the main thread.
    QObject* context = m_context.get();
    QMetaObject::invokeMethod(
        context,
        [context, delay, task = std::move(task)]() mutable {
            QTimer::singleShot(delay, Qt::PreciseTimer, context, std::move(task));
        },
        Qt::QueuedConnection);
}

void QtMainQueue::spin(std::chrono::milliseconds duration) {
    QDeadlineTimer deadline(duration, Qt::PreciseTimer);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents,
                                        static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
        QCoreApplication::sendPostedEvents();
        QThread::msleep(1);
    }
}

} // namespace sorvane

#include "app/Workers.h"

#include <chrono>
#include <future>
#include <memory>

namespace castora {

WorkerThreads::~WorkerThreads() {
    cancel_ = true;
    for (const QPointer<QThread>& t : threads_)
        if (t) t->wait();
}

void WorkerThreads::Start(std::function<void()> job) {
    std::erase_if(threads_, [](const QPointer<QThread>& t) { return t.isNull(); });
    QThread* thread = QThread::create(std::move(job));
    thread->setParent(this);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    threads_.emplace_back(thread);
    thread->start();
}

int WorkerThreads::Running() const {
    int n = 0;
    for (const QPointer<QThread>& t : threads_) n += t && t->isRunning();
    return n;
}

WindowLink WorkerThreads::Link(UpdateWindow* window) {
    WindowLink link;
    link.window = window;
    link.cancel = &cancel_;
    QPointer<WorkerThreads> self(this);
    link.post = [self](std::function<void()> fn) {
        if (self) QMetaObject::invokeMethod(self.data(), std::move(fn), Qt::QueuedConnection);
    };
    // Waits in short steps so that a closing window, which never runs the call, releases the worker.
    link.call = [self, cancel = &cancel_](std::function<void()> fn) {
        auto done = std::make_shared<std::promise<void>>();
        std::future<void> finished = done->get_future();
        if (!self) return false;
        QMetaObject::invokeMethod(
            self.data(),
            [fn = std::move(fn), done] {
                fn();
                done->set_value();
            },
            Qt::QueuedConnection);
        while (finished.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready)
            if (cancel->load()) return false;
        return true;
    };
    return link;
}

}  // namespace castora

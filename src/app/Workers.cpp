#include "app/Workers.h"

namespace castora {

WorkerThreads::WorkerThreads(QObject* parent)
    : QObject(parent), runner_([this](JobRunner::Task task) {
          QMetaObject::invokeMethod(this, std::move(task), Qt::QueuedConnection);
      }) {}

WorkerThreads::~WorkerThreads() { runner_.Shutdown(); }

void WorkerThreads::Start(UpdateWindow* window, std::function<void(const WindowLink& link)> job) {
    runner_.Start([window, job = std::move(job)](const JobRunner::Context& context) {
        WindowLink link;
        link.window = window;
        link.cancel = &context.CancelFlag();
        link.post = [&context](std::function<void()> fn) { context.Post(std::move(fn)); };
        link.call = [&context](std::function<void()> fn) { return context.Call(std::move(fn)); };
        job(link);
    });
}

}  // namespace castora

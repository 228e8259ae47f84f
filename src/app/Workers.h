#pragma once
#include <QObject>
#include <QPointer>
#include <QThread>
#include <atomic>
#include <functional>
#include <vector>

#include "server/Update.h"

namespace castora {

// Owns the worker threads of one window: starts each for one job, lets it go when done, and on
// destruction tells the rest to stop and waits for them, so the program never ends under a running
// request.
class WorkerThreads : public QObject {
    Q_OBJECT
public:
    explicit WorkerThreads(QObject* parent = nullptr) : QObject(parent) {}
    ~WorkerThreads() override;

    void Start(std::function<void()> job);
    // The link through which a worker reaches `window` on this object's thread.
    WindowLink Link(UpdateWindow* window);
    const std::atomic<bool>* Cancel() const { return &cancel_; }
    int Running() const;

private:
    std::atomic<bool> cancel_{false};
    std::vector<QPointer<QThread>> threads_;
};

}  // namespace castora

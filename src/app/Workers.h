#pragma once
#include <QObject>
#include <functional>

#include "catalogue/JobRunner.h"
#include "server/Update.h"

namespace castora {

// The window's network workers (updates, submissions): each job runs on a thread of its own and reaches
// the window through its link. On destruction the rest are told to stop and waited for, so the program
// never ends under a running request.
class WorkerThreads : public QObject {
    Q_OBJECT
public:
    explicit WorkerThreads(QObject* parent = nullptr);
    ~WorkerThreads() override;

    // `window` is what the link's calls reach; the link's cancel flag is the job's own.
    void Start(UpdateWindow* window, std::function<void(const WindowLink& link)> job);
    int Running() { return static_cast<int>(runner_.Running()); }

private:
    JobRunner runner_;
};

}  // namespace castora

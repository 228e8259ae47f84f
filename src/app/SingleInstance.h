#pragma once
#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

namespace castora {

// One running copy per list directory: whichever copy saves last would otherwise drop the channels
// the other one added. The first start holds a lock and listens on a local socket, both named after
// the directory; a later start hands its playlist (or nothing, to bring the window up) to that copy
// and ends. The lock is the kernel's and dies with its process, so a crashed copy never blocks a
// start. Only the user's own processes are heard, and only theirs are handed anything.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    enum class Role {
        First,       // this copy runs; later starts reach it through openRequested
        HandedOver,  // another copy runs for the directory and took the request: end now
        Unreachable  // another copy holds the directory but did not take the request
    };

    // listDir empty: the working directory. runtimeDir empty: $XDG_RUNTIME_DIR, else the temporary directory.
    explicit SingleInstance(const QString& listDir = {}, const QString& runtimeDir = {}, QObject* parent = nullptr);
    ~SingleInstance() override;

    // Takes the directory, or hands `location` (a playlist path or address, may be empty) to the copy
    // that has it, waiting at most a few seconds for it to answer.
    Role Claim(const QString& location);
    // The socket's path, for tests.
    QString SocketPath() const { return socketPath_; }

signals:
    // Another start asked for the window, with a playlist to import unless location is empty.
    void openRequested(const QString& location);

private:
    bool HandOver(const QString& location);
    void Serve(QLocalSocket* socket);

    QString lockPath_;
    QString socketPath_;
    int lockFd_ = -1;
    QLocalServer* server_ = nullptr;
};

}  // namespace castora

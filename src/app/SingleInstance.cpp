#include "app/SingleInstance.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>
#include <QUrl>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

namespace castora {

namespace {

// A request is one percent-encoded line; nothing a start hands over comes near this.
constexpr qsizetype RequestLimit = 1 << 20;
constexpr char Reply[] = "ok\n";

// The process at the other end of a local socket is the user's own.
bool SameUser(qintptr fd) {
    ucred peer{};
    socklen_t length = sizeof peer;
    return ::getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 && peer.uid == ::getuid();
}

}  // namespace

SingleInstance::SingleInstance(const QString& listDir, const QString& runtimeDir, QObject* parent) : QObject(parent) {
    const QString dir = QDir(listDir.isEmpty() ? QDir::currentPath() : listDir).canonicalPath();
    QString runtime = runtimeDir;
    if (runtime.isEmpty()) runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (runtime.isEmpty() || !QFileInfo(runtime).isDir()) runtime = QDir::tempPath();
    // Socket paths are short (108 bytes): the directory is named by its hash, the user by number, for
    // runtime directories that every user shares.
    const QString key =
        QString::fromLatin1(QCryptographicHash::hash(dir.toUtf8(), QCryptographicHash::Sha1).toHex().left(16));
    const QString base = QStringLiteral("%1/castora-player-%2-%3").arg(runtime).arg(::getuid()).arg(key);
    lockPath_ = base + QStringLiteral(".lock");
    socketPath_ = base + QStringLiteral(".socket");
}

SingleInstance::~SingleInstance() {
    if (server_) server_->close();  // removes the socket file
    if (lockFd_ >= 0) ::close(lockFd_);
}

SingleInstance::Role SingleInstance::Claim(const QString& location) {
    const QDeadlineTimer deadline(10000);
    for (;;) {
        if (lockFd_ < 0) lockFd_ = ::open(QFile::encodeName(lockPath_).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (lockFd_ < 0) {
            // Without a lock there is no telling copies apart: run as before.
            std::fprintf(stderr, "castora-player: can't create %s: %s\n", qPrintable(lockPath_), std::strerror(errno));
            return Role::First;
        }
        if (::flock(lockFd_, LOCK_EX | LOCK_NB) == 0) break;
        if (errno != EWOULDBLOCK && errno != EINTR) return Role::First;
        // The copy that holds the lock may not be listening yet, or may be ending just now.
        if (HandOver(location)) return Role::HandedOver;
        if (deadline.hasExpired()) return Role::Unreachable;
        QThread::msleep(100);
    }
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    // What a crashed copy left under the name is no server: the lock says nobody else listens.
    QLocalServer::removeServer(socketPath_);
    if (!server_->listen(socketPath_))
        std::fprintf(stderr, "castora-player: can't listen on %s: %s\n", qPrintable(socketPath_),
                     qPrintable(server_->errorString()));
    connect(server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = server_->nextPendingConnection()) Serve(socket);
    });
    return Role::First;
}

bool SingleInstance::HandOver(const QString& location) {
    QLocalSocket socket;
    socket.connectToServer(socketPath_);
    if (!socket.waitForConnected(1000) || !SameUser(socket.socketDescriptor())) return false;
    socket.write(QUrl::toPercentEncoding(location) + '\n');
    if (!socket.waitForBytesWritten(3000)) return false;
    QByteArray answer;
    while (!answer.contains('\n') && socket.waitForReadyRead(5000)) answer += socket.readAll();
    return answer == Reply;
}

void SingleInstance::Serve(QLocalSocket* socket) {
    socket->setParent(this);
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    if (!SameUser(socket->socketDescriptor())) {
        socket->abort();
        return;
    }
    auto* line = new QByteArray;
    connect(socket, &QObject::destroyed, this, [line] { delete line; });
    connect(socket, &QLocalSocket::readyRead, this, [this, socket, line] {
        *line += socket->readAll();
        const qsizetype end = line->indexOf('\n');
        if (end < 0) {
            if (line->size() > RequestLimit) socket->abort();
            return;
        }
        const QString location = QUrl::fromPercentEncoding(line->left(end));
        line->clear();
        socket->write(Reply);
        socket->disconnectFromServer();
        // From the event loop: what the request opens may ask a question of its own.
        QMetaObject::invokeMethod(
            this, [this, location] { emit openRequested(location); }, Qt::QueuedConnection);
    });
}

}  // namespace castora

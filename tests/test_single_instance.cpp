// One running copy per list directory: the claim, the hand-over and what a crashed copy leaves behind.
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>

#include <future>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "app/SingleInstance.h"
#include "support/QtApp.h"
#include "support/TempDir.h"

using castora::SingleInstance;
using namespace castora::test;

namespace {

QString Q(const std::filesystem::path& p) { return QString::fromStdString(p.string()); }

// A later start, on a thread of its own: the first copy answers from this thread's event loop.
SingleInstance::Role ClaimElsewhere(const QString& listDir, const QString& runtime, const QString& location) {
    auto claim = std::async(std::launch::async, [=] { return SingleInstance(listDir, runtime).Claim(location); });
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return claim.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 30000));
    return claim.get();
}

}  // namespace

TEST(SingleInstance, ALaterStartHandsItsPlaylistToTheFirst) {
    EnsureApp();
    TempDir lists, other, runtime;
    SingleInstance first(Q(lists.path()), Q(runtime.path()));
    ASSERT_EQ(first.Claim({}), SingleInstance::Role::First);
    QSignalSpy opened(&first, &SingleInstance::openRequested);
    const QString locations[] = {"/home/u/Radio list.m3u", "", "http://example.org/tv.m3u?a=1&b=%20",
                                 QString::fromUtf8("/tmp/Радио\nline two.pls")};
    for (const QString& location : locations) {
        SCOPED_TRACE(location.toStdString());
        opened.clear();
        EXPECT_EQ(ClaimElsewhere(Q(lists.path()), Q(runtime.path()), location), SingleInstance::Role::HandedOver);
        ASSERT_TRUE(QTest::qWaitFor([&] { return opened.count() == 1; }, 30000));
        EXPECT_EQ(opened.at(0).at(0).toString(), location);
    }
    // Another list directory is another copy's.
    SingleInstance elsewhere(Q(other.path()), Q(runtime.path()));
    EXPECT_EQ(elsewhere.Claim({}), SingleInstance::Role::First);
}

TEST(SingleInstance, WhatACrashedCopyLeftDoesNotBlockTheStart) {
    EnsureApp();
    TempDir lists, runtime;
    QString socketPath;
    {
        SingleInstance probe(Q(lists.path()), Q(runtime.path()));
        socketPath = probe.SocketPath();
    }
    // The lock file and a socket nobody listens on, as a killed copy leaves them.
    const std::string lock = socketPath.chopped(7).toStdString() + ".lock";
    ::close(::open(lock.c_str(), O_RDWR | O_CREAT, 0600));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.toUtf8().constData(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);

    SingleInstance first(Q(lists.path()), Q(runtime.path()));
    ASSERT_EQ(first.Claim({}), SingleInstance::Role::First);
    QSignalSpy opened(&first, &SingleInstance::openRequested);
    EXPECT_EQ(ClaimElsewhere(Q(lists.path()), Q(runtime.path()), "/x.m3u"), SingleInstance::Role::HandedOver);
    ASSERT_TRUE(QTest::qWaitFor([&] { return opened.count() == 1; }, 30000));
}

TEST(SingleInstance, ACopyThatHoldsTheDirectoryButNeverAnswersIsReported) {
    EnsureApp();
    TempDir lists, runtime;
    SingleInstance probe(Q(lists.path()), Q(runtime.path()));
    const std::string lock = probe.SocketPath().chopped(7).toStdString() + ".lock";
    const int held = ::open(lock.c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(SingleInstance(Q(lists.path()), Q(runtime.path())).Claim("/x.m3u"), SingleInstance::Role::Unreachable);
    ::close(held);
    EXPECT_EQ(probe.Claim({}), SingleInstance::Role::First);
}

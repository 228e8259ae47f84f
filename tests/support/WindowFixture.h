#pragma once
#include "support/Patience.h"
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <memory>

#include "app/MainForm.h"
#include "support/Parts.h"
#include "support/QtApp.h"
#include "support/ScriptedMessages.h"
#include "support/TempDir.h"

namespace castora::test {

// A main window reading its lists from a fresh temporary directory.
class WindowFixture : public ::testing::Test {
protected:
    void SetUp() override { EnsureApp(); }
    void TearDown() override { form.reset(); }

    virtual AppConfig Config() const {
        AppConfig config;
        config.listDir = QString::fromStdString(dir.path().string());
        config.programDir = config.listDir;
        config.nullMediaOutputs = true;
        config.cacheDir = QString::fromStdString((dir.path() / "cache").string());
        config.updateHost = "127.0.0.1:9";
        // Each test's window remembers its settings in its own directory.
        config.settingsFile = QString::fromStdString((dir.path() / "settings.ini").string());
        return config;
    }
    TMainForm& Start() {
        form = std::make_unique<TMainForm>(Config(), messages);
        Settle();
        return *form;
    }
    // Runs the event loop until the catalogue is in place and no job is on its way.
    void Settle() {
        QElapsedTimer timer;
        timer.start();
        while ((!form->Ready() || form->CatalogueOwner().State() != CatalogueState::Idle) &&
               timer.elapsed() < kPatienceMs)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10), QThread::msleep(1);
        ASSERT_TRUE(form->Ready());
        ASSERT_EQ(form->CatalogueOwner().State(), CatalogueState::Idle);
    }

    // A part of the window by its object name ("Channels", "PlayButton", "Player", ...).
    template <class T>
    T& Part(const char* name) const {
        return PartOf<T>(*form, name);
    }

    TempDir dir;
    ScriptedMessages messages;
    std::unique_ptr<TMainForm> form;
};

}  // namespace castora::test

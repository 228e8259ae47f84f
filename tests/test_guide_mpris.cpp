// The programme on air in the MPRIS metadata, read over a real session bus (the test runs under
// dbus-run-session, the window on the offscreen platform).
#include <gtest/gtest.h>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QPushButton>
#include <QSettings>
#include <QTest>

#include "app/ChannelGuide.h"
#include "app/Mpris.h"
#include "pages/ChannelModel.h"
#include "pages/ChannelsPage.h"
#include "support/Catalogues.h"
#include "support/GuideWindow.h"
#include "support/Guides.h"
#include "support/Wav.h"
#include "support/WindowFixture.h"

using namespace castora;
using namespace castora::test;

namespace {

class GuideMpris : public WindowFixture {
protected:
    AppConfig Config() const override {
        AppConfig config = WindowFixture::Config();
        config.settingsFile = QString::fromStdString((dir / "settings.conf").string());
        return config;
    }
    QVariantMap Metadata() {
        QDBusMessage call = QDBusMessage::createMethodCall(TMpris::ServiceName, TMpris::ObjectPath,
                                                           "org.freedesktop.DBus.Properties", "Get");
        call.setArguments({TMpris::PlayerInterface, "Metadata"});
        QDBusPendingCall pending = client->asyncCall(call, 5000);
        EXPECT_TRUE(QTest::qWaitFor([&] { return pending.isFinished(); }, kPatienceMs));
        const QDBusMessage reply = pending.reply();
        if (reply.arguments().isEmpty()) return {};
        const QVariant value = reply.arguments().first().value<QDBusVariant>().variant();
        return qdbus_cast<QVariantMap>(value.value<QDBusArgument>());
    }
    std::unique_ptr<QDBusConnection> client;
};

}  // namespace

TEST_F(GuideMpris, TheMetadataCarriesTheProgrammeOnAir) {
    ASSERT_FALSE(qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) << "run me under dbus-run-session";
    const int64_t now = QDateTime::currentSecsSinceEpoch();
    WriteFile(dir / "tone.wav", MakeWav(30));
    WriteLookups(dir.path(), {"Radio"}, {"Russia"}, {"Music"});
    WriteFile(dir / "global.dat", ListFileBytes("01.12.2026", {Channel("Tone Radio", (dir / "tone.wav").string())}));
    WriteFile(dir / "guide.xml", Xmltv(XmlChannel("tone", {"Tone Radio"}) +
                                       XmlProgramme("tone", XmltvAt(now - 600), XmltvAt(now + 3600), "Night songs")));
    QSettings(Config().settingsFile, QSettings::IniFormat)
        .setValue("guide/sources", QStringList{QString::fromStdString((dir / "guide.xml").string())});
    Start();
    ASSERT_TRUE(form->findChild<TMpris*>()) << "not published";
    client = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(QDBusConnection::SessionBus, "client"));
    ASSERT_TRUE(client->isConnected());
    auto& channels = Part<ChannelsPage>("Channels");
    ASSERT_TRUE(QTest::qWaitFor([&] { return channels.Model().CellText(ChannelColumn::Now, 1) == "Night songs"; },
                                kPatienceMs));

    channels.SelectGridRow(1);
    Part<QPushButton>("PlayButton").click();
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return Metadata().value("xesam:album").toString() == "Night songs"; }, kPatienceMs))
        << Metadata().value("xesam:album").toString().toStdString();
    EXPECT_EQ(Metadata().value("xesam:title").toString(), "Tone Radio");

    Part<QPushButton>("PlayButton").click();  // Stop
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Metadata().contains("xesam:album"); }, kPatienceMs));
    client.reset();
    QDBusConnection::disconnectFromBus("client");
}

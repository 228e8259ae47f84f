// MPRIS2 on a real session bus: the test runs under dbus-run-session, the window and its player (null
// outputs, a local WAV) on the offscreen platform, and the controls come from a second bus connection or
// from gdbus, so every call crosses the bus daemon.
#include <gtest/gtest.h>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QProcess>
#include <QPushButton>
#include <QSlider>
#include <QStackedWidget>
#include <QTest>
#include <QUrl>

#include "app/Mpris.h"
#include "pages/ChannelsPage.h"
#include "pages/PlayPage.h"
#include "player/MediaPlayer.h"
#include "support/Patience.h"
#include "support/PlayStates.h"
#include "support/Catalogues.h"
#include "support/Wav.h"
#include "support/WindowFixture.h"

using namespace castora;
using namespace castora::test;

namespace {

const char* const kService = "org.mpris.MediaPlayer2.castora_player";
const char* const kPath = "/org/mpris/MediaPlayer2";
const char* const kRoot = "org.mpris.MediaPlayer2";
const char* const kPlayer = "org.mpris.MediaPlayer2.Player";

// "Радио" in Windows-1251, as the list files hold it.
const std::string kRadio = "\xD0\xE0\xE4\xE8\xEE";
const QString kRadioName = QString::fromUtf8("Радио");

// Nested maps arrive unmarshalled only one level deep.
QVariantMap ToMap(const QVariant& value) {
    if (value.canConvert<QDBusArgument>()) return qdbus_cast<QVariantMap>(value.value<QDBusArgument>());
    return value.toMap();
}

class ChangeRecorder : public QObject {
    Q_OBJECT
public:
    struct Change {
        QString interface;
        QVariantMap values;
    };
    std::vector<Change> changes;

    // Last announced value of a Player property, if any.
    QVariant Last(const QString& name) const {
        for (auto it = changes.rbegin(); it != changes.rend(); ++it)
            if (it->values.contains(name)) return it->values.value(name);
        return {};
    }

public slots:
    void PropertiesChanged(const QString& interface, const QVariantMap& values, const QStringList&) {
        changes.push_back({interface, values});
    }
};

class MprisTest : public WindowFixture {
protected:
    void SetUp() override {
        WindowFixture::SetUp();
        ASSERT_FALSE(qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) << "run me under dbus-run-session";
        WriteFile(dir / "long.wav", MakeWav(30));
        WriteFile(dir / "short.wav", MakeWav(0.6));
        WriteLookups(dir.path(), {"TV", "Radio"}, {"Russia"}, {"Music"});
        WriteFile(dir / "global.dat", ListFileBytes("01.12.2026", {Channel(kRadio, (dir / "long.wav").string()),
                                                                   Channel("Short", (dir / "short.wav").string())}));
        Start();
        ASSERT_TRUE(messages.shown.empty()) << messages.Texts().join('\n').toStdString();
        mpris = form->findChild<TMpris*>();
        ASSERT_NE(mpris, nullptr) << "not published";
        client =
            std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(QDBusConnection::SessionBus, "client"));
        ASSERT_TRUE(client->isConnected());
        ASSERT_TRUE(client->connect(kService, kPath, "org.freedesktop.DBus.Properties", "PropertiesChanged", &recorder,
                                    SLOT(PropertiesChanged(QString, QVariantMap, QStringList))));
    }
    void TearDown() override {
        client->disconnect(kService, kPath, "org.freedesktop.DBus.Properties", "PropertiesChanged", &recorder,
                           SLOT(PropertiesChanged(QString, QVariantMap, QStringList)));
        client.reset();
        QDBusConnection::disconnectFromBus("client");
        WindowFixture::TearDown();
    }

    QDBusMessage Call(const QString& interface, const QString& method, const QVariantList& args = {}) {
        QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, interface, method);
        call.setArguments(args);
        QDBusPendingCall pending = client->asyncCall(call, 5000);
        EXPECT_TRUE(QTest::qWaitFor([&] { return pending.isFinished(); }, kPatienceMs)) << method.toStdString();
        return pending.reply();
    }
    QVariant Get(const char* interface, const char* property) {
        const QDBusMessage reply = Call("org.freedesktop.DBus.Properties", "Get", {interface, property});
        EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << property << ": " << reply.errorMessage().toStdString();
        if (reply.arguments().isEmpty()) return {};
        return reply.arguments().first().value<QDBusVariant>().variant();
    }
    QDBusMessage Set(const char* interface, const char* property, const QVariant& value) {
        return Call("org.freedesktop.DBus.Properties", "Set",
                    {interface, property, QVariant::fromValue(QDBusVariant(value))});
    }
    void Control(const char* method) {
        const QDBusMessage reply = Call(kPlayer, method);
        EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << method << ": " << reply.errorMessage().toStdString();
    }
    bool WaitStatus(const QString& status, int ms = kPatienceMs) {
        return QTest::qWaitFor([&] { return Get(kPlayer, "PlaybackStatus").toString() == status; }, ms);
    }
    // An outside client that knows nothing of Qt's types.
    QString Gdbus(const QStringList& args) {
        QProcess gdbus;
        gdbus.start("gdbus", QStringList{"call", "--session", "--dest", kService, "--object-path", kPath} + args);
        EXPECT_TRUE(QTest::qWaitFor([&] { return gdbus.state() == QProcess::NotRunning; }, kPatienceMs));
        EXPECT_EQ(gdbus.exitCode(), 0) << gdbus.readAllStandardError().toStdString();
        return QString::fromUtf8(gdbus.readAllStandardOutput());
    }
    void Select(int32_t channel) { form->CatalogueOwner().Select(channel); }

    TMpris* mpris = nullptr;
    std::unique_ptr<QDBusConnection> client;
    ChangeRecorder recorder;
};

TEST_F(MprisTest, IdentityAndCapabilitiesAsAnOutsideClientSeesThem) {
    QDBusConnectionInterface* bus = client->interface();
    EXPECT_TRUE(bus->isServiceRegistered(kService).value());

    const QString root = Gdbus({"--method", "org.freedesktop.DBus.Properties.GetAll", kRoot});
    for (const char* expected :
         {"'Identity': <'Castora Player'>", "'DesktopEntry': <'castora-player'>", "'CanQuit': <false>",
          "'CanRaise': <true>", "'HasTrackList': <false>", "'SupportedUriSchemes': <['http', 'https'"})
        EXPECT_TRUE(root.contains(expected)) << expected << " in " << root.toStdString();
    EXPECT_TRUE(root.contains("'SupportedMimeTypes': <['audio/mpeg'")) << root.toStdString();

    const QString player = Gdbus({"--method", "org.freedesktop.DBus.Properties.GetAll", kPlayer});
    for (const char* expected : {"'PlaybackStatus': <'Stopped'>", "'CanPlay': <true>", "'CanPause': <true>",
                                 "'CanControl': <true>", "'CanGoNext': <false>", "'CanGoPrevious': <false>",
                                 "'CanSeek': <false>", "'Rate': <1.0>", "'Position': <int64 0>", "'Volume': <0.5",
                                 "'mpris:trackid': <objectpath '/org/mpris/MediaPlayer2/TrackList/NoTrack'>"})
        EXPECT_TRUE(player.contains(expected)) << expected << " in " << player.toStdString();

    // Read-only properties refuse to be set.
    EXPECT_EQ(Set(kRoot, "Identity", "Other").type(), QDBusMessage::ErrorMessage);
    EXPECT_EQ(Get(kRoot, "Identity").toString(), "Castora Player");
}

TEST_F(MprisTest, PlayStopAndPlayPauseWorkLikeTheToolbarButton) {
    Select(1);
    Control("Play");
    ASSERT_TRUE(WaitStatus("Playing"));
    EXPECT_EQ(PartOf<TMediaPlayer>(*form, "Player").playState(), PlayState::Playing);
    EXPECT_EQ(PartOf<QPushButton>(*form, "PlayButton").text(), "Stop");
    EXPECT_EQ(PartOf<QStackedWidget>(*form, "Notebook1").currentIndex(),
              TMainForm::PlayPageIndex);  // the Screen page, as the button shows
    EXPECT_EQ(form->windowTitle(), kRadioName + QString::fromUtf8(" – Castora Player"));

    const QVariantMap metadata = ToMap(Get(kPlayer, "Metadata"));
    EXPECT_EQ(metadata.value("xesam:title").toString(), kRadioName);
    EXPECT_EQ(metadata.value("xesam:url").toString(), QString::fromStdString((dir / "long.wav").string()));
    EXPECT_EQ(metadata.value("xesam:artist").toStringList(), QStringList{"long.wav"});
    const QString trackId = metadata.value("mpris:trackid").value<QDBusObjectPath>().path();
    EXPECT_TRUE(trackId.startsWith("/org/castora/Player/Track/")) << trackId.toStdString();

    // Play while playing does not restart the stream.
    int restarts = 0;
    QObject::connect(&PartOf<TMediaPlayer>(*form, "Player"), &TMediaPlayer::PlayStateChange,
                     [&](castora::PlayState state) {
                         const int s = StateCode(state);
                         restarts += s == 9;
                     });
    Control("Play");
    QTest::qWait(300);
    EXPECT_EQ(restarts, 0);
    EXPECT_EQ(PartOf<QPushButton>(*form, "PlayButton").text(), "Stop");

    // Pause stops a live stream, as the Stop button does.
    Control("Pause");
    ASSERT_TRUE(WaitStatus("Stopped"));
    EXPECT_EQ(PartOf<QPushButton>(*form, "PlayButton").text(), "Play");
    EXPECT_EQ(PartOf<TMediaPlayer>(*form, "Player").playState(), PlayState::Stopped);

    // Stop while stopped must not start anything.
    Control("Stop");
    QTest::qWait(300);
    EXPECT_EQ(restarts, 0);
    EXPECT_EQ(PartOf<QPushButton>(*form, "PlayButton").text(), "Play");

    Control("PlayPause");
    ASSERT_TRUE(WaitStatus("Playing"));
    EXPECT_EQ(restarts, 1);
    Control("PlayPause");
    ASSERT_TRUE(WaitStatus("Stopped"));
    EXPECT_EQ(PartOf<QPushButton>(*form, "PlayButton").text(), "Play");
    EXPECT_TRUE(messages.shown.empty()) << messages.Texts().join('\n').toStdString();
}

TEST_F(MprisTest, ChangesAreAnnouncedWithPropertiesChanged) {
    Select(1);
    Control("Play");
    ASSERT_TRUE(QTest::qWaitFor([&] { return recorder.Last("PlaybackStatus").toString() == "Playing"; }, kPatienceMs));
    for (const auto& change : recorder.changes) EXPECT_EQ(change.interface, kPlayer);
    const QVariantMap playing = ToMap(recorder.Last("Metadata"));
    EXPECT_EQ(playing.value("xesam:title").toString(), kRadioName);
    EXPECT_EQ(playing.value("xesam:artist").toStringList(), QStringList{"long.wav"});

    // A stream that ends by itself leaves the button at "Stop", but the bus hears it stopped playing.
    recorder.changes.clear();
    Select(2);
    emit PartOf<ChannelsPage>(*form, "Channels").channelActivated();  // a double click switches channels in one step
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return PartOf<TMediaPlayer>(*form, "Player").playState() == PlayState::MediaEnded; }, kPatienceMs));
    ASSERT_TRUE(QTest::qWaitFor([&] { return recorder.Last("PlaybackStatus").toString() == "Stopped"; }, kPatienceMs));
    EXPECT_EQ(PartOf<QPushButton>(*form, "PlayButton").text(), "Stop");
    const QVariantMap switched = ToMap(recorder.Last("Metadata"));
    EXPECT_EQ(switched.value("xesam:title").toString(), "Short");
    EXPECT_NE(switched.value("mpris:trackid").value<QDBusObjectPath>().path(),
              playing.value("mpris:trackid").value<QDBusObjectPath>().path());
    // Not playing any more: no stream title.
    EXPECT_FALSE(ToMap(Get(kPlayer, "Metadata")).contains("xesam:artist"));
}

TEST_F(MprisTest, VolumeFollowsTheSliderBothWays) {
    QSlider* slider = PartOf<PlayPage>(*form, "Play").TrackBar1();
    EXPECT_DOUBLE_EQ(Get(kPlayer, "Volume").toDouble(), slider->value() / 100.0);

    ASSERT_EQ(Set(kPlayer, "Volume", 0.25).type(), QDBusMessage::ReplyMessage);
    EXPECT_EQ(slider->value(), 25);
    EXPECT_EQ(PartOf<TMediaPlayer>(*form, "Player").volume(), 25);
    EXPECT_DOUBLE_EQ(Get(kPlayer, "Volume").toDouble(), 0.25);

    // Out of range asks end at the slider's ends.
    Set(kPlayer, "Volume", 1.7);
    EXPECT_EQ(slider->value(), 100);
    Set(kPlayer, "Volume", -0.5);
    EXPECT_EQ(slider->value(), 0);
    EXPECT_EQ(PartOf<TMediaPlayer>(*form, "Player").volume(), 0);

    // The user's slider is announced.
    slider->setValue(70);
    ASSERT_TRUE(QTest::qWaitFor([&] { return recorder.Last("Volume").isValid(); }, kPatienceMs));
    ASSERT_TRUE(QTest::qWaitFor([&] { return recorder.Last("Volume").toDouble() == 0.7; }, kPatienceMs))
        << recorder.Last("Volume").toDouble();
    EXPECT_DOUBLE_EQ(Get(kPlayer, "Volume").toDouble(), 0.7);
}

TEST_F(MprisTest, ControlsRespectTheToolbarAndTheNoOpsAnswer) {
    // An update holds the toolbar: the bus cannot press the button either.
    Select(1);
    PartOf<QWidget>(*form, "Toolbar").setEnabled(false);
    Control("Play");
    Control("PlayPause");
    QTest::qWait(500);
    EXPECT_EQ(PartOf<QPushButton>(*form, "PlayButton").text(), "Play");
    EXPECT_EQ(PartOf<TMediaPlayer>(*form, "Player").URL(), QString());
    PartOf<QWidget>(*form, "Toolbar").setEnabled(true);

    // Methods that mean nothing for live channels answer and change nothing.
    Control("Next");
    Control("Previous");
    EXPECT_EQ(Call(kPlayer, "Seek", {qlonglong(5000000)}).type(), QDBusMessage::ReplyMessage);
    EXPECT_EQ(Call(kPlayer, "SetPosition",
                   {QVariant::fromValue(QDBusObjectPath("/org/castora/Player/Track/1")), qlonglong(0)})
                  .type(),
              QDBusMessage::ReplyMessage);
    QTest::qWait(200);
    EXPECT_EQ(PartOf<TMediaPlayer>(*form, "Player").URL(), QString());
    EXPECT_EQ(Get(kPlayer, "PlaybackStatus").toString(), "Stopped");

    // Quit is refused by CanQuit: the window stays.
    form->show();
    EXPECT_EQ(Call(kRoot, "Quit").type(), QDBusMessage::ReplyMessage);
    QTest::qWait(200);
    EXPECT_TRUE(form->isVisible());
    EXPECT_TRUE(messages.shown.empty()) << messages.Texts().join('\n').toStdString();
}

TEST_F(MprisTest, OpenUriPlaysAnAddressImportsAPlaylistAndRefusesTheRest) {
    // A playlist is imported, with the window's own question.
    WriteFile(dir / "more.m3u", "#EXTM3U\n#EXTINF:-1,From the bus\nhttp://bus.example/one\n");
    messages.AnswerImport(0);
    const QString list = QUrl::fromLocalFile(QString::fromStdString((dir / "more.m3u").string())).toString();
    EXPECT_EQ(Call(kPlayer, "OpenUri", {list}).type(), QDBusMessage::ReplyMessage);
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->Table().ChannelCount == 3; }, 30000));
    EXPECT_EQ(form->Table().Channels[3].Name, "From the bus");

    // Any other address of a listed scheme plays.
    const QString tone = QUrl::fromLocalFile(QString::fromStdString((dir / "long.wav").string())).toString();
    EXPECT_EQ(Call(kPlayer, "OpenUri", {tone}).type(), QDBusMessage::ReplyMessage);
    ASSERT_TRUE(WaitStatus("Playing", 30000));
    EXPECT_EQ(PartOf<TMediaPlayer>(*form, "Player").URL(), QString::fromStdString((dir / "long.wav").string()));
    EXPECT_EQ(PartOf<QPushButton>(*form, "PlayButton").text(), "Stop");

    const struct Case {
        QString uri;
        QString error;
    } refused[] = {
        {"ftp://example.org/radio.mp3", "Castora Player opens only http, https, mms, rtsp, rtmp, file addresses."},
        {"av://lavfi:sine", "Castora Player opens only http, https, mms, rtsp, rtmp, file addresses."},
        {"", "Castora Player opens only http, https, mms, rtsp, rtmp, file addresses."},
        {"http://", "Can't play \"http://\": the player opens only network streams and files."},
    };
    for (const Case& c : refused) {
        SCOPED_TRACE(c.uri.toStdString());
        const QDBusMessage reply = Call(kPlayer, "OpenUri", {c.uri});
        EXPECT_EQ(reply.type(), QDBusMessage::ErrorMessage);
        EXPECT_EQ(reply.errorName(), "org.freedesktop.DBus.Error.NotSupported");
        EXPECT_EQ(reply.errorMessage(), c.error);
    }
    EXPECT_EQ(messages.shown.size(), 1u) << messages.Texts().join('\n').toStdString();
}

TEST_F(MprisTest, RaiseShowsAMinimisedWindow) {
    form->showMinimized();
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->isMinimized(); }, kPatienceMs));
    EXPECT_EQ(Call(kRoot, "Raise").type(), QDBusMessage::ReplyMessage);
    EXPECT_TRUE(QTest::qWaitFor([&] { return form->isVisible() && !form->isMinimized(); }, kPatienceMs));
}

TEST(MprisInstances, ASecondPlayerTakesAnInstanceName) {
    EnsureApp();
    QDBusConnection other = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "other-player");
    ASSERT_TRUE(other.isConnected());
    ASSERT_TRUE(other.registerService(kService));  // someone else runs a player already

    TempDir dir;
    WriteLookups(dir.path(), {"TV"}, {"Russia"}, {"Music"});
    ScriptedMessages messages;
    AppConfig config;
    config.listDir = QString::fromStdString(dir.path().string());
    config.programDir = config.listDir;
    config.nullMediaOutputs = true;
    {
        TMainForm form(config, messages);
        auto* mpris = form.findChild<TMpris*>();
        ASSERT_NE(mpris, nullptr);
        EXPECT_EQ(mpris->Service(), QString("%1.instance%2").arg(kService).arg(QCoreApplication::applicationPid()));
        EXPECT_TRUE(other.interface()->isServiceRegistered(mpris->Service()).value());
    }
    // Gone with the window.
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return !other.interface()
                        ->isServiceRegistered(
                            QString("%1.instance%2").arg(kService).arg(QCoreApplication::applicationPid()))
                        .value();
        },
        kPatienceMs));
    other.unregisterService(kService);
    QDBusConnection::disconnectFromBus("other-player");
}

}  // namespace

#include "test_mpris.moc"

// The per-user install, run for real: `cmake --install` of this build tree and scripts/install-user.sh
// into temporary home directories, checked with the desktop's own validators.
#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

#include <csignal>
#include <filesystem>

#include "support/TempDir.h"

#ifndef CASTORA_BINARY_DIR
#error "CASTORA_BINARY_DIR must name the build tree"
#endif

namespace fs = std::filesystem;
using namespace castora::test;

namespace {

const fs::path kSource = CASTORA_SOURCE_DIR;
const char* const kLists[] = {"source.dat", "country.dat", "genre.dat", "global.dat", "tone.wav"};

struct Outcome {
    int exitCode = -1;
    QString output;
};

// Runs a command with HOME pointing at home and, unless given, no XDG_DATA_HOME.
Outcome RunIn(const fs::path& home, const QString& program, const QStringList& args, const QString& xdgDataHome = {},
              const fs::path& workDir = {}) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", QString::fromStdString(home.string()));
    env.remove("XDG_DATA_HOME");
    env.remove("DESTDIR");
    if (!xdgDataHome.isEmpty()) env.insert("XDG_DATA_HOME", xdgDataHome);
    QProcess process;
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::MergedChannels);
    if (!workDir.empty()) process.setWorkingDirectory(QString::fromStdString(workDir.string()));
    process.start(program, args);
    if (!process.waitForFinished(180000)) return {-1, "timed out: " + QString::fromUtf8(process.readAll())};
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAll())};
}

Outcome Install(const fs::path& home, const fs::path& prefix, const QString& xdgDataHome = {},
                const fs::path& workDir = {}) {
    return RunIn(home, "cmake", {"--install", CASTORA_BINARY_DIR, "--prefix", QString::fromStdString(prefix.string())},
                 xdgDataHome, workDir);
}

// The value of key in the desktop entry's main group.
std::string EntryValue(const std::string& entry, const std::string& key) {
    const std::string prefix = "\n" + key + "=";
    const size_t at = ("\n" + entry).find(prefix);
    if (at == std::string::npos) return {};
    const size_t start = at + prefix.size() - 1;
    return entry.substr(start, entry.find('\n', start) - start);
}

// Undoes the Exec quoting of one argument: the string escapes first, then the quoting, then "%%".
std::string ExecArgument(const std::string& value) {
    std::string unescaped;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size() && value[i + 1] == '\\') ++i;
        unescaped += value[i];
    }
    std::string arg;
    if (unescaped.size() >= 2 && unescaped.front() == '"' && unescaped.back() == '"') {
        for (size_t i = 1; i + 1 < unescaped.size(); ++i) {
            if (unescaped[i] == '\\' && i + 2 < unescaped.size()) ++i;
            arg += unescaped[i];
        }
    } else {
        arg = unescaped;
    }
    std::string out;
    for (size_t i = 0; i < arg.size(); ++i) {
        if (arg[i] == '%' && i + 1 < arg.size() && arg[i + 1] == '%') ++i;
        out += arg[i];
    }
    return out;
}

// The program part of Exec: everything before the " %U" that hands it playlists.
std::string ExecProgram(const std::string& exec) {
    EXPECT_TRUE(exec.ends_with(" %U")) << exec;
    return exec.ends_with(" %U") ? exec.substr(0, exec.size() - 3) : exec;
}

void ExpectValid(const fs::path& home, const char* validator, const QStringList& args) {
    const Outcome run = RunIn(home, validator, args);
    EXPECT_EQ(run.exitCode, 0) << validator << ": " << run.output.toStdString();
}

TEST(Install, PutsProgramListsLauncherIconAndMetainfoWhereTheDesktopLooks) {
    TempDir home;
    const fs::path share = home / ".local/share";
    const fs::path prefix = share / "castora-player";
    const Outcome run = Install(home.path(), prefix);
    ASSERT_EQ(run.exitCode, 0) << run.output.toStdString();

    const fs::path binary = prefix / "castora-player";
    ASSERT_TRUE(fs::is_regular_file(binary));
    EXPECT_NE(fs::status(binary).permissions() & fs::perms::owner_exec, fs::perms::none);
    for (const char* name : kLists) EXPECT_EQ(ReadFile(prefix / name), ReadFile(kSource / "data" / name)) << name;
    EXPECT_FALSE(fs::exists(prefix / "local.dat"));  // the user's own list is never shipped

    const fs::path desktop = share / "applications/castora-player.desktop";
    const std::string entry = ReadFile(desktop);
    EXPECT_EQ(ExecProgram(EntryValue(entry, "Exec")), binary.string());
    EXPECT_EQ(EntryValue(entry, "MimeType"), "audio/x-mpegurl;audio/mpegurl;audio/x-scpls;");
    EXPECT_EQ(EntryValue(entry, "Path"), prefix.string());
    EXPECT_EQ(EntryValue(entry, "Icon"), "castora-player");
    EXPECT_EQ(EntryValue(entry, "Name"), "Castora Player");
    EXPECT_EQ(EntryValue(entry, "Categories"), "AudioVideo;Audio;Video;Player;TV;");
    ExpectValid(home.path(), "desktop-file-validate", {QString::fromStdString(desktop.string())});

    const std::string icon = ReadFile(share / "icons/hicolor/scalable/apps/castora-player.svg");
    EXPECT_NE(icon.find("<svg"), std::string::npos);

    const fs::path metainfo = share / "metainfo/org.castora.Player.metainfo.xml";
    const std::string xml = ReadFile(metainfo);
    EXPECT_NE(xml.find("<launchable type=\"desktop-id\">castora-player.desktop</launchable>"), std::string::npos);
    ExpectValid(home.path(), "appstreamcli", {"validate", "--no-net", QString::fromStdString(metainfo.string())});
}

TEST(Install, AgainKeepsTheUsersAndUpdatedListsAndReplacesTheProgram) {
    TempDir home;
    const fs::path prefix = home / "programs/castora";
    ASSERT_EQ(Install(home.path(), prefix).exitCode, 0);

    WriteFile(prefix / "local.dat", "01.12.2026\r\nmine\r\n");
    WriteFile(prefix / "global.dat", "02.12.2026\r\nfrom an update\r\n");
    WriteFile(prefix / "genre.dat", "genres from an update\r\n");
    WriteFile(prefix / "castora-player", "an older program");
    fs::remove(prefix / "tone.wav");

    const Outcome again = Install(home.path(), prefix);
    ASSERT_EQ(again.exitCode, 0) << again.output.toStdString();
    EXPECT_EQ(ReadFile(prefix / "local.dat"), "01.12.2026\r\nmine\r\n");
    EXPECT_EQ(ReadFile(prefix / "global.dat"), "02.12.2026\r\nfrom an update\r\n");
    EXPECT_EQ(ReadFile(prefix / "genre.dat"), "genres from an update\r\n");
    EXPECT_EQ(ReadFile(prefix / "tone.wav"), ReadFile(kSource / "data/tone.wav"));  // missing ones come back
    EXPECT_GT(fs::file_size(prefix / "castora-player"), 100000u);
    EXPECT_TRUE(again.output.contains("Keeping: ")) << again.output.toStdString();
}

TEST(Install, AwkwardPrefixIsQuotedInExecAndXdgDataHomeIsHonoured) {
    TempDir home;
    const fs::path prefix = home / "My Programs/100% \"castora\" $HOME";
    const fs::path dataHome = home / "xdg data";
    const Outcome run = Install(home.path(), prefix, QString::fromStdString(dataHome.string()));
    ASSERT_EQ(run.exitCode, 0) << run.output.toStdString();

    EXPECT_FALSE(fs::exists(home / ".local/share/applications"));
    const fs::path desktop = dataHome / "applications/castora-player.desktop";
    const std::string entry = ReadFile(desktop);
    const std::string exec = ExecProgram(EntryValue(entry, "Exec"));
    EXPECT_EQ(exec.front(), '"') << exec;
    EXPECT_EQ(ExecArgument(exec), (prefix / "castora-player").string()) << exec;
    EXPECT_TRUE(fs::is_regular_file(ExecArgument(exec)));
    EXPECT_EQ(EntryValue(entry, "Path"), prefix.string());
    ExpectValid(home.path(), "desktop-file-validate", {QString::fromStdString(desktop.string())});
    EXPECT_TRUE(fs::exists(dataHome / "icons/hicolor/scalable/apps/castora-player.svg"));
    EXPECT_TRUE(fs::exists(dataHome / "metainfo/org.castora.Player.metainfo.xml"));
}

TEST(Install, RelativePrefixStillGivesTheLauncherAbsolutePaths) {
    TempDir home;
    const Outcome run = Install(home.path(), "apps/castora", {}, home.path());
    ASSERT_EQ(run.exitCode, 0) << run.output.toStdString();
    const std::string entry = ReadFile(home / ".local/share/applications/castora-player.desktop");
    EXPECT_EQ(ExecProgram(EntryValue(entry, "Exec")), (home / "apps/castora/castora-player").string());
    EXPECT_EQ(EntryValue(entry, "Path"), (home / "apps/castora").string());
    EXPECT_TRUE(fs::is_regular_file(home / "apps/castora/global.dat"));
}

TEST(Install, InstalledProgramRunsFromItsLauncherDirectory) {
    TempDir home;
    const fs::path prefix = home / ".local/share/castora-player";
    ASSERT_EQ(Install(home.path(), prefix).exitCode, 0);
    const std::string entry = ReadFile(home / ".local/share/applications/castora-player.desktop");

    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", QString::fromStdString(home.path().string()));
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.remove("DBUS_SESSION_BUS_ADDRESS");
    program.setProcessEnvironment(env);
    program.setProcessChannelMode(QProcess::MergedChannels);
    program.setWorkingDirectory(QString::fromStdString(EntryValue(entry, "Path")));
    program.start(QString::fromStdString(ExecArgument(ExecProgram(EntryValue(entry, "Exec")))), {});
    ASSERT_TRUE(program.waitForStarted(5000));
    // Still up after two seconds: it found its libraries and its lists and waits for the user.
    EXPECT_FALSE(program.waitForFinished(2000)) << program.readAll().toStdString();
    ::kill(static_cast<pid_t>(program.processId()), SIGTERM);
    ASSERT_TRUE(program.waitForFinished(10000));
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0) << program.readAll().toStdString();
    EXPECT_FALSE(fs::exists(prefix / "local.dat"));  // nothing is saved on the way out
}

TEST(InstallScript, InstallsAgainWithoutLosingListsAndUninstallsOnlyTheProgram) {
    TempDir home;
    const QString script = QString::fromStdString((kSource / "scripts/install-user.sh").string());
    const fs::path prefix = home / ".local/share/castora-player";

    const auto runScript = [&](const QStringList& args) {
        QProcess process;
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert("HOME", QString::fromStdString(home.path().string()));
        e.remove("XDG_DATA_HOME");
        e.insert("CASTORA_BUILD_DIR", CASTORA_BINARY_DIR);
        process.setProcessEnvironment(e);
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start("bash", QStringList{script} + args);
        EXPECT_TRUE(process.waitForFinished(300000));
        return Outcome{process.exitCode(), QString::fromUtf8(process.readAll())};
    };

    Outcome run = runScript({});  // the default program directory
    ASSERT_EQ(run.exitCode, 0) << run.output.toStdString();
    ASSERT_TRUE(fs::is_regular_file(prefix / "castora-player"));
    EXPECT_EQ(ExecArgument(
                  ExecProgram(EntryValue(ReadFile(home / ".local/share/applications/castora-player.desktop"), "Exec"))),
              (prefix / "castora-player").string());
    WriteFile(prefix / "local.dat", "mine");

    run = runScript({});
    ASSERT_EQ(run.exitCode, 0) << run.output.toStdString();
    EXPECT_EQ(ReadFile(prefix / "local.dat"), "mine");

    run = runScript({"--uninstall"});
    ASSERT_EQ(run.exitCode, 0) << run.output.toStdString();
    EXPECT_FALSE(fs::exists(prefix / "castora-player"));
    EXPECT_FALSE(fs::exists(home / ".local/share/applications/castora-player.desktop"));
    EXPECT_FALSE(fs::exists(home / ".local/share/metainfo/org.castora.Player.metainfo.xml"));
    EXPECT_EQ(ReadFile(prefix / "local.dat"), "mine");
    EXPECT_TRUE(fs::exists(prefix / "global.dat"));
}

}  // namespace

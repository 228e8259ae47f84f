// The newcomer's scripts: which Debian packages install-deps.sh names for the program and for the tests,
// what it does without root, and the build settings every configure prints.
#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

#include <filesystem>
#include <map>

#include "support/TempDir.h"

namespace fs = std::filesystem;
using namespace castora::test;

namespace {

const fs::path kSource = CASTORA_SOURCE_DIR;
const QString kInstallDeps = QString::fromStdString((kSource / "scripts/install-deps.sh").string());

struct Outcome {
    int exitCode = -1;
    QString output;
};

Outcome RunProcess(const QString& program, const QStringList& args, const std::map<QString, QString>& env = {}) {
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    for (const auto& [name, value] : env) e.insert(name, value);
    QProcess process;
    process.setProcessEnvironment(e);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, args);
    if (!process.waitForFinished(120000)) return {-1, "timed out: " + QString::fromUtf8(process.readAll())};
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAll())};
}

QStringList Packages(const QStringList& args) {
    const Outcome listed = RunProcess("bash", QStringList{kInstallDeps, "--list"} + args);
    EXPECT_EQ(listed.exitCode, 0) << listed.output.toStdString();
    return listed.output.split('\n', Qt::SkipEmptyParts);
}

// The package that ships path on this machine, as dpkg knows it.
QString OwningPackage(const QString& path) {
    const Outcome owner = RunProcess("dpkg", {"-S", path});
    return owner.exitCode == 0 ? owner.output.section(':', 0, 0) : QString();
}

}  // namespace

// What the program's build links and what each test runs, by the package that ships it here. The program's
// set is what scripts/run.sh installs, so the test tools must not be in it.
TEST(InstallDeps, NamesThePackageOfEveryToolAndLibraryInTheRightSet) {
    const QStringList run = Packages({});
    const QStringList all = Packages({"--test"});
    struct Case {
        const char* path;
        bool testOnly;
    };
    const Case cases[] = {
        {"/usr/bin/cmake", false},
        {"/usr/bin/ninja", false},
        {"/usr/lib/x86_64-linux-gnu/cmake/Qt6Widgets/Qt6WidgetsConfig.cmake", false},
        {"/usr/include/mpv/client.h", false},
        {"/usr/include/zip.h", false},
        {"/usr/include/x86_64-linux-gnu/curl/curl.h", false},
        {"/usr/include/unicode/ucnv.h", false},
        {"/usr/lib/x86_64-linux-gnu/qt6/plugins/imageformats/libqsvg.so", false},
        {"/usr/lib/x86_64-linux-gnu/qt6/plugins/imageformats/libqwebp.so", false},
        {"/usr/include/gtest/gtest.h", true},
        {"/usr/include/gmock/gmock.h", true},
        {"/usr/include/benchmark/benchmark.h", true},
        {"/usr/bin/xvfb-run", true},
        {"/usr/bin/xauth", true},
        {"/usr/sbin/nginx", true},
        {"/usr/bin/zip", true},
        {"/usr/bin/dbus-run-session", true},
        {"/usr/bin/gdbus", true},
        {"/usr/bin/desktop-file-validate", true},
        {"/usr/bin/appstreamcli", true},
        {"/usr/bin/clang++", true},
        {"/usr/bin/clang-format", true},
        {"/usr/bin/mpv", true},
    };
    for (const Case& c : cases) {
        const QString package = OwningPackage(c.path);
        ASSERT_FALSE(package.isEmpty()) << c.path << " is not installed";
        EXPECT_TRUE(all.contains(package)) << c.path << ": " << package.toStdString() << " is not named";
        EXPECT_EQ(run.contains(package), !c.testOnly) << c.path << ": " << package.toStdString();
    }
}

// Without root and without sudo the script names the command to run as root and stops before apt-get;
// with every package already there it needs neither.
TEST(InstallDeps, WithoutRootOrSudoSaysWhatToRunAsRoot) {
    TempDir bin;
    WriteFile(bin / "id", "#!/bin/bash\necho 1000\n");
    WriteFile(bin / "dpkg-query", "#!/bin/bash\necho \"$STUB_STATUS\"\n");
    WriteFile(bin / "apt-get", "#!/bin/bash\necho \"$@\" >>\"$0.called\"\nexit 3\n");
    for (const char* tool : {"id", "dpkg-query", "apt-get"})
        fs::permissions(bin / tool, fs::perms::owner_all, fs::perm_options::replace);
    // Only the tools the script needs, so that no sudo is found.
    for (const char* tool : {"bash", "dirname", "basename", "grep", "cat", "sed"})
        for (const char* dir : {"/usr/bin/", "/bin/"})
            if (fs::exists(std::string(dir) + tool) && !fs::exists(bin / tool)) {
                fs::create_symlink(std::string(dir) + tool, bin / tool);
            }
    struct Case {
        const char* status;
        int exitCode;
        QString says;
    };
    const Case cases[] = {
        {"installed", 0, "packages are installed"},
        {"not-installed", 1, "su -c '" + kInstallDeps + " --test'"},
    };
    for (const Case& c : cases) {
        const Outcome out =
            RunProcess("/bin/bash", {kInstallDeps, "--test"},
                       {{"PATH", QString::fromStdString(bin.path().string())}, {"STUB_STATUS", c.status}});
        EXPECT_EQ(out.exitCode, c.exitCode) << c.status << ": " << out.output.toStdString();
        EXPECT_TRUE(out.output.contains(c.says)) << c.status << ": " << out.output.toStdString();
        EXPECT_FALSE(fs::exists(bin / "apt-get.called")) << c.status;
    }
}

// A setting given once stays in the tree's cache; every later configure says so.
TEST(BuildSettings, EveryConfigurePrintsTheSettingsTheTreeHolds) {
    TempDir build;
    const QString tree = QString::fromStdString(build.path().string());
    const QString source = QString::fromStdString(kSource.string());
    const QStringList base{"-S", source, "-B", tree, "-G", "Ninja"};
    const Outcome first =
        RunProcess("cmake", base + QStringList{"-DBUILD_TESTING=OFF", "-DCASTORA_UPDATE_HOST=127.0.0.1:8080"});
    const Outcome again = RunProcess("cmake", base);
    for (const Outcome& out : {first, again}) {
        ASSERT_EQ(out.exitCode, 0) << out.output.toStdString();
        EXPECT_TRUE(out.output.contains("-- Build setting CASTORA_UPDATE_HOST=127.0.0.1:8080\n"))
            << out.output.toStdString();
        // Without the tests the benchmarks are off as well, and neither GoogleTest nor Benchmark is looked for.
        EXPECT_TRUE(out.output.contains("-- Build setting CASTORA_BENCH=OFF\n")) << out.output.toStdString();
    }
    const std::string cache = ReadFile(build / "CMakeCache.txt");
    EXPECT_EQ(cache.find("GTest_DIR"), std::string::npos);
    EXPECT_EQ(cache.find("benchmark_DIR"), std::string::npos);
}

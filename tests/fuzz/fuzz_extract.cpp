// Any bytes as updates.zip (seeded with real archives): the extractor must stay inside the program
// directory, leave the archive and the protected files alone, leave no temporary file behind and
// change nothing at all when it rejects the archive.
#include "FuzzCheck.h"
#include "server/Extract.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

namespace fs = std::filesystem;

using namespace castora;

namespace {

[[noreturn]] void Fail(const std::string& what) { castora::fuzz::Fail("fuzz_extract", what); }

std::string Read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void Write(const fs::path& p, std::string_view bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    if (!out) Fail("cannot write " + p.string());
}

std::map<std::string, std::string> Snapshot(const fs::path& dir) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::directory_iterator(dir)) files[e.path().filename().string()] = Read(e.path());
    return files;
}

// A tmpfs keeps the per-entry fsync cheap.
const fs::path& Root() {
    static const fs::path root = [] {
        std::string base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : fs::temp_directory_path().string();
        std::string tmpl = base + "/castora-fuzz-extract-XXXXXX";
        if (!::mkdtemp(tmpl.data())) Fail("mkdtemp failed");
        std::atexit([] {
            std::error_code ec;
            fs::remove_all(Root(), ec);
        });
        return fs::path(tmpl);
    }();
    return root;
}

constexpr const char* kProgram = "castora-player";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fs::path root = Root();
    const fs::path dir = root / "prog";
    std::error_code ec;
    fs::remove_all(dir, ec);
    fs::create_directory(dir);
    const std::string archive(reinterpret_cast<const char*>(data), size);
    Write(dir / "updates.zip", archive);
    Write(dir / "local.dat", "users own list\r\n");
    Write(dir / "global.dat", "old global list\r\n");
    Write(dir / kProgram, "program file");
    const auto before = Snapshot(dir);

    ExtractOptions opts;
    opts.programFileName = kProgram;
    opts.maxEntryBytes = 4 << 20;  // keeps deflate bombs from filling the disk during the run
    bool rejected = false;
    try {
        ExtractUpdate(dir, dir, opts);
    } catch (const EExtractError&) {
        rejected = true;
    } catch (const std::exception& e) {
        Fail(std::string("unexpected exception: ") + e.what());
    }

    // Nothing beside the program directory, nothing below it, no links, no executable bits.
    for (const auto& e : fs::directory_iterator(root))
        if (e.path() != dir) Fail("written outside the program directory: " + e.path().string());
    for (const auto& e : fs::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        struct stat st {};
        if (::lstat(e.path().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) Fail("not a plain file: " + name);
        if (st.st_mode & 07111) Fail("file with execute or set-id bits: " + name);
        if (name.rfind(".update:", 0) == 0) Fail("temporary file left behind: " + name);
        const bool listOrText = name.size() > 4 && name[0] != '.' &&
                                (strcasecmp(name.c_str() + name.size() - 4, ".dat") == 0 ||
                                 strcasecmp(name.c_str() + name.size() - 4, ".txt") == 0);
        if (!listOrText && !before.count(name)) Fail("neither a list nor a text file: " + name);
    }
    const auto after = Snapshot(dir);
    for (const char* kept : {"updates.zip", "local.dat", kProgram})
        if (after.at(kept) != before.at(kept)) Fail(std::string("protected file changed: ") + kept);
    if (rejected && after != before) Fail("a rejected archive changed the directory");
    return 0;
}

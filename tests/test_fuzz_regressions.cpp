// The fuzz targets' own checks, built with g++ and replayed on their seeds, on every input that once
// broke something (tests/fuzz/regressions/<target>/) and on a few inputs too big for a seed file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace fs = std::filesystem;

extern "C" int CastoraFuzz_listfile(const uint8_t*, size_t);
extern "C" int CastoraFuzz_lookup(const uint8_t*, size_t);
extern "C" int CastoraFuzz_encoding(const uint8_t*, size_t);
extern "C" int CastoraFuzz_extract(const uint8_t*, size_t);
extern "C" int CastoraFuzz_http(const uint8_t*, size_t);
extern "C" int CastoraFuzz_playlist(const uint8_t*, size_t);
extern "C" int CastoraFuzz_guide(const uint8_t*, size_t);

namespace {

struct Target {
    const char* name;
    int (*run)(const uint8_t*, size_t);
};

const Target Targets[] = {
    {"fuzz_listfile", CastoraFuzz_listfile}, {"fuzz_lookup", CastoraFuzz_lookup},
    {"fuzz_encoding", CastoraFuzz_encoding}, {"fuzz_extract", CastoraFuzz_extract},
    {"fuzz_http", CastoraFuzz_http},         {"fuzz_playlist", CastoraFuzz_playlist},
    {"fuzz_guide", CastoraFuzz_guide},
};

// Runs one input; a broken property comes back as an exception naming it.
void Replay(const Target& t, const std::string& bytes, const std::string& label) {
    try {
        t.run(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    } catch (const std::exception& e) {
        ADD_FAILURE() << label << ": " << e.what();
    }
}

std::vector<fs::path> Inputs(const fs::path& dir) {
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec))
        if (e.is_regular_file()) files.push_back(e.path());
    std::sort(files.begin(), files.end());
    return files;
}

std::string Read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class FuzzReplay : public ::testing::TestWithParam<Target> {};

}  // namespace

TEST_P(FuzzReplay, SeedsAndFormerFindingsKeepTheirProperties) {
    const Target& t = GetParam();
    const fs::path seeds = fs::path(CASTORA_FUZZ_DIR) / "corpus" / t.name;
    const auto seedFiles = Inputs(seeds);
    EXPECT_FALSE(seedFiles.empty()) << "no seeds in " << seeds;
    for (const fs::path& f : seedFiles) Replay(t, Read(f), f.string());
    for (const fs::path& f : Inputs(fs::path(CASTORA_FUZZ_DIR) / "regressions" / t.name))
        Replay(t, Read(f), f.string());
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay, ::testing::ValuesIn(Targets),
                         [](const ::testing::TestParamInfo<Target>& info) {
                             return std::string(info.param.name).substr(5);
                         });

// Awkward list files at sizes a fuzzer with small inputs does not reach.
TEST(FuzzReplayLarge, ListFilesOfExtremeShape) {
    const Target& t = Targets[0];
    Replay(t, "", "empty file");
    Replay(t, std::string(2u << 20, 'a'), "2 MB without any CR");
    Replay(t, std::string(400001, '\r'), "only CRs (50,000 empty records)");
    Replay(t, std::string(200000, '\n'), "only LFs");
    Replay(t, "date\r\n" + std::string(1u << 20, '\x8F') + "\r\n", "one 1 MB line");
    std::string crlf = "d\r\n";
    for (int i = 0; i < 30000; ++i) crlf += "1\r\n2\r\n3\r\n4\r\nname\r\n\xC3\xB1\r\n128\r\n\r\n";
    Replay(t, crlf, "30,000 records");
    Replay(t, crlf.substr(0, crlf.size() - 1), "30,000 records, last LF missing");
}

TEST(FuzzReplayLarge, LookupAndEncodingOfLargeInputs) {
    Replay(Targets[1], std::string(1u << 20, '\r'), "1 MB of CRs");
    std::string mixed;
    for (int i = 0; i < 100000; ++i) mixed += (i % 3 == 0) ? "\r\n" : (i % 3 == 1) ? "\n\r" : "x";
    Replay(Targets[1], mixed, "mixed line ends");
    std::string all;
    for (int r = 0; r < 256; ++r)
        for (int b = 0; b < 256; ++b) all.push_back(char(b ^ r));
    Replay(Targets[2], all, "every byte at every key position");
}

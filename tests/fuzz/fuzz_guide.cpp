// Guides from anywhere: reading never fails but with a GuideError, whatever pieces the bytes arrive in
// it reads the same guide, what it keeps is ordered as the lookups need, and the cache gives it back.
// The same bytes taken as a cache file are refused or give a guide that can be walked.
#include "FuzzCheck.h"
#include "catalogue/GuideReader.h"
#include "catalogue/GuideTime.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

using namespace castora;

namespace {

[[noreturn]] void Fail(const std::string& what) { castora::fuzz::Fail("fuzz_guide", what); }

class PieceSource : public ByteSource {
public:
    PieceSource(std::string_view bytes, size_t piece) : bytes_(bytes), piece_(piece) {}
    size_t Read(char* buffer, size_t size) override {
        const size_t n = std::min({size, bytes_.size(), piece_});
        std::memcpy(buffer, bytes_.data(), n);
        bytes_.remove_prefix(n);
        return n;
    }

private:
    std::string_view bytes_;
    size_t piece_;
};

std::string Dump(const GuideIndex& g) {
    std::string out;
    for (int32_t c = 0; c < g.ChannelCount(); ++c) {
        const GuideChannel& ch = g.Channel(c);
        ((out += g.Text(ch.id)) += '|') += g.Text(ch.name);
        for (uint32_t k = 0; k < ch.keyCount; ++k) (out += ',') += g.Key(c, k);
        out += '\n';
        for (const GuideProgramme& p : g.Programmes(c))
            ((((out += std::to_string(p.start)) += '-') += std::to_string(p.stop)) += g.Text(p.title)) +=
                g.Text(p.desc);
    }
    return out;
}

void CheckOrder(const GuideIndex& g) {
    for (int32_t c = 0; c < g.ChannelCount(); ++c) {
        const auto list = g.Programmes(c);
        for (size_t i = 0; i < list.size(); ++i) {
            if (list[i].channel != static_cast<uint32_t>(c)) Fail("a programme under another channel");
            if (list[i].stop < list[i].start) Fail("a programme ends before it starts");
            if (i > 0 && list[i - 1].start >= list[i].start) Fail("programmes out of order");
            if (i > 0 && list[i - 1].stop > list[i].start) Fail("programmes overlap");
            if (g.OnAir(c, list[i].start) != &list[i] && list[i].stop > list[i].start) Fail("on air not found");
        }
        if (g.FindId(g.Text(g.Channel(c).id)) < 0) Fail("a channel not found by its id");
    }
}

// In memory where the system has a place for it: the target writes two files a run.
std::string TempFile(const char* tag) {
    std::error_code ec;
    const std::filesystem::path dir =
        std::filesystem::is_directory("/dev/shm", ec) ? "/dev/shm" : std::filesystem::temp_directory_path();
    return (dir / ("castora-fuzz-guide-" + std::to_string(::getpid()) + tag)).string();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    ParseXmltvTime(bytes.substr(0, 40));
    ParseTvgShift(bytes.substr(0, 12));

    GuideReadOptions options;
    options.decode.maxDecodedBytes = 8 * 1024 * 1024;
    options.limits.tag = 4096;
    options.limits.text = 1024;
    options.limits.depth = 32;
    std::shared_ptr<GuideIndex> whole;
    std::string error;
    try {
        whole = ReadGuideText(bytes, options);
    } catch (const GuideError& e) {
        error = e.what();
        if (error.empty()) Fail("refused without a reason");
    }
    // The first byte picks the piece size, so boundaries fall everywhere.
    const size_t piece = size > 0 ? 1 + data[0] % 61 : 1;
    std::shared_ptr<GuideIndex> pieces;
    try {
        pieces = ReadGuide(std::make_unique<PieceSource>(bytes, piece), options);
    } catch (const GuideError&) {}
    if (!whole != !pieces) Fail("read in pieces of " + std::to_string(piece) + " it " + (whole ? "fails" : "succeeds"));
    if (whole) {
        if (Dump(*whole) != Dump(*pieces)) Fail("read in pieces it gives another guide");
        CheckOrder(*whole);
        const std::string file = TempFile(".cache");
        whole->Save(file);
        std::string why;
        const auto back = GuideIndex::Load(file, &why);
        std::filesystem::remove(file);
        if (!back) Fail("its cache is refused: " + why);
        if (Dump(*back) != Dump(*whole)) Fail("its cache gives another guide");
    }

    // The bytes as a cache file.
    const std::string file = TempFile(".bytes");
    {
        std::ofstream out(file, std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    const auto cached = GuideIndex::Load(file);
    std::filesystem::remove(file);
    if (cached) {
        CheckOrder(*cached);
        Dump(*cached);
    }
    return 0;
}

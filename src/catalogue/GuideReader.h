#pragma once
// XMLTV guides read as a stream into an index: every channel the guide declares (with its names and
// icon), and of the programmes only those of wanted channels that overlap the span kept.

#include <cstdint>
#include <filesystem>
#include <limits>
#include <memory>
#include <string_view>

#include "catalogue/GuideIndex.h"
#include "catalogue/GuideMatch.h"
#include "catalogue/GuideStream.h"
#include "catalogue/XmlReader.h"

namespace castora {

struct GuideReadOptions {
    int64_t keepFrom = std::numeric_limits<int64_t>::min();
    int64_t keepTo = std::numeric_limits<int64_t>::max();
    const GuideWanted* wanted = nullptr;  // null: every channel's programmes
    DecodeOptions decode;
    XmlReader::Limits limits;
    // What one guide may hold; beyond either it is refused, so no input makes the index grow unbounded.
    int32_t maxChannels = 200000;
    uint64_t maxProgrammes = 4000000;  // kept
};

struct GuideReadStats {
    uint64_t channels = 0;
    uint64_t programmes = 0;      // read in the guide
    uint64_t kept = 0;            // handed to the index (before overlaps are resolved)
    uint64_t unknownChannel = 0;  // of a channel the guide does not declare
    uint64_t badTime = 0;         // without a start the reader understands
    uint64_t outside = 0;         // wholly outside the span kept
    uint64_t unwanted = 0;        // of channels no catalogue channel takes
};

// Adds the guide's channels and kept programmes to `into`. Throws GuideError for a guide that cannot
// be read as a whole (not XML, not XMLTV, truncated, corrupt gzip, past a limit, cancelled); single
// programmes that make no sense are skipped and counted.
void ReadGuide(ByteSource& raw, GuideBuilder& into, const GuideReadOptions& options, GuideReadStats* stats = nullptr);

// The same into an index of its own.
std::shared_ptr<GuideIndex> ReadGuide(std::unique_ptr<ByteSource> raw, const GuideReadOptions& options,
                                      GuideReadStats* stats = nullptr);
std::shared_ptr<GuideIndex> ReadGuideFile(const std::filesystem::path& file, const GuideReadOptions& options,
                                          GuideReadStats* stats = nullptr);
std::shared_ptr<GuideIndex> ReadGuideText(std::string_view bytes, const GuideReadOptions& options,
                                          GuideReadStats* stats = nullptr);

// The span of programmes kept for a guide read at `now`: from the start of yesterday (local time) to
// seven days on, widened by the largest shift any channel may have.
struct GuideSpan {
    int64_t from = 0, to = 0;
};
GuideSpan GuideKeepSpan(int64_t now, int32_t maxShiftSeconds = 24 * 3600);

}  // namespace castora

// castora-gencat: writes a synthetic catalogue (global.dat, local.dat and the lookup files).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "CatalogueGen.h"

namespace {

int Usage() {
    std::fprintf(stderr, "usage: castora-gencat <dir> <channels> [--local-share F] [--duplicate-share F] [--seed N]\n"
                         "  Writes global.dat, local.dat, source.dat, country.dat and genre.dat into <dir>.\n"
                         "  <channels> counts the records of both lists; by default 10%% of them are local and\n"
                         "  5%% of all records are local copies of a global URL.\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return Usage();
    castora::bench::CatalogueSpec spec;
    char* end = nullptr;
    const long long channels = std::strtoll(argv[2], &end, 10);
    if (*end || channels < 0 || channels > 100'000'000) return Usage();
    spec.channels = static_cast<int32_t>(channels);
    for (int i = 3; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        if (opt == "--local-share") spec.localShare = std::atof(argv[i + 1]);
        else if (opt == "--duplicate-share") spec.duplicateShare = std::atof(argv[i + 1]);
        else if (opt == "--seed") spec.seed = std::strtoull(argv[i + 1], nullptr, 0);
        else return Usage();
    }
    if ((argc - 3) % 2) return Usage();
    try {
        const castora::bench::CatalogueFiles files = castora::bench::CatalogueGenerator(spec).Write(argv[1]);
        std::printf("global.dat: %d records, %llu bytes\nlocal.dat: %d records (%d repeat a global URL), %llu bytes\n",
                    files.layout.global, static_cast<unsigned long long>(files.globalBytes), files.layout.local,
                    files.layout.duplicates, static_cast<unsigned long long>(files.localBytes));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "castora-gencat: %s\n", e.what());
        return 1;
    }
    return 0;
}

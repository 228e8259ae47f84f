// castora-bench-guide-grid: what the "Now" column adds to a rebuild of a 100,000-channel grid, beside
// the same rebuild without a guide, in the same run. A rebuild is the rows computed from the table and
// handed to the grid's model, as after a filter change. One tab-separated line a figure:
//   FIG <name> <median> <min> <max> <unit> <samples>
//
//   castora-bench-guide-grid [RECORDS] [GUIDE_CHANNELS] [REPS]
// The guide holds GUIDE_CHANNELS channels of half-hour programmes over nine days (yesterday to a week
// ahead); every record is matched to one of them by tvg-id, every tenth with a shift of its own.
#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "catalogue/ChannelTable.h"
#include "catalogue/GuideIndex.h"
#include "catalogue/GuideMatch.h"
#include "catalogue/Rows.h"
#include "catalogue/Search.h"
#include "pages/ChannelModel.h"

using namespace castora;
using Clock = std::chrono::steady_clock;

namespace {

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void Fig(const std::string& name, const std::vector<double>& samples, const char* unit) {
    const auto [lo, hi] = std::minmax_element(samples.begin(), samples.end());
    std::printf("FIG\t%s\t%.3f\t%.3f\t%.3f\t%s\t%zu\n", name.c_str(), Median(samples), *lo, *hi, unit, samples.size());
    std::fflush(stdout);
}

double MsSince(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int32_t records = argc > 1 ? std::atoi(argv[1]) : 100000;
    const int32_t guideChannels = argc > 2 ? std::atoi(argv[2]) : 1000;
    const int reps = argc > 3 ? std::atoi(argv[3]) : 31;
    const int64_t now = 1796904000;  // 2026-12-10 12:00 UTC

    ChannelTable table;
    {
        std::vector<TChannelRec> recs(static_cast<size_t>(records));
        for (int32_t i = 0; i < records; ++i) {
            recs[i].Name = "Channel " + std::to_string(i + 1);
            recs[i].Url = "http://streams.example/" + std::to_string(i + 1);
            recs[i].Source = 1 + i % 3;
        }
        table.AppendChannels(recs);
    }

    GuideBuilder builder;
    const int64_t from = now - 36 * 3600, to = now + 7 * 24 * 3600;
    for (int32_t c = 0; c < guideChannels; ++c) {
        const std::string id = "ch" + std::to_string(c) + ".tv";
        const int32_t channel = builder.AddChannel(id);
        builder.SetName(channel, "Channel " + std::to_string(c));
        // Channels start their programmes at different minutes, so their ends are spread.
        for (int64_t t = from + (c % 30) * 60; t < to; t += 1800) {
            GuideProgramme p;
            p.start = t;
            p.stop = t + 1800;
            p.channel = static_cast<uint32_t>(channel);
            p.title = builder.Intern("Programme " + std::to_string((t / 1800 + c) % 500));
            builder.AddProgramme(p);
        }
    }
    const std::shared_ptr<const GuideIndex> index = builder.Finish();
    std::vector<std::string> ids(static_cast<size_t>(records) + 1);
    for (int32_t r = 1; r <= records; ++r) ids[r] = "ch" + std::to_string(r % guideChannels) + ".tv";
    const auto lookup = std::make_shared<const GuideLookup>(index, records, [&](int32_t r) {
        GuideChannelKeys k;
        k.tvgId = ids[r];
        k.name = table.Channels[r].Name.view();
        k.shift = r % 10 == 0 ? 3600 : 0;
        return k;
    });
    std::printf("INFO\trecords=%d guide_channels=%d programmes=%zu matched=%d\n", records, guideChannels,
                index->ProgrammeCount(), lookup->Matched());

    SearchIndex search;
    ChannelModel plain(table), guided(table);
    plain.SetClock([now] { return now; });
    guided.SetClock([now] { return now; });
    guided.SetGuide(lookup);
    // All rows, and a third of them (one source), as the filters give them.
    for (int source : {0, 2}) {
        RowRequest request;
        request.filter.source = source;
        std::vector<double> without, with, rows, titles;
        for (int i = 0; i < reps; ++i) {
            // Alternating, so that both see the same state of the machine.
            for (ChannelModel* model : {&plain, &guided}) {
                const auto t0 = Clock::now();
                std::optional<RowSet> set = ComputeRowSet(table, search, request);
                const auto t1 = Clock::now();
                const int32_t n = set->rows;
                table.SetRowMap(std::move(set->rowMap));
                model->SetRows(n);
                const double total = MsSince(t0);
                (model == &plain ? without : with).push_back(total);
                if (model == &guided) rows.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
            }
        }
        for (int i = 0; i < reps; ++i) {
            const auto t0 = Clock::now();
            guided.ReadGuide();
            titles.push_back(MsSince(t0));
        }
        const std::string shown = source == 0 ? "all" : "third";
        std::printf("INFO\t%s: %d rows, row 1 now \"%s\"\n", shown.c_str(), guided.FilledRows(),
                    guided.CellText(ChannelColumn::Now, 1).toUtf8().constData());
        Fig("rebuild_plain_" + shown, without, "ms");
        Fig("rebuild_with_now_" + shown, with, "ms");
        std::vector<double> added;
        for (int i = 0; i < reps; ++i) added.push_back(with[i] - without[i]);
        Fig("now_column_added_" + shown, added, "ms");
        Fig("now_column_reread_" + shown, titles, "ms");
    }
    return 0;
}

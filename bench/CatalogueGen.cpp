#include "CatalogueGen.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <memory>
#include <stdexcept>

#include "catalogue/ListFiles.h"

namespace castora::bench {

namespace {

uint64_t SplitMix(uint64_t x) {
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

// Small deterministic stream of choices for one record.
class Dice {
public:
    Dice(uint64_t seed, int32_t index, uint64_t salt) : state_(SplitMix(seed ^ SplitMix(uint64_t(index) * 4 + salt))) {}
    uint64_t Next() { return state_ = SplitMix(state_); }
    uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Next() % n); }
    bool Chance(double p) { return (Next() >> 11) * 0x1.0p-53 < p; }
    template <size_t N>
    const char* Pick(const std::array<const char*, N>& items) {
        return items[Below(N)];
    }

private:
    uint64_t state_;
};

// Word stock; the Russian ones are converted to Windows-1251 once.
const std::array<const char*, 24> RuWordsUtf8 = {"Радио", "Европа",   "Плюс",     "Русское", "Ретро",  "Шансон",
                                                 "Маяк",  "Дорожное", "Наше",     "Эхо",     "Москвы", "Юмор",
                                                 "Хит",   "Любимое",  "Звезда",   "Первый",  "канал",  "Новости",
                                                 "Спорт", "Детское",  "Классика", "Джаз",    "Рок",    "Вести"};
const std::array<const char*, 24> EnWords = {
    "Radio", "Groove", "Salad", "Drone", "Zone",    "Jazz", "Lounge", "Classic", "Rock",  "Deep",    "House", "Chill",
    "Beat",  "Blues",  "Metal", "Soul",  "Country", "Talk", "News",   "Live",    "Dance", "Ambient", "Indie", "FM"};
const std::array<const char*, 12> RuPhrasesUtf8 = {"Лучшая музыка круглосуточно",
                                                   "Новости каждый час",
                                                   "Музыка без рекламы",
                                                   "Прямой эфир",
                                                   "Хиты прошлых лет",
                                                   "Только хорошая музыка",
                                                   "Городское радио",
                                                   "Трансляция из Санкт-Петербурга",
                                                   "Передачи для всей семьи",
                                                   "Спортивные трансляции",
                                                   "Классическая музыка и джаз",
                                                   "Эфир 24 часа"};
const std::array<const char*, 12> EnPhrases = {"Ambient beats and grooves",
                                               "Atmospheric textures with minimal beats",
                                               "Non-stop hits",
                                               "News, talk and weather",
                                               "Live from the city",
                                               "Commercial free",
                                               "Chill out and lounge",
                                               "The best of the eighties",
                                               "Classic rock all day",
                                               "Jazz standards and new releases",
                                               "Independent music",
                                               "Dance floor favourites"};
const std::array<const char*, 11> Bitrates = {"128",  "64", "192", "320", "32",  "56 kbps",
                                              "128k", "",   "256", "96",  "1500"};
const std::array<const char*, 10> Tlds = {"ru", "com", "net", "org", "fm", "ua", "de", "info", "su", "by"};
const std::array<const char*, 8> HostHeads = {"stream", "icecast", "radio", "live", "media", "cast", "s", "air"};
const std::array<const char*, 8> PathHeads = {"/live",   "/stream", "/radio", "/;stream.nsv",
                                              "/listen", "/hls",    "/mount", "/audio"};
const std::array<const char*, 6> PathTails = {".mp3", ".aac", ".ogg", "", ".m3u8", "_hi"};

struct RuStock {
    std::array<std::string, RuWordsUtf8.size()> words;
    std::array<std::string, RuPhrasesUtf8.size()> phrases;
    RuStock() {
        for (size_t i = 0; i < words.size(); ++i) words[i] = ToCp1251(RuWordsUtf8[i]);
        for (size_t i = 0; i < phrases.size(); ++i) phrases[i] = ToCp1251(RuPhrasesUtf8[i]);
    }
};
const RuStock& Ru() {
    static const RuStock stock;
    return stock;
}

void AppendBase36(std::string& out, uint64_t v) {
    char buf[16];
    int n = 0;
    do {
        buf[n++] = "0123456789abcdefghijklmnopqrstuvwxyz"[v % 36];
        v /= 36;
    } while (v);
    while (n) out.push_back(buf[--n]);
}

std::string MakeName(Dice& d) {
    const bool russian = d.Chance(0.45);
    std::string name;
    const int words = 1 + static_cast<int>(d.Below(3));
    for (int w = 0; w < words; ++w) {
        if (w) name.push_back(' ');
        name += russian ? Ru().words[d.Below(Ru().words.size())] : std::string(d.Pick(EnWords));
    }
    if (d.Chance(0.3)) {
        name += ' ';
        name += std::to_string(87 + d.Below(21)) + "." + std::to_string(d.Below(10));
        name += russian ? ToCp1251(" ФМ") : " FM";
    }
    return name;
}

std::string MakeComments(Dice& d, const std::string& bitrate) {
    if (d.Chance(0.3)) return {};
    std::string c = d.Chance(0.5) ? Ru().phrases[d.Below(Ru().phrases.size())] : std::string(d.Pick(EnPhrases));
    if (d.Chance(0.35) && !bitrate.empty()) c += ", " + bitrate + " kbps";
    return c;
}

// Codes lean towards the low end of each list, as real catalogues crowd into a few countries.
int32_t SkewedCode(Dice& d, int count) {
    const double u = (d.Next() >> 11) * 0x1.0p-53;
    return 1 + static_cast<int32_t>(std::floor(u * u * count));
}

class FileSink {
public:
    explicit FileSink(const std::filesystem::path& path) : f_(std::fopen(path.c_str(), "wb")) {
        if (!f_) throw std::runtime_error("cannot create " + path.string());
        buf_.reserve(Chunk + 1024);
    }
    ~FileSink() {
        if (f_) std::fclose(f_);
    }
    std::string& Buffer() { return buf_; }
    void MaybeFlush() {
        if (buf_.size() >= Chunk) Flush();
    }
    uint64_t Close() {
        Flush();
        if (std::fclose(f_) != 0) throw std::runtime_error("write failed");
        f_ = nullptr;
        return written_;
    }

private:
    static constexpr size_t Chunk = 1 << 20;
    void Flush() {
        if (!buf_.empty() && std::fwrite(buf_.data(), 1, buf_.size(), f_) != buf_.size())
            throw std::runtime_error("write failed");
        written_ += buf_.size();
        buf_.clear();
    }
    std::FILE* f_;
    std::string buf_;
    uint64_t written_ = 0;
};

void WriteText(const std::filesystem::path& path, const std::string& text) {
    FileSink sink(path);
    sink.Buffer() = text;
    sink.Close();
}

}  // namespace

std::string ToCp1251(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size(); ++i) {
        const auto b = static_cast<unsigned char>(utf8[i]);
        if (b < 0x80 || i + 1 >= utf8.size()) {
            out.push_back(static_cast<char>(b));
            continue;
        }
        const unsigned cp = ((b & 0x1Fu) << 6) | (static_cast<unsigned char>(utf8[++i]) & 0x3Fu);
        if (cp >= 0x410 && cp <= 0x44F) out.push_back(static_cast<char>(0xC0 + (cp - 0x410)));
        else if (cp == 0x401) out.push_back(static_cast<char>(0xA8));
        else if (cp == 0x451) out.push_back(static_cast<char>(0xB8));
        else out.push_back('?');
    }
    return out;
}

CatalogueGenerator::CatalogueGenerator(const CatalogueSpec& spec) : spec_(spec) {
    if (spec.channels < 0) throw std::invalid_argument("negative channel count");
    layout_.local = static_cast<int32_t>(std::llround(spec.channels * spec.localShare));
    layout_.global = spec.channels - layout_.local;
    layout_.duplicates = static_cast<int32_t>(std::llround(spec.channels * spec.duplicateShare));
    if (layout_.duplicates > layout_.local) layout_.duplicates = layout_.local;
    if (layout_.global == 0) layout_.duplicates = 0;
}

std::string CatalogueGenerator::UniqueUrl(int32_t index) const {
    Dice d(spec_.seed, index, 1);
    std::string url = "http://";
    if (d.Chance(0.15)) {
        url += std::to_string(80 + d.Below(140)) + "." + std::to_string(d.Below(256)) + "." +
               std::to_string(d.Below(256)) + "." + std::to_string(1 + d.Below(254));
    } else {
        url += d.Pick(HostHeads);
        url += std::to_string(d.Below(40));
        url += '.';
        url += d.Chance(0.5) ? EnWords[d.Below(EnWords.size())] : "radio";
        url += std::to_string(d.Below(1000));
        url += '.';
        url += d.Pick(Tlds);
    }
    if (d.Chance(0.6)) {
        url += ':';
        url += std::to_string(8000 + d.Below(100));
    }
    url += d.Pick(PathHeads);
    url += '/';
    // The index in base 36 keeps every URL unique; the rest only gives it a realistic length.
    AppendBase36(url, static_cast<uint64_t>(index));
    url += '_';
    AppendBase36(url, d.Next() % (36ull * 36 * 36 * 36 * 36));
    url += d.Pick(PathTails);
    return url;
}

int32_t CatalogueGenerator::DuplicateOf(int32_t index) const {
    if (index <= layout_.global || layout_.duplicates == 0) return 0;
    // Spread the duplicates evenly over the local list: position p is one when floor((p+1)D/L) steps.
    const int64_t p = index - layout_.global - 1;
    const int64_t D = layout_.duplicates, L = layout_.local;
    if ((p + 1) * D / L == p * D / L) return 0;
    Dice d(spec_.seed, index, 2);
    return 1 + static_cast<int32_t>(d.Below(static_cast<uint32_t>(layout_.global)));
}

TChannelRec CatalogueGenerator::Record(int32_t index) const {
    Dice d(spec_.seed, index, 0);
    TChannelRec rec;
    rec.Format = d.Chance(0.9) ? 1 : 2;
    rec.Source = 1 + static_cast<int32_t>(d.Below(SourceCount));
    rec.Country = SkewedCode(d, CountryCount);
    rec.Genre = 1 + static_cast<int32_t>(d.Below(GenreCount));
    rec.Name = MakeName(d);
    const int32_t original = DuplicateOf(index);
    rec.Url = UniqueUrl(original ? original : index);
    rec.Bitrate = d.Pick(Bitrates);
    rec.Comments = MakeComments(d, rec.Bitrate);
    rec.IsLocal = index > layout_.global;
    return rec;
}

void AppendRecordLines(std::string& out, const TChannelRec& rec) {
    for (int32_t v : {rec.Format, rec.Source, rec.Country, rec.Genre}) {
        out += std::to_string(v);
        out += "\r\n";
    }
    out += rec.Name;
    out += "\r\n";
    out += ScrambleUrl(rec.Url, UrlKey, false);
    out += "\r\n";
    out += rec.Bitrate;
    out += "\r\n";
    out += rec.Comments;
    out += "\r\n";
}

CatalogueFiles CatalogueGenerator::Write(const std::filesystem::path& dir) const {
    std::filesystem::create_directories(dir);
    CatalogueFiles files;
    files.layout = layout_;
    const auto writeList = [&](const char* name, int32_t first, int32_t last) {
        FileSink sink(dir / name);
        sink.Buffer() += ListDateLine;
        sink.Buffer() += "\r\n";
        for (int32_t i = first; i <= last; ++i) {
            AppendRecordLines(sink.Buffer(), Record(i));
            sink.MaybeFlush();
        }
        return sink.Close();
    };
    files.globalBytes = writeList(ListFiles[0], 1, layout_.global);
    files.localBytes = writeList(ListFiles[1], layout_.global + 1, layout_.global + layout_.local);
    WriteLookupFiles(dir);
    return files;
}

void WriteLookupFiles(const std::filesystem::path& dir) {
    std::filesystem::create_directories(dir);
    WriteText(dir / "source.dat", "*\r\nOnline TV\r\nRadio\r\nWebcam\r\n");
    std::string countries = "*\r\n";
    const std::array<const char*, 12> named = {"Россия",         "USA",   "Украина",   "Germany", "France", "Беларусь",
                                               "United Kingdom", "Italy", "Казахстан", "Poland",  "Spain",  "Canada"};
    for (int c = 1; c <= CountryCount; ++c)
        countries +=
            (c <= static_cast<int>(named.size()) ? ToCp1251(named[c - 1]) : "Country " + std::to_string(c)) + "\r\n";
    WriteText(dir / "country.dat", countries);
    std::string genres = "*\r\n";
    for (int g = 1; g <= GenreCount; ++g) genres += std::string(EnWords[(g - 1) % EnWords.size()]) + "\r\n";
    WriteText(dir / "genre.dat", genres);
}

}  // namespace castora::bench

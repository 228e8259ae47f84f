#include "pages/LogoStore.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <fstream>
#include <mutex>
#include <sstream>

#include <QBuffer>
#include <QCryptographicHash>
#include <QFile>
#include <QImageReader>
#include <QImageWriter>

namespace castora {

namespace fs = std::filesystem;

namespace {

constexpr const char* MetaMagic = "castora-logo 1";

bool Contains(const std::vector<int>& sizes, int size) {
    return std::find(sizes.begin(), sizes.end(), size) != sizes.end();
}

// Header values come from strangers: one line each, whatever they hold.
std::string OneLine(std::string s) {
    std::replace_if(
        s.begin(), s.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    return s;
}

QString QtPath(const fs::path& path) { return QFile::decodeName(path.c_str()); }

// SVG may name other files, which Qt would open from this process (a pipe or a device included), and may
// declare entities: only a self-contained drawing is taken.
bool SelfContainedSvg(const std::string& text) {
    if (text.find("<!ENTITY") != std::string::npos) return false;
    for (size_t at = text.find("href"); at != std::string::npos; at = text.find("href", at + 4)) {
        size_t i = at + 4;
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
        if (i >= text.size() || text[i] != '=') continue;
        ++i;
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
        if (i >= text.size() || (text[i] != '"' && text[i] != '\'')) return false;
        const std::string_view value = std::string_view(text).substr(i + 1);
        if (!value.starts_with('#') && !value.starts_with("data:")) return false;
    }
    return true;
}

QImage ReadThumbnail(const fs::path& path) {
    QImageReader reader(QtPath(path), "png");
    reader.setDecideFormatFromContent(false);
    QImage image;
    if (!reader.read(&image)) return {};
    return image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

}  // namespace

LogoStore::LogoStore(fs::path directory, std::function<int64_t()> now, LogoLimits limits)
    : dir_(std::move(directory)), now_(std::move(now)), limits_(limits) {
    // The limit is the process's: no image anywhere in the program is larger than a logo may be.
    const int megabytes = static_cast<int>(std::max<int64_t>(1, limits_.maxPixels * 4 / (1024 * 1024)));
    if (QImageReader::allocationLimit() == 0 || QImageReader::allocationLimit() > megabytes)
        QImageReader::setAllocationLimit(megabytes);
}

std::string LogoStore::Ident(const LogoAddress& address) {
    return (address.localFileAllowed ? "file " : "web ") + address.url;
}

fs::path LogoStore::Base(const std::string& ident) const {
    const QByteArray hex = QCryptographicHash::hash(QByteArray::fromStdString(ident), QCryptographicHash::Sha1).toHex();
    return dir_ / hex.left(2).toStdString() / hex.toStdString();
}

fs::path LogoStore::ThumbnailPath(const std::string& ident, int size) const {
    fs::path path = Base(ident);
    path += "-" + std::to_string(size) + ".png";
    return path;
}

std::optional<LogoMeta> LogoStore::ReadMeta(const std::string& ident) const {
    fs::path path = Base(ident);
    path += ".meta";
    std::ifstream in(path);
    std::string line;
    if (!std::getline(in, line) || line != MetaMagic) return std::nullopt;
    LogoMeta meta;
    while (std::getline(in, line)) {
        const size_t space = line.find(' ');
        const std::string key = line.substr(0, space);
        const std::string value = space == std::string::npos ? std::string() : line.substr(space + 1);
        if (key == "ident") {
            // Two addresses with one hash: the other one's file.
            if (value != ident) return std::nullopt;
        } else if (key == "fetched") {
            meta.fetched = std::atoll(value.c_str());
        } else if (key == "failed") {
            meta.failed = std::atoll(value.c_str());
        } else if (key == "etag") {
            meta.validators.etag = value;
        } else if (key == "modified") {
            meta.validators.lastModified = value;
        } else if (key == "reason") {
            meta.reason = value;
        } else if (key == "sizes") {
            std::istringstream sizes(value);
            for (int size; sizes >> size;)
                if (size > 0 && !Contains(meta.sizes, size)) meta.sizes.push_back(size);
        }
    }
    return meta;
}

bool LogoStore::Commit(uint64_t generation, const std::function<bool()>& write) {
    std::shared_lock lock(writing_);
    if (generation != generation_.load()) return false;
    return write();
}

namespace {

std::atomic<uint64_t> temporaryCount{0};

fs::path Temporary(const fs::path& path) {
    fs::path tmp = path;
    tmp += ".tmp" + std::to_string(++temporaryCount);
    return tmp;
}

bool Replace(const fs::path& tmp, const fs::path& path) {
    std::error_code ec;
    fs::rename(tmp, path, ec);
    if (ec) fs::remove(tmp, ec);
    return !ec;
}

}  // namespace

bool LogoStore::WriteMeta(const std::string& ident, const LogoMeta& meta) {
    fs::path path = Base(ident);
    path += ".meta";
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    const fs::path tmp = Temporary(path);
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << MetaMagic << "\nident " << OneLine(ident) << "\nfetched " << meta.fetched << "\nfailed " << meta.failed
            << "\netag " << OneLine(meta.validators.etag) << "\nmodified " << OneLine(meta.validators.lastModified)
            << "\nsizes";
        for (int size : meta.sizes) out << ' ' << size;
        out << "\nreason " << OneLine(meta.reason) << "\n";
        if (!out.flush()) {
            fs::remove(tmp, ec);
            return false;
        }
    }
    return Replace(tmp, path);
}

bool LogoStore::WriteThumbnail(const std::string& ident, const QImage& image, int size) {
    const fs::path path = ThumbnailPath(ident, size);
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    const fs::path tmp = Temporary(path);
    QImageWriter writer(QtPath(tmp), "png");
    if (!writer.write(image)) {
        fs::remove(tmp, ec);
        return false;
    }
    return Replace(tmp, path);
}

LogoLoad LogoStore::Load(const LogoAddress& address, int size) const {
    const std::string ident = Ident(address);
    const std::optional<LogoMeta> meta = ReadMeta(ident);
    const int64_t now = Now();
    LogoLoad out;
    // A file the user chose is read again when it changes, and its failures are not kept: they are the
    // user's to mend.
    const bool local = address.localFileAllowed;
    const bool failedRecently = meta && !local && meta->failed > 0 && now - meta->failed < limits_.failureSeconds;
    if (meta && Contains(meta->sizes, size)) {
        const fs::path path = ThumbnailPath(ident, size);
        QImage image = ReadThumbnail(path);
        if (!image.isNull()) {
            out.outcome = LogoLoad::Image;
            out.image = {size, std::move(image), QtPath(path)};
            out.revalidate = !failedRecently && (local || now - meta->fetched >= limits_.freshSeconds);
            return out;
        }
    }
    out.outcome = failedRecently ? LogoLoad::Failed : LogoLoad::NeedFetch;
    return out;
}

LogoFetched LogoStore::Fetch(const LogoAddress& address, const std::vector<int>& sizes, bool revalidate,
                             const std::atomic<bool>* cancel, uint64_t generation) {
    const std::string ident = Ident(address);
    LogoMeta meta = ReadMeta(ident).value_or(LogoMeta{});
    LogoFetchOptions options = limits_.fetch;
    options.cancel = cancel;
    const LogoFetch got =
        FetchLogo(address.url, address.localFileAllowed, revalidate ? meta.validators : LogoValidators{}, options);
    LogoFetched out;
    if (got.status == LogoFetchStatus::Cancelled) {
        out.cancelled = true;
        return out;
    }
    const int64_t now = Now();
    std::string reason = got.reason;
    if (got.status == LogoFetchStatus::NotModified) {
        meta.fetched = now;
        meta.failed = 0;
        meta.reason.clear();
        meta.validators = got.validators;
        Commit(generation, [&] { return WriteMeta(ident, meta); });
        return out;
    }
    if (got.status == LogoFetchStatus::Fetched) {
        std::vector<int> all = meta.sizes;
        for (int size : sizes)
            if (!Contains(all, size)) all.push_back(size);
        std::sort(all.begin(), all.end());
        const QImage image = Decode(got.body, all.empty() ? 0 : all.back(), limits_.maxPixels, &reason);
        if (!image.isNull()) {
            for (int size : all)
                out.images.push_back({size, Thumbnail(image, size), QtPath(ThumbnailPath(ident, size))});
            meta.fetched = now;
            meta.failed = 0;
            meta.reason.clear();
            meta.validators = got.validators;
            meta.sizes.clear();
            const bool written = Commit(generation, [&] {
                for (const LogoImage& thumbnail : out.images)
                    if (WriteThumbnail(ident, thumbnail.image, thumbnail.size)) meta.sizes.push_back(thumbnail.size);
                return WriteMeta(ident, meta);
            });
            // Shown all the same; without its file there is only no file to name.
            if (!written)
                for (LogoImage& thumbnail : out.images) thumbnail.file.clear();
            return out;
        }
    }
    meta.failed = now;
    meta.reason = reason;
    Commit(generation, [&] { return WriteMeta(ident, meta); });
    out.failed = true;
    out.reason = reason;
    return out;
}

void LogoStore::Forget(const LogoAddress& address) {
    const std::string ident = Ident(address);
    const std::optional<LogoMeta> meta = ReadMeta(ident);
    Commit(Generation(), [&] {
        std::error_code ec;
        if (meta)
            for (int size : meta->sizes) fs::remove(ThumbnailPath(ident, size), ec);
        fs::path path = Base(ident);
        path += ".meta";
        fs::remove(path, ec);
        return true;
    });
}

fs::path LogoStore::Clear() {
    std::unique_lock lock(writing_);
    ++generation_;
    std::error_code ec;
    if (!fs::exists(dir_, ec)) return {};
    fs::path aside = dir_;
    aside += ".old-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    fs::rename(dir_, aside, ec);
    if (!ec) return aside;
    fs::remove_all(dir_, ec);
    return {};
}

void LogoStore::RemoveTree(const fs::path& path, const std::atomic<bool>& stop) {
    std::error_code ec;
    // Shard by shard, so that the end of the program need not wait for a large cache.
    for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
        if (stop.load()) return;
        fs::remove_all(it->path(), ec);
    }
    fs::remove_all(path, ec);
}

std::vector<fs::path> LogoStore::Leftovers() const {
    std::vector<fs::path> out;
    const std::string prefix = dir_.filename().string() + ".old-";
    std::error_code ec;
    for (fs::directory_iterator it(dir_.parent_path(), ec), end; !ec && it != end; it.increment(ec))
        if (it->path().filename().string().starts_with(prefix)) out.push_back(it->path());
    return out;
}

QImage LogoStore::Decode(const std::string& bytes, int maxSide, int64_t maxPixels, std::string* reason) {
    const auto fail = [reason](std::string text) {
        if (reason) *reason = std::move(text);
        return QImage();
    };
    // Compressed SVG: a few kilobytes may inflate without end before anything checks the size.
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0x1f &&
        static_cast<unsigned char>(bytes[1]) == 0x8b)
        return fail("a compressed image");
    QByteArray data = QByteArray::fromRawData(bytes.data(), static_cast<qsizetype>(bytes.size()));
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setDecideFormatFromContent(true);
    const QByteArray format = reader.format();
    static const QByteArray allowed[] = {"png", "jpeg", "gif", "svg", "webp", "bmp", "ico"};
    if (format.isEmpty()) return fail("not an image");
    if (std::find(std::begin(allowed), std::end(allowed), format) == std::end(allowed))
        return fail("an image in the format " + format.toStdString());
    if (format == "svg" && !SelfContainedSvg(bytes)) return fail("an SVG drawing that refers to other files");
    const QSize size = reader.size();
    // A drawing is rendered at the size it is shown; a picture is decoded whole first.
    if (format != "svg" && size.isValid() && static_cast<int64_t>(size.width()) * size.height() > maxPixels)
        return fail(std::to_string(size.width()) + " x " + std::to_string(size.height()) + " pixels");
    if (size.isValid() && maxSide > 0 && (size.width() > maxSide || size.height() > maxSide) &&
        reader.supportsOption(QImageIOHandler::ScaledSize))
        reader.setScaledSize(size.scaled(maxSide, maxSide, Qt::KeepAspectRatio).expandedTo(QSize(1, 1)));
    QImage image;
    if (!reader.read(&image) || image.isNull()) return fail("unreadable: " + reader.errorString().toStdString());
    return image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

QImage LogoStore::Thumbnail(const QImage& image, int size) {
    if (image.width() <= size && image.height() <= size) return image;
    return image.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

}  // namespace castora

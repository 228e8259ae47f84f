#include "support/ZipBuilder.h"

#include <zip.h>
#include <zlib.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>

namespace castora::test {
namespace {

void Put16(std::string& out, uint32_t v) {
    out.push_back(char(v & 0xFF));
    out.push_back(char((v >> 8) & 0xFF));
}
void Put32(std::string& out, uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}
void Put64(std::string& out, uint64_t v) {
    Put32(out, uint32_t(v));
    Put32(out, uint32_t(v >> 32));
}

std::string RawDeflate(const std::string& data) {
    z_stream zs{};
    if (deflateInit2(&zs, Z_BEST_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2 failed");
    std::string out(deflateBound(&zs, uLong(data.size())) + 16, '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    zs.avail_in = uInt(data.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = uInt(out.size());
    int rc = deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    if (rc != Z_STREAM_END) throw std::runtime_error("deflate failed");
    return out;
}

}  // namespace

uint16_t DosDate(int year, int month, int day) { return uint16_t((year - 1980) << 9 | month << 5 | day); }
uint16_t DosTime(int hour, int minute, int second) { return uint16_t(hour << 11 | minute << 5 | second / 2); }

time_t DosToLocal(uint16_t date, uint16_t time) {
    std::tm tm{};
    tm.tm_year = (date >> 9) + 80;
    tm.tm_mon = ((date >> 5) & 15) - 1;
    tm.tm_mday = date & 31;
    tm.tm_hour = time >> 11;
    tm.tm_min = (time >> 5) & 63;
    tm.tm_sec = (time & 31) * 2;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

std::string ReadFileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFileBytes(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string BuildRawZip(const std::vector<RawEntry>& entries, const RawOptions& options) {
    std::string out, central;
    for (const RawEntry& e : entries) {
        std::string payload = e.method == 8 ? RawDeflate(e.data) : e.data;
        if (e.keepCompressedBytes && *e.keepCompressedBytes < payload.size()) payload.resize(*e.keepCompressedBytes);
        const uint32_t crc =
            e.crc ? *e.crc : uint32_t(crc32(0, reinterpret_cast<const Bytef*>(e.data.data()), uInt(e.data.size())));
        const uint32_t size = e.uncompressedSize ? *e.uncompressedSize : uint32_t(e.data.size());
        const uint64_t offset = out.size();

        Put32(out, e.localSignature);
        Put16(out, e.versionNeeded);
        Put16(out, e.flags);
        Put16(out, e.localMethod ? *e.localMethod : e.method);
        Put16(out, e.dosTime);
        Put16(out, e.dosDate);
        Put32(out, crc);
        Put32(out, uint32_t(payload.size()));
        Put32(out, size);
        Put16(out, uint16_t(e.name.size()));
        Put16(out, 0);
        out += e.name;
        out += payload;

        Put32(central, 0x02014B50);
        Put16(central, e.versionMadeBy);
        Put16(central, e.versionNeeded);
        Put16(central, e.flags);
        Put16(central, e.method);
        Put16(central, e.dosTime);
        Put16(central, e.dosDate);
        Put32(central, crc);
        Put32(central, uint32_t(payload.size()));
        Put32(central, size);
        Put16(central, uint16_t(e.name.size()));
        Put16(central, options.zip64 ? 12 : 0);  // extra length
        Put16(central, 0);                       // comment length
        Put16(central, 0);                       // disk
        Put16(central, 0);                       // internal attributes
        Put32(central, e.externalAttributes);
        Put32(central, options.zip64 ? 0xFFFFFFFF : uint32_t(offset));
        central += e.name;
        if (options.zip64) {
            Put16(central, 0x0001);
            Put16(central, 8);
            Put64(central, offset);
        }
    }
    const uint64_t centralOffset = out.size();
    out += central;
    if (options.zip64) {
        const uint64_t recordOffset = out.size();
        Put32(out, 0x06064B50);
        Put64(out, 44);
        Put16(out, 45);
        Put16(out, 45);
        Put32(out, 0);
        Put32(out, 0);
        Put64(out, entries.size());
        Put64(out, entries.size());
        Put64(out, central.size());
        Put64(out, centralOffset);
        Put32(out, 0x07064B50);
        Put32(out, 0);
        Put64(out, recordOffset);
        Put32(out, 1);
    }
    Put32(out, 0x06054B50);
    Put16(out, 0);
    Put16(out, 0);
    Put16(out, options.zip64 ? 0xFFFF : uint16_t(entries.size()));
    Put16(out, options.zip64 ? 0xFFFF : uint16_t(entries.size()));
    Put32(out, options.zip64 ? 0xFFFFFFFF : uint32_t(central.size()));
    Put32(out, options.zip64 ? 0xFFFFFFFF : uint32_t(centralOffset));
    Put16(out, uint16_t(options.comment.size()));
    out += options.comment;
    out += options.trailing;
    return out;
}

void WriteLibzipArchive(const std::filesystem::path& path, const std::vector<LibzipEntry>& entries) {
    int err = 0;
    zip_t* za = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    if (!za) throw std::runtime_error("zip_open failed: " + std::to_string(err));
    auto fail = [&](const std::string& what) {
        std::string text = what + ": " + zip_strerror(za);
        zip_discard(za);
        throw std::runtime_error(text);
    };
    for (const LibzipEntry& e : entries) {
        zip_source_t* src = zip_source_buffer(za, e.data.data(), e.data.size(), 0);
        if (!src) fail("zip_source_buffer");
        zip_int64_t idx = zip_file_add(za, e.name.c_str(), src, ZIP_FL_ENC_RAW);
        if (idx < 0) {
            zip_source_free(src);
            fail("zip_file_add");
        }
        if (zip_set_file_compression(za, zip_uint64_t(idx), e.method, 0) != 0) fail("zip_set_file_compression");
        if (e.encryption != ZIP_EM_NONE && zip_file_set_encryption(za, zip_uint64_t(idx), e.encryption, "secret") != 0)
            fail("zip_file_set_encryption");
        if (e.host && zip_file_set_external_attributes(za, zip_uint64_t(idx), 0, *e.host, e.attributes) != 0)
            fail("zip_file_set_external_attributes");
        if (e.mtime != 0 && zip_file_set_mtime(za, zip_uint64_t(idx), e.mtime, 0) != 0) fail("zip_file_set_mtime");
    }
    if (zip_close(za) != 0) fail("zip_close");
}

}  // namespace castora::test

#include "server/Submission.h"

#include "server/HttpClient.h"

namespace castora {

std::string UrlEncode(std::string_view bytes) {
    static constexpr char Hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 3);
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_') {
            out += ch;
        } else if (c == ' ') {
            out += '+';
        } else {
            out += '%';
            out += Hex[c >> 4];
            out += Hex[c & 0x0F];
        }
    }
    return out;
}

std::string BuildSubmissionUrl(const std::string& host, int32_t format, int32_t source, int32_t country, int32_t genre,
                               std::string_view name, std::string_view url, std::string_view bitrate,
                               std::string_view comments) {
    return "http://" + host + "/add.php?format=" + std::to_string(format) + "&source=" + std::to_string(source) +
           "&country=" + std::to_string(country) + "&genre=" + std::to_string(genre) + "&name=" + UrlEncode(name) +
           "&url=" + UrlEncode(url) + "&bitrate=" + UrlEncode(bitrate) + "&comments=" + UrlEncode(comments);
}

void SendChannel(const std::string& host, int32_t format, int32_t source, int32_t country, int32_t genre,
                 std::string_view name, std::string_view url, std::string_view bitrate, std::string_view comments,
                 const std::atomic<bool>* cancel) noexcept {
    try {
        THttpClient client;
        client.Cancel = cancel;
        client.GetText(BuildSubmissionUrl(host, format, source, country, genre, name, url, bitrate, comments));
    } catch (...) {
        // Nobody is told about a submission's outcome.
    }
}

}  // namespace castora

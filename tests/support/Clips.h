#pragma once
// Small media files made on the spot for the player to open over a loopback server.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace castora::test {

// An uncompressed YUV4MPEG2 clip of evenly grey frames (luma 0..255).
inline std::string MakeY4m(int width, int height, int frames, int fps, unsigned char luma = 200) {
    std::string out = "YUV4MPEG2 W" + std::to_string(width) + " H" + std::to_string(height) + " F" +
                      std::to_string(fps) + ":1 Ip A1:1 C420jpeg\n";
    const size_t pixels = static_cast<size_t>(width) * height;
    for (int i = 0; i < frames; ++i) {
        out += "FRAME\n";
        out.append(pixels, static_cast<char>(luma));
        out.append(pixels / 2, static_cast<char>(128));  // both chroma planes: no colour
    }
    return out;
}

namespace matroska {

// An EBML element: its ID's bytes as written, the size as an 8-byte number, then the data.
inline std::string Element(uint32_t id, const std::string& data) {
    std::string out;
    for (int shift = 24; shift >= 0; shift -= 8)
        if ((id >> shift) != 0) out += static_cast<char>((id >> shift) & 0xff);
    out += '\x01';
    for (int shift = 48; shift >= 0; shift -= 8) out += static_cast<char>((data.size() >> shift) & 0xff);
    return out + data;
}
inline std::string Uint(uint32_t id, uint64_t value) {
    std::string data;
    for (int shift = 56; shift >= 0; shift -= 8) data += static_cast<char>((value >> shift) & 0xff);
    return Element(id, data);
}
inline std::string Float(uint32_t id, double value) {
    uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    std::string data;
    for (int shift = 56; shift >= 0; shift -= 8) data += static_cast<char>((bits >> shift) & 0xff);
    return Element(id, data);
}

}  // namespace matroska

struct AudioTrackSpec {
    std::string language;
    std::string name;
    double frequency;  // of its sine tone
};

// A Matroska file of 16-bit mono PCM tracks at 8 kHz, one block per track and second.
inline std::string MakeMkv(const std::vector<AudioTrackSpec>& tracks, int seconds) {
    using namespace matroska;
    constexpr int kRate = 8000;
    const std::string ebml = Element(0x1A45DFA3, Uint(0x4286, 1) + Uint(0x42F7, 1) + Uint(0x42F2, 4) + Uint(0x42F3, 8) +
                                                     Element(0x4282, "matroska") + Uint(0x4287, 4) + Uint(0x4285, 2));
    const std::string info =
        Element(0x1549A966, Uint(0x2AD7B1, 1000000) + Element(0x4D80, "castora-tests") +
                                Element(0x5741, "castora-tests") + Float(0x4489, seconds * 1000.0));
    std::string entries;
    for (size_t t = 0; t < tracks.size(); ++t) {
        const std::string audio = Element(0xE1, Float(0xB5, kRate) + Uint(0x9F, 1) + Uint(0x6264, 16));
        entries += Element(0xAE, Uint(0xD7, t + 1) + Uint(0x73C5, t + 1) + Uint(0x83, 2) + Uint(0x88, t == 0 ? 1 : 0) +
                                     Element(0x86, "A_PCM/INT/LIT") + Element(0x22B59C, tracks[t].language) +
                                     Element(0x536E, tracks[t].name) + audio);
    }
    std::string clusters;
    for (int s = 0; s < seconds; ++s) {
        std::string blocks;
        for (size_t t = 0; t < tracks.size(); ++t) {
            std::string block;
            block += static_cast<char>(0x80 | (t + 1));  // track number
            block += std::string("\x00\x00\x80", 3);     // at the cluster's time, a key frame
            for (int i = 0; i < kRate; ++i) {
                const double x = std::sin(2 * M_PI * tracks[t].frequency * (s * kRate + i) / kRate);
                const auto sample = static_cast<int16_t>(x * 8000);
                block += static_cast<char>(sample & 0xff);
                block += static_cast<char>((sample >> 8) & 0xff);
            }
            blocks += Element(0xA3, block);
        }
        clusters += Element(0x1F43B675, Uint(0xE7, static_cast<uint64_t>(s) * 1000) + blocks);
    }
    return ebml + Element(0x18538067, info + Element(0x1654AE6B, entries) + clusters);
}

}  // namespace castora::test

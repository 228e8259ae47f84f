#pragma once
// Small media files made on the spot for the player to open over a loopback server.
#include <string>

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

}  // namespace castora::test

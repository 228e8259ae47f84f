#include "support/Wav.h"

#include <cmath>
#include <cstdint>

namespace castora::test {

namespace {
void Put32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
void Put16(std::string& out, uint16_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>(v >> 8));
}
}  // namespace

std::string MakeWav(double seconds, int sampleRate, double frequency) {
    const auto samples = static_cast<uint32_t>(seconds * sampleRate);
    const uint32_t dataBytes = samples * 2;
    std::string out;
    out.reserve(44 + dataBytes);
    out += "RIFF";
    Put32(out, 36 + dataBytes);
    out += "WAVEfmt ";
    Put32(out, 16);
    Put16(out, 1);  // PCM
    Put16(out, 1);  // mono
    Put32(out, static_cast<uint32_t>(sampleRate));
    Put32(out, static_cast<uint32_t>(sampleRate) * 2);
    Put16(out, 2);
    Put16(out, 16);
    out += "data";
    Put32(out, dataBytes);
    const double step = 2 * M_PI * frequency / sampleRate;
    for (uint32_t i = 0; i < samples; ++i)
        Put16(out, static_cast<uint16_t>(static_cast<int16_t>(8000 * std::sin(step * i))));
    return out;
}

}  // namespace castora::test

#pragma once
#include <string>

namespace castora::test {

// A mono 16-bit PCM WAV file, in memory: a sine tone of the given length.
std::string MakeWav(double seconds, int sampleRate = 8000, double frequency = 440.0);

}  // namespace castora::test

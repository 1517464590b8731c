// The virtual appliance's capture card: its test signals, shared with the tests that check them.
#pragma once

#include <math.h>
#include <stdint.h>

namespace sim {

// The card as the program opens it, 48 kHz stereo S24_3LE, fed in blocks of 10 ms.
constexpr const char* kAudioCardName = "mvnhdmisnd";
constexpr int kAudioRate = 48000;
constexpr int kAudioBlockFrames = 480;
constexpr int kAudioBlockBytes = kAudioBlockFrames * 2 * 3;

// One channel of a test signal: a sine tone of `hz` at `dbfs` below 24-bit full scale.
struct AudioTone {
	double hz;
	double dbfs;
};

// HDMI input: 1 kHz at -20 dBFS left, 2 kHz at -20 dBFS right. Analog input: 500 Hz at
// -12 dBFS left, 3 kHz at -12 dBFS right. Every tone completes whole periods in one block
// (48, 24, 96 and 16 frames), so the blocks join without a step even when some are dropped.
constexpr AudioTone kHdmiTones[2] = {{1000.0, -20.0}, {2000.0, -20.0}};
constexpr AudioTone kAnalogTones[2] = {{500.0, -12.0}, {3000.0, -12.0}};
// Longest period of either signal, in frames.
constexpr int kAudioSignalPeriod = 96;

// The 24-bit sample value of channel `channel` (0 left, 1 right) at frame `frame` of a block.
inline int32_t audio_test_sample(bool hdmi, int channel, int frame)
{
	const AudioTone& tone = (hdmi ? kHdmiTones : kAnalogTones)[channel];
	double amplitude = floor(8388608.0 * pow(10.0, tone.dbfs / 20.0) + 0.5);
	double phase = 2.0 * M_PI * tone.hz * (frame % kAudioBlockFrames) / kAudioRate;
	return static_cast<int32_t>(lround(amplitude * sin(phase)));
}

}  // namespace sim

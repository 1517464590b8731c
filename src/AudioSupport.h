// ALSA capture of the appliance's audio card and the NDI audio frame it fills.
#pragma once

#include <alsa/asoundlib.h>

#include <Processing.NDI.Lib.h>

// Capture format of the card: 48 kHz stereo, packed signed 24-bit little-endian.
static const snd_pcm_format_t PcmFormat = SND_PCM_FORMAT_S24_3LE;
static const unsigned int AudioSampleRate = 48000;
static const unsigned int NumChannelsPerAudioDevice = 2;

// Frames per read (10 ms), and the raw and float buffer sizes that follow from it.
static const int AudioFramesPerRead = 480;
static const int AudioRawBufferBytes = AudioFramesPerRead * 2 * 3;
static const int AudioFloatSamples = AudioFramesPerRead * 2;
static const snd_pcm_uframes_t AudioPeriodFrames = 2880;

// AudioSupport: the ALSA side of the audio thread. It holds the card name, the open capture
// handle and the NDI audio frame descriptor that every send reuses. Used only by the audio
// thread of NdiTransmitter, which owns the buffers the descriptor points at.
class AudioSupport {
public:
	AudioSupport();

	// The signed 24-bit little-endian sample at byte frm_idx * 2880 + frm_inner_idx * 3.
	int getLeS24(const unsigned char* p_data_first, int frm_idx, int frm_inner_idx);
	// Applies the hardware parameters; 0, or the failing step's negative ALSA error code.
	int initialiseAudioDevice(snd_pcm_t* pCaptureHandle);

	// One blocking read of AudioFramesPerRead frames from the open handle into `raw`; the
	// result is also kept in numAudioFrames. After an error the card is re-prepared and the
	// call waits ReadRetryWaitUs, so a card that keeps failing cannot make the caller spin.
	snd_pcm_sframes_t readBlock(unsigned char* raw);
	// Converts one raw block (AudioFloatSamples interleaved samples) to NDI floats with the
	// fixed gain: full scale becomes +-5.0.
	void convertBlock(const unsigned char* raw, float* out);

	static const unsigned int ReadRetryWaitUs = 10000;

	char AlsaSndCardDeviceName[30];
	NDIlib_audio_frame_interleaved_32f_t NDI_audio_frame;
	snd_pcm_t* m_pHeadsetAudioCaptureHandle;
	snd_pcm_sframes_t numAudioFrames;
};

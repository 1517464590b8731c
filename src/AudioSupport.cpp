// AudioSupport: ALSA capture set-up and sample conversion for the audio thread.
#include "AudioSupport.h"

#include <alloca.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

// The raw block is 2^23-scaled; m_volume / 100.0 is the gain applied on top (5.0).
static const float divisor = 8388608.0f;
static const int m_volume = 500;

AudioSupport::AudioSupport()
	: NDI_audio_frame(AudioSampleRate, NumChannelsPerAudioDevice, 0, NDIlib_send_timecode_synthesize, nullptr),
	  m_pHeadsetAudioCaptureHandle(nullptr), numAudioFrames(0)
{
	memset(AlsaSndCardDeviceName, 0, sizeof(AlsaSndCardDeviceName));
	strncpy(AlsaSndCardDeviceName, "default:CARD=mvnhdmisnd", sizeof(AlsaSndCardDeviceName) - 1);
}

int AudioSupport::getLeS24(const unsigned char* p_data_first, int frm_idx, int frm_inner_idx)
{
	const unsigned char* p = p_data_first + static_cast<ptrdiff_t>(frm_idx) * AudioRawBufferBytes +
	                           static_cast<ptrdiff_t>(frm_inner_idx) * 3;
	uint32_t value = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
	                 (static_cast<uint32_t>(p[2]) << 16);
	// Sign-extend bit 23 without shifting into the sign bit of an int.
	if (value & 0x800000u)
		value |= 0xFF000000u;
	return static_cast<int32_t>(value);
}

int AudioSupport::initialiseAudioDevice(snd_pcm_t* pCaptureHandle)
{
	snd_pcm_hw_params_t* params = static_cast<snd_pcm_hw_params_t*>(alloca(snd_pcm_hw_params_sizeof()));
	memset(params, 0, snd_pcm_hw_params_sizeof());

	int err = snd_pcm_hw_params_any(pCaptureHandle, params);
	if (err < 0) {
		fprintf(stderr, "'snd_pcm_hw_params_any' failed: %s\n", snd_strerror(err));
		return err;
	}
	err = snd_pcm_hw_params_set_access(pCaptureHandle, params, SND_PCM_ACCESS_RW_INTERLEAVED);
	if (err < 0) {
		fprintf(stderr, "'snd_pcm_hw_params_set_access' failed: %s\n", snd_strerror(err));
		return err;
	}
	err = snd_pcm_hw_params_set_format(pCaptureHandle, params, PcmFormat);
	if (err < 0) {
		fprintf(stderr, "'snd_pcm_hw_params_set_format' failed: %s\n", snd_strerror(err));
		return err;
	}
	err = snd_pcm_hw_params_set_channels(pCaptureHandle, params, NumChannelsPerAudioDevice);
	if (err < 0) {
		fprintf(stderr, "'snd_pcm_hw_params_set_channels' failed: %s\n", snd_strerror(err));
		return err;
	}
	// Exactly 48 kHz: the NDI frames announce that rate, a neighbour would play off-pitch.
	err = snd_pcm_hw_params_set_rate(pCaptureHandle, params, AudioSampleRate, 0);
	if (err < 0) {
		fprintf(stderr, "'snd_pcm_hw_params_set_rate' failed: %s\n", snd_strerror(err));
		return err;
	}
	snd_pcm_uframes_t period = AudioPeriodFrames;
	err = snd_pcm_hw_params_set_period_size_near(pCaptureHandle, params, &period, nullptr);
	if (err < 0) {
		fprintf(stderr, "'snd_pcm_hw_params_set_period_size_near' failed: %s\n", snd_strerror(err));
		return err;
	}
	err = snd_pcm_hw_params(pCaptureHandle, params);
	if (err < 0) {
		fprintf(stderr, "'snd_pcm_hw_params' failed: %s\n", snd_strerror(err));
		return err;
	}
	return 0;
}

snd_pcm_sframes_t AudioSupport::readBlock(unsigned char* raw)
{
	numAudioFrames = snd_pcm_readi(m_pHeadsetAudioCaptureHandle, raw, AudioFramesPerRead);
	if (numAudioFrames > 0)
		return numAudioFrames;

	// An overrun (-EPIPE) or suspend leaves the card stopped until it is prepared again;
	// anything recover cannot handle gets a plain prepare. The wait keeps a card that fails
	// every read, or one that reports no data, from turning this loop into a busy spin.
	if (numAudioFrames < 0) {
		int err = snd_pcm_recover(m_pHeadsetAudioCaptureHandle, static_cast<int>(numAudioFrames), 1);
		if (err < 0)
			snd_pcm_prepare(m_pHeadsetAudioCaptureHandle);
	}
	usleep(ReadRetryWaitUs);
	return numAudioFrames;
}

void AudioSupport::convertBlock(const unsigned char* raw, float* out)
{
	for (int i = 0; i < AudioFloatSamples; i++)
		out[i] = static_cast<float>(getLeS24(raw, 0, i) / divisor * (m_volume / 100.0));
}

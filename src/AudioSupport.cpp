// AudioSupport: ALSA capture set-up and sample conversion for the audio thread.
#include "AudioSupport.h"

#include <stdio.h>
#include <string.h>

AudioSupport::AudioSupport()
	: NDI_audio_frame(AudioSampleRate, NumChannelsPerAudioDevice, 0, NDIlib_send_timecode_synthesize, nullptr),
	  m_pHeadsetAudioCaptureHandle(nullptr), numAudioFrames(0)
{
	memset(AlsaSndCardDeviceName, 0, sizeof(AlsaSndCardDeviceName));
	strncpy(AlsaSndCardDeviceName, "default:CARD=mvnhdmisnd", sizeof(AlsaSndCardDeviceName) - 1);
}

int AudioSupport::getLeS24(const unsigned char* p_data_first, int frm_idx, int frm_inner_idx)
{
	(void)p_data_first;  // Not built yet: sample decoding.
	(void)frm_idx;
	(void)frm_inner_idx;
	return 0;
}

int AudioSupport::initialiseAudioDevice(snd_pcm_t* pCaptureHandle)
{
	(void)pCaptureHandle;  // Not built yet: hardware parameters.
	return 0;
}

// NdiTransmitter: encoder device, frame acquisition, send queues, NDI sender and live settings.
#include "NdiTransmitter.h"

#include <chrono>
#include <cmath>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "SplashScreenHandler.h"
#include "Utils.h"
#include "jsonstring.h"
#include "mervane_av_format.h"
#include "vexo_path.h"

// NDI configuration vendor block; the identifier is the maker's NDI vendor GUID.
static const char* const kVendorBlock = "\"vendor\":{\"name\":\"Mer-Vane\",\"id\":\"5E0C7A2B-41D9-4F36-9A8E-3B17C06D2F54\"}";

NdiTransmitter::NdiTransmitter()
	: p_config_json(kVendorBlock), ndi_tx(nullptr, nullptr, true, true), p_failover_source(nullptr, nullptr)
{
}

NdiTransmitter::~NdiTransmitter() = default;

// ---------------------------------------------------------------------------------------
// Encoder device and encode start/stop

void NdiTransmitter::map_NdiTransmitter_mem(int map_fd)
{
	(void)map_fd;  // Not built yet: the encoder device is opened by the video pipeline.
}

void NdiTransmitter::unmap_NdiTransmitter_mem()
{
	// Not built yet: the encoder device is closed by the video pipeline.
}

void NdiTransmitter::start_encode(int vid_format, int video_uv_vu_en)
{
	(void)vid_format;  // Not built yet: programming the encoder and starting the threads.
	(void)video_uv_vu_en;
}

void NdiTransmitter::stop_encode()
{
	// Not built yet: stopping and joining the encoding threads.
}

void NdiTransmitter::setup_video_frame(int vid_format)
{
	(void)vid_format;  // Not built yet: filling the frame descriptions.
}

void NdiTransmitter::startencodeThreads()
{
	encodeRunning = true;
}

void NdiTransmitter::stopencodeThreads()
{
	encodeRunning = false;
}

// ---------------------------------------------------------------------------------------
// Frame acquisition

void NdiTransmitter::wait_ndi_frame()
{
	// Not built yet: the acquisition thread.
}

bool NdiTransmitter::copy_full()
{
	return false;  // Not built yet: reading one full-stream frame.
}

void NdiTransmitter::copy_prvw()
{
	// Not built yet: reading one preview frame.
}

// ---------------------------------------------------------------------------------------
// Send queues and send threads

void NdiTransmitter::queue_frame(const std::shared_ptr<frame_t>& frame, bool prvw)
{
	(void)frame;  // Not built yet: the bounded send queues.
	(void)prvw;
}

void NdiTransmitter::send_full()
{
	// Not built yet: the full-stream send thread.
}

void NdiTransmitter::send_prvw()
{
	// Not built yet: the preview send thread.
}

void NdiTransmitter::add_frame(std::shared_ptr<frame_t> frame, bool prvw)
{
	(void)frame;  // Not built yet: handing one frame to the runtime.
	(void)prvw;
}

void NdiTransmitter::creat_encode_threads()
{
	// Not built yet: starting the encoding threads.
}

void NdiTransmitter::distroy_encode_threads()
{
	// Not built yet: joining the encoding threads.
}

// ---------------------------------------------------------------------------------------
// NDI sender

void NdiTransmitter::creat_ndi_tx_instance()
{
	// Not built yet: the sender itself; only the creation flag is kept for the main loop.
	NDITxCreated = true;
}

void NdiTransmitter::distroy_ndi_tx_instance()
{
	// Not built yet: the sender itself; only the creation flag is kept for the main loop.
	NDITxCreated = false;
}

bool NdiTransmitter::check_source_name_None()
{
	return true;  // Not built yet: the failover file.
}

bool NdiTransmitter::get_source_data(const std::string& filename, std::string& data)
{
	(void)filename;  // Not built yet: the failover file.
	(void)data;
	return false;
}

// ---------------------------------------------------------------------------------------
// Live settings

static const char* const kLiveEncSettingsFile = "/etc/mervane-enc1-settings.json";
static const char* const kLiveDeviceSettingsFile = "/etc/mervane-device-settings.json";

// Encoder device requests sent by the settings thread, and their fixed quality values.
static const unsigned long kLiveReqQualitySelect = 13;
static const unsigned long kLiveReqQualityFactor = 14;
static const unsigned long kLiveReqProgramRate = 5;
static const unsigned long kLiveReqPreviewRate = 6;
static const int kLiveQualitySelect = 0;
static const int kLiveQualityFactor = 62;

// Bytes per second behind the starting targets: 10 Mbit/s preview, 100 Mbit/s program.
static const float kLivePreviewBytesPerSecond = 1250000.0f;
static const float kLiveProgramBytesPerSecond = 12500000.0f;
static const float kLiveBytesPerMegabit = 125000.0f;

int NdiTransmitter::frames_per_second(const NDIlib_video_frame_v2_t& frame)
{
	if (frame.frame_rate_D == 0)
		return 0;
	return frame.frame_rate_N / frame.frame_rate_D;
}

float NdiTransmitter::frame_target(float bytes_per_second, int fps)
{
	// A description without a rate has no per-frame size; 0 rather than a division by zero.
	if (fps <= 0)
		return 0.0f;
	return bytes_per_second / static_cast<float>(fps);
}

float NdiTransmitter::manual_program_target(int mbps, int fps_prog, bool interlaced)
{
	float target = frame_target(static_cast<float>(mbps) * kLiveBytesPerMegabit, fps_prog);
	// Interlaced frames are single fields, two per frame period.
	if (interlaced)
		target = target / 2.0f;
	return target;
}

int NdiTransmitter::target_to_int(double target)
{
	// A huge manual rate must not overflow the conversion: the target saturates instead.
	if (std::isnan(target))
		return 0;
	if (target <= static_cast<double>(INT_MIN))
		return INT_MIN;
	if (target >= static_cast<double>(INT_MAX))
		return INT_MAX;
	return static_cast<int>(target);
}

int NdiTransmitter::analog_in_gain_from_setting(int setting)
{
	return target_to_int(setting * 1.2);
}

int NdiTransmitter::analog_out_gain_from_setting(int setting)
{
	// The codec's DAC register attenuates: setting 100 is 0 (loudest), setting 0 is 128.
	return target_to_int((100.0 - setting) * 1.28);
}

void NdiTransmitter::encode_settings()
{
	const std::string enc_file = vexo_path(kLiveEncSettingsFile);
	const std::string device_file = vexo_path(kLiveDeviceSettingsFile);

	int prev_target = target_to_int(frame_target(kLivePreviewBytesPerSecond, frames_per_second(prev_info_frame)));
	float prog_target = frame_target(kLiveProgramBytesPerSecond, frames_per_second(prog_info_frame));
	puts("encode_settings");

	do {
		prev_target = target_to_int(frame_target(kLivePreviewBytesPerSecond, frames_per_second(prev_info_frame)));

		std::string mode;
		std::string value;
		if (GetJsonString(enc_file, "BandwidthMode", mode)) {
			if (mode == "Manual" && GetJsonString(enc_file, "BandwidthSelect", value))
				prog_target = manual_program_target(atoi(value.c_str()), frames_per_second(prog_info_frame),
				                                    interlaced_field);
			else if (ndi_tx_inst != nullptr)  // no sender, no recommendation: keep the last target
				prog_target = static_cast<float>(NDIlib_send_get_target_frame_size(ndi_tx_inst, &prog_info_frame));
		}
		bit_rate.store(target_to_int(prog_target), std::memory_order_relaxed);

		int q_sel = kLiveQualitySelect;
		int q_factor = kLiveQualityFactor;
		int prog_rate = bit_rate.load(std::memory_order_relaxed);
		int prev_rate = prev_target;
		ioctl(m_mervanespeedhqDevice, kLiveReqQualitySelect, &q_sel);
		ioctl(m_mervanespeedhqDevice, kLiveReqQualityFactor, &q_factor);
		ioctl(m_mervanespeedhqDevice, kLiveReqProgramRate, &prog_rate);
		ioctl(m_mervanespeedhqDevice, kLiveReqPreviewRate, &prev_rate);

		if (GetJsonString(enc_file, "NDIAudio", value)) {
			if (value == "NDIAudioMute") {
				if (audio_en) {
					puts("Encode Audio Disabled");
					audio_en = false;
					if (send_audio_frame_thread.joinable())
						send_audio_frame_thread.join();
				}
			} else if (!audio_en) {
				puts("Encode Audio Enabled");
				if (prog_info_frame.frame_rate_N != 0 && prog_info_frame.frame_rate_D != 0) {
					puts("Encode Audio active");
					// A thread that ended on its own (card missing) is still joinable.
					if (send_audio_frame_thread.joinable())
						send_audio_frame_thread.join();
					audio_en = true;
					send_audio_frame_thread = std::thread(&NdiTransmitter::send_audio_frame, this);
				}
			}
			if (value == "NDIAudioMain")
				AudioInSel.store(1, std::memory_order_relaxed);
			else if (value == "NDIAudioAnalog")
				AudioInSel.store(0, std::memory_order_relaxed);
		}

		if (GetJsonString(device_file, "AnalogAudioInGain", value))
			AnalogAudioInGain.store(analog_in_gain_from_setting(atoi(value.c_str())), std::memory_order_relaxed);
		if (GetJsonString(device_file, "AnalogAudioOutGain", value))
			AnalogAudioOutGain.store(analog_out_gain_from_setting(atoi(value.c_str())), std::memory_order_relaxed);

		std::this_thread::sleep_for(std::chrono::seconds(1));
	} while (encodeRunning);

	puts("encode_settings done");
}

// Web UI names of the formats that can be forced; matched exactly.
static const struct {
	const char* name;
	int code;
} kLiveWebUIFormats[] = {
	{"2160p30", video_format_2160_30p},       {"2160p29.97", video_format_2160_29p},
	{"2160p25", video_format_2160_25p},       {"2160p24", video_format_2160_24p},
	{"2160p23.97", video_format_2160_23_95p}, {"1080p60", video_format_1080_60p},
	{"1080p59.94", video_format_1080_59p},    {"1080p50", video_format_1080_50p},
	{"1080p30", video_format_1080_30p},       {"1080p29.97", video_format_1080_29p},
	{"1080p25", video_format_1080_25p},       {"1080p24", video_format_1080_24p},
	{"1080p23.97", video_format_1080_23_95p}, {"1080i60", video_format_1080_30i},
	{"1080i59.94", video_format_1080_29i},    {"1080i50", video_format_1080_25i},
	{"720p60", video_format_720_60p},         {"720p59.94", video_format_720_59p},
	{"720p50", video_format_720_50p},
};

int NdiTransmitter::GetWebUIVideoFormat()
{
	std::string value;
	if (!GetJsonString(vexo_path(kLiveEncSettingsFile), "VideoFormat", value) || value == "AUTO")
		return video_format_auto;
	for (const auto& format : kLiveWebUIFormats) {
		if (value == format.name)
			return format.code;
	}
	// An unknown name forces no usable format: encoding stays off rather than guessing.
	return video_format_not_valid;
}

int NdiTransmitter::GetWebUIVideoCSC()
{
	std::string value;
	if (GetJsonString(vexo_path(kLiveEncSettingsFile), "VideoCSC", value) && value == "yvu")
		return 1;
	return 0;
}

int NdiTransmitter::GetWebUIVideoSampleRate()
{
	std::string value;
	if (GetJsonString(vexo_path(kLiveEncSettingsFile), "VideoSampleRate", value) && value == "420")
		return 1;
	return 0;
}

// ---------------------------------------------------------------------------------------
// Tally

void NdiTransmitter::get_tally()
{
	// At least one pass, so a run always refreshes the state once.
	do {
		// Without a sender (its creation failed) there is nothing to ask; the lights keep
		// the last state until a run with a sender.
		if (ndi_tx_inst != nullptr) {
			NDIlib_tally_t tally = p_tally.load(std::memory_order_relaxed);
			NDIlib_send_get_tally(ndi_tx_inst, &tally, 1000);
			p_tally.store(tally, std::memory_order_relaxed);
		}
		std::this_thread::sleep_for(std::chrono::milliseconds(200));
	} while (tally_running);
}

// ---------------------------------------------------------------------------------------
// Audio

void NdiTransmitter::send_audio_frame()
{
	AudioSupport& audio = ndi_AudioSupport;
	const char* card = audio.AlsaSndCardDeviceName;

	audio.NDI_audio_frame.sample_rate = AudioSampleRate;
	audio.NDI_audio_frame.no_channels = NumChannelsPerAudioDevice;
	audio.NDI_audio_frame.no_samples = AudioFramesPerRead;
	std::unique_ptr<float[]> samples(new float[AudioFloatSamples]);
	std::unique_ptr<unsigned char[]> raw(new unsigned char[AudioRawBufferBytes]);
	audio.NDI_audio_frame.p_data = samples.get();

	// Without a sender there is nowhere to send: leave the card closed and wait for the
	// flag to be cleared, as after a failed open.
	if (ndi_tx_inst == nullptr) {
		while (audio_en)
			std::this_thread::sleep_for(std::chrono::milliseconds(10));
		audio.NDI_audio_frame.p_data = nullptr;
		return;
	}

	int err = snd_pcm_open(&audio.m_pHeadsetAudioCaptureHandle, card, SND_PCM_STREAM_CAPTURE, 0);
	if (err < 0) {
		fprintf(stderr, "Failed to open headset audio device '%s': %s\n", card, snd_strerror(err));
		audio.m_pHeadsetAudioCaptureHandle = nullptr;
		audio.NDI_audio_frame.p_data = nullptr;
		return;
	}
	printf("audio device '%s' is ready\n", card);

	err = audio.initialiseAudioDevice(audio.m_pHeadsetAudioCaptureHandle);
	if (err < 0) {
		fprintf(stderr, "Failed to initialise headset audio device '%s': %s\n", card, snd_strerror(err));
		snd_pcm_close(audio.m_pHeadsetAudioCaptureHandle);
		audio.m_pHeadsetAudioCaptureHandle = nullptr;
		audio.NDI_audio_frame.p_data = nullptr;
		return;
	}
	printf("initialiseAudioDevice(%s) done\n", card);

	while (audio_en) {
		if (audio.readBlock(raw.get()) != AudioFramesPerRead)
			continue;  // short or failed read: the block is dropped
		audio.convertBlock(raw.get(), samples.get());
		NDIlib_util_send_send_audio_interleaved_32f(ndi_tx_inst, &audio.NDI_audio_frame);
	}

	audio.NDI_audio_frame.p_data = nullptr;
	samples.reset();
	raw.reset();
	if (audio.m_pHeadsetAudioCaptureHandle != nullptr) {
		err = snd_pcm_close(audio.m_pHeadsetAudioCaptureHandle);
		audio.m_pHeadsetAudioCaptureHandle = nullptr;
		if (err < 0)
			fprintf(stderr, "Failed to close headset audio device '%s': %s\n", card, snd_strerror(err));
		else
			puts("sound card shut down successfully");
	}
}

// ---------------------------------------------------------------------------------------
// Stills

bool NdiTransmitter::sentSplashScreen()
{
	return false;  // Not built yet: sending the chosen still.
}

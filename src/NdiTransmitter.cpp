// NdiTransmitter: encoder device, frame acquisition, send queues, NDI sender and live settings.
#include "NdiTransmitter.h"

#include <fcntl.h>
#include <stdio.h>
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

void NdiTransmitter::encode_settings()
{
	// Not built yet: the settings thread.
}

int NdiTransmitter::GetWebUIVideoFormat()
{
	return video_format_auto;  // Not built yet: the web UI's forced format.
}

int NdiTransmitter::GetWebUIVideoCSC()
{
	return 0;  // Not built yet: the web UI's chroma order.
}

int NdiTransmitter::GetWebUIVideoSampleRate()
{
	return 0;  // Not built yet: the web UI's 4:2:0 choice.
}

// ---------------------------------------------------------------------------------------
// Tally

void NdiTransmitter::get_tally()
{
	// Not built yet: the tally thread.
}

// ---------------------------------------------------------------------------------------
// Audio

void NdiTransmitter::send_audio_frame()
{
	// Not built yet: the audio thread.
}

// ---------------------------------------------------------------------------------------
// Stills

bool NdiTransmitter::sentSplashScreen()
{
	static const char* const kStillChoiceFile = "/etc/mervane-enc1-settings.json";
	SplashScreenHandler& store = SplashScreenHandler::GetInstance();

	// Reloaded at every call, so a new choice or a new capture shows within one pass. With
	// the key absent the buffers keep what they hold.
	std::string choice;
	if (GetJsonString(vexo_path(kStillChoiceFile), "ScreenSaverMode", choice)) {
		int nMode = black_screen;  // a word the web interface does not use shows black
		Utils::GetInstance().GetCaptureMode(choice.c_str(), nMode);
		store.UpdateSplashScreenBuffer(nMode);
	}

	if (ndi_tx_inst == nullptr) {
		puts("NDI sender instance is not valid");
		return false;
	}

	NDIlib_video_frame_v2_t still(0, 0, NDIlib_FourCC_video_type_UYVY, static_cast<int>(m_nFrameRateN),
	                              static_cast<int>(m_nFrameRateD), 16.0f / 9.0f,
	                              NDIlib_frame_format_type_progressive, NDIlib_send_timecode_synthesize,
	                              nullptr, 0, nullptr, 0);
	bool sent = false;
	// The store's buffers outlive the asynchronous send: they are only reloaded in place at
	// the next call, one pass later.
	if (store.FilleSplashScreenData(still, false)) {
		NDIlib_send_send_video_async_v2(ndi_tx_inst, &still);
		sent = true;
	}
	if (store.FilleSplashScreenData(still, true)) {
		NDIlib_send_send_video_async_v2(ndi_tx_inst, &still);
		sent = true;
	}
	return sent;
}

// vexoenc: start-up, the one-second supervision loop, the dashboard record and shutdown.
#include "main.h"

#include <atomic>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "SplashScreenConsts.h"
#include "Utils.h"
#include "frame_heap.h"
#include "jsonstring.h"
#include "mervane_av_format.h"
#include "vexo_path.h"

// Built before main in this order, destroyed in reverse after it returns. A construction that
// throws ends the program before main, as any start-up failure ends it.
// NOLINTBEGIN(cert-err58-cpp)
adv7619 m_adv7619;
NdiTransmitter m_NdiTransmitter;
Camcontrol m_Camcontrol;
// NOLINTEND(cert-err58-cpp)

int encode_started = 0;
int vexo_vid_format = 0;
int vexo_vid_format_last = 0;
bool det_mode = false;
bool det_mode_last = false;
int get_connected = 0;

static std::atomic<bool> main_exit_loop{false};

static const char* const kStartMarkerFile = "/tmp/mv_start_test";
static const char* const kDashboardPipe = "/tmp/mervane-dashboard-pipe";
static const size_t kStartMarkerSize = 20;

static void sigint_handler(int)
{
	main_exit_loop = true;
}

// The one-second pause between passes. SIGINT may be delivered to any of the program's
// threads, and then it does not cut this thread's sleep short, so the flag is looked at
// every tenth of a second.
static void pass_pause()
{
	for (int i = 0; i < 10 && !main_exit_loop; i++)
		usleep(100000);
}

std::string dashboard_record(int connected, int vid_format, int pix_format_420)
{
	const char* sampling = pix_format_420 == 1 ? "-420" : "-422";
	std::string input;
	if (connected == 0) {
		input = "NO INPUT/";
	} else if (const char* text = video_format_name(vid_format)) {
		input = std::string(text) + sampling;
	} else if (vid_format == video_format_not_valid) {
		input = "VIDEO FORMAT INVALID/";
	} else {
		input = std::string("VIDEO FORMAT INVALID/") + sampling;
	}
	return "{\"dashboard_vid_input\":\"" + input + "\"}";
}

void updateWebUIStatus()
{
	std::string record = dashboard_record(get_connected, vexo_vid_format, m_NdiTransmitter.encoder_pix_format_420);

	// Opened without blocking: with no reader on the pipe the open fails at once and this
	// pass's record is skipped, instead of holding the supervision loop until one appears.
	int fd = open(vexo_path(kDashboardPipe).c_str(), O_WRONLY | O_NONBLOCK | O_CREAT | O_TRUNC, 0644);
	if (fd < 0)
		return;
	ssize_t written = write(fd, record.data(), record.size());
	(void)written;  // A record that does not fit is lost, like one without a reader.
	close(fd);
}

// Creates the NDI sender and starts the camera controller on it.
static void create_sender()
{
	m_NdiTransmitter.creat_ndi_tx_instance();
	m_Camcontrol.ndi_tx_inst = m_NdiTransmitter.ndi_tx_inst;
	m_Camcontrol.init_Camcontrol();
}

// Stops the camera controller and destroys the NDI sender, when one exists.
static void tear_down_sender()
{
	if (!m_NdiTransmitter.NDITxCreated)
		return;
	puts("distroy_ndi_tx_instance");
	m_Camcontrol.deinit_Camcontrol();
	m_NdiTransmitter.distroy_ndi_tx_instance();
}

static void check_start_marker()
{
	char* buffer = new char[kStartMarkerSize]();
	puts("Looking for file");
	std::string marker = vexo_path(kStartMarkerFile);
	if (loadFile(marker.c_str(), buffer, kStartMarkerSize) != 0) {
		puts("file found");
	} else {
		puts("file not found");
		m_adv7619.app_start();
		snprintf(buffer, kStartMarkerSize, "vexoenc started");
		saveFile(marker.c_str(), buffer, kStartMarkerSize);
		puts("save file");
	}
	delete[] buffer;
}

// Stops encoding when it runs (source lost, shutdown).
static void stop_encoding()
{
	if (encode_started == 1) {
		encode_started = 0;
		puts("STOP NDI Encode");
		m_NdiTransmitter.stop_encode();
	}
}

// One pass with a source connected: sender, format, encode stop/start, capture requests.
static void connected_pass()
{
	if (!m_NdiTransmitter.NDITxCreated)
		create_sender();

	// A table load that failed (bus node gone, receiver not answering) left the receiver
	// unprogrammed, so no format could ever be detected: it is loaded again once the
	// receiver answers.
	if (!m_adv7619.config_loaded)
		m_adv7619.adv7619_config(det_mode_last);

	int get_format = m_adv7619.adv7619_get_format();
	int web_format = m_NdiTransmitter.GetWebUIVideoFormat();
	if (web_format == video_format_auto) {
		if (get_format != video_format_detect_failed)
			vexo_vid_format = get_format;
	} else {
		vexo_vid_format = web_format;
	}
	det_mode = video_format_is_4k(vexo_vid_format);

	if (encode_started == 1 && (vexo_vid_format != vexo_vid_format_last || vexo_vid_format == 0)) {
		encode_started = 0;
		printf("STOP NDI Encode %x\n", vexo_vid_format);
		m_NdiTransmitter.stop_encode();
	}

	if (vexo_vid_format != 0 && encode_started == 0) {
		m_NdiTransmitter.encoder_pix_format_420 =
			video_format_is_4k(vexo_vid_format) ? m_NdiTransmitter.GetWebUIVideoSampleRate() : 0;
		if (det_mode_last != det_mode) {
			m_adv7619.adv7619_config(det_mode);
			det_mode_last = det_mode;
		}
		encode_started = 1;
		printf("START NDI Encode with format %x\n", vexo_vid_format);
		puts(m_NdiTransmitter.encoder_pix_format_420 == 1 ? "PROG SR 420" : "PROG SR 422");
		usleep(1000000);
		m_NdiTransmitter.start_encode(vexo_vid_format, m_NdiTransmitter.GetWebUIVideoCSC());
	}

	vexo_vid_format_last = vexo_vid_format;

	if (Utils::GetInstance().CheckCaptureEnable(false)) {
		puts("Capture Request came. ");
		m_NdiTransmitter.m_bFullCaptureEnabled = true;
		m_NdiTransmitter.m_bPrvwCaptureEnabled = true;
	}
}

// One pass without a source: stop encoding, then keep the still going or make way for the
// failover source.
static void disconnected_pass()
{
	stop_encoding();

	if (m_NdiTransmitter.check_source_name_None()) {
		if (m_NdiTransmitter.NDITxCreated)
			m_NdiTransmitter.sentSplashScreen();
		else
			create_sender();
	} else {
		tear_down_sender();
	}
}

int main()
{
	// Every message reaches a log file, a pipe or the journal as soon as it is printed.
	setvbuf(stdout, nullptr, _IOLBF, 0);
	// Before any thread: frame buffers then come from the heap, never from fresh mappings.
	prepare_frame_heap();

	puts("Start Vexo 4k enc app");
	signal(SIGINT, sigint_handler);
	// A reader that leaves a pipe (the dashboard, or whatever reads standard output) must not
	// end the program: such a write fails with EPIPE and its record is lost, as with no reader.
	signal(SIGPIPE, SIG_IGN);
	// Likewise a write past the file size limit (a capture save) fails with EFBIG instead.
	signal(SIGXFSZ, SIG_IGN);

	check_start_marker();

	NDIlib_initialize();
	puts("init ndi");

	vexo_vid_format = 0;
	vexo_vid_format_last = 0;
	encode_started = 0;

	int m_memoryMapperFd = open(vexo_path("/dev/mem").c_str(), O_RDWR);
	puts("map_NdiTransmitter_mem");
	m_NdiTransmitter.map_NdiTransmitter_mem(m_memoryMapperFd);

	create_sender();

	m_adv7619.init_audinsel(m_memoryMapperFd);

	puts("adv7619_config()");
	m_adv7619.adv7619_config(false);
	det_mode_last = false;

	m_NdiTransmitter.sentSplashScreen();

	puts("start main_exit_loop");
	while (!main_exit_loop) {
		get_connected = m_adv7619.adv7619_get_connected();
		if (get_connected == 1)
			connected_pass();
		else if (get_connected == 0)
			disconnected_pass();

		m_adv7619.vexotally(m_NdiTransmitter.p_tally.load(std::memory_order_relaxed), encode_started != 0);
		m_adv7619.SetAnalogAudioInGain(m_NdiTransmitter.AnalogAudioInGain.load(std::memory_order_relaxed));
		m_adv7619.SetAnalogAudioOutGain(m_NdiTransmitter.AnalogAudioOutGain.load(std::memory_order_relaxed));
		m_adv7619.SetAudioInSel(m_NdiTransmitter.AudioInSel.load(std::memory_order_relaxed));
		updateWebUIStatus();
		pass_pause();
	}

	vexo_vid_format = 0;
	updateWebUIStatus();

	stop_encoding();

	tear_down_sender();

	puts("unmap_NdiTransmitter_mem");
	m_NdiTransmitter.unmap_NdiTransmitter_mem();

	m_adv7619.deinit_audinsel();

	if (m_memoryMapperFd >= 0)
		close(m_memoryMapperFd);

	puts("NDIlib_destroy()");
	NDIlib_destroy();

	puts("End Vexo 4k enc app");
	return 0;
}

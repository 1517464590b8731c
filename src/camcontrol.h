// Camcontrol: NDI PTZ metadata to VISCA, and the VISCA over IP server.
#pragma once

#include <atomic>
#include <netinet/in.h>
#include <stdint.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>

#include <Processing.NDI.Lib.h>

#include "visca.h"

// VISCA positions for NDI zoom values 0 (wide) to 1 (tele), in 29 steps.
static const uint16_t ntk_ptz_zoom_lut[30] = {
	0x0000, 0x16A1, 0x2063, 0x2628, 0x2A1D, 0x2D13, 0x2F6D, 0x3161, 0x330D, 0x3486,
	0x35D7, 0x3709, 0x3820, 0x3920, 0x3A0A, 0x3ADD, 0x3B9C, 0x3C46, 0x3CDC, 0x3D60,
	0x3DD4, 0x3E39, 0x3E90, 0x3EDC, 0x3F1E, 0x3F57, 0x3F8A, 0x3FB6, 0x3FDC, 0x4000,
};

#define VISCA_OVER_IP_PORT 52381

// The prepared answer to a VISCA over IP control command.
struct voip_control_command_str {
	uint8_t cmd[9] = {};
	uint8_t cmd_length = 9;
	bool new_cmd = false;
	sockaddr_in cliaddr = {};
	uint32_t sequence_number = 0;
};

// Camcontrol: the camera controller. Per NDI sender it starts the VISCA engine, the PTZ
// metadata thread (camcontrol_ndi) and the VISCA over IP receive thread (camcontrol_voip),
// and stops them before the sender goes. The PTZ thread is the only producer of command
// slots; the VISCA over IP thread executes its commands synchronously through the engine.
class Camcontrol {
public:
	Camcontrol();
	~Camcontrol();

	void init_Camcontrol();
	void deinit_Camcontrol();
	void get_ptz_settings();
	void camcontrol_ndi();
	void camcontrol_capture_ndi(NDIlib_metadata_frame_t* p_metadata);
	void camcontrol_ndi_result(NDIlib_frame_type_e frame_type);
	float get_float_signt(float input);
	float get_float_signp(float input);

	bool camcontrol_init_voip();
	void camcontrol_deinit_voip();
	void camcontrol_voip();
	void camcontrol_voip_datagram();
	void write_voip_command(uint8_t* data, uint16_t data_length, sockaddr_in rx_addr, uint32_t rx_sequence_number);
	void write_voip_inq_command(uint8_t* data, uint16_t data_length, sockaddr_in rx_addr,
	                            uint32_t rx_sequence_number);
	void sendto_ack_voip_tx(sockaddr_in rx_addr, uint32_t rx_sequence_number);
	void sendto_cmp_voip_tx(sockaddr_in rx_addr, uint32_t rx_sequence_number);
	void sendto_res_voip_tx(visca_inq_command& voip_cmd);

	bool ntsc_true = true;
	NDIlib_send_instance_t ndi_tx_inst = nullptr;
	NDIlib_metadata_frame_t ptz_cmd;
	visca m_visca;
	std::thread camcontrol_ndi_thread;
	std::atomic<bool> camcontrol_ndi_Running{true};
	bool camcontrol_focus_auto = true;  // Used by the PTZ thread only, like the two below.
	int camcontrol_man_focus_dist = 0;
	int distance_cal_last = 0;

	voip_control_command_str voip_control_command;
	std::atomic<bool> camcontrol_voip_Running{false};
	std::atomic<bool> camcontrol_voip_det_cmd{false};
	int sockfd = -1;
	std::thread camcontrol_voip_thread;
	sockaddr_in servaddr = {};
	sockaddr_in cliaddr = {};
	socklen_t cliaddr_len = 16;
	timeval read_timeout = {};
	unsigned char recv_buffer[1024] = {};
	uint16_t recv_payload_type = 0;
	uint16_t recv_payload_length = 0;
	uint32_t recv_sequence_number = 0;
	int recv_length = 0;

	// Declared for a discovery responder that is never run.
	int sockfd_search = -1;
	sockaddr_in servaddr_search = {};
	sockaddr_in cliaddr_search = {};
	sockaddr_in bcaddr = {};
	socklen_t cliaddr_search_len = 16;
	socklen_t bcaddr_len = 16;
	std::thread camcontrol_voip_search_thread;
};

// Camcontrol: NDI PTZ metadata to VISCA, and the VISCA over IP server.
#include "camcontrol.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <fstream>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <strings.h>
#include <unistd.h>

#include <rapidxml/rapidxml.hpp>

#include "thread_start.h"
#include "vexo_path.h"

namespace {

const char* const kPtzSettingsFile = "/etc/mervane-ptz-settings.json";
const size_t kSettingsBuffer = 50;
const int kVoipHeader = 8;
const int kViscaMax = 16;
// Receive queue of the VISCA over IP socket, in bytes: about 20 small datagrams (the kernel
// doubles the value and counts its own overhead, about 840 bytes each), which a controller's
// burst does not fill. Each queued command costs one camera exchange, so a flood beyond that
// is dropped by the kernel instead of being executed for seconds after it stopped.
const int kVoipReceiveBuffer = 8192;

// Float to int, truncating toward zero like a C cast, but defined for every input: NaN
// reads as 0 and values beyond the int range saturate. Receivers send arbitrary text.
int trunc_sat(float f)
{
	if (std::isnan(f))
		return 0;
	if (f >= 2147483647.0f)
		return INT_MAX;
	if (f <= -2147483648.0f)
		return INT_MIN;
	return static_cast<int>(f);
}

float clampf(float f, float lo, float hi)
{
	if (std::isnan(f))
		return 0.0f;
	return std::min(std::max(f, lo), hi);
}

const char* attr_text(rapidxml::xml_node<>* node, const char* name)
{
	rapidxml::xml_attribute<>* attr = node->first_attribute(name);
	return attr ? attr->value() : nullptr;
}

float attr_float(rapidxml::xml_node<>* node, const char* name, float absent)
{
	const char* text = attr_text(node, name);
	return text ? static_cast<float>(atof(text)) : absent;
}

// atoi without its undefined overflow: out-of-range text saturates.
int to_int(const char* text)
{
	long v = strtol(text, nullptr, 10);
	return static_cast<int>(std::clamp<long>(v, INT_MIN, INT_MAX));
}

int attr_int(rapidxml::xml_node<>* node, const char* name, int absent)
{
	const char* text = attr_text(node, name);
	return text ? to_int(text) : absent;
}

bool same_text(const char* a, const char* b)
{
	return a != nullptr && strcasecmp(a, b) == 0;
}

// Parameter bytes 4-7 of a direct command: the four nibbles of v, most significant first.
void put_nibbles(visca_command& slot, uint32_t v)
{
	slot.cmd[4] = static_cast<char>((v >> 12) & 0xF);
	slot.cmd[5] = static_cast<char>((v >> 8) & 0xF);
	slot.cmd[6] = static_cast<char>((v >> 4) & 0xF);
	slot.cmd[7] = static_cast<char>(v & 0xF);
}

// Length of the VISCA message of a command or inquiry datagram, its 0xFF included, or 0
// when the datagram has no byte 9, or no 0xFF within the datagram and the 16-byte record.
int voip_message_length(const uint8_t* data, int length)
{
	if (length < kVoipHeader + 2)
		return 0;
	int limit = std::min(length - kVoipHeader, kViscaMax);
	for (int i = 0; i < limit; ++i) {
		if (data[kVoipHeader + i] == 0xFF)
			return i + 1;
	}
	return 0;
}

// The parser recurses once per nesting level, so a deep enough frame would overflow the
// PTZ thread's stack. The number of element openings bounds the depth from above, whatever
// the text hides in attribute values or comments.
const int kMaxElementOpenings = 1000;

bool too_deep_for_parser(const std::string& text)
{
	int openings = 0;
	for (size_t i = 0; i + 1 < text.size(); ++i) {
		if (text[i] == '<' && text[i + 1] != '/' && ++openings > kMaxElementOpenings)
			return true;
	}
	return false;
}

void put_be32(uint8_t* out, uint32_t v)
{
	out[0] = static_cast<uint8_t>(v >> 24);
	out[1] = static_cast<uint8_t>(v >> 16);
	out[2] = static_cast<uint8_t>(v >> 8);
	out[3] = static_cast<uint8_t>(v);
}

}  // namespace

Camcontrol::Camcontrol()
{
	camcontrol_voip_Running = false;
	camcontrol_voip_det_cmd = false;
	cliaddr_len = 16;
	cliaddr_search_len = 16;
	bcaddr_len = 16;
}

Camcontrol::~Camcontrol()
{
	if (camcontrol_ndi_thread.joinable() || camcontrol_voip_thread.joinable())
		deinit_Camcontrol();
}

// ---- start and stop ------------------------------------------------------------------------

void Camcontrol::init_Camcontrol()
{
	if (camcontrol_ndi_thread.joinable() || camcontrol_voip_thread.joinable())
		deinit_Camcontrol();
	get_ptz_settings();
	m_visca.init_visca();  // Without a port the PTZ thread still runs; nothing is sent.
	camcontrol_ndi_Running = true;
	start_thread(camcontrol_ndi_thread, "camcontrol_ndi", &Camcontrol::camcontrol_ndi, this);
	camcontrol_init_voip();
}

void Camcontrol::deinit_Camcontrol()
{
	// The receive loop may sit in its 500 ms time-out: let it wind down while the engine and
	// the PTZ thread stop, so the whole stop takes one time-out rather than two. It is still
	// joined and its socket closed last.
	camcontrol_voip_Running = false;
	// The engine goes first, while the PTZ thread still signals its event.
	m_visca.deinit_visca();
	camcontrol_ndi_Running = false;
	if (camcontrol_ndi_thread.joinable())
		camcontrol_ndi_thread.join();
	camcontrol_deinit_voip();
}

void Camcontrol::get_ptz_settings()
{
	char ptz_viscaaddr_buff[kSettingsBuffer] = {};
	char ptz_viscabr_buff[kSettingsBuffer] = {};

	std::string data;
	{
		std::ifstream file(vexo_path(kPtzSettingsFile));
		file >> data;
	}
	for (char strip : {'"', '}', '{'})
		data.erase(std::remove(data.begin(), data.end(), strip), data.end());

	// The members are taken by position: address first, baud rate second.
	size_t found_comma = data.find(',');
	size_t found_hyf = data.find(':');
	size_t found_hyf2 = found_hyf == std::string::npos ? std::string::npos : data.find(':', found_hyf + 1);
	if (found_hyf != std::string::npos && found_comma != std::string::npos && found_comma > found_hyf) {
		std::string addr = data.substr(found_hyf + 1, found_comma - found_hyf - 1);
		// Longer values are cut to what the buffer holds.
		addr.copy(ptz_viscaaddr_buff, kSettingsBuffer - 1);
	}
	if (found_hyf2 != std::string::npos)
		data.substr(found_hyf2 + 1).copy(ptz_viscabr_buff, kSettingsBuffer - 1);

	m_visca.camAddress = static_cast<uint8_t>(to_int(ptz_viscaaddr_buff));
	if (strcmp(ptz_viscabr_buff, "9600") == 0)
		m_visca.camBr = B9600;
	else if (strcmp(ptz_viscabr_buff, "38400") == 0)
		m_visca.camBr = B38400;
}

// ---- NDI PTZ metadata ------------------------------------------------------------------------

void Camcontrol::camcontrol_ndi()
{
	puts("camcontrol_ndi");
	{
		// Every start of the controller puts the camera into auto focus.
		std::unique_lock<std::mutex> lock;
		int idx = m_visca.lock_cap_buffer(lock);
		m_visca.cam_focus_mode[idx].cmd[4] = 0x02;
		m_visca.cam_focus_mode[idx].cmd_fill = true;
	}
	camcontrol_focus_auto = true;

	while (camcontrol_ndi_Running) {
		NDIlib_frame_type_e frame_type = NDIlib_frame_type_none;
		if (ndi_tx_inst != nullptr) {
			frame_type = NDIlib_send_capture(ndi_tx_inst, &ptz_cmd, 500);
		} else {
			// No sender (its creation failed): the runtime must not see a null instance, so
			// keep the capture's pace and its signals without calling it.
			for (int i = 0; i < 50 && camcontrol_ndi_Running; ++i)
				std::this_thread::sleep_for(std::chrono::milliseconds(10));
		}
		camcontrol_ndi_result(frame_type);
	}

	m_visca.m_visca_ndi_event_cond = true;
	m_visca.signal_m_visca_ndi_event();
}

void Camcontrol::camcontrol_ndi_result(NDIlib_frame_type_e frame_type)
{
	if (frame_type == NDIlib_frame_type_metadata) {
		// Taken from the runtime in every case, acted on only while VISCA over IP is idle.
		if (!camcontrol_voip_det_cmd)
			camcontrol_capture_ndi(&ptz_cmd);
		if (ndi_tx_inst != nullptr)
			NDIlib_send_free_metadata(ndi_tx_inst, &ptz_cmd);
		m_visca.m_visca_ndi_event_cond = true;
	} else {
		m_visca.m_visca_ndi_event_cond = false;
	}
	m_visca.signal_m_visca_ndi_event();
}

float Camcontrol::get_float_signt(float input)
{
	if (input > 0.0f)
		return 1.0f;
	if (input < 0.0f)
		return -1.0f;
	return 0.0f;
}

float Camcontrol::get_float_signp(float input)
{
	if (input > 0.0f)
		return -1.0f;
	if (input < 0.0f)
		return 1.0f;
	return 0.0f;
}

namespace {

// One handler per PTZ element: it writes the element's VISCA bytes into command buffer `c`.
void ptz_zoom(Camcontrol& /*cc*/, rapidxml::xml_node<>* node, visca& v, int c)
{
	float zoom = clampf(attr_float(node, "zoom", 0.0f), 0.0f, 1.0f);
	int ntk_ptz_zoom_int = trunc_sat(zoom * 29.0f);
	put_nibbles(v.cam_zoom_direct[c], ntk_ptz_zoom_lut[ntk_ptz_zoom_int]);
	v.cam_zoom_direct[c].cmd_fill = true;
}

void ptz_zoom_speed(Camcontrol& /*cc*/, rapidxml::xml_node<>* node, visca& v, int c)
{
	float speed = attr_float(node, "zoom_speed", 0.0f);
	int ntk_ptz_zoom_speed_int = trunc_sat(std::fabs(speed) * 7.0f);
	int s = ntk_ptz_zoom_speed_int & 7;
	if (speed > 0.0f) {
		v.cam_zoom_speed[c].cmd[4] = static_cast<char>(0x20 + s);
		v.cam_zoom_speed[c].cmd_fill = true;
	} else if (speed < 0.0f) {
		v.cam_zoom_speed[c].cmd[4] = static_cast<char>(0x30 + s);
		v.cam_zoom_speed[c].cmd_fill = true;
	} else {
		v.cam_zoom_stop[c].cmd_fill = true;
	}
}

void ptz_pan_tilt_speed(Camcontrol& cc, rapidxml::xml_node<>* node, visca& v, int c)
{
	float pan_speed = attr_float(node, "pan_speed", 0.0f);
	float tilt_speed = attr_float(node, "tilt_speed", 0.0f);
	auto speed_byte = [](float f) {
		return static_cast<uint8_t>(std::round(std::fabs(clampf(f, -1.0f, 1.0f)) * 18.0f));
	};
	auto direction = [&cc](float f) -> char {
		float sign = cc.get_float_signp(f);
		return sign < 0.0f ? 0x01 : (sign > 0.0f ? 0x02 : 0x03);
	};
	if (pan_speed == 0.0f && tilt_speed == 0.0f) {
		v.cam_pt_stop_command[c].cmd_fill = true;
	} else {
		visca_command& drive = v.cam_pt_dir_move_command[c];
		drive.cmd[4] = static_cast<char>(speed_byte(pan_speed));
		drive.cmd[5] = static_cast<char>(speed_byte(tilt_speed));
		drive.cmd[6] = direction(pan_speed);
		drive.cmd[7] = direction(tilt_speed);
		drive.cmd_fill = true;
	}
}

void ptz_preset(Camcontrol& /*cc*/, rapidxml::xml_node<>* node, visca& v, int c)
{
	bool store = same_text(node->name(), "ntk_ptz_store_preset");
	int index = attr_int(node, "index", 0);
	if (index >= 0 && index <= 99) {
		v.cam_preset_call_rst_recall[c].cmd[4] = store ? 0x01 : 0x02;
		v.cam_preset_call_rst_recall[c].cmd[5] = static_cast<char>(index);
		v.cam_preset_call_rst_recall[c].cmd_fill = true;
	}
}

void ptz_focus(Camcontrol& cc, rapidxml::xml_node<>* node, visca& v, int c)
{
	bool manual = same_text(attr_text(node, "mode"), "manual");
	float distance = attr_float(node, "distance", 0.5f);
	if (!manual) {
		if (!cc.camcontrol_focus_auto) {
			v.cam_focus_mode[c].cmd[4] = 0x02;
			v.cam_focus_mode[c].cmd_fill = true;
		}
		cc.camcontrol_focus_auto = true;
		cc.camcontrol_man_focus_dist = 0;
		cc.distance_cal_last = 0;
		return;
	}
	if (cc.camcontrol_focus_auto) {
		v.cam_focus_mode[c].cmd[4] = 0x03;
		v.cam_focus_mode[c].cmd_fill = true;
	}
	int distance_cal = trunc_sat(clampf(distance, 0.0f, 1.0f) * 14.0f) - 7;
	// A drive whenever the position moves, at the distance moved (at most 7); the stop
	// follows the drive's handshake, so the focus runs only for that time.
	if (distance_cal != 0 && distance_cal != cc.distance_cal_last) {
		int s = std::min(std::abs(distance_cal - cc.distance_cal_last), 7);
		int dir = distance_cal > cc.distance_cal_last ? 0x20 : 0x30;
		v.cam_focus_near_far_speed[c].cmd[4] = static_cast<char>(dir + s);
		v.cam_focus_near_far_speed[c].cmd_fill = true;
		v.cam_focus_stop[c].cmd_fill = true;
	}
	cc.camcontrol_focus_auto = false;
	cc.distance_cal_last = distance_cal;
}

void ptz_white_balance(Camcontrol& /*cc*/, rapidxml::xml_node<>* node, visca& v, int c)
{
	static const char* const modes[] = {"auto", "indoor", "outdoor", "one_push", "atw", "manual", "manual2"};
	const char* mode = attr_text(node, "mode");
	int code = 0;
	for (int i = 0; i < 7; ++i) {
		if (same_text(mode, modes[i]))
			code = i;
	}
	v.cam_wb_mode[c].cmd[4] = static_cast<char>(code);
	v.cam_wb_mode[c].cmd_fill = true;
	if (code == 5) {
		int red = trunc_sat(attr_float(node, "red", 0.5f) * 255.0f);
		int blue = trunc_sat(attr_float(node, "blue", 0.5f) * 255.0f);
		put_nibbles(v.cam_wb_rg_dir[c], static_cast<uint32_t>(red) & 0xFFFF);
		v.cam_wb_rg_dir[c].cmd_fill = true;
		put_nibbles(v.cam_wb_bg_dir[c], static_cast<uint32_t>(blue) & 0xFFFF);
		v.cam_wb_bg_dir[c].cmd_fill = true;
	}
}

void ptz_mervane_exposure(Camcontrol& /*cc*/, rapidxml::xml_node<>* node, visca& v, int c)
{
	const char* mode = attr_text(node, "mode");
	int code;
	if (same_text(mode, "full-auto"))
		code = 0x00;
	else if (same_text(mode, "manual"))
		code = 0x03;
	else if (same_text(mode, "shutter-pri"))
		code = 0x0A;
	else if (same_text(mode, "iris-pri"))
		code = 0x0B;
	else
		return;  // No mode we know: the element is ignored.
	int iris = attr_int(node, "iris", 0);
	int shutter = attr_int(node, "shutterspeed", 0);
	// The AE mode itself is recorded but never sent.
	v.cam_exposure_mode[c].cmd[4] = static_cast<char>(code);
	v.cam_exposure_mode[c].cmd_fill = false;
	if (code == 0x03 || code == 0x0A) {
		put_nibbles(v.cam_exposure_shut_dir[c], static_cast<uint32_t>(shutter) & 0xFFFF);
		v.cam_exposure_shut_dir[c].cmd_fill = true;
	}
	if (code == 0x03 || code == 0x0B) {
		put_nibbles(v.cam_exposure_iris_dir[c], static_cast<uint32_t>(iris) & 0xFFFF);
		v.cam_exposure_iris_dir[c].cmd_fill = true;
	}
}

void ptz_exposure(Camcontrol& /*cc*/, rapidxml::xml_node<>* node, visca& v, int c)
{
	const char* mode = attr_text(node, "mode");
	int code;
	if (same_text(mode, "auto"))
		code = 0;
	else if (same_text(mode, "manual"))
		code = 3;
	else
		return;  // No mode we know: the element is ignored.
	int iris_val = trunc_sat(attr_float(node, "value", 0.5f) * 17.0f);
	v.cam_exposure_mode[c].cmd[4] = static_cast<char>(code);
	v.cam_exposure_mode[c].cmd_fill = false;
	if (code == 3) {
		put_nibbles(v.cam_exposure_iris_dir[c], static_cast<uint32_t>(iris_val) & 0xFFFF);
		v.cam_exposure_iris_dir[c].cmd_fill = true;
	}
}

// The elements known; a null handler is an element that gives no camera command.
struct PtzElement {
	const char* name;
	void (*handle)(Camcontrol& cc, rapidxml::xml_node<>* node, visca& v, int c);
};
const PtzElement kPtzElements[] = {
	{"ntk_ptz_zoom", ptz_zoom},
	{"ntk_ptz_zoom_speed", ptz_zoom_speed},
	{"ntk_ptz_pan_tilt_speed", ptz_pan_tilt_speed},
	{"ntk_ptz_pan_tilt", nullptr},
	{"ntk_ptz_store_preset", ptz_preset},
	{"ntk_ptz_recall_preset", ptz_preset},
	{"ntk_ptz_flip", nullptr},
	{"ntk_ptz_focus", ptz_focus},
	{"ntk_ptz_focus_speed", nullptr},
	{"ntk_ptz_white_balance", ptz_white_balance},
	{"ntk_ptz_mervane_exposure", ptz_mervane_exposure},
	{"ntk_ptz_exposure", ptz_exposure},
};

}  // namespace

void Camcontrol::camcontrol_capture_ndi(NDIlib_metadata_frame_t* p_metadata)
{
	if (p_metadata == nullptr || p_metadata->p_data == nullptr)
		return;

	// Held for the whole frame, parse included, so a swap never splits one element's writes.
	std::unique_lock<std::mutex> lock;
	const int c = m_visca.lock_cap_buffer(lock);

	// The parser works in place: parse a copy and leave the frame to its owner. A length
	// given with the frame bounds the text as well as its terminator does.
	size_t text_length = p_metadata->length > 0 ? strnlen(p_metadata->p_data, static_cast<size_t>(p_metadata->length))
	                                            : strlen(p_metadata->p_data);
	std::string text(p_metadata->p_data, text_length);
	if (too_deep_for_parser(text))
		return;
	rapidxml::xml_document<> doc;
	try {
		doc.parse<0>(&text[0]);
	} catch (const rapidxml::parse_error&) {
		return;  // Not well-formed: the frame is skipped.
	}
	rapidxml::xml_node<>* node = doc.first_node();
	if (node == nullptr)
		return;
	const char* name = node->name();

	for (const PtzElement& element : kPtzElements) {
		if (!same_text(name, element.name))
			continue;
		if (element.handle != nullptr)
			element.handle(*this, node, m_visca, c);
		return;
	}
}

// ---- VISCA over IP ---------------------------------------------------------------------------

bool Camcontrol::camcontrol_init_voip()
{
	if (camcontrol_voip_thread.joinable())
		camcontrol_deinit_voip();
	sockfd = socket(AF_INET, SOCK_DGRAM, 0);
	if (sockfd < 0) {
		sockfd = -1;
		return false;
	}
	int rcvbuf = kVoipReceiveBuffer;
	setsockopt(sockfd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
	memset(&servaddr, 0, sizeof servaddr);
	memset(&cliaddr, 0, sizeof cliaddr);
	servaddr.sin_family = AF_INET;
	servaddr.sin_addr.s_addr = htonl(INADDR_ANY);
	servaddr.sin_port = htons(VISCA_OVER_IP_PORT);
	if (bind(sockfd, reinterpret_cast<const sockaddr*>(&servaddr), sizeof servaddr) < 0) {
		close(sockfd);
		sockfd = -1;
		return false;
	}
	static const uint8_t control_reply[9] = {0x02, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x01};
	memcpy(voip_control_command.cmd, control_reply, sizeof control_reply);
	voip_control_command.cmd_length = 9;
	voip_control_command.new_cmd = false;
	camcontrol_voip_Running = true;
	start_thread(camcontrol_voip_thread, "camcontrol_voip", &Camcontrol::camcontrol_voip, this);
	return true;
}

void Camcontrol::camcontrol_deinit_voip()
{
	camcontrol_voip_Running = false;
	if (camcontrol_voip_thread.joinable())
		camcontrol_voip_thread.join();
	if (sockfd != -1) {
		close(sockfd);
		sockfd = -1;
	}
}

void Camcontrol::camcontrol_voip()
{
	puts("camcontrol_voip_rx");
	read_timeout.tv_sec = 0;
	read_timeout.tv_usec = 500000;
	setsockopt(sockfd, SOL_SOCKET, SO_RCVTIMEO, &read_timeout, sizeof read_timeout);

	while (camcontrol_voip_Running) {
		cliaddr_len = sizeof cliaddr;
		recv_length = static_cast<int>(recvfrom(sockfd, recv_buffer, sizeof recv_buffer, 0,
		                                        reinterpret_cast<sockaddr*>(&cliaddr), &cliaddr_len));
		if (recv_length <= 0) {
			camcontrol_voip_det_cmd = false;
			continue;
		}
		camcontrol_voip_datagram();
	}
}

void Camcontrol::camcontrol_voip_datagram()
{
	const int length = std::clamp(recv_length, 0, static_cast<int>(sizeof recv_buffer));
	if (length < kVoipHeader)
		return;  // Not even a header.
	recv_payload_type = static_cast<uint16_t>(recv_buffer[0] << 8 | recv_buffer[1]);
	recv_payload_length = static_cast<uint16_t>(recv_buffer[2] << 8 | recv_buffer[3]);
	recv_sequence_number = static_cast<uint32_t>(recv_buffer[4]) << 24 | static_cast<uint32_t>(recv_buffer[5]) << 16 |
	                       static_cast<uint32_t>(recv_buffer[6]) << 8 | recv_buffer[7];

	if (recv_payload_type == 0x0100 || recv_payload_type == 0x0110) {
		// A message without its byte 9 or its 0xFF within the record is dropped unanswered.
		if (voip_message_length(recv_buffer, length) == 0)
			return;
		if (recv_buffer[9] == 0x01) {
			camcontrol_voip_det_cmd = true;
			write_voip_command(recv_buffer, static_cast<uint16_t>(length), cliaddr, recv_sequence_number);
		} else if (recv_buffer[9] == 0x09) {
			camcontrol_voip_det_cmd = true;
			write_voip_inq_command(recv_buffer, static_cast<uint16_t>(length), cliaddr, recv_sequence_number);
		}
	} else if (recv_payload_type == 0x0200) {
		puts("payload_type => Stores the control command");
		put_be32(voip_control_command.cmd + 4, recv_sequence_number);
		voip_control_command.sequence_number = recv_sequence_number;
		voip_control_command.cliaddr = cliaddr;
		voip_control_command.new_cmd = true;
		sendto(sockfd, voip_control_command.cmd, voip_control_command.cmd_length, 0,
		       reinterpret_cast<const sockaddr*>(&voip_control_command.cliaddr), sizeof voip_control_command.cliaddr);
	}
}

void Camcontrol::write_voip_command(uint8_t* data, uint16_t data_length, sockaddr_in rx_addr, uint32_t rx_sequence_number)
{
	int message = voip_message_length(data, data_length);
	if (message == 0)
		return;
	visca_command voip_cmd;
	memcpy(voip_cmd.cmd, data + kVoipHeader, static_cast<size_t>(message));
	voip_cmd.cmd_length = message;
	voip_cmd.ack = false;
	voip_cmd.comp = false;
	voip_cmd.cliaddr = rx_addr;
	voip_cmd.sequence_number = rx_sequence_number;
	voip_cmd.cmd_fill = true;

	// The sender hears the ACK before the camera has seen the command.
	sendto_ack_voip_tx(rx_addr, rx_sequence_number);
	m_visca.visca_exec_cmd(voip_cmd);
	if (voip_cmd.comp)
		sendto_cmp_voip_tx(rx_addr, rx_sequence_number);
}

void Camcontrol::write_voip_inq_command(uint8_t* data, uint16_t data_length, sockaddr_in rx_addr,
                                        uint32_t rx_sequence_number)
{
	int message = voip_message_length(data, data_length);
	if (message == 0)
		return;
	visca_inq_command voip_cmd;
	memcpy(voip_cmd.cmd, data + kVoipHeader, static_cast<size_t>(message));
	voip_cmd.cmd_length = message;
	voip_cmd.inq_fill = false;
	voip_cmd.cliaddr = rx_addr;
	voip_cmd.sequence_number = rx_sequence_number;
	voip_cmd.cmd_fill = true;

	m_visca.visca_exec_inq_cmd(voip_cmd);
	if (voip_cmd.inq_fill)
		sendto_res_voip_tx(voip_cmd);
}

void Camcontrol::sendto_ack_voip_tx(sockaddr_in rx_addr, uint32_t rx_sequence_number)
{
	uint8_t reply[11] = {0x01, 0x11, 0x00, 0x03, 0, 0, 0, 0, 0x90, 0x41, 0xFF};
	put_be32(reply + 4, rx_sequence_number);
	sendto(sockfd, reply, sizeof reply, 0, reinterpret_cast<const sockaddr*>(&rx_addr), sizeof rx_addr);
}

void Camcontrol::sendto_cmp_voip_tx(sockaddr_in rx_addr, uint32_t rx_sequence_number)
{
	uint8_t reply[11] = {0x01, 0x11, 0x00, 0x03, 0, 0, 0, 0, 0x90, 0x51, 0xFF};
	put_be32(reply + 4, rx_sequence_number);
	sendto(sockfd, reply, sizeof reply, 0, reinterpret_cast<const sockaddr*>(&rx_addr), sizeof rx_addr);
}

void Camcontrol::sendto_res_voip_tx(visca_inq_command& voip_cmd)
{
	const int answer = std::clamp(voip_cmd.inq_length, 0, kViscaMax);
	uint8_t reply[kVoipHeader + kViscaMax] = {0x01, 0x11, 0x00, static_cast<uint8_t>(answer)};
	put_be32(reply + 4, voip_cmd.sequence_number);
	memcpy(reply + kVoipHeader, voip_cmd.inq, static_cast<size_t>(answer));
	sendto(sockfd, reply, static_cast<size_t>(kVoipHeader) + static_cast<size_t>(answer), 0,
	       reinterpret_cast<const sockaddr*>(&voip_cmd.cliaddr), sizeof voip_cmd.cliaddr);
	voip_cmd.inq_fill = false;
}

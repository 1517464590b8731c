// Camcontrol: NDI PTZ metadata to VISCA, and the VISCA over IP server.
#include "camcontrol.h"

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "vexo_path.h"

Camcontrol::Camcontrol() = default;
Camcontrol::~Camcontrol() = default;

void Camcontrol::init_Camcontrol() {}  // Not built yet: camera control start.
void Camcontrol::deinit_Camcontrol() {}  // Not built yet: camera control stop.
void Camcontrol::get_ptz_settings() {}  // Not built yet.
void Camcontrol::camcontrol_ndi() {}  // Not built yet.
void Camcontrol::camcontrol_capture_ndi(NDIlib_metadata_frame_t* p_metadata) { (void)p_metadata; }  // Not built yet.
float Camcontrol::get_float_signt(float input) { (void)input; return 0.0f; }  // Not built yet.
float Camcontrol::get_float_signp(float input) { (void)input; return 0.0f; }  // Not built yet.
bool Camcontrol::camcontrol_init_voip() { return false; }  // Not built yet.
void Camcontrol::camcontrol_deinit_voip() {}  // Not built yet.
void Camcontrol::camcontrol_voip() {}  // Not built yet.
void Camcontrol::write_voip_command(uint8_t* data, uint16_t data_length, sockaddr_in rx_addr,
                                    uint32_t rx_sequence_number)
{
	(void)data;  // Not built yet.
	(void)data_length;
	(void)rx_addr;
	(void)rx_sequence_number;
}
void Camcontrol::write_voip_inq_command(uint8_t* data, uint16_t data_length, sockaddr_in rx_addr,
                                        uint32_t rx_sequence_number)
{
	(void)data;  // Not built yet.
	(void)data_length;
	(void)rx_addr;
	(void)rx_sequence_number;
}
void Camcontrol::sendto_ack_voip_tx(sockaddr_in rx_addr, uint32_t rx_sequence_number) { (void)rx_addr; (void)rx_sequence_number; }  // Not built yet.
void Camcontrol::sendto_cmp_voip_tx(sockaddr_in rx_addr, uint32_t rx_sequence_number) { (void)rx_addr; (void)rx_sequence_number; }  // Not built yet.
void Camcontrol::sendto_res_voip_tx(visca_inq_command& voip_cmd) { (void)voip_cmd; }  // Not built yet.

// visca: the serial VISCA engine.
#include "visca.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "vexo_path.h"

visca::visca()
	: camSerial("/dev/ttyPS1"), camBr(B115200), cam_fd(-1), camAddress(1), exec_visca_Running(true)
{
}

visca::~visca() = default;

int visca::init_visca()
{
	return 0;  // Not built yet: the serial line and the exec thread.
}

void visca::deinit_visca()
{
	// Not built yet: the serial line and the exec thread.
}

void visca::create_command(visca_command& cmd, int cmd_bytes, int cmd_type, int cmd_id, uint64_t prefil)
{
	(void)cmd;  // Not built yet: packet building.
	(void)cmd_bytes;
	(void)cmd_type;
	(void)cmd_id;
	(void)prefil;
}

void visca::create_inqcommand(visca_inq_command& cmd, int cmd_bytes, int cmd_type, int cmd_id, uint64_t prefil,
                              int cmd_length_tot)
{
	(void)cmd;  // Not built yet: packet building.
	(void)cmd_bytes;
	(void)cmd_type;
	(void)cmd_id;
	(void)prefil;
	(void)cmd_length_tot;
}

void visca::init_visca_command() {}  // Not built yet: the slot table.
void visca::visca_exec_cmd(visca_command& exec_cmd) { (void)exec_cmd; }  // Not built yet.
void visca::visca_exec_inq_cmd(visca_inq_command& exec_cmd) { (void)exec_cmd; }  // Not built yet.
bool visca::visca_wait_for_ack() { return false; }  // Not built yet.
bool visca::visca_wait_for_cmp() { return false; }  // Not built yet.
bool visca::visca_wait_for_res(visca_inq_command& res_cmd) { (void)res_cmd; return false; }  // Not built yet.
void visca::visca_cls_rx() {}  // Not built yet.
void visca::exec_visca() {}  // Not built yet.
void visca::switch_ndi_exebuff() {}  // Not built yet.
void visca::exec_ndi_visca() {}  // Not built yet.
void visca::waitFor_m_visca_ndi_event() {}  // Not built yet.
void visca::signal_m_visca_ndi_event() {}  // Not built yet.
void visca_ndi_event::wait() {}  // Not built yet.
void visca_ndi_event::signal() {}  // Not built yet.

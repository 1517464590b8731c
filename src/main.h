// The supervision loop's global objects and state, and the dashboard record.
#pragma once

#include <string>

#include "NdiTransmitter.h"
#include "adv7619.h"
#include "camcontrol.h"

extern adv7619 m_adv7619;
extern NdiTransmitter m_NdiTransmitter;
extern Camcontrol m_Camcontrol;

extern int encode_started;
extern int vexo_vid_format;
extern int vexo_vid_format_last;
extern bool det_mode;
extern bool det_mode_last;
extern int get_connected;

// The dashboard record for the given state, exactly as it is written to the pipe.
std::string dashboard_record(int connected, int vid_format, int pix_format_420);
// Writes the current record to the dashboard pipe; with no reader the record is skipped.
void updateWebUIStatus();

// GPIO window of the audio input selector, as the virtual appliance's models see it.
#pragma once

#include <stdint.h>

#include "board_map.h"

namespace sim {

// The selector's data word as last seen by the GPIO model (0 before the board starts or when
// dev/mem could not be mapped). Bit 0 set selects the HDMI audio, clear the analog input.
uint32_t audio_select_word();

}  // namespace sim

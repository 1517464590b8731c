// Stand-in NDI runtime: sender side (placeholder until the runtime lands).
#include <Processing.NDI.Lib.h>

bool NDIlib_initialize(void) { return true; }
void NDIlib_destroy(void) {}
const char* NDIlib_version(void) { return "vexo stand-in 4"; }
NDIlib_send_instance_t NDIlib_send_create(const NDIlib_send_create_t*) { return nullptr; }
NDIlib_send_instance_t NDIlib_send_create_v2(const NDIlib_send_create_t*, const char*) { return nullptr; }
void NDIlib_send_destroy(NDIlib_send_instance_t) {}
void NDIlib_send_send_video_v2(NDIlib_send_instance_t, const NDIlib_video_frame_v2_t*) {}
void NDIlib_send_send_video_async_v2(NDIlib_send_instance_t, const NDIlib_video_frame_v2_t*) {}
void NDIlib_send_send_metadata(NDIlib_send_instance_t, const NDIlib_metadata_frame_t*) {}
NDIlib_frame_type_e NDIlib_send_capture(NDIlib_send_instance_t, NDIlib_metadata_frame_t*, uint32_t) { return NDIlib_frame_type_none; }
void NDIlib_send_free_metadata(NDIlib_send_instance_t, const NDIlib_metadata_frame_t*) {}
bool NDIlib_send_get_tally(NDIlib_send_instance_t, NDIlib_tally_t*, uint32_t) { return false; }
int NDIlib_send_get_no_connections(NDIlib_send_instance_t, uint32_t) { return 0; }
void NDIlib_send_clear_connection_metadata(NDIlib_send_instance_t) {}
void NDIlib_send_add_connection_metadata(NDIlib_send_instance_t, const NDIlib_metadata_frame_t*) {}
void NDIlib_send_set_failover(NDIlib_send_instance_t, const NDIlib_source_t*) {}
const NDIlib_source_t* NDIlib_send_get_source_name(NDIlib_send_instance_t) { return nullptr; }
int NDIlib_send_get_target_frame_size(NDIlib_send_instance_t, const NDIlib_video_frame_v2_t*) { return 0; }
void NDIlib_util_send_send_audio_interleaved_32f(NDIlib_send_instance_t, const NDIlib_audio_frame_interleaved_32f_t*) {}

// Stand-in NDI runtime: the published sender functions, each handing over to its StandinSender.
#include <Processing.NDI.Lib.h>

#include <stdlib.h>
#include <string.h>

#include <string>

#include "StandinSender.h"
#include "ndi_standin_rx.h"

using ndi_standin::StandinSender;

namespace {

// Every call accepts a null instance (a failed creation) and does nothing with it.
StandinSender* sender(NDIlib_send_instance_t p)
{
	return reinterpret_cast<StandinSender*>(p);
}

}  // namespace

NDIlib_send_instance_t NDIlib_send_create(const NDIlib_send_create_t* p_create_settings)
{
	return reinterpret_cast<NDIlib_send_instance_t>(StandinSender::create(p_create_settings, nullptr));
}

NDIlib_send_instance_t NDIlib_send_create_v2(const NDIlib_send_create_t* p_create_settings, const char* p_config_data)
{
	return reinterpret_cast<NDIlib_send_instance_t>(StandinSender::create(p_create_settings, p_config_data));
}

void NDIlib_send_destroy(NDIlib_send_instance_t p_instance)
{
	delete sender(p_instance);
}

void NDIlib_send_send_video_v2(NDIlib_send_instance_t p_instance, const NDIlib_video_frame_v2_t* p_video_data)
{
	if (StandinSender* s = sender(p_instance))
		s->send_video(p_video_data);
}

void NDIlib_send_send_video_async_v2(NDIlib_send_instance_t p_instance, const NDIlib_video_frame_v2_t* p_video_data)
{
	if (StandinSender* s = sender(p_instance))
		s->send_video_async(p_video_data);
}

void NDIlib_send_send_metadata(NDIlib_send_instance_t p_instance, const NDIlib_metadata_frame_t* p_metadata)
{
	if (StandinSender* s = sender(p_instance))
		s->send_metadata(p_metadata);
}

NDIlib_frame_type_e NDIlib_send_capture(NDIlib_send_instance_t p_instance, NDIlib_metadata_frame_t* p_metadata,
                                        uint32_t timeout_in_ms)
{
	if (StandinSender* s = sender(p_instance))
		return s->capture(p_metadata, timeout_in_ms);
	return NDIlib_frame_type_none;
}

void NDIlib_send_free_metadata(NDIlib_send_instance_t, const NDIlib_metadata_frame_t* p_metadata)
{
	// The text was malloc'd by NDIlib_send_capture; the frame itself is the caller's.
	if (p_metadata != nullptr)
		free(p_metadata->p_data);
}

bool NDIlib_send_get_tally(NDIlib_send_instance_t p_instance, NDIlib_tally_t* p_tally, uint32_t timeout_in_ms)
{
	if (StandinSender* s = sender(p_instance))
		return s->get_tally(p_tally, timeout_in_ms);
	return false;
}

int NDIlib_send_get_no_connections(NDIlib_send_instance_t p_instance, uint32_t timeout_in_ms)
{
	if (StandinSender* s = sender(p_instance))
		return s->connections(timeout_in_ms);
	return 0;
}

void NDIlib_send_clear_connection_metadata(NDIlib_send_instance_t p_instance)
{
	if (StandinSender* s = sender(p_instance))
		s->clear_connection_metadata();
}

void NDIlib_send_add_connection_metadata(NDIlib_send_instance_t p_instance, const NDIlib_metadata_frame_t* p_metadata)
{
	StandinSender* s = sender(p_instance);
	if (s == nullptr || p_metadata == nullptr || p_metadata->p_data == nullptr)
		return;
	// length 0: zero-terminated text; otherwise the length counts the terminator.
	if (p_metadata->length > 0)
		s->add_connection_metadata(std::string(p_metadata->p_data,
		                                       strnlen(p_metadata->p_data, static_cast<size_t>(p_metadata->length)))
		                               .c_str());
	else
		s->add_connection_metadata(p_metadata->p_data);
}

void NDIlib_send_set_failover(NDIlib_send_instance_t p_instance, const NDIlib_source_t* p_failover_source)
{
	if (StandinSender* s = sender(p_instance))
		s->set_failover(p_failover_source != nullptr ? p_failover_source->p_ndi_name : nullptr);
}

const NDIlib_source_t* NDIlib_send_get_source_name(NDIlib_send_instance_t p_instance)
{
	if (StandinSender* s = sender(p_instance))
		return s->source();
	return nullptr;
}

int NDIlib_send_get_target_frame_size(NDIlib_send_instance_t, const NDIlib_video_frame_v2_t* p_video_data)
{
	// The recommendation depends on the frame description only, so no instance is needed.
	return p_video_data != nullptr ? ndi_standin::target_frame_size(*p_video_data) : 0;
}

void NDIlib_util_send_send_audio_interleaved_32f(NDIlib_send_instance_t p_instance,
                                                 const NDIlib_audio_frame_interleaved_32f_t* p_audio_data)
{
	if (StandinSender* s = sender(p_instance))
		s->send_audio(p_audio_data);
}

size_t NDIlib_standin_send_queued_media_bytes(NDIlib_send_instance_t p_instance)
{
	if (StandinSender* s = sender(p_instance))
		return s->queued_media_bytes();
	return 0;
}

size_t NDIlib_standin_send_modified_while_held(NDIlib_send_instance_t p_instance)
{
	if (StandinSender* s = sender(p_instance))
		return s->modified_while_held();
	return 0;
}

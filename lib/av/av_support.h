// libavcodec as the virtual appliance, the tools and the tests use it: owning pointers for its
// objects and one decode of a single packet.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

struct SwsContext;
extern "C" void sws_freeContext(struct SwsContext* context);

namespace vexo_av {

struct CodecFree {
	void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
	void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
	void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct SwsFree {
	void operator()(SwsContext* s) const { sws_freeContext(s); }
};
using CodecPtr = std::unique_ptr<AVCodecContext, CodecFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;
using SwsPtr = std::unique_ptr<SwsContext, SwsFree>;

// libav's text for an error code.
std::string error_text(int code);

// Decodes one whole packet (a SpeedHQ frame, a PNG file) into its picture. SpeedHQ needs the
// raster and the upper-case FourCC as codec tag. Null on failure, with `error` said when given.
FramePtr decode_one(AVCodecID id, const uint8_t* data, size_t size, int width = 0, int height = 0,
                    uint32_t tag = 0, std::string* error = nullptr);

// Opens an encoder for pictures of this raster and pixel format, on one thread (the machine is
// shared). A quantiser above 0 fixes it (1 = finest). Null on failure, with `error` said when given.
CodecPtr open_encoder(AVCodecID id, int width, int height, AVPixelFormat format, int quantiser = 0,
                      std::string* error = nullptr);

// Encodes one picture with an intra-only encoder (SpeedHQ, PNG, JPEG) into `out`; false and
// the reason in `error`, when given, on failure.
bool encode_one(AVCodecContext* ctx, AVFrame* picture, std::vector<uint8_t>& out, std::string* error = nullptr);

// Fills a planar 8-bit Y'CbCr picture (4:2:0 or 4:2:2) with black in limited range: luma 16,
// both chroma planes 128.
void fill_black(AVFrame* frame);

}  // namespace vexo_av

#include "av_support.h"

#include <string.h>

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace vexo_av {

std::string error_text(int code)
{
	char buf[AV_ERROR_MAX_STRING_SIZE] = {};
	av_strerror(code, buf, sizeof(buf));
	return buf;
}

FramePtr decode_one(AVCodecID id, const uint8_t* data, size_t size, int width, int height, uint32_t tag,
                    std::string* error)
{
	auto fail = [error](const std::string& why) {
		if (error != nullptr)
			*error = why;
		return nullptr;
	};
	const AVCodec* codec = avcodec_find_decoder(id);
	if (codec == nullptr)
		return fail(std::string("libavcodec has no ") + avcodec_get_name(id) + " decoder");
	CodecPtr ctx(avcodec_alloc_context3(codec));
	if (!ctx)
		return fail("out of memory");
	ctx->width = width;
	ctx->height = height;
	ctx->codec_tag = tag;
	int r = avcodec_open2(ctx.get(), codec, nullptr);
	if (r < 0)
		return fail(std::string("cannot open the ") + avcodec_get_name(id) + " decoder: " + error_text(r));
	// av_new_packet adds the zeroed padding the decoders read past the end.
	PacketPtr pkt(av_packet_alloc());
	FramePtr frame(av_frame_alloc());
	if (!pkt || !frame || av_new_packet(pkt.get(), static_cast<int>(size)) < 0)
		return fail("out of memory");
	memcpy(pkt->data, data, size);
	r = avcodec_send_packet(ctx.get(), pkt.get());
	if (r >= 0) {
		r = avcodec_receive_frame(ctx.get(), frame.get());
		if (r == AVERROR(EAGAIN)) {
			avcodec_send_packet(ctx.get(), nullptr);  // a decoder that holds the picture back
			r = avcodec_receive_frame(ctx.get(), frame.get());
		}
	}
	if (r < 0)
		return fail(std::string(avcodec_get_name(id)) + " decoding failed: " + error_text(r));
	return frame;
}

CodecPtr open_encoder(AVCodecID id, int width, int height, AVPixelFormat format, int quantiser, std::string* error)
{
	const AVCodec* codec = avcodec_find_encoder(id);
	CodecPtr ctx(codec != nullptr ? avcodec_alloc_context3(codec) : nullptr);
	if (!ctx) {
		if (error != nullptr)
			*error = std::string("libavcodec has no ") + avcodec_get_name(id) + " encoder";
		return nullptr;
	}
	ctx->width = width;
	ctx->height = height;
	ctx->pix_fmt = format;
	ctx->time_base = AVRational{1, 60};
	ctx->thread_count = 1;
	if (quantiser > 0) {
		ctx->flags |= AV_CODEC_FLAG_QSCALE;
		ctx->global_quality = FF_QP2LAMBDA * quantiser;
	}
	int r = avcodec_open2(ctx.get(), codec, nullptr);
	if (r < 0) {
		if (error != nullptr)
			*error = std::string("cannot open the ") + avcodec_get_name(id) + " encoder: " + error_text(r);
		return nullptr;
	}
	return ctx;
}

bool encode_one(AVCodecContext* ctx, AVFrame* picture, std::vector<uint8_t>& out, std::string* error)
{
	PacketPtr pkt(av_packet_alloc());
	picture->quality = ctx->global_quality;
	int r = pkt ? avcodec_send_frame(ctx, picture) : AVERROR(ENOMEM);
	if (r >= 0)
		r = avcodec_receive_packet(ctx, pkt.get());
	if (r < 0) {
		if (error != nullptr)
			*error = std::string(avcodec_get_name(ctx->codec_id)) + " encoding failed: " + error_text(r);
		return false;
	}
	out.assign(pkt->data, pkt->data + pkt->size);
	return true;
}

void fill_black(AVFrame* frame)
{
	const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
	const int chroma_w = AV_CEIL_RSHIFT(frame->width, desc->log2_chroma_w);
	const int chroma_h = AV_CEIL_RSHIFT(frame->height, desc->log2_chroma_h);
	for (int y = 0; y < frame->height; ++y)
		memset(frame->data[0] + y * frame->linesize[0], 16, frame->width);
	for (int p = 1; p < 3; ++p)
		for (int y = 0; y < chroma_h; ++y)
			memset(frame->data[p] + y * frame->linesize[p], 128, chroma_w);
}

}  // namespace vexo_av

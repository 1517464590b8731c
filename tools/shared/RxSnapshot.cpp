// Turns one received SpeedHQ frame into a PNG or JPEG picture (vexo-rx --snapshot, vexo-console).
#include "RxSnapshot.h"

#include "av_support.h"

#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <memory>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

namespace rx {

namespace {

using vexo_av::CodecPtr;
using vexo_av::FramePtr;
using vexo_av::SwsPtr;

}  // namespace

bool RxSnapshot::encode(const ndi_standin::VideoFrame& f, Image kind, std::vector<uint8_t>& out, int& width,
                        int& height, std::string& error)
{
	if (f.xres <= 0 || f.yres <= 0 || f.data.empty()) {
		error = "frame has no picture";
		return false;
	}
	const bool jpeg = kind == Image::Jpeg;

	// The decoder learns the chroma format from the tag and knows only the upper-case
	// FourCCs; the preview stream's lower-case ones carry the same bitstream.
	uint32_t tag = 0;
	for (int i = 0; i < 4; ++i)
		tag |= static_cast<uint32_t>(toupper(static_cast<int>(f.fourcc >> (8 * i) & 0xFF))) << (8 * i);
	std::string why;
	FramePtr pic = vexo_av::decode_one(AV_CODEC_ID_SPEEDHQ, f.data.data(), f.data.size(), f.xres, f.yres, tag, &why);
	if (!pic) {
		error = ndi_standin::fourcc_text(f.fourcc) + ": " + why;
		return false;
	}

	bool field = f.format == 2 || f.format == 3;  // field_0, field_1
	int out_w = pic->width, out_h = field ? pic->height * 2 : pic->height;
	// JPEG takes full-range 4:2:0, PNG RGB.
	const AVPixelFormat out_fmt = jpeg ? AV_PIX_FMT_YUVJ420P : AV_PIX_FMT_RGB24;
	SwsPtr sws(
		sws_getContext(pic->width, pic->height, static_cast<AVPixelFormat>(pic->format), out_w, out_h,
		               out_fmt, SWS_BILINEAR, nullptr, nullptr, nullptr));
	if (!sws) {
		error = "no conversion from the decoded pixel format to the picture's";
		return false;
	}
	FramePtr rgb(av_frame_alloc());
	rgb->format = out_fmt;
	rgb->width = out_w;
	rgb->height = out_h;
	if (av_frame_get_buffer(rgb.get(), 0) < 0) {
		error = "out of memory";
		return false;
	}
	sws_scale(sws.get(), pic->data, pic->linesize, 0, pic->height, rgb->data, rgb->linesize);

	// JPEG at a fixed quantiser of 4.
	CodecPtr ectx = vexo_av::open_encoder(jpeg ? AV_CODEC_ID_MJPEG : AV_CODEC_ID_PNG, out_w, out_h, out_fmt,
	                                      jpeg ? 4 : 0, &error);
	if (!ectx || !vexo_av::encode_one(ectx.get(), rgb.get(), out, &error))
		return false;
	width = out_w;
	height = out_h;
	return true;
}

bool RxSnapshot::write_png(const ndi_standin::VideoFrame& f, const std::string& path, std::string& error)
{
	std::vector<uint8_t> png;
	int width = 0, height = 0;
	if (!encode(f, Image::Png, png, width, height, error))
		return false;
	FILE* out = fopen(path.c_str(), "wb");
	if (out == nullptr) {
		error = "cannot write " + path + ": " + strerror(errno);
		return false;
	}
	bool ok = fwrite(png.data(), 1, png.size(), out) == png.size();
	ok = fclose(out) == 0 && ok;
	if (!ok)
		error = "cannot write " + path;
	return ok;
}

}  // namespace rx

// vexo-still: makes the appliance's still files (splash, black) as finished SpeedHQ frames.
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/macros.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "SplashScreenConsts.h"
#include "av_support.h"
#include "mervane_speedhq.h"
#include "test_card.h"

// The stills are what the hardware encoder would have sent: a 1920x1080 4:2:2 program frame
// (SHQ2) and a 640x360 4:2:0 preview frame (shq0), each one progressive SpeedHQ frame whose
// first byte is the quality and whose next three bytes are the little-endian offset 4 of the
// only field. Colours follow NDI's convention: BT.709 from 720 lines up, BT.601 below,
// limited range.

namespace {

// Capacities of the program's still buffers; a file must stay strictly below them.
constexpr size_t kFullCapacity = MAX_FULL_SPLASH_SCREEN_BUFFER_SIZE;
constexpr size_t kPrvwCapacity = MAX_PRVW_SPLASH_SCREEN_BUFFER_SIZE;

using vexo_av::CodecPtr;
using vexo_av::FramePtr;
using vexo_av::SwsPtr;

// One stream of the still pair.
struct StillKind {
	const char* suffix;  // "full" or "prvw"
	int width;
	int height;
	AVPixelFormat pix_fmt;
	size_t capacity;
};

const StillKind kFull = {"full", 1920, 1080, AV_PIX_FMT_YUV422P, kFullCapacity};
const StillKind kPrvw = {"prvw", 640, 360, AV_PIX_FMT_YUV420P, kPrvwCapacity};

int colorspace_for(int height)
{
	return height >= 720 ? SWS_CS_ITU709 : SWS_CS_ITU601;
}

FramePtr alloc_frame(int width, int height, AVPixelFormat fmt)
{
	FramePtr f(av_frame_alloc());
	if (!f)
		return nullptr;
	f->width = width;
	f->height = height;
	f->format = fmt;
	if (av_frame_get_buffer(f.get(), 0) < 0)
		return nullptr;
	return f;
}

bool read_file(const std::string& path, std::vector<uint8_t>& data)
{
	FILE* f = fopen(path.c_str(), "rb");
	if (f == nullptr) {
		fprintf(stderr, "vexo-still: cannot open %s: %s\n", path.c_str(), strerror(errno));
		return false;
	}
	data.clear();
	uint8_t chunk[65536];
	size_t n;
	while ((n = fread(chunk, 1, sizeof(chunk), f)) > 0)
		data.insert(data.end(), chunk, chunk + n);
	bool ok = ferror(f) == 0;
	fclose(f);
	if (!ok)
		fprintf(stderr, "vexo-still: cannot read %s\n", path.c_str());
	return ok;
}

bool write_file(const std::string& path, const void* data, size_t size)
{
	FILE* f = fopen(path.c_str(), "wb");
	if (f == nullptr) {
		fprintf(stderr, "vexo-still: cannot create %s: %s\n", path.c_str(), strerror(errno));
		return false;
	}
	bool ok = fwrite(data, 1, size, f) == size;
	if (fclose(f) != 0)
		ok = false;
	if (!ok)
		fprintf(stderr, "vexo-still: cannot write %s\n", path.c_str());
	return ok;
}

// Decodes one whole file (a PNG picture) with libavcodec; the first picture it yields.
FramePtr decode_picture(AVCodecID id, const std::vector<uint8_t>& data, int width = 0, int height = 0,
                        uint32_t tag = 0)
{
	return vexo_av::decode_one(id, data.data(), data.size(), width, height, tag);
}

// Scales and converts any picture to the size, layout and colours of one still stream.
FramePtr convert(const AVFrame* src, int width, int height, AVPixelFormat fmt)
{
	const bool src_rgb = (av_pix_fmt_desc_get(static_cast<AVPixelFormat>(src->format))->flags & AV_PIX_FMT_FLAG_RGB) != 0;
	const bool dst_rgb = (av_pix_fmt_desc_get(fmt)->flags & AV_PIX_FMT_FLAG_RGB) != 0;
	SwsPtr sws(sws_getContext(src->width, src->height, static_cast<AVPixelFormat>(src->format), width, height, fmt,
	                          SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr, nullptr, nullptr));
	if (!sws)
		return nullptr;
	// RGB is full range; YUV is limited range in the matrix its own height calls for.
	const int* src_table = sws_getCoefficients(src_rgb ? SWS_CS_DEFAULT : colorspace_for(src->height));
	const int* dst_table = sws_getCoefficients(dst_rgb ? SWS_CS_DEFAULT : colorspace_for(height));
	sws_setColorspaceDetails(sws.get(), src_table, src_rgb ? 1 : 0, dst_table, dst_rgb ? 1 : 0, 0, 1 << 16,
	                         1 << 16);
	FramePtr dst = alloc_frame(width, height, fmt);
	if (!dst)
		return nullptr;
	if (sws_scale(sws.get(), src->data, src->linesize, 0, src->height, dst->data, dst->linesize) != height)
		return nullptr;
	return dst;
}

// Black in limited range: luma 16, both chroma planes 128.
FramePtr black_picture(const StillKind& kind)
{
	FramePtr f = alloc_frame(kind.width, kind.height, kind.pix_fmt);
	if (f)
		vexo_av::fill_black(f.get());
	return f;
}

FramePtr test_card_picture()
{
	FramePtr f = alloc_frame(kFull.width, kFull.height, AV_PIX_FMT_RGB24);
	if (!f)
		return nullptr;
	vexo_still::draw_test_card(f->data[0], f->width, f->height, f->linesize[0]);
	return f;
}

// One SpeedHQ frame at quantiser `q` (1 = finest).
bool encode_once(const AVFrame* pic, int q, std::vector<uint8_t>& out)
{
	std::string why;
	CodecPtr ctx = vexo_av::open_encoder(AV_CODEC_ID_SPEEDHQ, pic->width, pic->height,
	                                     static_cast<AVPixelFormat>(pic->format), q, &why);
	FramePtr frame(av_frame_clone(pic));
	if (ctx && frame && vexo_av::encode_one(ctx.get(), frame.get(), out, &why))
		return true;
	fprintf(stderr, "vexo-still: %s\n", why.empty() ? "out of memory" : why.c_str());
	return false;
}

// The check the program's frame path applies to every encoder frame.
bool header_ok(const std::vector<uint8_t>& frame)
{
	return mervane_speedhq::frame_header_ok(frame.data(), frame.size());
}

// Encodes at the finest quantiser whose frame fits below the program's buffer capacity.
bool encode_still(const AVFrame* pic, const StillKind& kind, std::vector<uint8_t>& out)
{
	for (int q = 2; q <= 31; q++) {
		if (!encode_once(pic, q, out))
			return false;
		if (out.size() < kind.capacity)
			break;
	}
	if (out.size() >= kind.capacity) {
		fprintf(stderr, "vexo-still: the %s frame does not fit in %zu bytes\n", kind.suffix, kind.capacity);
		return false;
	}
	if (!header_ok(out)) {
		fprintf(stderr, "vexo-still: the encoder's %s frame lacks the single-field header the appliance expects\n",
		        kind.suffix);
		return false;
	}
	return true;
}

bool make_dir(const std::string& dir)
{
	std::string partial;
	for (size_t i = 0; i <= dir.size(); i++) {
		if (i == dir.size() || (dir[i] == '/' && i > 0)) {
			partial = dir.substr(0, i);
			if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) {
				fprintf(stderr, "vexo-still: cannot create %s: %s\n", partial.c_str(), strerror(errno));
				return false;
			}
		}
	}
	return true;
}

// Writes enc_<full|prvw>_<name>.encoded for both streams, from a picture or as black.
bool make_pair(const AVFrame* picture, const std::string& dir, const char* name)
{
	if (!make_dir(dir))
		return false;
	for (const StillKind* kind : {&kFull, &kPrvw}) {
		FramePtr yuv = picture ? convert(picture, kind->width, kind->height, kind->pix_fmt) : black_picture(*kind);
		if (!yuv) {
			fprintf(stderr, "vexo-still: cannot prepare the %s picture\n", kind->suffix);
			return false;
		}
		std::vector<uint8_t> frame;
		if (!encode_still(yuv.get(), *kind, frame))
			return false;
		std::string path = dir + "/enc_" + kind->suffix + "_" + name + ".encoded";
		if (!write_file(path, frame.data(), frame.size()))
			return false;
		printf("%s: %dx%d %s, %zu bytes\n", path.c_str(), kind->width, kind->height,
		       kind->pix_fmt == AV_PIX_FMT_YUV422P ? "SpeedHQ 4:2:2" : "SpeedHQ 4:2:0", frame.size());
	}
	return true;
}

bool write_ppm(const AVFrame* rgb, const std::string& path)
{
	std::string data = "P6\n" + std::to_string(rgb->width) + " " + std::to_string(rgb->height) + "\n255\n";
	for (int y = 0; y < rgb->height; y++)
		data.append(reinterpret_cast<const char*>(rgb->data[0] + y * rgb->linesize[0]), rgb->width * 3);
	return write_file(path, data.data(), data.size());
}

bool write_png(const AVFrame* rgb, const std::string& path)
{
	CodecPtr ctx = vexo_av::open_encoder(AV_CODEC_ID_PNG, rgb->width, rgb->height, AV_PIX_FMT_RGB24);
	FramePtr frame(av_frame_clone(rgb));
	std::vector<uint8_t> png;
	return ctx && frame && vexo_av::encode_one(ctx.get(), frame.get(), png) && write_file(path, png.data(), png.size());
}

// Parses "WxH".
bool parse_size(const char* text, int& width, int& height)
{
	return sscanf(text, "%dx%d", &width, &height) == 2 && width > 0 && height > 0 && width % 8 == 0;
}

void usage()
{
	fputs("usage: vexo-still INPUT.png --out DIR      splash pair enc_{full,prvw}_still.encoded from a picture\n"
	      "       vexo-still --test-card --out DIR    splash pair from the project's test card\n"
	      "       vexo-still --black --out DIR        black pair enc_{full,prvw}_black.encoded\n"
	      "       vexo-still --test-card --png FILE   the test card itself as a PNG picture\n"
	      "       vexo-still --to-ppm INPUT OUTPUT [--size WxH] [--chroma 422|420]\n"
	      "                  decodes a PNG picture or a .encoded SpeedHQ frame to a binary PPM;\n"
	      "                  a frame is taken as 1920x1080 4:2:2, or 640x360 4:2:0 when its name\n"
	      "                  contains \"prvw\", unless --size and --chroma say otherwise\n",
	      stderr);
}

int to_ppm(const std::string& input, const std::string& output, int width, int height, int chroma)
{
	std::vector<uint8_t> data;
	if (!read_file(input, data))
		return 1;
	FramePtr picture;
	static const uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
	if (data.size() >= 8 && memcmp(data.data(), kPngSignature, 8) == 0) {
		picture = decode_picture(AV_CODEC_ID_PNG, data);
	} else {
		const bool prvw = input.find("prvw") != std::string::npos;
		if (width == 0) {
			width = prvw ? kPrvw.width : kFull.width;
			height = prvw ? kPrvw.height : kFull.height;
		}
		if (chroma == 0)
			chroma = prvw ? 420 : 422;
		if (!header_ok(data))
			fprintf(stderr, "vexo-still: warning: %s lacks the single-field SpeedHQ header\n", input.c_str());
		const uint32_t tag = chroma == 420 ? MKTAG('S', 'H', 'Q', '0') : MKTAG('S', 'H', 'Q', '2');
		picture = decode_picture(AV_CODEC_ID_SPEEDHQ, data, width, height, tag);
	}
	if (!picture) {
		fprintf(stderr, "vexo-still: cannot decode %s\n", input.c_str());
		return 1;
	}
	FramePtr rgb = convert(picture.get(), picture->width, picture->height, AV_PIX_FMT_RGB24);
	if (!rgb || !write_ppm(rgb.get(), output))
		return 1;
	return 0;
}

}  // namespace

int main(int argc, char** argv)
{
	std::string input;
	std::string out_dir;
	std::string png_out;
	std::string ppm_in;
	std::string ppm_out;
	bool black = false;
	bool card = false;
	int width = 0;
	int height = 0;
	int chroma = 0;

	for (int i = 1; i < argc; i++) {
		std::string arg = argv[i];
		const bool has_value = i + 1 < argc;
		if (arg == "--out" && has_value) {
			out_dir = argv[++i];
		} else if (arg == "--black") {
			black = true;
		} else if (arg == "--test-card") {
			card = true;
		} else if (arg == "--png" && has_value) {
			png_out = argv[++i];
		} else if (arg == "--to-ppm" && i + 2 < argc) {
			ppm_in = argv[++i];
			ppm_out = argv[++i];
		} else if (arg == "--size" && has_value) {
			if (!parse_size(argv[++i], width, height)) {
				fprintf(stderr, "vexo-still: --size wants WxH with a width divisible by 8\n");
				return 2;
			}
		} else if (arg == "--chroma" && has_value) {
			chroma = atoi(argv[++i]);
			if (chroma != 420 && chroma != 422) {
				fprintf(stderr, "vexo-still: --chroma is 420 or 422\n");
				return 2;
			}
		} else if (arg == "-h" || arg == "--help") {
			usage();
			return 0;
		} else if (!arg.empty() && arg[0] != '-' && input.empty()) {
			input = arg;
		} else {
			fprintf(stderr, "vexo-still: unexpected argument '%s'\n", arg.c_str());
			usage();
			return 2;
		}
	}

	if (!ppm_in.empty())
		return to_ppm(ppm_in, ppm_out, width, height, chroma);

	const int sources = (input.empty() ? 0 : 1) + (black ? 1 : 0) + (card ? 1 : 0);
	if (sources != 1 || (out_dir.empty() && png_out.empty()) || (!png_out.empty() && !card)) {
		usage();
		return 2;
	}

	if (black)
		return make_pair(nullptr, out_dir, "black") ? 0 : 1;

	FramePtr picture;
	if (card) {
		picture = test_card_picture();
	} else {
		std::vector<uint8_t> data;
		if (!read_file(input, data))
			return 1;
		picture = decode_picture(AV_CODEC_ID_PNG, data);
		if (!picture) {
			fprintf(stderr, "vexo-still: %s is not a PNG picture libavcodec can decode\n", input.c_str());
			return 1;
		}
	}
	if (!picture) {
		fprintf(stderr, "vexo-still: out of memory\n");
		return 1;
	}
	if (!png_out.empty() && !write_png(picture.get(), png_out))
		return 1;
	if (!out_dir.empty() && !make_pair(picture.get(), out_dir, "still"))
		return 1;
	return 0;
}

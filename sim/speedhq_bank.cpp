// Short loops of real SpeedHQ frames of a moving test picture, encoded once per raster.
#include "speedhq_bank.h"

#include "av_support.h"

#include <algorithm>
#include <condition_variable>
#include <iterator>
#include <map>
#include <mutex>
#include <stdio.h>
#include <string.h>
#include <tuple>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

namespace sim {

namespace {

struct Yuv {
	uint8_t y, u, v;
};

// 75 % colour bars in BT.709 limited range: white, yellow, cyan, green, magenta, red, blue.
const Yuv kBars[] = {
	{180, 128, 128}, {168, 44, 136}, {145, 147, 44}, {133, 63, 52},
	{63, 193, 204},  {51, 109, 212}, {28, 212, 120},
};

// Draws frame `index` of `count`: bars over the top two thirds, a grey ramp below, and a
// white square that crosses the picture once per loop, so a receiver sees motion.
void draw_picture(AVFrame* frame, const SpeedhqBankKey& key, int index, int count)
{
	const int w = key.width;
	const int h = key.height;
	const int cw = w / 2;
	const int ch = key.chroma_420 ? (h + 1) / 2 : h;
	const int csub = key.chroma_420 ? 2 : 1;
	uint8_t* py = frame->data[0];
	uint8_t* pu = frame->data[key.uv_swapped ? 2 : 1];
	uint8_t* pv = frame->data[key.uv_swapped ? 1 : 2];

	if (key.black) {
		vexo_av::fill_black(frame);
		return;
	}

	const int bars_h = h * 2 / 3;
	const int box = h / 4;
	const int box_x = (w - box) * index / count;
	const int box_y = (h - box) / 2;

	// The two kinds of row (bars, ramp) are made once; each picture row is a copy of one of
	// them with the square drawn over it. Per-pixel work would make a 2160p bank slow.
	std::vector<uint8_t> bar_y(w), ramp_y(w), bar_u(cw), bar_v(cw), flat_uv(cw, 128);
	for (int x = 0; x < w; ++x) {
		bar_y[x] = kBars[x * 7 / w].y;
		ramp_y[x] = static_cast<uint8_t>(16 + x * 219 / w);
	}
	for (int x = 0; x < cw; ++x) {
		bar_u[x] = kBars[x * 2 * 7 / w].u;
		bar_v[x] = kBars[x * 2 * 7 / w].v;
	}
	const int cbox_x0 = (box_x + 1) / 2;
	const int cbox_x1 = (box_x + box + 1) / 2;
	auto in_box_row = [&](int y) { return y >= box_y && y < box_y + box; };

	for (int y = 0; y < h; ++y) {
		uint8_t* row = py + y * frame->linesize[0];
		const std::vector<uint8_t>& src = y < bars_h ? bar_y : ramp_y;
		std::copy(src.begin(), src.end(), row);
		if (in_box_row(y))
			std::fill(row + box_x, row + box_x + box, uint8_t{235});
	}
	for (int y = 0; y < ch; ++y) {
		const int luma_y = y * csub;
		uint8_t* urow = pu + y * frame->linesize[1];
		uint8_t* vrow = pv + y * frame->linesize[2];
		const bool bars = luma_y < bars_h;
		const std::vector<uint8_t>& su = bars ? bar_u : flat_uv;
		const std::vector<uint8_t>& sv = bars ? bar_v : flat_uv;
		std::copy(su.begin(), su.end(), urow);
		std::copy(sv.begin(), sv.end(), vrow);
		if (in_box_row(luma_y)) {
			std::fill(urow + cbox_x0, urow + cbox_x1, uint8_t{128});
			std::fill(vrow + cbox_x0, vrow + cbox_x1, uint8_t{128});
		}
	}
}

std::shared_ptr<const SpeedhqBank> encode_bank(const SpeedhqBankKey& key, const std::atomic<bool>* cancel)
{
	const AVPixelFormat format = key.chroma_420 ? AV_PIX_FMT_YUV420P : AV_PIX_FMT_YUV422P;
	vexo_av::CodecPtr ctx = vexo_av::open_encoder(AV_CODEC_ID_SPEEDHQ, key.width, key.height, format, key.quantiser);
	vexo_av::FramePtr frame(av_frame_alloc());
	auto bank = std::make_shared<SpeedhqBank>();
	bank->key = key;
	bool ok = ctx && frame;
	if (ok) {
		frame->format = format;
		frame->width = key.width;
		frame->height = key.height;
		ok = av_frame_get_buffer(frame.get(), 0) == 0;
	}
	const int count = key.black ? 1 : speedhq_bank_length(key.width, key.height);
	std::vector<uint8_t> bytes;
	for (int i = 0; ok && i < count; ++i) {
		if (cancel != nullptr && cancel->load())
			return nullptr;
		ok = av_frame_make_writable(frame.get()) == 0;
		if (!ok)
			break;
		draw_picture(frame.get(), key, i, count);
		frame->pts = i;
		ok = vexo_av::encode_one(ctx.get(), frame.get(), bytes);
		if (ok) {
			bank->largest = std::max(bank->largest, bytes.size());
			bank->frames.push_back(std::make_shared<const std::vector<uint8_t>>(std::move(bytes)));
		}
	}
	if (!ok || bank->frames.size() != static_cast<size_t>(count)) {
		fprintf(stderr, "vexoenc-sim: cannot encode a %dx%d SpeedHQ test picture\n", key.width, key.height);
		return nullptr;
	}
	return bank;
}

// Banks by key; an entry whose bank is still null is being encoded by some thread.
struct BankCache {
	std::mutex lock;
	std::condition_variable done;
	std::map<SpeedhqBankKey, std::shared_ptr<const SpeedhqBank>> banks;
	std::map<SpeedhqBankKey, bool> encoding;
	// Pictures (keys at the fine quantiser) whose coarser banks are kept, the latest used first.
	std::vector<SpeedhqBankKey> coarse_pictures;
	size_t peak_bytes = 0;  // the most the banks have held at once
};

// The key of the same picture at the finest quantiser.
SpeedhqBankKey finest(SpeedhqBankKey key)
{
	key.quantiser = kQuantiserSteps[0];
	return key;
}

// Coarser banks serve low rate targets of the pictures in use: those of the program and the
// preview stream are kept, those of older pictures go, so that rate and raster changes never
// make the cache grow past two pictures' coarser banks. Called with the lock held.
void note_coarse_use(BankCache& c, const SpeedhqBankKey& key)
{
	if (key.quantiser == kQuantiserSteps[0])
		return;
	const SpeedhqBankKey picture = finest(key);
	auto& order = c.coarse_pictures;
	order.erase(std::remove(order.begin(), order.end(), picture), order.end());
	order.insert(order.begin(), picture);
	const size_t kKept = 2;
	while (order.size() > kKept) {
		for (auto it = c.banks.begin(); it != c.banks.end();) {
			const bool coarse_of_dropped = it->first.quantiser != kQuantiserSteps[0] && finest(it->first) == order.back();
			it = coarse_of_dropped ? c.banks.erase(it) : std::next(it);
		}
		order.pop_back();
	}
}

// Bytes of the frames the cache holds. Called with the lock held.
size_t held_bytes(const BankCache& c)
{
	size_t bytes = 0;
	for (const auto& entry : c.banks)
		if (entry.second)
			for (const SpeedhqFrame& frame : entry.second->frames)
				bytes += frame->capacity();
	return bytes;
}

BankCache& cache()
{
	static BankCache* instance = new BankCache;  // never destroyed: threads may outlive main
	return *instance;
}

uint32_t rl24(const uint8_t* p)
{
	return p[0] | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16);
}

void wl24(uint8_t* p, size_t v)
{
	p[0] = static_cast<uint8_t>(v);
	p[1] = static_cast<uint8_t>(v >> 8);
	p[2] = static_cast<uint8_t>(v >> 16);
}

// A frame's slices: one field of four slices after the 4-byte header, or two fields, the
// second at the offset the header gives. Each slice starts with its 24-bit length (the length
// field included); a field's last slice runs to the field's end.
constexpr int kSlicesPerField = 4;
struct Slices {
	int fields = 0;
	int count = 0;
	size_t begin[2 * kSlicesPerField] = {};
	size_t end[2 * kSlicesPerField] = {};
};

bool parse_slices(const std::vector<uint8_t>& frame, Slices& out)
{
	const size_t size = frame.size();
	if (size < 4 + 3 * kSlicesPerField)
		return false;
	const size_t second = rl24(frame.data() + 1);
	// 4, or the frame's end, marks a frame of one field.
	const bool one = second == 4 || second == size - 4;
	if (!one && (second < 4 + 3 * kSlicesPerField || second + 3 * kSlicesPerField > size))
		return false;
	out.fields = one ? 1 : 2;
	const size_t field_begin[2] = {4, second};
	const size_t field_end[2] = {one ? size : second, size};
	for (int f = 0; f < out.fields; ++f) {
		size_t at = field_begin[f];
		for (int i = 0; i < kSlicesPerField; ++i) {
			if (at + 3 > field_end[f])
				return false;
			size_t end = field_end[f];
			if (i + 1 < kSlicesPerField) {
				const size_t len = rl24(frame.data() + at);
				if (len < 3 || at + len > field_end[f])
					return false;
				end = at + len;
			}
			out.begin[out.count] = at;
			out.end[out.count] = end;
			++out.count;
			at = end;
		}
	}
	return true;
}

// Writes into a buffer of `left` bytes, dropping what does not fit.
struct Writer {
	uint8_t* at;
	size_t left;
	size_t written = 0;
	void put(const uint8_t* data, size_t n)
	{
		n = std::min(n, left);
		memcpy(at, data, n);
		advance(n);
	}
	void zeros(size_t n)
	{
		n = std::min(n, left);
		memset(at, 0, n);
		advance(n);
	}
	void advance(size_t n)
	{
		at += n;
		left -= n;
		written += n;
	}
};

}  // namespace

bool SpeedhqBankKey::operator<(const SpeedhqBankKey& other) const
{
	return std::tie(width, height, chroma_420, uv_swapped, black, quantiser) <
	       std::tie(other.width, other.height, other.chroma_420, other.uv_swapped, other.black, other.quantiser);
}

int speedhq_bank_length(int width, int height)
{
	// Rasters above HD cost roughly four times as much to encode per frame.
	return static_cast<long>(width) * height > 1920L * 1080 ? 8 : 16;
}

std::shared_ptr<const SpeedhqBank> speedhq_bank(const SpeedhqBankKey& key, const std::atomic<bool>* cancel)
{
	BankCache& c = cache();
	std::unique_lock<std::mutex> lock(c.lock);
	c.done.wait(lock, [&] { return !c.encoding[key]; });
	auto found = c.banks.find(key);
	if (found != c.banks.end()) {
		note_coarse_use(c, key);
		return found->second;
	}
	c.encoding[key] = true;
	lock.unlock();
	std::shared_ptr<const SpeedhqBank> bank = encode_bank(key, cancel);
	lock.lock();
	c.encoding[key] = false;
	if (bank) {
		c.banks[key] = bank;
		// Before the older pictures' banks go: their frames may still be in use.
		c.peak_bytes = std::max(c.peak_bytes, held_bytes(c));
		note_coarse_use(c, key);
	}
	c.done.notify_all();
	return bank;
}

size_t speedhq_bank_bytes()
{
	BankCache& c = cache();
	std::lock_guard<std::mutex> lock(c.lock);
	return held_bytes(c);
}

size_t speedhq_bank_peak_bytes()
{
	BankCache& c = cache();
	std::lock_guard<std::mutex> lock(c.lock);
	return c.peak_bytes;
}

std::shared_ptr<const SpeedhqBank> speedhq_bank_for_target(SpeedhqBankKey key, long target,
                                                           const std::atomic<bool>* cancel)
{
	std::shared_ptr<const SpeedhqBank> bank;
	for (int quantiser : kQuantiserSteps) {
		key.quantiser = quantiser;
		std::shared_ptr<const SpeedhqBank> next = speedhq_bank(key, cancel);
		if (!next)
			break;
		bank = next;
		if (target <= 0 || bank->largest <= static_cast<size_t>(target))
			break;
	}
	return bank;
}

size_t speedhq_stuffed_size(const std::vector<uint8_t>& frame, long target, size_t limit)
{
	Slices slices;
	if (target <= 0 || static_cast<size_t>(target) <= frame.size() || !parse_slices(frame, slices))
		return frame.size();
	// 24-bit slice lengths and field offsets bound a frame below 16 MB.
	return std::max(frame.size(), std::min({static_cast<size_t>(target), limit, size_t{0xFFFFFF}}));
}

size_t speedhq_write_stuffed(const std::vector<uint8_t>& frame, size_t size, uint8_t* out, size_t count)
{
	Writer w{out, std::min(count, size)};
	Slices slices;
	if (size <= frame.size() || !parse_slices(frame, slices)) {
		w.put(frame.data(), frame.size());
		return w.written;
	}
	// The stuffing is shared among the slices; the last one takes the remainder.
	const size_t extra = size - frame.size();
	const size_t share = extra / static_cast<size_t>(slices.count);
	auto pad = [&](int i) { return i + 1 < slices.count ? share : extra - share * static_cast<size_t>(slices.count - 1); };

	uint8_t header[4] = {frame[0]};
	size_t second = 4;
	if (slices.fields == 2) {
		for (int i = 0; i < kSlicesPerField; ++i)
			second += slices.end[i] - slices.begin[i] + pad(i);
	} else if (rl24(frame.data() + 1) != 4) {
		second = size - 4;
	}
	wl24(header + 1, second);
	w.put(header, sizeof(header));
	for (int i = 0; i < slices.count; ++i) {
		uint8_t length[3];
		wl24(length, slices.end[i] - slices.begin[i] + pad(i));
		w.put(length, sizeof(length));
		w.put(frame.data() + slices.begin[i] + 3, slices.end[i] - slices.begin[i] - 3);
		w.zeros(pad(i));
	}
	return w.written;
}

}  // namespace sim

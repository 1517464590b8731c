// The FPGA SpeedHQ encoder behind /dev/mervane-speedhq in the virtual appliance.
#include "encoder_model.h"

#include "NdiTransmitter.h"

#include <algorithm>
#include <errno.h>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdlib.h>
#include <string.h>

#include <thread>

#include "adv7619_model.h"

namespace sim {

using namespace mervane_speedhq;

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<FrameReadObserver> frame_read_observer{nullptr};

std::atomic<EncoderModel*> g_installed{nullptr};

// The raster of the program stream for the mode the program set: the encoder scales the
// input to the mode, the rate follows the input.
void mode_raster(int mode, int enable_4k, int& width, int& height)
{
	if (enable_4k == 1 || mode == kMode2160p) {
		width = 3840;
		height = 2160;
	} else if (mode == kMode720p) {
		width = 1280;
		height = 720;
	} else if (mode == kMode1080i) {
		width = 1920;
		height = 540;
	} else {
		width = 1920;
		height = 1080;
	}
}

// The most a frame of the raster may be stuffed to: the device's frame buffers hold 4 bytes a
// pixel, the most the program accepts.
size_t frame_limit(const SpeedhqBankKey& key)
{
	return size_t{4} * static_cast<size_t>(key.width) * static_cast<size_t>(key.height);
}

// What a mode runs at when nobody says where the input is (models without an HDMI side).
EncoderSource nominal_source(int mode, int enable_4k)
{
	EncoderSource s;
	s.present = true;
	s.rate_n = 60000;
	s.rate_d = 1001;
	mode_raster(mode, enable_4k, s.width, s.height);
	if (s.width == 3840) {
		s.rate_n = 30000;
	} else if (mode == kMode1080i) {
		s.height = 1080;
		s.interlaced = true;
		s.rate_n = 30000;
	}
	return s;
}

}  // namespace

EncoderModel::EncoderModel(Board* board) : board_(board) {}

EncoderModel::~EncoderModel() = default;

EncoderModel* EncoderModel::installed()
{
	return g_installed.load();
}

void EncoderModel::set_installed(EncoderModel* model)
{
	g_installed.store(model);
}

void EncoderModel::set_source_provider(std::function<EncoderSource()> provider)
{
	std::lock_guard<std::mutex> guard(lock_);
	source_provider_ = std::move(provider);
}

EncoderSource EncoderModel::nominal_source() const
{
	// Called from the provider, under lock_.
	return sim::nominal_source(settings_.mode, settings_.enable_4k);
}

EncoderModel::Settings EncoderModel::settings() const
{
	std::lock_guard<std::mutex> guard(lock_);
	return settings_;
}

size_t EncoderModel::largest_read() const
{
	std::lock_guard<std::mutex> guard(lock_);
	return largest_read_;
}

void EncoderModel::shut_down()
{
	std::lock_guard<std::mutex> guard(lock_);
	shut_down_ = true;
	changed_.notify_all();
}

void EncoderModel::log_request(unsigned long request, const int32_t* arg)
{
	if (board_ == nullptr)
		return;
	nlohmann::ordered_json fields = {{"req", request}};
	if (arg != nullptr)
		fields["arg"] = *arg;
	board_->event("encoder", fields);
}

bool EncoderModel::control(const std::string& line)
{
	std::istringstream in(line);
	std::string word;
	in >> word;
	// The faults a single word switches on.
	static const std::pair<const char*, bool Faults::*> kSwitches[] = {
		{"same", &Faults::same},           {"badheader", &Faults::badheader}, {"shortread", &Faults::shortread},
		{"selectfail", &Faults::selectfail}, {"sizefail", &Faults::sizefail},   {"hugesize", &Faults::hugesize}};
	std::lock_guard<std::mutex> guard(lock_);
	const auto* flag = std::find_if(std::begin(kSwitches), std::end(kSwitches),
	                                [&](const auto& s) { return word == s.first; });
	int value = 0;
	if (word == "novalid" && in >> value) {
		faults_.novalid = true;
		faults_.novalid_value = value;
	} else if (word == "ok") {
		faults_ = Faults();
	} else if (flag != std::end(kSwitches)) {
		faults_.*(flag->second) = true;
	} else {
		return false;
	}
	// Lets a test see when its line has been taken; the control file is read asynchronously.
	if (board_ != nullptr)
		board_->event("encoder", {{"control", line}});
	return true;
}

namespace {

// A line on standard error every 30 frames while a clip's bank is made.
std::function<void(size_t, size_t)> progress_line(const std::string& clip, const ClipBankKey& key)
{
	return [clip, key](size_t done, size_t) {
		if (done % 30 == 0)
			fprintf(stderr, "vexoenc-sim: encoding %s for %dx%d%s q%d: %zu frames\n", clip.c_str(), key.width,
			        key.height, key.fields ? " fields" : "", key.quantiser, done);
	};
}

}  // namespace

void EncoderModel::clip_keys(const EncoderSource& source, ClipBankKey& program, ClipBankKey& preview) const
{
	const SpeedhqBankKey p = program_key(source);
	program = ClipBankKey();
	program.width = p.width;
	program.height = p.height;
	program.chroma_420 = p.chroma_420;
	program.uv_swapped = p.uv_swapped;
	program.fields = settings_.mode == kMode1080i;
	program.rate_n = source.interlaced ? 2 * source.rate_n : source.rate_n;
	program.rate_d = source.rate_d;
	program.quantiser = kQuantiserSteps[0];
	preview = program;
	preview.width = 640;
	preview.height = 360;
	preview.chroma_420 = true;
	preview.uv_swapped = false;
	preview.fields = false;
}

std::shared_ptr<ClipBank> EncoderModel::clip_bank(const std::string& clip, const ClipBankKey& key, std::string& error)
{
	{
		std::lock_guard<std::mutex> guard(lock_);
		for (const auto& entry : clip_banks_)
			if (entry.first == key)
				return entry.second;
	}
	std::lock_guard<std::mutex> making(clip_making_);
	{
		std::lock_guard<std::mutex> guard(lock_);
		for (const auto& entry : clip_banks_)
			if (entry.first == key)
				return entry.second;
	}
	std::shared_ptr<ClipBank> bank = ClipBank::open(clip, key, error, progress_line(clip, key));
	if (!bank)
		return nullptr;
	std::lock_guard<std::mutex> guard(lock_);
	if (clip != clip_)
		return bank;  // the picture changed meanwhile: used once, not kept
	// Banks of another raster or rate than this one's stream kind go.
	clip_banks_.erase(std::remove_if(clip_banks_.begin(), clip_banks_.end(),
	                                 [&](const auto& entry) {
		                                 ClipBankKey a = entry.first, b = key;
		                                 a.quantiser = b.quantiser = 0;
		                                 const bool preview = key.width == 640 && key.height == 360;
		                                 const bool entry_preview = a.width == 640 && a.height == 360;
		                                 return preview == entry_preview && !(a == b);
	                                 }),
	                  clip_banks_.end());
	clip_banks_.emplace_back(key, bank);
	return bank;
}

bool EncoderModel::clip_entry(const std::string& clip, ClipBankKey key, uint64_t tick, long target, int& quantiser,
                              std::vector<uint8_t>& out)
{
	std::string error;
	std::shared_ptr<ClipBank> bank;
	const int fixed = quantiser;  // a field 1 keeps its field 0's quantiser
	for (int q : kQuantiserSteps) {
		if (fixed > 0 && q != fixed)
			continue;
		key.quantiser = q;
		std::shared_ptr<ClipBank> next = clip_bank(clip, key, error);
		if (!next)
			break;
		bank = next;
		quantiser = q;
		if (target <= 0 || bank->size_of(tick % bank->count()) <= static_cast<size_t>(target))
			break;
	}
	if (!bank) {
		if (board_ != nullptr)
			board_->event("encoder", {{"picture", "clip " + clip}, {"error", error}});
		return false;
	}
	return bank->read(tick % bank->count(), out);
}

bool EncoderModel::set_picture(const std::string& line)
{
	std::istringstream in(line);
	std::string word;
	in >> word;
	std::string clip;
	if (word == "clip") {
		std::getline(in >> std::ws, clip);
		while (!clip.empty() && isspace(static_cast<unsigned char>(clip.back())))
			clip.pop_back();
	} else if (word == "pattern") {
		clip = kPatternName;
	} else if (word != "testcard") {
		return false;
	}
	std::vector<std::pair<ClipBankKey, std::shared_ptr<ClipBank>>> made;
	if (!clip.empty()) {
		// The program's and preview's banks for the input now prove the clip readable before
		// it is shown, and spare the frames after it the encode.
		ClipBankKey program, preview;
		std::vector<ClipBankKey> keys;
		{
			std::lock_guard<std::mutex> guard(lock_);
			EncoderSource source = source_provider_ ? source_provider_()
			                                        : sim::nominal_source(settings_.mode, settings_.enable_4k);
			if (!source.present || source.rate_n <= 0)
				source = sim::nominal_source(settings_.mode, settings_.enable_4k);
			clip_keys(source, program, preview);
			// Until the program has set the encoder up and read a frame, its raster is not
			// known: the preview's bank proves the clip, the program's is made at the first read.
			keys = ticks_ > 0 ? std::vector<ClipBankKey>{preview, program} : std::vector<ClipBankKey>{preview};
		}
		std::string error;
		for (const ClipBankKey& key : keys) {
			std::shared_ptr<ClipBank> bank = ClipBank::open(clip, key, error, progress_line(clip, key));
			if (!bank) {
				if (board_ != nullptr)
					board_->event("encoder", {{"picture", line}, {"error", error}});
				return true;
			}
			made.emplace_back(key, std::move(bank));
		}
	}
	std::lock_guard<std::mutex> guard(lock_);
	clip_ = clip;
	clip_banks_ = std::move(made);
	if (board_ != nullptr)
		board_->event("encoder", {{"picture", clip.empty() ? "testcard" : clip == kPatternName ? clip : "clip " + clip}});
	return true;
}

SpeedhqBankKey EncoderModel::program_key(const EncoderSource& source) const
{
	SpeedhqBankKey key;
	mode_raster(settings_.mode, settings_.enable_4k, key.width, key.height);
	key.chroma_420 = settings_.pix_format_420 == 1;
	key.uv_swapped = settings_.uv_swap == 1;
	key.black = !source.present;
	return key;
}

Clock::duration EncoderModel::period_of(const EncoderSource& source) const
{
	if (!source.present || source.rate_n <= 0 || source.rate_d <= 0)
		return period_;  // the clock runs on at the last rate
	long long per_second = source.interlaced ? 2LL * source.rate_n : source.rate_n;
	return std::chrono::duration_cast<Clock::duration>(
		std::chrono::nanoseconds(1000000000LL * source.rate_d / per_second));
}

int EncoderModel::ioctl(unsigned long request, void* arg, std::atomic<int>& selection)
{
	int32_t* value = static_cast<int32_t*>(arg);
	std::lock_guard<std::mutex> guard(lock_);
	switch (request) {
	case kRelease:
		log_request(request, nullptr);
		if (settings_.held) {
			settings_.held = false;
			// The first frame after a release is one frame period away.
			next_tick_ = Clock::now() + period_;
		}
		changed_.notify_all();
		return 0;
	case kHold:
		log_request(request, nullptr);
		// How many frames the run that this hold ends handed out, and how many of them the
		// program's send queues dropped (the program holds after its send threads ended): with
		// what a receiver got, a test can tell whether any frame was lost.
		{
			const unsigned drops[2] = {send_queue_bound_drops(false), send_queue_bound_drops(true)};
			if (!settings_.held && run_frames_ > 0 && board_ != nullptr)
				board_->event("encoder", {{"run_frames", run_frames_},
				                          {"bound_drops", {drops[0] - bound_drops_[0], drops[1] - bound_drops_[1]}}});
			bound_drops_[0] = drops[0];
			bound_drops_[1] = drops[1];
		}
		run_frames_ = 0;
		settings_.held = true;
		++holds_;
		changed_.notify_all();
		return 0;
	case kField:
		if (value == nullptr)
			break;
		*value = field_;
		return 0;
	case kReadSelect:
		if (value == nullptr)
			break;
		if (*value < kSelectStatus || *value > kSelectPreview) {
			errno = EINVAL;
			return -1;
		}
		if (*value == kSelectFull && faults_.selectfail) {
			faults_.selectfail = false;
			errno = EIO;
			return -1;
		}
		selection = *value;
		return 0;
	case kFrameSize: {
		if (value == nullptr)
			break;
		int sel = selection;
		if (sel == kSelectStatus) {
			*value = kStatusWords * sizeof(uint32_t);
			return 0;
		}
		if (sel != kSelectFull && sel != kSelectPreview) {
			errno = EINVAL;
			return -1;
		}
		if (sel == kSelectFull && faults_.sizefail) {
			faults_.sizefail = false;
			errno = EIO;
			return -1;
		}
		if (sel == kSelectFull && faults_.hugesize) {
			faults_.hugesize = false;
			*value = kHugeSize;
			return 0;
		}
		const SpeedhqFrame& frame = sel == kSelectFull ? full_ : preview_;
		if (!frame) {
			errno = EIO;  // nothing encoded yet
			return -1;
		}
		*value = static_cast<int32_t>(sel == kSelectFull ? full_size_ : preview_size_);
		return 0;
	}
	case kPixFormat420:
	case kDci:
	case kBitRate:
	case kBitRatePrev:
	case kEnable4k:
	case kUvSwap:
	case kMode:
	case kQSel:
	case kQuality:
	case kLowAc:
	case kSwitchBuff: {
		if (value == nullptr)
			break;
		log_request(request, value);
		int v = *value;
		switch (request) {
		case kPixFormat420: settings_.pix_format_420 = v; break;
		case kDci: settings_.dci = v; break;
		case kBitRate: settings_.bit_rate = v; break;
		case kBitRatePrev: settings_.bit_rate_prev = v; break;
		case kEnable4k: settings_.enable_4k = v; break;
		case kUvSwap: settings_.uv_swap = v; break;
		case kMode: settings_.mode = v; break;
		case kQSel: settings_.q_sel = v; break;
		case kQuality: settings_.quality = v; break;
		case kLowAc: settings_.low_ac = v; break;
		default: settings_.switch_buff = v; break;
		}
		return 0;
	}
	default:
		errno = ENOTTY;
		return -1;
	}
	errno = EFAULT;
	return -1;
}

ssize_t EncoderModel::read(void* buf, size_t count, int selection)
{
	if (buf == nullptr) {
		errno = EFAULT;
		return -1;
	}
	switch (selection) {
	case kSelectStatus:
		// The count is in words.
		if (count != kStatusWords) {
			errno = EINVAL;
			return -1;
		}
		return read_status(static_cast<uint32_t*>(buf));
	case kSelectFull:
		return read_frame(static_cast<uint8_t*>(buf), count, true);
	case kSelectPreview:
		return read_frame(static_cast<uint8_t*>(buf), count, false);
	default:
		errno = EINVAL;
		return -1;
	}
}

ssize_t EncoderModel::read_status(uint32_t* words)
{
	std::unique_lock<std::mutex> lock(lock_);
	changed_.wait(lock, [&] { return !settings_.held || shut_down_; });
	if (shut_down_) {
		errno = EIO;
		return -1;
	}
	const uint64_t holds_at_start = holds_;
	EncoderSource source = source_provider_ ? source_provider_()
	                                        : sim::nominal_source(settings_.mode, settings_.enable_4k);
	SpeedhqBankKey program = program_key(source);
	SpeedhqBankKey preview = program;
	preview.width = 640;
	preview.height = 360;
	preview.chroma_420 = true;
	const bool fields = settings_.mode == kMode1080i;
	period_ = period_of(source);
	// The rate targets as last requested, in bytes a frame (a field in mode 3).
	const long program_target = settings_.bit_rate;
	const long preview_target = settings_.bit_rate_prev;
	// A field 1 comes from the bank of its field 0, so the pair shares one quality byte.
	SpeedhqBankKey field1_key = field0_key_;
	field1_key.quantiser = program.quantiser;
	const bool second_field = fields && (ticks_ & 1) != 0 && program == field1_key;

	// Encoding a bank can take a second or two; the settings thread's requests go on.
	lock.unlock();
	std::shared_ptr<const SpeedhqBank> program_bank = second_field ? speedhq_bank(field0_key_)
	                                                               : speedhq_bank_for_target(program, program_target);
	std::shared_ptr<const SpeedhqBank> preview_bank = speedhq_bank_for_target(preview, preview_target);
	lock.lock();

	// A clip replaces the banks' frames with its entries for this tick, read from its cache.
	std::vector<uint8_t> clip_full, clip_preview;
	const std::string clip = clip_;
	const uint64_t tick = ticks_;
	if (!clip.empty() && source.present) {
		ClipBankKey ck, pk;
		clip_keys(source, ck, pk);
		int quantiser = (fields && (tick & 1) != 0) ? clip_field0_quantiser_ : 0;
		int preview_quantiser = 0;
		lock.unlock();
		const bool ok = clip_entry(clip, ck, tick, program_target, quantiser, clip_full) &&
		                clip_entry(clip, pk, tick, preview_target, preview_quantiser, clip_preview);
		lock.lock();
		if (ok && fields && (tick & 1) == 0)
			clip_field0_quantiser_ = quantiser;
		if (!ok)
			clip_full.clear();
	}

	// A reader that fell more than a frame behind (a pause, a bank encode) finds one frame
	// ready, not a burst of them.
	Clock::time_point now = Clock::now();
	if (next_tick_ + period_ < now)
		next_tick_ = now;
	changed_.wait_until(lock, next_tick_, [&] { return holds_ != holds_at_start || shut_down_; });
	if (shut_down_) {
		errno = EIO;
		return -1;
	}
	frame_ready_ = next_tick_;
	next_tick_ += period_;

	const uint64_t index = ticks_++;
	frame_tick_ = index;
	const int previous = buffer_;
	field_ = fields ? static_cast<int>(index & 1) : 0;
	full_ = program_bank ? program_bank->frames[index % program_bank->frames.size()] : nullptr;
	preview_ = preview_bank ? preview_bank->frames[index % preview_bank->frames.size()] : nullptr;
	if (!clip_full.empty() && index == tick) {
		full_ = std::make_shared<const std::vector<uint8_t>>(std::move(clip_full));
		preview_ = std::make_shared<const std::vector<uint8_t>>(std::move(clip_preview));
	}
	full_size_ = full_ ? speedhq_stuffed_size(*full_, program_target, frame_limit(program)) : 0;
	preview_size_ = preview_ ? speedhq_stuffed_size(*preview_, preview_target, frame_limit(preview)) : 0;
	if (!full_ || !preview_)
		return 0;  // nothing to deliver: the program counts it as no frame
	if (fields && field_ == 0)
		field0_key_ = program_bank->key;

	if (faults_.novalid) {
		faults_.novalid = false;
		if (board_ != nullptr)
			board_->event("encoder", {{"fault", "novalid"}, {"value", faults_.novalid_value}});
		return faults_.novalid_value;
	}
	buffer_ = buffer_ % kBufferCount + 1;
	++run_frames_;
	uint32_t status[kStatusWords] = {static_cast<uint32_t>(index), static_cast<uint32_t>(field_),
	                      static_cast<uint32_t>(full_size_), static_cast<uint32_t>(preview_size_),
	                      static_cast<uint32_t>(previous), 0};
	if (faults_.same) {
		faults_.same = false;
		status[kStatusRepeatWord] = static_cast<uint32_t>(buffer_);
		if (board_ != nullptr)
			board_->event("encoder", {{"fault", "same"}});
	}
	memcpy(words, status, sizeof(status));
	return buffer_;
}

ssize_t EncoderModel::read_frame(uint8_t* buf, size_t count, bool full)
{
	SpeedhqFrame frame;
	size_t size = 0;
	bool badheader = false;
	bool shortread = false;
	uint64_t tick = 0;
	Clock::time_point ready;
	{
		std::lock_guard<std::mutex> guard(lock_);
		frame = full ? full_ : preview_;
		size = full ? full_size_ : preview_size_;
		tick = frame_tick_;
		ready = frame_ready_;
		largest_read_ = std::max(largest_read_, count);
		if (full) {
			badheader = faults_.badheader;
			shortread = faults_.shortread;
			faults_.badheader = false;
			faults_.shortread = false;
		}
	}
	if (!frame) {
		errno = EIO;
		return -1;
	}
	size_t n = std::min(count, size);
	if (shortread)
		n /= 2;
	n = speedhq_write_stuffed(*frame, size, buf, n);
	// Quality 100 is outside what the encoder ever writes.
	if (badheader && n > 0)
		buf[0] = 100;
	if (FrameReadObserver observer = frame_read_observer.load(std::memory_order_acquire))
		observer(buf, !full, tick, std::chrono::duration_cast<std::chrono::nanoseconds>(ready.time_since_epoch()).count());
	return static_cast<ssize_t>(n);
}

EncoderDevice::EncoderDevice(std::shared_ptr<EncoderModel> model) : model_(std::move(model)) {}

ssize_t EncoderDevice::read(void* buf, size_t count)
{
	return model_->read(buf, count, selection_);
}

int EncoderDevice::ioctl(unsigned long request, void* arg)
{
	return model_->ioctl(request, arg, selection_);
}

namespace {

// The board's encoder: one model for every descriptor of the node, kept until the process
// ends so that a descriptor still open after the board stops stays valid.
std::shared_ptr<EncoderModel>& board_model()
{
	static auto* model = new std::shared_ptr<EncoderModel>;
	return *model;
}

// The input as the HDMI control file sim/hdmi sets it, read again only when the file
// changes. Without the file (a board with no HDMI side) the mode's usual input is assumed.
// What the receiver's input feeds the encoder: the raster of a whole frame and its rate.
EncoderSource encoder_source(const HdmiSource& hdmi)
{
	EncoderSource source;
	source.present = hdmi.state == HdmiSource::State::signal;
	if (!source.present)
		return source;
	source.width = hdmi.width;
	source.interlaced = hdmi.interlaced;
	source.height = hdmi.interlaced ? 2 * hdmi.height : hdmi.height;
	source.rate_n = static_cast<int>(hdmi.rate_n);
	source.rate_d = static_cast<int>(hdmi.rate_d);
	return source;
}

// The start-up source as the receiver will take it from the control file (the receiver may
// not be installed yet).
bool startup_source(const std::string& path, EncoderSource& source)
{
	std::ifstream in(path);
	std::string line, last;
	while (std::getline(in, line))
		if (!line.empty())
			last = line;
	HdmiSource hdmi;
	std::string error;
	if (last.empty() || !HdmiSource::parse(last, &hdmi, &error))
		return false;
	source = encoder_source(hdmi);
	return true;
}

bool g_warm_up_next = false;  // set before the board starts, read by install

// The encode ahead of the program's first status read; joined when the board stops.
struct WarmUp {
	std::atomic<bool> cancel{false};
	std::thread thread;
};
WarmUp*& warm_up()
{
	static WarmUp* instance = nullptr;
	return instance;
}

// The banks the first read of a start in `source`'s format asks for: the program stream at the
// source's raster (a field for interlaced input), 4:2:2 in plain chroma order as a new
// appliance encodes it, and the preview.
void start_warm_up(const EncoderSource& source)
{
	if (!source.present)
		return;
	SpeedhqBankKey program;
	program.width = source.width;
	program.height = source.interlaced ? source.height / 2 : source.height;
	SpeedhqBankKey preview = program;
	preview.width = 640;
	preview.height = 360;
	preview.chroma_420 = true;
	WarmUp* w = new WarmUp;
	w->thread = std::thread([w, program, preview] {
		speedhq_bank(program, &w->cancel);
		speedhq_bank(preview, &w->cancel);
	});
	warm_up() = w;
}

void stop_warm_up()
{
	WarmUp* w = warm_up();
	if (w == nullptr)
		return;
	w->cancel = true;
	w->thread.join();
	delete w;
	warm_up() = nullptr;
}

void install(Board& board)
{
	auto model = std::make_shared<EncoderModel>(&board);
	if (g_warm_up_next) {
		g_warm_up_next = false;
		EncoderSource source;
		if (startup_source(board.path("sim/hdmi"), source))
			start_warm_up(source);
	}
	// The receiver model owns the source; an unreadable receiver leaves the signal as it was.
	auto last = std::make_shared<EncoderSource>();
	model->set_source_provider([last, model_ptr = model.get()] {
		std::shared_ptr<Adv7619Model> receiver = Adv7619Model::installed();
		if (!receiver)
			return model_ptr->nominal_source();
		HdmiSource hdmi = receiver->source();
		if (hdmi.state != HdmiSource::State::unreadable)
			*last = encoder_source(hdmi);
		return *last;
	});
	board_model() = model;
	EncoderModel::set_installed(model.get());
	board.add_device("mervane-speedhq", [model] { return std::make_shared<EncoderDevice>(model); });
	board.add_control("encoder", "ok", [model](const std::string& line) { model->control(line); });
	board.add_control("picture", "testcard", [model](const std::string& line) { model->set_picture(line); });
}

void uninstall(Board& board)
{
	stop_warm_up();
	board.remove_device("mervane-speedhq");
	if (board_model())
		board_model()->shut_down();
	EncoderModel::set_installed(nullptr);
}

ModelRegistrar registrar({"encoder", install, uninstall});

}  // namespace

void warm_up_banks_at_next_start()
{
	g_warm_up_next = true;
}

void set_frame_read_observer(FrameReadObserver observer)
{
	frame_read_observer.store(observer, std::memory_order_release);
}

}  // namespace sim

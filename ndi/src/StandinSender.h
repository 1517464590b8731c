// One stand-in NDI sender: a listening Unix socket, its receivers and the sender-side state.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <Processing.NDI.Lib.h>

#include "standin_wire.h"

namespace ndi_standin {

// The object behind an NDIlib_send_instance_t. Any thread may call its operations at the
// same time. It owns two threads: the I/O thread accepts receivers, writes each one's
// bounded queue and reads their tally and metadata; the video worker reads the caller's
// buffers of asynchronous sends after the call has returned and turns them into messages.
// Each asynchronous buffer is checked, when released, against a hash taken in its send call,
// so a caller that changes a buffer the runtime still holds is reported.
// state_mutex_ protects the receivers, their queues, the connection metadata, the failover
// name, the tally and the metadata inbox; async_mutex_ protects the two asynchronous slots.
class StandinSender
{
public:
	// Per receiver: queued audio, video and metadata frames ("media") beyond these bounds
	// drop the oldest of them.
	static constexpr size_t kMaxQueuedMediaBytes = 16u << 20;
	static constexpr size_t kMaxQueuedMediaMessages = 64;
	// Metadata frames from receivers waiting for NDIlib_send_capture; oldest dropped beyond.
	static constexpr size_t kMaxInbox = 256;
	// An asynchronous frame is read this long after its send at the latest (earlier when the
	// next frame of its stream arrives), so a buffer released too early is read after free.
	static constexpr std::chrono::milliseconds kAsyncReadDelay{10};
	// How long destruction keeps writing queued messages and the failover notice.
	static constexpr std::chrono::milliseconds kCloseFlushTime{500};

	// Null when the socket cannot be created; the reason is printed to standard error.
	static StandinSender* create(const NDIlib_send_create_t* settings, const char* config);
	~StandinSender();

	StandinSender(const StandinSender&) = delete;
	StandinSender& operator=(const StandinSender&) = delete;

	void send_video_async(const NDIlib_video_frame_v2_t* frame);
	void send_video(const NDIlib_video_frame_v2_t* frame);
	void send_audio(const NDIlib_audio_frame_interleaved_32f_t* frame);
	void send_metadata(const NDIlib_metadata_frame_t* frame);
	NDIlib_frame_type_e capture(NDIlib_metadata_frame_t* frame, uint32_t timeout_ms);
	bool get_tally(NDIlib_tally_t* tally, uint32_t timeout_ms);
	int connections(uint32_t timeout_ms);
	void add_connection_metadata(const char* text);
	void clear_connection_metadata();
	void set_failover(const char* name);
	const NDIlib_source_t* source() const { return &source_; }
	size_t queued_media_bytes();
	// Asynchronous frames whose buffer changed while the runtime held it.
	size_t modified_while_held();

private:
	using Message = std::shared_ptr<const std::vector<uint8_t>>;
	using Clock = std::chrono::steady_clock;

	struct Outgoing {
		Message msg;
		bool media;
	};

	struct Receiver {
		int fd = -1;
		std::deque<Outgoing> out;
		size_t sent = 0;  // bytes of out.front() already written
		size_t media_bytes = 0;
		size_t media_count = 0;
		MessageSplitter in{kMaxBodyFromReceiver};
		bool program = false;
		bool preview = false;
		uint32_t dropped[4] = {};  // program video, preview video, audio, metadata frames
	};

	struct AsyncSlot {
		bool pending = false;  // a caller's frame not yet turned into a message
		bool flush = false;    // the next send of this stream waits for it
		Clock::time_point due;
		NDIlib_video_frame_v2_t frame;
		// The caller's buffer is the runtime's until the next send of this stream, a null
		// send or destruction returns; that release compares it with `checksum`.
		bool held = false;
		uint64_t checksum = 0;  // frame_checksum() in the send call
		uint64_t sequence = 0;  // asynchronous frames sent on this stream so far
	};

	StandinSender(std::string name, std::optional<std::string> groups, std::optional<std::string> config);
	bool listen_on(const std::string& dir);
	void io_loop();
	void video_worker();
	void accept_receivers();
	bool read_receiver(Receiver& rx);
	bool write_receiver(Receiver& rx);
	void handle_message(Receiver& rx, uint32_t type, const std::vector<uint8_t>& body);
	void enqueue(Receiver& rx, const Message& msg, bool media);
	static void post_drop_notice(Receiver& rx);
	void broadcast(const Message& msg, bool media);
	void update_tally_locked();
	void wake();
	// Waits until the stream's pending frame has been read; `lk` holds async_mutex_.
	void wait_read(std::unique_lock<std::mutex>& lk, int stream);
	// Waits for the pending frames of `stream` (-1: both) and releases their buffers.
	void flush_async(int stream, const char* releaser);
	// Ends the hold of the stream's buffer, reporting a change; async_mutex_ held, not pending.
	void release_held_locked(int stream, const char* releaser);
	Message hello_message() const;
	static Message video_message(const NDIlib_video_frame_v2_t& frame, int stream);

	const std::string name_;
	const std::optional<std::string> groups_;
	const std::optional<std::string> config_;
	NDIlib_source_t source_;
	std::string socket_path_;
	int listen_fd_ = -1;
	int wake_fd_ = -1;

	std::mutex state_mutex_;
	std::condition_variable tally_cv_;
	std::condition_variable inbox_cv_;
	std::condition_variable connections_cv_;
	std::vector<std::unique_ptr<Receiver>> receivers_;
	std::vector<std::string> connection_metadata_;
	std::optional<std::string> failover_;
	NDIlib_tally_t tally_;           // OR over the receivers
	NDIlib_tally_t tally_reported_;  // state the last get_tally returned
	std::deque<std::pair<int64_t, std::string>> inbox_;
	bool closing_ = false;
	Clock::time_point close_deadline_;

	std::mutex async_mutex_;
	std::condition_variable async_work_cv_;
	std::condition_variable async_done_cv_;
	AsyncSlot slots_[2];  // 0: program, 1: preview
	bool stop_worker_ = false;
	size_t modified_while_held_ = 0;

	std::thread io_thread_;
	std::thread video_thread_;
};

// Which stream a FourCC belongs to: 1 (preview) for the lowest-bandwidth compressed types,
// else 0 (program).
int stream_of(NDIlib_FourCC_video_type_e fourcc);

// Bytes of picture data described by a frame (0 when it describes none).
size_t video_data_size(const NDIlib_video_frame_v2_t& frame);

// Hash of a frame's description, its metadata text and its picture data.
uint64_t frame_checksum(const NDIlib_video_frame_v2_t& frame);

// Recommended size in bytes of one compressed frame; see ndi/README.md for the rule.
int target_frame_size(const NDIlib_video_frame_v2_t& frame);

}  // namespace ndi_standin

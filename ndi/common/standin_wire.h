// Wire format shared by the stand-in NDI sender and its receivers: length-prefixed messages.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

namespace ndi_standin {

// Every message is an 8-byte header (type, body length; both 32-bit little-endian) and a
// body of fixed-width little-endian fields. Strings are a 32-bit length and their bytes,
// optional strings a presence byte first.
constexpr uint32_t kProtocolVersion = 1;
constexpr size_t kHeaderSize = 8;

enum MessageType : uint32_t {
	// sender -> receiver
	kMsgHello = 1,            // version, name, groups?, config?
	kMsgConnectionMeta = 2,   // text
	kMsgVideo = 3,            // VideoHeader fields, metadata?, data
	kMsgAudio = 4,            // rate, channels, samples, timecode, floats
	kMsgMetadata = 5,         // timecode, text (frame sent by NDIlib_send_send_metadata)
	kMsgFailover = 6,         // failover source name
	kMsgDropped = 7,          // media dropped for this receiver so far: program, preview, audio, metadata
	// receiver -> sender
	kMsgTally = 16,           // program byte, preview byte
	kMsgRxMetadata = 17,      // timecode, text
};

// Largest body a peer accepts; a bigger announced length means a broken peer.
constexpr uint32_t kMaxBodyFromSender = 256u << 20;
constexpr uint32_t kMaxBodyFromReceiver = 1u << 20;

// Builds one message; finish() writes the header and hands the bytes over.
class MessageWriter
{
public:
	explicit MessageWriter(uint32_t type, size_t reserve = 64);
	void u8(uint8_t v);
	void u32(uint32_t v);
	void i32(int32_t v) { u32(static_cast<uint32_t>(v)); }
	void u64(uint64_t v);
	void i64(int64_t v) { u64(static_cast<uint64_t>(v)); }
	void f32(float v);
	void str(const std::string& s);
	void opt_str(const char* s);          // null -> absent
	void bytes(const void* p, size_t n);  // raw, no length
	std::vector<uint8_t> finish();

private:
	std::vector<uint8_t> buf_;
};

// Reads the body of one message; every read past the end sets failed() and yields zeros.
class MessageReader
{
public:
	MessageReader(const uint8_t* body, size_t size) : p_(body), end_(body + size) {}
	uint8_t u8();
	uint32_t u32();
	int32_t i32() { return static_cast<int32_t>(u32()); }
	uint64_t u64();
	int64_t i64() { return static_cast<int64_t>(u64()); }
	float f32();
	std::string str();
	std::optional<std::string> opt_str();
	const uint8_t* bytes(size_t n);  // null when fewer remain
	size_t remaining() const { return static_cast<size_t>(end_ - p_); }
	bool failed() const { return failed_; }

private:
	const uint8_t* p_;
	const uint8_t* end_;
	bool failed_ = false;
};

uint32_t load_u32(const uint8_t* p);

// Text of a FourCC, e.g. "SHQ2"; unprintable bytes become '?'.
std::string fourcc_text(uint32_t fourcc);

// Splits a stream of bytes into messages. feed() appends received bytes; next() returns
// true with type and body while a complete message is buffered.
class MessageSplitter
{
public:
	explicit MessageSplitter(uint32_t max_body) : max_body_(max_body) {}
	void feed(const uint8_t* p, size_t n);
	bool next(uint32_t& type, std::vector<uint8_t>& body);
	bool broken() const { return broken_; }  // a header announced more than max_body

private:
	std::vector<uint8_t> buf_;
	size_t start_ = 0;
	uint32_t max_body_;
	bool broken_ = false;
};

// Sends the whole buffer on a blocking socket; false on error or hang-up.
bool send_all(int fd, const void* p, size_t n);

}  // namespace ndi_standin

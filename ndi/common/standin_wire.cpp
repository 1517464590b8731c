// Wire format shared by the stand-in NDI sender and its receivers.
#include "standin_wire.h"

#include <errno.h>
#include <string.h>
#include <sys/socket.h>

namespace ndi_standin {

MessageWriter::MessageWriter(uint32_t type, size_t reserve)
{
	buf_.reserve(kHeaderSize + reserve);
	u32(type);
	u32(0);  // body length, filled in by finish()
}

void MessageWriter::u8(uint8_t v) { buf_.push_back(v); }

void MessageWriter::u32(uint32_t v)
{
	for (int i = 0; i < 4; ++i)
		buf_.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void MessageWriter::u64(uint64_t v)
{
	for (int i = 0; i < 8; ++i)
		buf_.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void MessageWriter::f32(float v)
{
	uint32_t bits;
	memcpy(&bits, &v, sizeof(bits));
	u32(bits);
}

void MessageWriter::str(const std::string& s)
{
	u32(static_cast<uint32_t>(s.size()));
	bytes(s.data(), s.size());
}

void MessageWriter::opt_str(const char* s)
{
	u8(s != nullptr ? 1 : 0);
	if (s != nullptr)
		str(s);
}

void MessageWriter::bytes(const void* p, size_t n)
{
	const uint8_t* b = static_cast<const uint8_t*>(p);
	buf_.insert(buf_.end(), b, b + n);
}

std::vector<uint8_t> MessageWriter::finish()
{
	uint32_t len = static_cast<uint32_t>(buf_.size() - kHeaderSize);
	for (int i = 0; i < 4; ++i)
		buf_[4 + i] = static_cast<uint8_t>(len >> (8 * i));
	return std::move(buf_);
}

std::string fourcc_text(uint32_t fourcc)
{
	std::string s;
	for (int i = 0; i < 4; ++i) {
		char c = static_cast<char>(fourcc >> (8 * i) & 0xFF);
		s += (c >= 0x20 && c < 0x7F) ? c : '?';
	}
	return s;
}

uint32_t load_u32(const uint8_t* p)
{
	return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
	       static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

const uint8_t* MessageReader::bytes(size_t n)
{
	if (failed_ || remaining() < n) {
		failed_ = true;
		return nullptr;
	}
	const uint8_t* p = p_;
	p_ += n;
	return p;
}

uint8_t MessageReader::u8()
{
	const uint8_t* p = bytes(1);
	return p != nullptr ? *p : 0;
}

uint32_t MessageReader::u32()
{
	const uint8_t* p = bytes(4);
	return p != nullptr ? load_u32(p) : 0;
}

uint64_t MessageReader::u64()
{
	const uint8_t* p = bytes(8);
	return p != nullptr ? static_cast<uint64_t>(load_u32(p)) | static_cast<uint64_t>(load_u32(p + 4)) << 32
	                    : 0;
}

float MessageReader::f32()
{
	uint32_t bits = u32();
	float v;
	memcpy(&v, &bits, sizeof(v));
	return v;
}

std::string MessageReader::str()
{
	uint32_t n = u32();
	const uint8_t* p = bytes(n);
	return p != nullptr ? std::string(reinterpret_cast<const char*>(p), n) : std::string();
}

std::optional<std::string> MessageReader::opt_str()
{
	if (u8() == 0)
		return std::nullopt;
	return str();
}

void MessageSplitter::feed(const uint8_t* p, size_t n)
{
	// Drop what next() has consumed before the buffer grows again.
	if (start_ > 0 && start_ >= buf_.size() / 2) {
		buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(start_));
		start_ = 0;
	}
	buf_.insert(buf_.end(), p, p + n);
}

bool MessageSplitter::next(uint32_t& type, std::vector<uint8_t>& body)
{
	if (broken_ || buf_.size() - start_ < kHeaderSize)
		return false;
	const uint8_t* h = buf_.data() + start_;
	uint32_t len = load_u32(h + 4);
	if (len > max_body_) {
		broken_ = true;
		return false;
	}
	if (buf_.size() - start_ < kHeaderSize + len)
		return false;
	type = load_u32(h);
	body.assign(h + kHeaderSize, h + kHeaderSize + len);
	start_ += kHeaderSize + len;
	return true;
}

bool send_all(int fd, const void* p, size_t n)
{
	const uint8_t* b = static_cast<const uint8_t*>(p);
	while (n > 0) {
		ssize_t r = ::send(fd, b, n, MSG_NOSIGNAL);
		if (r < 0 && errno == EINTR)
			continue;
		if (r <= 0)
			return false;
		b += r;
		n -= static_cast<size_t>(r);
	}
	return true;
}

}  // namespace ndi_standin

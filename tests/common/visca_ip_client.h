// A VISCA over IP controller on this machine: datagrams to UDP port 52381 on loopback, the
// answers as hex.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdint.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "../../sim/hex_bytes.h"
#include "test_support.h"

namespace testcommon {

class ViscaIpClient {
public:
	ViscaIpClient()
	{
		fd_ = socket(AF_INET, SOCK_DGRAM, 0);
		server_.sin_family = AF_INET;
		server_.sin_port = htons(52381);
		server_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	}
	~ViscaIpClient() { close(fd_); }
	ViscaIpClient(const ViscaIpClient&) = delete;
	ViscaIpClient& operator=(const ViscaIpClient&) = delete;

	void send(const std::vector<uint8_t>& datagram)
	{
		sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&server_), sizeof server_);
	}

	// The next answer, or an empty string when none comes within `timeout` (scaled).
	std::string receive(std::chrono::milliseconds timeout = std::chrono::seconds(2))
	{
		auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(scaled(timeout)).count();
		timeval tv = {static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000 * 1000)};
		setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
		uint8_t buf[1500];
		ssize_t got = recv(fd_, buf, sizeof buf, 0);
		return got > 0 ? sim::hex_bytes(buf, got) : std::string();
	}

private:
	int fd_ = -1;
	sockaddr_in server_ = {};
};

}  // namespace testcommon

#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velkor::test {

using namespace std::chrono_literals;

// One loopback TCP connection handled byte by byte, for tests that play a
// peer badly or must see the exact bytes on the wire. Owned by one test
// thread; the destructor closes the socket.
class RawSocket {
 public:
  // Takes ownership of a connected socket.
  explicit RawSocket(int fd) : fd_(fd) {}
  RawSocket(RawSocket&& other) noexcept;
  RawSocket& operator=(RawSocket&&) = delete;
  RawSocket(const RawSocket&) = delete;
  RawSocket& operator=(const RawSocket&) = delete;
  ~RawSocket();

  // Connects to 127.0.0.1:port; nullopt when that fails.
  static std::optional<RawSocket> connect(std::uint16_t port);

  // False when the connection refuses the bytes.
  bool write(std::string_view bytes);
  // Ends the sending direction: the peer reads end of input.
  void shutdown_write();
  // The next line without its line feed; nullopt on timeout or when the
  // connection ends first.
  std::optional<std::string> read_line(std::chrono::milliseconds timeout = 10s);
  // Every byte not yet read, up to the end of the connection; nullopt when
  // the peer has not closed within the timeout. A reset counts as the end.
  std::optional<std::string> read_to_eof(std::chrono::milliseconds timeout = 10s);

 private:
  // Appends what arrives within the deadline; false at end or on timeout.
  bool fill(std::chrono::steady_clock::time_point deadline, bool& ended);

  int fd_ = -1;
  std::string buf_;
};

}  // namespace velkor::test

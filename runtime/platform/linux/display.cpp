#include "platform/linux/display.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/socket.h"
#include "platform/linux/sys_retry.h"
#include "platform/common/system_net.h"

namespace {

using Clock = std::chrono::steady_clock;

// The opening of an X session, least significant byte first, version 11.0, without
// authorization: every server answers it, with its data or a refusal.
constexpr unsigned char kSessionRequest[12] = {'l', 0, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0};

// Milliseconds left until the deadline, at least 0.
int left_ms(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Waits until fd is ready for events or the deadline has passed. Returns the events seen,
// 0 on timeout.
short wait_for(int fd, short events, Clock::time_point deadline) {
  pollfd p{fd, events, 0};
  int n = sys_retry([&] { return poll(&p, 1, left_ms(deadline)); });
  if (n <= 0) return 0;
  return p.revents;
}

// On a socket connected or connecting: true when the session's opening gets its whole
// answer (eight bytes, the sixth and seventh of which count the four-byte words that
// follow), or the connection ends, before the deadline. A server that stalls within its
// answer would leave the desktop library waiting for the rest for ever.
bool session_answered(int fd, Clock::time_point deadline) {
  short out = wait_for(fd, POLLOUT, deadline);
  if (out == 0) return false;  // the connection is not made in time
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == -1 || err != 0) return false;
  if (send(fd, kSessionRequest, sizeof kSessionRequest, MSG_NOSIGNAL) < 0) return errno == EPIPE;
  unsigned char head[8];
  size_t got = 0, whole = sizeof head;
  while (got < whole) {
    if (wait_for(fd, POLLIN, deadline) == 0) return false;
    unsigned char rest[4096];
    unsigned char* into = got < sizeof head ? head + got : rest;
    size_t room = got < sizeof head ? sizeof head - got : std::min(sizeof rest, whole - got);
    ssize_t n = sys_retry([&] { return recv(fd, into, room, 0); });
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) return true;  // it ended the session
    if (n < 0) continue;
    got += static_cast<size_t>(n);
    if (got == sizeof head) whole += 4 * (static_cast<size_t>(head[6]) | static_cast<size_t>(head[7]) << 8);
  }
  return true;
}

// Connects a new non-blocking socket to the address. Returns the socket while the
// connection is made or under way, -1 when it failed at once.
int connect_to(int family, const sockaddr* address, socklen_t length) {
  int fd = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, address, length) == 0 || errno == EINPROGRESS || errno == EINTR) return fd;
  close(fd);
  return -1;
}

// A local display: the server's socket in the abstract namespace, else in the file system.
bool local_answers(const std::string& number, Clock::time_point deadline) {
  const std::string path = "/tmp/.X11-unix/X" + number;
  for (bool abstract : {true, false}) {
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    size_t offset = abstract ? 1 : 0;  // an abstract name starts with a zero byte
    if (path.size() + offset >= sizeof sa.sun_path) return false;
    std::memcpy(sa.sun_path + offset, path.data(), path.size());
    auto length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size() + (abstract ? 0 : 1));
    int fd = connect_to(AF_UNIX, reinterpret_cast<sockaddr*>(&sa), length);
    if (fd < 0) continue;
    bool answered = session_answered(fd, deadline);
    close(fd);
    return answered;
  }
  return false;
}

// A display on a host: TCP port 6000 + number of its first address (IPv4 first), looked
// up within the same deadline.
bool remote_answers(const std::string& host, const std::string& number, Clock::time_point deadline) {
  SockLookup* lookup = sock_lookup_start(host.c_str());
  if (!lookup) return false;
  SockPeer peer;
  int found = sock_lookup_wait(lookup, left_ms(deadline), &peer);
  sock_lookup_end(lookup);
  if (found != 1) return false;
  sockaddr_storage address;
  socklen_t length = sock_peer_address(peer, static_cast<uint16_t>(6000 + std::stol(number)), &address);
  int fd = connect_to(address.ss_family, reinterpret_cast<sockaddr*>(&address), length);
  if (fd < 0) return false;
  bool answered = session_answered(fd, deadline);
  close(fd);
  return answered;
}

}  // namespace

bool display_answers(const char* name, int limit_ms) {
  auto deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
  std::string text(name);
  std::string protocol;
  size_t slash = text.rfind('/');
  if (slash != std::string::npos) {
    protocol = text.substr(0, slash);
    text = text.substr(slash + 1);
  }
  size_t colon = text.rfind(':');
  if (colon == std::string::npos) return true;
  std::string host = text.substr(0, colon);
  std::string number = text.substr(colon + 1, text.find('.', colon) - colon - 1);
  bool digits =
      !number.empty() && number.size() <= 4 && number.find_first_not_of("0123456789") == std::string::npos;
  if (!digits || (!host.empty() && host.back() == ':')) return true;  // not a display name read here
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  if (protocol == "unix" || (protocol.empty() && (host.empty() || host == "unix")))
    return local_answers(number, deadline);
  if (!protocol.empty() && protocol != "tcp" && protocol != "inet" && protocol != "inet6") return true;
  return remote_answers(host.empty() ? "localhost" : host, number, deadline);
}

#include "platform/power.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/linux/sys_retry.h"

// The login manager hands out the sleep lock as a descriptor: the system stays awake until
// every copy of it is closed. It is asked over the system's message bus with the few
// messages of the bus protocol this needs, spoken here directly: no client library is
// linked or loaded, and every wait is bounded (a bus library waits up to 25 s for an
// answer). Where no bus runs, connecting fails at once.
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kAskLimitMs = 500;
// Where the system's bus listens unless DBUS_SYSTEM_BUS_ADDRESS says otherwise.
constexpr const char* kSystemBus = "unix:path=/var/run/dbus/system_bus_socket";
// The longest message taken from the bus; the answers asked for are a few hundred bytes.
constexpr uint32_t kMessageLimit = 1 << 16;

// Message types, flags and header fields of the bus protocol.
constexpr uint8_t kMethodCall = 1;
constexpr uint8_t kMethodReturn = 2;
constexpr uint8_t kNoAutoStart = 2;  // a login manager that does not run is not started for this
constexpr uint8_t kFieldPath = 1;
constexpr uint8_t kFieldInterface = 2;
constexpr uint8_t kFieldMember = 3;
constexpr uint8_t kFieldReplySerial = 5;
constexpr uint8_t kFieldDestination = 6;
constexpr uint8_t kFieldSignature = 8;
constexpr uint8_t kFieldUnixFds = 9;
constexpr uint32_t kHelloSerial = 1;
constexpr uint32_t kInhibitSerial = 2;

int left_ms(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// True when fd is ready for events before the deadline.
bool ready(int fd, short events, Clock::time_point deadline) {
  pollfd p{fd, events, 0};
  return sys_poll(&p, 1, left_ms(deadline)) == 1;
}

// The sockets named by a bus address ("unix:path=...;unix:abstract=...", values with
// %-escapes), in order; an abstract name starts with a zero byte. Other kinds are left out.
std::vector<std::string> unix_sockets(const std::string& address) {
  std::vector<std::string> found;
  size_t start = 0;
  while (start <= address.size()) {
    size_t end = address.find(';', start);
    if (end == std::string::npos) end = address.size();
    std::string entry = address.substr(start, end - start);
    start = end + 1;
    if (entry.rfind("unix:", 0) != 0) continue;
    for (size_t at = 5; at < entry.size();) {
      size_t comma = entry.find(',', at);
      if (comma == std::string::npos) comma = entry.size();
      std::string pair = entry.substr(at, comma - at);
      at = comma + 1;
      bool abstract = pair.rfind("abstract=", 0) == 0;
      if (!abstract && pair.rfind("path=", 0) != 0) continue;
      std::string name(abstract ? 1 : 0, '\0');
      for (size_t i = pair.find('=') + 1; i < pair.size(); ++i) {
        if (pair[i] == '%' && i + 2 < pair.size()) {
          name.push_back(static_cast<char>(std::strtol(pair.substr(i + 1, 2).c_str(), nullptr, 16)));
          i += 2;
        } else {
          name.push_back(pair[i]);
        }
      }
      found.push_back(name);
    }
  }
  return found;
}

// A non-blocking connection to the local socket name. Returns -1 when it is not made at once.
int connect_local(const std::string& name) {
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  if (name.size() + 1 > sizeof sa.sun_path) return -1;
  std::memcpy(sa.sun_path, name.data(), name.size());
  bool abstract = !name.empty() && name[0] == '\0';
  auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + (abstract ? 0 : 1));
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (sys_retry([&] { return connect(fd, reinterpret_cast<sockaddr*>(&sa), length); }) == 0) return fd;
  sys_close(fd);
  return -1;
}

bool send_all(int fd, const std::string& bytes, Clock::time_point deadline) {
  for (size_t done = 0; done < bytes.size();) {
    ssize_t n = sys_retry([&] { return send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL); });
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n == 0 || errno != EAGAIN || !ready(fd, POLLOUT, deadline)) {
      return false;
    }
  }
  return true;
}

// The bus connection while the question is asked: bytes and descriptors received so far.
struct Bus {
  int fd = -1;
  std::string in;
  std::vector<int> fds;
  size_t fds_taken = 0;  // descriptors of the messages already read
  ~Bus() {
    for (int d : fds) sys_close(d);
    sys_close(fd);
  }
};

// Reads what has come, waiting until the deadline for it; descriptors that come along are
// kept (close-on-exec). Returns false at the deadline, at the end of the connection or on
// failure.
bool receive_more(Bus* bus, Clock::time_point deadline) {
  if (!ready(bus->fd, POLLIN, deadline)) return false;
  char buffer[4096];
  alignas(cmsghdr) char control[CMSG_SPACE(8 * sizeof(int))];
  iovec part{buffer, sizeof buffer};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  ssize_t n = sys_retry([&] { return recvmsg(bus->fd, &message, MSG_CMSG_CLOEXEC | MSG_DONTWAIT); });
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); n >= 0 && c; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (size_t i = 0; i < count; ++i) {
      int d = -1;
      std::memcpy(&d, CMSG_DATA(c) + i * sizeof(int), sizeof d);
      bus->fds.push_back(d);
    }
  }
  if (n > 0) bus->in.append(buffer, static_cast<size_t>(n));
  return n > 0 || (n < 0 && errno == EAGAIN);
}

// The next line of the authentication dialogue, without its "\r\n"; empty on failure.
std::string read_line(Bus* bus, Clock::time_point deadline) {
  size_t end;
  while ((end = bus->in.find("\r\n")) == std::string::npos)
    if (bus->in.size() > 512 || !receive_more(bus, deadline)) return std::string();
  std::string line = bus->in.substr(0, end);
  bus->in.erase(0, end + 2);
  return line;
}

// Writes messages of the bus protocol, little-endian, each value aligned to its size from
// the start of the message.
struct Writer {
  std::string bytes;
  void align(size_t n) { bytes.resize((bytes.size() + n - 1) / n * n, '\0'); }
  void u8(uint8_t v) { bytes.push_back(static_cast<char>(v)); }
  void u32(uint32_t v) {
    align(4);
    for (int i = 0; i < 4; ++i) u8(static_cast<uint8_t>(v >> (8 * i)));
  }
  void text(const char* s) {  // a string or an object path
    u32(static_cast<uint32_t>(std::strlen(s)));
    bytes.append(s, std::strlen(s) + 1);
  }
  void signature(const char* s) {
    u8(static_cast<uint8_t>(std::strlen(s)));
    bytes.append(s, std::strlen(s) + 1);
  }
  void field(uint8_t code, const char* type, const char* value) {
    align(8);
    u8(code);
    signature(type);
    if (*type == 'g') {
      signature(value);
    } else {
      text(value);
    }
  }
};

// A method call with string arguments only (signature "s..." of their count).
std::string method_call(uint32_t serial, uint8_t flags, const char* destination, const char* path,
                        const char* interface, const char* member, const std::vector<const char*>& args) {
  Writer body;
  for (const char* a : args) body.text(a);
  Writer m;
  for (uint8_t b : {uint8_t{'l'}, kMethodCall, flags, uint8_t{1}}) m.u8(b);
  m.u32(static_cast<uint32_t>(body.bytes.size()));
  m.u32(serial);
  m.u32(0);  // the fields' length, filled in below
  m.field(kFieldPath, "o", path);
  m.field(kFieldInterface, "s", interface);
  m.field(kFieldMember, "s", member);
  m.field(kFieldDestination, "s", destination);
  std::string signature(args.size(), 's');
  if (!args.empty()) m.field(kFieldSignature, "g", signature.c_str());
  auto length = static_cast<uint32_t>(m.bytes.size() - 16);
  for (int i = 0; i < 4; ++i) m.bytes[12 + i] = static_cast<char>(length >> (8 * i));
  m.align(8);
  return m.bytes + body.bytes;
}

// What this client reads of a message.
struct Message {
  uint8_t type = 0;
  bool big_endian = false;
  uint32_t reply_serial = 0;
  uint32_t fds = 0;
  std::string signature;
  std::string body;
};

uint32_t read_u32(const std::string& s, size_t at, bool big) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) {
    auto byte = static_cast<uint8_t>(s[at + static_cast<size_t>(big ? i : 3 - i)]);
    v = v << 8 | byte;
  }
  return v;
}

// Takes the first whole message out of in. Returns 1 when one was taken, 0 when more bytes
// are needed, -1 for bytes that are no message this client can read.
int take_message(std::string* in, Message* m) {
  const std::string& s = *in;
  if (s.size() < 16) return 0;
  m->big_endian = s[0] == 'B';
  if (!m->big_endian && s[0] != 'l') return -1;
  uint32_t body_length = read_u32(s, 4, m->big_endian);
  uint32_t fields_length = read_u32(s, 12, m->big_endian);
  if (body_length > kMessageLimit || fields_length > kMessageLimit) return -1;
  size_t fields_end = 16 + fields_length;
  size_t body_start = (fields_end + 7) / 8 * 8;
  if (s.size() < body_start + body_length) return 0;
  m->type = static_cast<uint8_t>(s[1]);
  for (size_t at = 16; at < fields_end;) {
    at = (at + 7) / 8 * 8;
    if (at + 4 > fields_end || s[at + 1] != 1 || s[at + 3] != '\0') return -1;
    auto code = static_cast<uint8_t>(s[at]);
    char type = s[at + 2];
    at += 4;
    if (type == 'g') {
      if (at >= fields_end) return -1;
      size_t length = static_cast<uint8_t>(s[at]);
      if (at + 2 + length > fields_end) return -1;
      if (code == kFieldSignature) m->signature = s.substr(at + 1, length);
      at += 2 + length;
    } else if (type == 'u' || type == 's' || type == 'o') {
      at = (at + 3) / 4 * 4;
      if (at + 4 > fields_end) return -1;
      uint32_t value = read_u32(s, at, m->big_endian);
      at += 4;
      if (type != 'u') {
        if (value > fields_end - at) return -1;
        at += value + 1;
      } else if (code == kFieldReplySerial) {
        m->reply_serial = value;
      } else if (code == kFieldUnixFds) {
        m->fds = value;
      }
    } else {
      return -1;
    }
  }
  m->body = s.substr(body_start, body_length);
  in->erase(0, body_start + body_length);
  return 1;
}

std::string hex(const std::string& text) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : text) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

// Asks the login manager on the connected bus for a sleep lock. Returns its descriptor,
// or -1 when the bus or the login manager refused, or did not answer by the deadline.
int ask_for_lock(Bus* bus, const char* why, Clock::time_point deadline) {
  // Authenticated as the user the system sees on the socket, with descriptors allowed.
  std::string auth("\0AUTH EXTERNAL ", 15);
  if (!send_all(bus->fd, auth + hex(std::to_string(geteuid())) + "\r\n", deadline) ||
      read_line(bus, deadline).rfind("OK ", 0) != 0)
    return -1;
  if (!send_all(bus->fd, "NEGOTIATE_UNIX_FD\r\n", deadline) || read_line(bus, deadline) != "AGREE_UNIX_FD")
    return -1;
  std::string calls = "BEGIN\r\n" +
                      method_call(kHelloSerial, 0, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                  "org.freedesktop.DBus", "Hello", {}) +
                      method_call(kInhibitSerial, kNoAutoStart, "org.freedesktop.login1",
                                  "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "Inhibit",
                                  {"sleep", program_invocation_short_name, why, "block"});
  if (!send_all(bus->fd, calls, deadline)) return -1;
  for (;;) {
    Message m;
    int taken = take_message(&bus->in, &m);
    if (taken < 0) return -1;
    if (taken == 0) {
      if (!receive_more(bus, deadline)) return -1;
      continue;
    }
    size_t first = bus->fds_taken;
    bus->fds_taken += m.fds;
    if (m.reply_serial != kInhibitSerial) continue;  // the bus's welcome and its signals
    if (m.type != kMethodReturn || m.signature != "h" || m.body.size() < 4) return -1;
    uint32_t slot = read_u32(m.body, 0, m.big_endian);
    size_t index = first + slot;
    if (slot >= m.fds || index >= bus->fds.size()) return -1;
    int lock = bus->fds[index];
    bus->fds.erase(bus->fds.begin() + static_cast<std::ptrdiff_t>(index));
    return lock;
  }
}

}  // namespace

int power_keep_awake(const char* why) {
  const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kAskLimitMs);
  for (const std::string& name : unix_sockets(address && *address ? address : kSystemBus)) {
    Bus bus;
    bus.fd = connect_local(name);
    if (bus.fd >= 0) return ask_for_lock(&bus, why ? why : "", deadline);
  }
  return -1;
}

void power_allow_sleep(int handle) { sys_close(handle); }

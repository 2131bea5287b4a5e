// The network library's narrow view of the platform's sockets: IPv4 only. Every socket
// made here is close-on-exec and never takes descriptors 0 to 2, so a live socket number
// is never 0. Calls interrupted by a signal are resumed; errno tells what failed.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int SOCK_KIND_STREAM = 1;
constexpr int SOCK_KIND_DATAGRAM = 2;

// Makes send() on a connection the peer has closed fail with an error instead of ending
// the process.
void sock_ignore_broken_pipe();

// Returns a new IPv4 socket of the given kind (stream or datagram), or -1.
int sock_open(int kind);

// Closes a socket; errno is kept as it was. Negative values do nothing.
void sock_close(int fd);

// Switches a socket to non-blocking mode. Returns false on failure.
bool sock_set_nonblocking(int fd);

// Binds to every local interface on port (0: the system picks one). Stream sockets get
// address reuse first so a restarted server can bind while old connections linger. The
// port actually bound is stored in bound_port. Returns false on failure.
bool sock_bind_any(int fd, uint16_t port, uint16_t* bound_port);

bool sock_listen(int fd, int backlog);

// Takes one waiting client without waiting: the new socket is non-blocking and
// close-on-exec. Returns -1 when none is waiting or on failure.
int sock_accept(int fd);

// Receives one datagram of at most capacity bytes without waiting. A longer datagram is
// dropped and counts as a failure. Returns the byte count with the sender's address
// (network order) and port (host order), or -1.
int64_t sock_receive_from(int fd, void* buffer, size_t capacity, uint32_t* address, uint16_t* port);

// Receives up to length bytes without waiting; with peek set the bytes stay waiting.
// Returns the count, 0 when the peer closed in order, -1 on failure (errno EAGAIN: none).
int64_t sock_receive(int fd, void* buffer, size_t length, bool peek);

// Sends up to length bytes; more says further bytes follow at once (the system may hold
// these back to fill a packet). Returns the count sent (possibly short) or -1.
int64_t sock_send(int fd, const void* buffer, size_t length, bool more);

// Sends up to length bytes of the file from offset on, without copying them through the
// caller. Returns the count sent (0: the file ended before offset) or -1.
int64_t sock_send_file_bytes(int fd, int file, int64_t offset, size_t length);

// Bytes waiting to be received, or -1 when the query fails.
int64_t sock_bytes_waiting(int fd);

// Waits until the socket can be read (or written, with for_write) or has failed or closed.
// Returns 1 when ready, 0 on timeout, -1 on failure. A negative timeout waits for ever.
int sock_wait(int fd, bool for_write, int timeout_ms);

// Waits until any of count sockets can be read or has closed. Returns 1 when one is ready,
// 0 on timeout or when count is 0, -1 on failure.
int sock_wait_any_readable(const int* fds, size_t count, int timeout_ms);

// True when err says the connection is gone (aborted, reset, not connected, shut down,
// broken pipe).
bool sock_error_means_closed(int err);

// Resolves host: a dotted IPv4 address is taken as it is; anything else, including the
// all-ones address 255.255.255.255, is looked up as a host name, whose first IPv4 address
// is taken. Returns false when nothing resolves. The address is in network order.
bool sock_resolve_ipv4(const char* host, uint32_t* address);

// Connects to address (network order) and port, waiting until the connection is made or
// refused. Returns false on failure.
bool sock_connect_ipv4(int fd, uint32_t address, uint16_t port);

// Moves received bytes from a socket into a file through a kernel pipe, so they are not
// copied through the caller's memory.
struct SockFileMover {
  int pipe_read = -1;
  int pipe_write = -1;
  size_t capacity = 0;
};

// Makes the mover's pipe. Returns false when it cannot be made.
bool sock_mover_open(SockFileMover* mover);
void sock_mover_close(SockFileMover* mover);

// Takes up to length bytes waiting on fd, without waiting, and appends them all to file.
// Returns the count moved, 0 when the peer closed, -1 on failure: errno EAGAIN when
// nothing waits, EINVAL when the socket cannot be spliced (nothing was taken, the caller
// may copy the bytes itself), anything else when the socket or the file write failed.
int64_t sock_move_to_file(SockFileMover* mover, int fd, int file, size_t length);

// True when the socket is in non-blocking mode.
bool sock_is_nonblocking(int fd);

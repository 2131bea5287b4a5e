// The network library's narrow view of the platform's sockets, IPv4 and IPv6. Every
// socket made here is close-on-exec and never takes descriptors 0 to 2, so a live socket
// number is never 0. Calls interrupted by a signal are resumed; sys_outcome (platform/outcome.h)
// tells what failed.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/descriptors.h"

constexpr int SOCK_KIND_STREAM = 1;
constexpr int SOCK_KIND_DATAGRAM = 2;

// Makes send() on a connection the peer has closed fail with an error instead of ending
// the process.
void sock_survive_closed_peers();

// Returns a new IPv4 socket of the given kind (stream or datagram), or SOCK_NONE. A stream
// socket keeps bytes sent as urgent data in the ordinary stream, at their place.
SockFd sock_open(int kind);

// Returns a new IPv6 socket of the given kind, or SOCK_NONE (outcome no_family where the
// system has no IPv6). Bound with sock_bind_any it takes IPv4 peers too.
SockFd sock_open_ipv6(int kind);

// Closes a socket; the outcome (sys_outcome) is kept as it was. SOCK_NONE does nothing.
void sock_close(SockFd fd);

// With abort set, closing the stream socket (also by the end of the process) aborts the
// connection: the peer sees a reset instead of an orderly end. Without it a close is
// orderly again. Returns false on failure.
bool sock_set_abort_on_close(SockFd fd, bool abort);

// Ends the sending direction in order: the peer reads the end of the stream, and bytes
// can still be received. Returns false on failure.
bool sock_shutdown_send(SockFd fd);

// True when the peer has aborted the connection (a reset came), without taking any byte
// or waiting. Bytes still waiting do not hide a reset behind them.
bool sock_peer_aborted(SockFd fd);

// Switches a socket to non-blocking mode. Returns false on failure.
bool sock_set_nonblocking(SockFd fd);

// Binds to every local interface on port (0: the system picks one); an IPv6 socket is
// made to take IPv4 peers as well, on the same port. Stream sockets get address reuse
// first so a restarted server can bind while old connections linger. The port actually
// bound is stored in bound_port. Returns false on failure. An IPv6 stream socket fails
// with no_permission instead of address_in_use where a socket of another user (or one whose
// owner the system cannot tell) holds the port for IPv6: the clients that reach the port
// over IPv6 would go to that user's program.
bool sock_bind_any(SockFd fd, uint16_t port, uint16_t* bound_port);

// Starts listening. Where the system limits a process's descriptors (Linux), a few are
// held in reserve from now on until the last listening socket is closed, so that clients
// accepted until none is left cannot leave a transfer none to work with: every open mover
// frees the reserve for its transfer until it is closed.
bool sock_listen(SockFd fd, int backlog);

// Takes one waiting client without waiting: the new socket is non-blocking, close-on-exec
// and keeps urgent bytes in the stream. Returns SOCK_NONE when none is waiting or on
// failure.
SockFd sock_accept(SockFd fd);

// Receives one datagram of at most capacity bytes without waiting. A longer datagram is
// dropped and counts as a failure. Returns the byte count with the sender's address
// (network order) and port (host order), or -1.
int64_t sock_receive_from(SockFd fd, void* buffer, size_t capacity, uint32_t* address, uint16_t* port);

// Receives up to length bytes without waiting; with peek set the bytes stay waiting.
// Returns the count, 0 when the peer closed in order, -1 on failure (would_block: none).
int64_t sock_receive(SockFd fd, void* buffer, size_t length, bool peek);

// Sends up to length bytes; more says further bytes follow at once (the system may hold
// these back to fill a packet). Returns the count sent (possibly short) or -1.
int64_t sock_send(SockFd fd, const void* buffer, size_t length, bool more);

// Bytes waiting to be received, or -1 when the query fails.
int64_t sock_bytes_waiting(SockFd fd);

// Waits until the socket can be read (or written, with for_write) or has failed or closed.
// Returns 1 when ready, 0 on timeout, -1 on failure. A negative timeout waits for ever.
int sock_wait(SockFd fd, bool for_write, int timeout_ms);

// Waits until any of count sockets can be read or has closed. Returns 1 when one is ready,
// 0 on timeout or when count is 0, -1 on failure.
int sock_wait_any_readable(const SockFd* fds, size_t count, int timeout_ms);

// Where a connection goes: an IPv4 or an IPv6 address.
struct SockPeer {
  bool ipv6 = false;
  uint32_t ipv4 = 0;  // network order
  uint8_t ipv6_bytes[16] = {};
  uint32_t scope = 0;  // the interface of a link-local IPv6 address
};

// Resolves host, IPv4 first: a dotted IPv4 address is taken as it is; anything else,
// including the all-ones address 255.255.255.255, is looked up as a host name, whose
// first IPv4 address is taken (all ones there fails). A text without an IPv4 answer is
// then read as an IPv6 address or looked up as a name with IPv6 addresses only, whose
// first is taken; "[...]" holds an IPv6 address alone. Returns false when nothing
// resolves.
bool sock_resolve(const char* host, SockPeer* peer);

// A look-up of sock_resolve on a thread of its own, so that whoever waits for it can stop
// waiting: a name whose name servers are silent takes the system many seconds.
struct SockLookup;

// Starts resolving host as sock_resolve does; an address given as such is read at once.
// Returns null when host is null or no memory is left.
SockLookup* sock_lookup_start(const char* host);

// Waits up to timeout_ms for the look-up. Returns 1 with *peer set once it resolved, 0 while
// it is under way, -1 when nothing resolves.
int sock_lookup_wait(SockLookup* lookup, int timeout_ms, SockPeer* peer);

// Lets the look-up go, finished or not; its thread ends on its own. Null does nothing.
void sock_lookup_end(SockLookup* lookup);

// Returns a new socket of the kind for the peer's address family, or SOCK_NONE.
SockFd sock_open_for(const SockPeer& peer, int kind);

// Starts connecting a blocking socket to the peer on port without waiting for the
// answer. Returns 1 when the connection is made, 0 while it is under way (see
// sock_connect_wait), -1 on failure (refused among them; sys_outcome tells why).
int sock_connect_start(SockFd fd, const SockPeer& peer, uint16_t port);

// Waits up to timeout_ms for a connection under way. Returns 1 once it is made, the
// socket blocking again; 0 while it is still under way; -1 when it failed.
int sock_connect_wait(SockFd fd, int timeout_ms);

// Moves a transfer's bytes between a file and a socket, each back end its own way (Linux:
// the system copies them without passing through the process where it can). A mover
// serves one transfer on one thread, and is opened before the transfer's files (see
// sock_listen); whatever it needs is made when first needed.
struct SockFileMover;

// Returns a new mover, or null when no memory is left.
SockFileMover* sock_mover_open();
// Releases the mover and what it made. Null does nothing.
void sock_mover_close(SockFileMover* mover);

// Sends up to length bytes of the file from offset on to the socket, without waiting.
// Returns the count sent (possibly short; the next call goes on from offset + count), 0
// when the file ended before offset, -1 on failure (would_block: the socket takes nothing
// now).
int64_t sock_send_from_file(SockFileMover* mover, SockFd fd, FileFd file, int64_t offset, size_t length);

// Takes up to length bytes waiting on fd, without waiting, and appends them all to file
// (a regular file). Returns the count moved, 0 when the peer closed, -1 on failure:
// would_block when nothing waits, anything else when the socket or the file write failed.
int64_t sock_receive_to_file(SockFileMover* mover, SockFd fd, FileFd file, size_t length);

// True when the socket is in non-blocking mode.
bool sock_is_nonblocking(SockFd fd);

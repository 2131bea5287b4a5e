// One file carried over a TCP connection: a 12-byte header (the eight letters QUORVANT,
// then the file size as a 32-bit little-endian count) followed by the file's bytes, with
// no reply.
#pragma once
#include <cstdint>

#include "net/server.h"

constexpr char NET_TRANSFER_MAGIC[8] = {'Q', 'U', 'O', 'R', 'V', 'A', 'N', 'T'};
constexpr int32_t NET_RECEIVE_BUFFER_SIZE = 18000;
constexpr uint32_t NET_RECEIVE_IDLE_MS = 3000;

struct FileTransferHeader {
  char magic[8];
  uint8_t size[4];  // little-endian; the receiver takes it as a signed count
};
static_assert(sizeof(FileTransferHeader) == 12);

// Told how far a transfer has come: after every piece sent or written, done bytes of the
// file's total. The last call of a successful transfer has done == total. While a send
// waits for the peer to take more bytes, it is told the same done again about ten times
// a second.
using NetProgressFn = void (*)(int64_t done, int64_t total, void* ctx);

// Sets the process-wide progress function (null: none). Takes effect at the next transfer.
void net_set_progress(NetProgressFn fn, void* ctx);

// Sends the file at path as one transfer on a TCP connection, every byte of it. A file
// whose size reads 0 (the system's pseudo-files) is read whole first and sent with the
// size read. Returns 1 when all was handed to the socket, 0 on any failure: not TCP, the
// file cannot be read whole, it has 2^31 bytes or more (nothing is sent then), a send
// fails, or the peer took no byte within the stall limit where waits are bounded (outcome
// timed_out; see net/deadline.h). The connection stays open; from the header on, closing it aborts it (the peer
// sees a reset) until net_await_receipt has seen the receiver's orderly close.
int32_t net_send_file(NetConnection* connection, const char* path);

// True when the last net_send_file on this thread that got as far as sending gave up
// because the peer took no byte within the stall limit.
bool net_send_stalled();

// What the receiver said of a transfer, by the way it closed the connection.
constexpr int32_t NET_RECEIPT_STORED = 1;   // an orderly close: the file is stored
constexpr int32_t NET_RECEIPT_REFUSED = 0;  // a reset, or the connection broke
constexpr int32_t NET_RECEIPT_SILENT = -1;  // no close within the bound

// The longest wait for the receiver's close after a send, where waits are bounded (see
// net_stall_limit): the stall limit, plus a second for every 4 MiB the receiver may still
// have to put on a slow disk. With a person there it has no bound.
constexpr int64_t NET_RECEIPT_BYTES_PER_MS = 4 * 1024 * 1024 / 1000;

// After net_send_file: ends the sending direction and waits for the receiver to close the
// connection, telling the progress function the send's final count again while it waits.
// Bytes the peer sends meanwhile are read and dropped; the computer is kept awake, as for
// the send. Returns NET_RECEIPT_*. Only STORED makes a later close orderly; otherwise
// closing the connection aborts it, so a receiver that has not stored the file yet never
// will.
int32_t net_await_receipt(NetConnection* connection);

// Receives one transfer from a TCP connection into what path names (see FileReplacement
// for what is replaced, written into or refused). Returns 1 when every announced byte was
// received and stored: a file then holds exactly them (created or replaced), under a name
// that survives a power loss. Returns 0 otherwise: a stream that does not open with the
// magic, a path that cannot take it, a sender that aborted the connection after its last
// byte, a failure on either side; a file already at path is then left exactly as it was
// (unless its copy in place failed: it is then cut to what was written) and nothing is
// left behind. Gives up when no byte arrived for more than NET_RECEIVE_IDLE_MS. Bytes
// after the announced content stay in the socket. The connection stays open: closing it
// after a failure aborts it, after success it ends in order, so the sender learns the
// outcome.
int32_t net_receive_file(NetConnection* connection, const char* path);

// Why the last net_receive_file on this thread failed, where more can be said.
constexpr int32_t NET_RECEIVE_STORED = 0;      // it did not fail
constexpr int32_t NET_RECEIVE_FAILED = 1;      // nothing more to say
constexpr int32_t NET_RECEIVE_BROKEN_OFF = 2;  // the sender ended or aborted before it was stored
constexpr int32_t NET_RECEIVE_DISK_FULL = 3;
constexpr int32_t NET_RECEIVE_READ_ONLY = 4;
constexpr int32_t NET_RECEIVE_FOREIGN = 5;     // another user's file in a shared folder
constexpr int32_t NET_RECEIVE_INCOMPLETE = 6;  // written in place and cut short
constexpr int32_t NET_RECEIVE_MOVED = 7;       // the path's folder moved away meanwhile
constexpr int32_t NET_RECEIVE_STALLED = 8;     // the sender sent nothing for NET_RECEIVE_IDLE_MS
constexpr int32_t NET_RECEIVE_TEMP_FULL = 9;  // the disk that holds the bytes before the copy in place
int32_t net_receive_failure();

// Why net_check_send_file finds that a file cannot be sent.
constexpr int32_t NET_FILE_SENDABLE = 0;
constexpr int32_t NET_FILE_NONE = 1;         // no path at all
constexpr int32_t NET_FILE_MISSING = 2;      // nothing at the path
constexpr int32_t NET_FILE_UNREADABLE = 3;   // no permission to read it
constexpr int32_t NET_FILE_NOT_REGULAR = 4;  // a folder, device, FIFO or socket
constexpr int32_t NET_FILE_TOO_LARGE = 5;    // 2^31 bytes or more: no transfer can announce it
constexpr int32_t NET_FILE_UNOPENABLE = 6;   // it cannot be opened for another reason

// Tells whether net_send_file could send the file at path now, before any connection is
// made: it opens the file as the sending does (never waiting, never opening anything but a
// regular file) and closes it again. Returns NET_FILE_SENDABLE or the reason.
int32_t net_check_send_file(const char* path);

// Ends the reception in progress for the end of the process, on any thread: one whose
// file is being stored is waited for (the file stored and the sender told so), any other
// fails, its temporary file removed and the path left as it was. It frees nothing (the
// signals that end the process do the same on their own). Once per process, net_init
// makes it an exit hook. Returns true when a reception of this process stored its file.
bool net_transfer_remove_temp_file();
void net_transfer_watch_temp_files();

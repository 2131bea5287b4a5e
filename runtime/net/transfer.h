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
// file's total. The last call of a successful transfer has done == total.
using NetProgressFn = void (*)(int64_t done, int64_t total, void* ctx);

// Sets the process-wide progress function (null: none). Takes effect at the next transfer.
void net_set_progress(NetProgressFn fn, void* ctx);

// Sends the file at path as one transfer on a TCP connection, every byte of it. Returns 1
// when all was handed to the socket, 0 on any failure: not TCP, the file cannot be read
// whole, it has 2^31 bytes or more (nothing is sent then), or a send fails. The
// connection stays open.
int32_t net_send_file(NetConnection* connection, const char* path);

// Receives one transfer from a TCP connection into the file at path. Returns 1 when every
// announced byte was received and the file now holds exactly them (created or replaced);
// 0 otherwise, and then a file already at path is left exactly as it was. Gives up when no
// byte arrived for more than NET_RECEIVE_IDLE_MS. Bytes after the announced content stay
// in the socket. The connection stays open.
int32_t net_receive_file(NetConnection* connection, const char* path);

// Removes the temporary file of a reception in progress, if there is one; that reception
// then fails and the path is left as it was. For the end of the process on any thread: it
// frees nothing. Once per process, net_init makes it an exit hook.
void net_transfer_remove_partial_file();
void net_transfer_watch_partial_files();

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

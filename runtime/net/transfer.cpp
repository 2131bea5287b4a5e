#include "net/transfer.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "core/fatal.h"
#include "core/heaps.h"
#include "core/scope_exit.h"
#include "core/timing.h"
#include "net/deadline.h"
#include "net/internal.h"
#include "net/shared_value.h"
#include "platform/heap.h"
#include "platform/outcome.h"
#include "platform/power.h"
#include "platform/socket.h"
#include "platform/transfer_file.h"

namespace {

// The sender hands the file to the socket in pieces of this size, so it can report
// progress and never holds more than one piece; the bytes on the wire are the same.
constexpr size_t kSendPiece = size_t{1} << 20;
// The longest single wait for a socket: waits are cut into such slices so the idle rule is
// seen in time.
constexpr int kWaitSliceMs = 100;

struct Progress {
  NetProgressFn fn = nullptr;
  void* ctx = nullptr;
  void operator()(int64_t done, int64_t total) const {
    if (fn) fn(done, total, ctx);
  }
};

SharedValue<Progress> g_progress;

// The reason of this thread's last failed reception, and the counts of its last send,
// told again while the sender waits for the receiver's close.
thread_local int32_t t_receive_failure = NET_RECEIVE_STORED;
thread_local int64_t t_last_sent = 0;
thread_local bool t_send_stalled = false;

Progress current_progress() { return g_progress.get(); }

// The socket of a connection a transfer may use (the library runs and it is TCP), or
// SOCK_NONE.
SockFd transfer_socket(const NetConnection* connection) {
  if (!connection || net_stopped() || connection->kind != NET_KIND_TCP) return SOCK_NONE;
  return net_socket_of(connection->socket);
}

// The computer stays awake while a transfer runs, on either side, until it ends in any
// way. Taken before the spare descriptors are lent: where descriptors are short, the
// transfer gets them, not the sleep lock.
class KeepAwake {
 public:
  explicit KeepAwake(const char* why) : handle_(power_keep_awake(why)) {}
  ~KeepAwake() { power_allow_sleep(handle_); }
  KeepAwake(const KeepAwake&) = delete;
  KeepAwake& operator=(const KeepAwake&) = delete;

 private:
  int handle_;
};

// A block of the runtime heap, not zero-filled, made when first asked for and given back
// when the buffer goes.
class HeapBuffer {
 public:
  explicit HeapBuffer(size_t size) : size_(size) {}
  ~HeapBuffer() { rt_free(bytes_); }
  HeapBuffer(const HeapBuffer&) = delete;
  HeapBuffer& operator=(const HeapBuffer&) = delete;
  // The block, or null when the heap cannot supply it.
  uint8_t* get() {
    if (!bytes_) bytes_ = static_cast<uint8_t*>(heap_alloc(runtime_heap(), size_, false));
    return bytes_;
  }

 private:
  size_t size_;
  uint8_t* bytes_ = nullptr;
};

// Where a send stands, told again while it waits for the peer, and the deadline of that
// wait: every byte the peer takes moves it on.
struct SendState {
  Progress progress;
  int64_t done = 0;
  int64_t total = 0;
  NetDeadline deadline;
};

// Waits until fd can take more bytes, telling the send's progress again after every slice
// spent waiting. Returns false when the socket failed or the deadline passed (outcome
// timed_out).
bool wait_writable(SockFd fd, const SendState& state) {
  for (;;) {
    int slice = net_deadline_slice(state.deadline, kWaitSliceMs);
    if (slice == 0) {
      t_send_stalled = true;
      sys_set_outcome(SysOutcome::timed_out);
      return false;
    }
    int ready = sock_wait(fd, true, slice);
    if (ready < 0) return false;
    if (ready > 0) return true;
    state.progress(state.done, state.total);
  }
}

// Sends every one of length bytes, continuing after short sends.
bool send_all(SockFd fd, const uint8_t* bytes, size_t length, bool more, SendState& state) {
  while (length > 0) {
    int64_t n = sock_send(fd, bytes, length, more);
    if (n < 0) {
      if (sys_outcome() != SysOutcome::would_block || !wait_writable(fd, state)) return false;
      continue;
    }
    net_deadline_progress(&state.deadline);
    bytes += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

// Sends up to length bytes of the file from offset on, waiting while the socket takes
// none. Returns the count sent, 0 when the file ended early, -1 on failure.
int64_t send_piece(SockFileMover* mover, SockFd sock, FileFd file, int64_t offset, size_t length,
                   SendState& state) {
  for (;;) {
    int64_t n = sock_send_from_file(mover, sock, file, offset, length);
    if (n > 0) net_deadline_progress(&state.deadline);
    if (n >= 0) return n;
    if (sys_outcome() != SysOutcome::would_block || !wait_writable(sock, state)) return -1;
  }
}

// Makes one step of reception under the idle rule: step() takes what waits (like a
// non-blocking receive: a count, 0 when the peer closed, -1 with outcome would_block when
// nothing waits). Gives up when no byte arrived for more than NET_RECEIVE_IDLE_MS since
// *idle_start, which moves to the moment each successful step began. Returns the count
// taken, 0 when the peer closed, the step failed or the idle time passed (outcome
// timed_out).
template <typename Step>
size_t receive_step(SockFd fd, uint32_t* idle_start, Step step) {
  for (;;) {
    uint32_t read_start = elapsed_ms();
    sys_set_outcome(SysOutcome::ok);
    int64_t n = step();
    if (n > 0) {
      *idle_start = read_start;
      return static_cast<size_t>(n);
    }
    if (n == 0 || sys_outcome() != SysOutcome::would_block) return 0;
    uint32_t idle = elapsed_ms() - *idle_start;
    if (idle > NET_RECEIVE_IDLE_MS) {
      sys_set_outcome(SysOutcome::timed_out);
      return 0;
    }
    int slice = static_cast<int>(std::min<uint32_t>(NET_RECEIVE_IDLE_MS + 1 - idle, kWaitSliceMs));
    if (sock_wait(fd, false, slice) < 0) return 0;
  }
}

// The reason a failure to store with the outcome gives: a full or read-only disk, else
// otherwise.
int32_t disk_failure(SysOutcome outcome, int32_t otherwise) {
  if (outcome == SysOutcome::disk_full) return NET_RECEIVE_DISK_FULL;
  if (outcome == SysOutcome::read_only) return NET_RECEIVE_READ_ONLY;
  return otherwise;
}

// Tells the reason a reception ended early with the thread's outcome: a sender that went
// silent, a full (temporary or target) or read-only disk, else the one already noted.
// Returns false, for the caller to return.
bool note_receive_end(const FileReplacement* out) {
  SysOutcome outcome = sys_outcome();
  if (outcome == SysOutcome::timed_out) {
    t_receive_failure = NET_RECEIVE_STALLED;
  } else {
    t_receive_failure = disk_failure(outcome, t_receive_failure);
    if (file_replacement_gathers_elsewhere(out) && t_receive_failure == NET_RECEIVE_DISK_FULL)
      t_receive_failure = NET_RECEIVE_TEMP_FULL;
  }
  return false;
}

// The reason a replacement's outcome gives for failing.
int32_t replacement_failure(SysOutcome outcome) {
  switch (outcome) {
    case SysOutcome::foreign_owner: return NET_RECEIVE_FOREIGN;
    case SysOutcome::incomplete: return NET_RECEIVE_INCOMPLETE;
    case SysOutcome::moved: return NET_RECEIVE_MOVED;
    default: break;
  }
  return disk_failure(outcome, NET_RECEIVE_FAILED);
}

// Reads a file whose size the system does not know beforehand (it says 0) whole, up to
// the largest count a transfer can announce, into a scratch file, through buffer, so the
// sender's memory stays the same whatever the file gives. Returns the scratch file with
// the count read in *size (0: it is empty indeed), or FILE_NONE when it cannot be read or
// is too large.
FileFd spool_unsized(FileFd file, HeapBuffer* buffer, int64_t* size) {
  if (!buffer->get()) return FILE_NONE;
  FileFd scratch = file_open_scratch();
  if (scratch == FILE_NONE) return FILE_NONE;
  for (*size = 0;;) {
    int64_t n = file_read_at(file, buffer->get(), kSendPiece, *size);
    if (n == 0) return scratch;
    if (n < 0 || *size + n > INT32_MAX) break;
    for (int64_t put = 0; put < n;) {
      int64_t m = file_write_some(scratch, buffer->get() + put, static_cast<size_t>(n - put));
      if (m <= 0) return file_close(scratch), FILE_NONE;
      put += m;
    }
    *size += n;
  }
  file_close(scratch);
  return FILE_NONE;
}

int32_t little_endian_count(const uint8_t bytes[4]) {
  uint32_t v = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
               static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
  return static_cast<int32_t>(v);
}

// Writes every one of length bytes into the save target. A target that cannot take more
// for now (a FIFO whose reader is slow) is waited for while it keeps taking bytes; one that
// takes none for more than NET_RECEIVE_IDLE_MS, or whose reader went away, fails.
bool store_all(FileFd file, const uint8_t* bytes, size_t length) {
  uint32_t idle_start = elapsed_ms();
  while (length > 0) {
    uint32_t idle = elapsed_ms() - idle_start;
    if (idle > NET_RECEIVE_IDLE_MS) return false;
    int slice = static_cast<int>(std::min<uint32_t>(NET_RECEIVE_IDLE_MS + 1 - idle, kWaitSliceMs));
    int64_t n = file_write_some(file, bytes, length, slice);
    if (n > 0) {
      bytes += n;
      length -= static_cast<size_t>(n);
      idle_start = elapsed_ms();
      continue;
    }
    if (sys_outcome() != SysOutcome::would_block) return false;
  }
  return true;
}

// Receives the header and the announced content into the save target. Returns true when
// every announced byte was received and written. The content goes from the socket to a
// file by the platform's mover, or to a stream through one buffer of
// NET_RECEIVE_BUFFER_SIZE bytes; either way no step asks for more than remains, so bytes
// after the content stay in the socket.
bool receive_into(SockFd sock, FileReplacement* out, SockFileMover* mover, const Progress& progress) {
  // Every way out before the last byte is the sender's, unless the file says otherwise.
  t_receive_failure = NET_RECEIVE_BROKEN_OFF;
  FileFd file = file_replacement_fd(out);
  uint32_t idle_start = elapsed_ms();
  uint8_t header[sizeof(FileTransferHeader)];
  for (size_t got = 0; got < sizeof header;) {
    size_t n = receive_step(sock, &idle_start,
                            [&] { return sock_receive(sock, header + got, sizeof header - got, false); });
    if (n == 0) return note_receive_end(out);
    got += n;
  }
  // Only a transfer is stored. The poll reports bytes that are still coming in pieces
  // before their magic is whole, so it is checked here, once the header is in.
  t_receive_failure = NET_RECEIVE_FAILED;
  if (std::memcmp(header, NET_TRANSFER_MAGIC, sizeof NET_TRANSFER_MAGIC) != 0) return false;
  int32_t announced = little_endian_count(header + 8);
  if (announced < 0) return false;
  t_receive_failure = NET_RECEIVE_BROKEN_OFF;
  int64_t total = announced;
  int64_t done = 0;
  HeapBuffer buffer(NET_RECEIVE_BUFFER_SIZE);
  bool stream = file_replacement_is_stream(out);
  // A blocking socket would make the mover wait past the idle rule: it is read instead.
  // A FIFO, device or socket target is written through store_all, which waits for it.
  SockFileMover* direct = total > 0 && !stream && sock_is_nonblocking(sock) ? mover : nullptr;
  idle_start = elapsed_ms();
  while (done < total) {
    int64_t left = total - done;
    size_t n = 0;
    if (direct) {
      n = receive_step(sock, &idle_start,
                       [&] { return sock_receive_to_file(direct, sock, file, static_cast<size_t>(left)); });
      if (n == 0) return note_receive_end(out);
    } else {
      if (!buffer.get()) return false;
      size_t want = static_cast<size_t>(std::min<int64_t>(left, NET_RECEIVE_BUFFER_SIZE));
      n = receive_step(sock, &idle_start, [&] { return sock_receive(sock, buffer.get(), want, false); });
      if (n == 0) return note_receive_end(out);
      if (!store_all(file, buffer.get(), n)) return note_receive_end(out);
    }
    done += static_cast<int64_t>(n);
    progress(done, total);
  }
  if (total == 0) progress(0, 0);
  return true;
}

}  // namespace

void net_set_progress(NetProgressFn fn, void* ctx) {
  g_progress.set(Progress{fn, ctx});
}

int32_t net_send_file(NetConnection* connection, const char* path) {
  SockFd sock = transfer_socket(connection);
  if (sock == SOCK_NONE || !path) return 0;
  // A close before the receiver confirmed aborts the connection, whatever went wrong and
  // however early: a transfer its sender did not send whole is never taken for one sent,
  // nor for a sender that left without sending.
  if (!sock_set_abort_on_close(sock, true)) return 0;
  KeepAwake awake("Eine Datei wird gesendet");
  // Accepted clients may have taken every other descriptor: the mover frees the spare
  // ones for the transfer while it runs (sock_listen).
  SockFileMover* mover = sock_mover_open();
  ScopeExit close_mover([&] { sock_mover_close(mover); });
  if (!mover) return 0;
  int64_t size = 0;
  FileFd file = file_open_regular(path, &size);
  if (file == FILE_NONE) return 0;
  ScopeExit close_file([&] { file_close(file); });
  // The receiver takes the count as signed: larger files cannot be announced.
  if (size > INT32_MAX) return 0;
  // Nothing goes out unless the file holds every byte its size promises: its last byte is
  // read before the header is sent. A file that says it is empty may still have bytes to
  // give (the system's pseudo-files): those are read whole first and sent from there.
  uint8_t last = 0;
  if (size > 0 && file_read_at(file, &last, 1, size - 1) != 1) return 0;
  if (size == 0) {
    HeapBuffer spool(kSendPiece);
    FileFd scratch = spool_unsized(file, &spool, &size);
    if (scratch == FILE_NONE) return 0;
    file_close(file);
    file = scratch;
  }

  FileTransferHeader header{};
  std::memcpy(header.magic, NET_TRANSFER_MAGIC, sizeof header.magic);
  for (int i = 0; i < 4; ++i) header.size[i] = static_cast<uint8_t>(static_cast<uint32_t>(size) >> (8 * i));
  // Sends never block inside the system: while the peer takes nothing, the waits below
  // tell the progress again (an outgoing socket starts blocking).
  if (!sock_set_nonblocking(sock)) return 0;
  t_last_sent = size;
  t_send_stalled = false;
  SendState state{current_progress(), 0, size, net_deadline_start(net_stall_limit())};
  const Progress& progress = state.progress;
  if (!send_all(sock, reinterpret_cast<const uint8_t*>(&header), sizeof header, size > 0, state)) return 0;

  int64_t& done = state.done;
  while (done < size) {
    size_t piece = static_cast<size_t>(std::min<int64_t>(size - done, static_cast<int64_t>(kSendPiece)));
    int64_t n = send_piece(mover, sock, file, done, piece, state);
    if (n <= 0) return 0;  // a failure, or the file shrank while it was sent
    done += n;
    progress(done, size);
  }
  if (size == 0) progress(0, 0);
  return 1;
}

bool net_send_stalled() { return t_send_stalled; }

int32_t net_await_receipt(NetConnection* connection) {
  SockFd sock = transfer_socket(connection);
  if (sock == SOCK_NONE || !sock_shutdown_send(sock)) return NET_RECEIPT_REFUSED;
  // The receiver may still be writing a large file: a computer asleep now loses the send.
  KeepAwake awake("Eine Datei wird gesendet");
  Progress progress = current_progress();
  uint32_t limit = net_stall_limit();
  if (limit) limit += static_cast<uint32_t>(t_last_sent / NET_RECEIPT_BYTES_PER_MS);
  NetDeadline deadline = net_deadline_start(limit);
  for (;;) {
    uint8_t dropped[512];
    sys_set_outcome(SysOutcome::ok);
    int64_t n = sock_receive(sock, dropped, sizeof dropped, false);
    if (n == 0) return sock_set_abort_on_close(sock, false) ? NET_RECEIPT_STORED : NET_RECEIPT_REFUSED;
    if (n < 0 && sys_outcome() != SysOutcome::would_block) return NET_RECEIPT_REFUSED;
    if (n > 0) continue;  // the protocol has no reply: whatever comes is dropped
    int slice = net_deadline_slice(deadline, kWaitSliceMs);
    if (slice == 0) return NET_RECEIPT_SILENT;
    progress(t_last_sent, t_last_sent);
    if (sock_wait(sock, false, slice) < 0) return NET_RECEIPT_REFUSED;
  }
}

int32_t net_receive_file(NetConnection* connection, const char* path) {
  t_receive_failure = NET_RECEIVE_FAILED;
  SockFd sock = transfer_socket(connection);
  if (sock == SOCK_NONE || !path || !*path) return 0;
  KeepAwake awake("Eine Datei wird empfangen");
  SockFileMover* mover = sock_mover_open();  // first, as for sending
  ScopeExit close_mover([&] { sock_mover_close(mover); });
  if (!mover) return 0;
  // Until the file is stored, a close of the connection tells the sender it was not.
  if (!sock_set_abort_on_close(sock, true)) return 0;
  SysOutcome failure = SysOutcome::ok;
  FileReplacement* out = file_replacement_begin(path, sock, &failure);
  if (!out) {
    t_receive_failure = replacement_failure(failure);
    return 0;
  }
  bool stored = receive_into(sock, out, mover, current_progress());
  if (stored) {
    // A sender that gave up after its last byte aborted the connection: the file it
    // reported as not sent is not stored. Looked at once the bytes are on the disk, right
    // before they take the name.
    stored = file_replacement_flush(out);
    if (!stored) t_receive_failure = replacement_failure(sys_outcome());
    if (stored && sock_peer_aborted(sock)) {
      t_receive_failure = NET_RECEIVE_BROKEN_OFF;
      stored = false;
    }
  }
  if (!stored) {
    if (file_replacement_abort(out) == SysOutcome::incomplete) t_receive_failure = NET_RECEIVE_INCOMPLETE;
    return 0;
  }
  SysOutcome committed = file_replacement_commit(out);
  if (committed != SysOutcome::ok) {
    t_receive_failure = replacement_failure(committed);
    return 0;
  }
  t_receive_failure = NET_RECEIVE_STORED;
  sock_set_abort_on_close(sock, false);
  return 1;
}

int32_t net_receive_failure() { return t_receive_failure; }

bool net_transfer_remove_temp_file() { return file_replacement_end_process(); }

void net_transfer_watch_temp_files() {
  static std::once_flag watching;
  std::call_once(watching, [] { runtime_on_exit([] { net_transfer_remove_temp_file(); }); });
}

int32_t net_check_send_file(const char* path) {
  if (!path || !*path) return NET_FILE_NONE;
  int64_t size = 0;
  FileFd file = file_open_regular(path, &size);
  if (file == FILE_NONE) {
    switch (sys_outcome()) {
      case SysOutcome::not_found: return NET_FILE_MISSING;
      case SysOutcome::no_permission: return NET_FILE_UNREADABLE;
      case SysOutcome::folder:
      case SysOutcome::not_regular: return NET_FILE_NOT_REGULAR;
      default: return NET_FILE_UNOPENABLE;
    }
  }
  file_close(file);
  return size > INT32_MAX ? NET_FILE_TOO_LARGE : NET_FILE_SENDABLE;
}

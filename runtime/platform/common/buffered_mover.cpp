#include "platform/common/buffered_mover.h"

#include <algorithm>
#include <new>

#include "platform/outcome.h"
#include "platform/socket.h"
#include "platform/transfer_file.h"

namespace {
// One piece: large enough that a megabyte costs one read and few sends.
constexpr size_t kPieceBytes = size_t{1} << 20;
}  // namespace

bool MoverBuffer::reserve() {
  if (!bytes_) bytes_ = new (std::nothrow) uint8_t[kPieceBytes];
  if (!bytes_) sys_set_outcome(SysOutcome::exhausted);
  return bytes_ != nullptr;
}

int64_t MoverBuffer::send_from_file(SockFd fd, FileFd file, int64_t offset, size_t length) {
  if (held_ == 0 || offset < offset_ || offset >= offset_ + static_cast<int64_t>(held_)) {
    held_ = 0;
    if (!reserve()) return -1;
    int64_t n = file_read_at(file, bytes_, std::min(length, kPieceBytes), offset);
    if (n <= 0) return n;
    offset_ = offset;
    held_ = static_cast<size_t>(n);
  }
  size_t skip = static_cast<size_t>(offset - offset_);
  return sock_send(fd, bytes_ + skip, std::min(length, held_ - skip), false);
}

int64_t MoverBuffer::receive_to_file(SockFd fd, FileFd file, size_t length) {
  if (!reserve()) return -1;
  held_ = 0;  // what was held for sending is no longer the file's
  int64_t n = sock_receive(fd, bytes_, std::min(length, kPieceBytes), false);
  if (n <= 0) return n;
  for (int64_t put = 0; put < n;) {
    int64_t m = file_write_some(file, bytes_ + put, static_cast<size_t>(n - put));
    if (m == 0) sys_set_outcome(SysOutcome::other);
    if (m <= 0) return -1;
    put += m;
  }
  return n;
}

// The buffered way of moving a transfer's bytes between a file and a socket: through a
// block of memory, in large pieces. The Windows back end's only way; the Linux one's where
// the system refuses to copy the bytes itself.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/descriptors.h"

class MoverBuffer {
 public:
  MoverBuffer() = default;
  ~MoverBuffer() { delete[] bytes_; }
  MoverBuffer(const MoverBuffer&) = delete;
  MoverBuffer& operator=(const MoverBuffer&) = delete;

  // As sock_send_from_file: bytes read from the file and not yet taken by the socket are
  // kept, and sent first when the next call goes on from where this one stopped.
  int64_t send_from_file(SockFd fd, FileFd file, int64_t offset, size_t length);
  // As sock_receive_to_file.
  int64_t receive_to_file(SockFd fd, FileFd file, size_t length);

 private:
  // Makes the block when first needed. Returns false (outcome exhausted) when it cannot.
  bool reserve();

  uint8_t* bytes_ = nullptr;
  int64_t offset_ = 0;  // the file offset of the first byte held
  size_t held_ = 0;     // bytes read from the file and held
};

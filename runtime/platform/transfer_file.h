// The files of a transfer: the file a sender reads, and the safe replacement of the file a
// receiver writes. Calls interrupted by a signal are resumed; errno tells what failed.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Opens an existing regular file for reading, without waiting, and reports its size.
// Returns the descriptor (close-on-exec) or -1; anything but a regular file fails, without
// being opened, with errno EISDIR for a folder and EINVAL for anything else.
int file_open_regular(const char* path, int64_t* size);

// Reads up to length bytes at offset. Returns the count (0 at the end) or -1.
int64_t file_read_at(int fd, void* buffer, size_t length, int64_t offset);

// Writes all length bytes. Returns false when a write fails or writes nothing.
bool file_write_all(int fd, const void* buffer, size_t length);

// Starts writing length bytes from offset on to the disk without waiting for it. A hint:
// failures are not reported.
void file_start_writeback(int fd, int64_t offset, int64_t length);

// Closes a descriptor; errno is kept. Negative values do nothing.
void file_close(int fd);

// A new file that takes the place of a path only once it is complete. Until then the
// bytes go to a temporary file in the same folder, and a file already at the path stays
// exactly as it was. A path that is a symbolic link has the file it points to replaced.
struct FileReplacement {
  int fd = -1;
  std::string temp_path;
  std::string target_path;
};

// Creates the temporary file next to path. Returns false (nothing made) on failure.
bool file_replacement_begin(FileReplacement* replacement, const char* path);

// Flushes the temporary file to the disk, gives it the mode a new file gets (0666 less
// the umask), closes it and renames it over the path. Returns false on any failure; the
// temporary file is then removed and the path left as it was.
bool file_replacement_commit(FileReplacement* replacement);

// Closes and removes the temporary file; the path is left as it was.
void file_replacement_abort(FileReplacement* replacement);

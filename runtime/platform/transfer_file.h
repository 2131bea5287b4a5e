// The files of a transfer: the file a sender reads, and the safe replacement of the file a
// receiver writes. Calls interrupted by a signal are resumed; sys_outcome (platform/outcome.h)
// tells what failed.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/descriptors.h"
#include "platform/outcome.h"

// Opens an existing regular file for reading, without waiting, and reports its size.
// Returns the file (close-on-exec) or FILE_NONE; anything but a regular file fails, without
// being opened, with the outcome folder for a folder and not_regular for anything else.
FileFd file_open_regular(const char* path, int64_t* size);

// Reads up to length bytes at offset. Returns the count (0 at the end) or -1.
int64_t file_read_at(FileFd fd, void* buffer, size_t length, int64_t offset);

// Makes a file for bytes that wait, in the folder of TMPDIR (or /tmp; on Windows the
// user's temporary folder), that has no name or loses it when closed: nothing is left
// behind on any ending. Returns the file, for reading and writing, or FILE_NONE.
FileFd file_open_scratch();

// Closes a descriptor; the outcome (sys_outcome) is kept. FILE_NONE does nothing.
void file_close(FileFd fd);

// Where a receiver puts a transfer's bytes, found from the save path walked one name at a
// time as the kernel walks it for this process, with the shared-folder rule below applied
// to every link on the way:
// - nothing there, or a regular file: the bytes go to a temporary file without a name in the
//   file's folder that takes the name only once it is complete, so the file that was there
//   stays exactly as it was on any failure and nothing is left behind on any ending. A
//   replaced file keeps its permission bits, owner, group and access-control list where
//   the process may set them (set-id bits are dropped); a new one gets 0666 less the
//   umask. Where the file system has no unnamed files, a named temporary
//   (name.partXXXXXX) stands in.
// - a regular file that cannot be replaced (no file can be made in its folder, or the
//   folder is append-only), but which itself can be written: the bytes wait in a
//   temporary file without a name in the folder of TMPDIR (or /tmp, where that cannot
//   take one) and are copied into the file only once complete; where no such file can be made, they are
//   written into it directly. The copy empties the file first and lets it grow, so
//   whatever ends it (a failure, SIGKILL, a power loss) leaves the file shorter than the
//   new one, never at its old size with new bytes in it (outcome incomplete).
// - a FIFO, a character device or a socket: the bytes are written into it; it is never
//   replaced. A FIFO that nobody reads fails at once.
// - a symbolic link: what it leads to, as above; a link that leads nowhere fails.
// - a folder, a block device, anything else: fails.
// In a sticky folder that others or the group may write to (like /tmp), a regular file,
// FIFO, socket or link (as the file or as a folder of the path) that belongs neither to
// this process's user nor to the folder's owner is refused (outcome foreign_owner),
// whatever the system's own protection says: whoever planted it could read what is
// written, or lead it where its planter may not write.
struct FileReplacement;

// Finds what the path names and opens where the bytes go; no byte of an existing file is
// changed yet. told is a socket set to close in order in the same step that stores the
// file (SOCK_NONE: none). Returns the replacement, or null (nothing made or opened) with the
// reason in *failure.
FileReplacement* file_replacement_begin(const char* path, SockFd told, SysOutcome* failure);

// The file the bytes go to; non-blocking where the target is a stream.
FileFd file_replacement_fd(const FileReplacement* replacement);

// True when the target is a FIFO, a device or a socket: bytes are written into it as it
// takes them (see file_write_some), and nothing is flushed.
bool file_replacement_is_stream(const FileReplacement* replacement);

// True when the bytes wait in a temporary file elsewhere, to be copied in place at
// the end: a full disk there is not the target's.
bool file_replacement_gathers_elsewhere(const FileReplacement* replacement);

// Puts the bytes received so far on the disk without naming them yet, so that the last
// step, file_replacement_commit, is short. Returns false on failure (sys_outcome tells).
bool file_replacement_flush(FileReplacement* replacement);

// Finishes the bytes and releases the replacement: a temporary file is flushed to the
// disk, given the old file's mode, owner and access-control list, named, and the folder
// is flushed too, so the name survives a power loss; a file written in place gets the
// temporary file's bytes (or is cut to what was written into it) and is flushed. Fails, leaving
// the path as it was, when the path's folder was moved away meanwhile (moved). Once
// stored, the told socket is set to close in order, in the same step. Returns ok, or why
// it failed; a temporary file is then gone.
SysOutcome file_replacement_commit(FileReplacement* replacement);

// Closes everything, removes a temporary file and releases the replacement; the path is
// left as it was (a file written into directly is cut to what was written into it).
// Returns incomplete when such a file was cut short, ok otherwise. Null does nothing.
SysOutcome file_replacement_abort(FileReplacement* replacement);

// Every ending of the process passes here, on any thread and from a signal handler
// (async-signal-safe). A replacement whose last step runs (the file named or copied in
// place, the told socket set to close in order) is waited for, so the file is stored and the
// sender told so, or neither; one that has not reached it never will, and its named
// temporary file, if it has one, is removed: the path is left as it was. An unnamed file
// goes with the process. Returns true when a replacement of this process stored its file
// (the one waited for included).
bool file_replacement_end_process();

// Writes up to length bytes, waiting up to wait_ms (negative: for ever) for a target that
// cannot take any now (a FIFO whose reader is slow). Returns the count, or -1
// (would_block when the target took nothing in that time; closed, for instance, for a
// FIFO whose reader went away).
int64_t file_write_some(FileFd fd, const void* buffer, size_t length, int wait_ms = 0);

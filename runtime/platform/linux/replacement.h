// What the Linux back end's files of a reception share: the replacement's record and the
// steps of its jobs, each in a file of its own (replacement.cpp: the save target's rules
// and the replacement's steps; temp_file.cpp: the temporary file and its naming;
// file_owner.cpp: the mode, owner and access-control list kept; ending.cpp: the record an
// ending of the process reads). Only these files include it.
#pragma once
#include <signal.h>
#include <sys/types.h>

#include <cstdint>
#include <string>

#include "platform/transfer_file.h"

// What a reception writes to and what it takes to store it.
constexpr int FILE_SAVE_REPLACE = 1;
constexpr int FILE_SAVE_IN_PLACE = 2;
constexpr int FILE_SAVE_STREAM = 3;

struct FileReplacement {
  int fd = -1;              // the bytes go here; non-blocking for FILE_SAVE_STREAM
  int kind = 0;             // one of FILE_SAVE_*
  int target_fd = -1;       // FILE_SAVE_IN_PLACE with a temporary file elsewhere: the file copied into at the end
  int folder_fd = -1;       // the folder that holds the name
  std::string name;         // the name inside that folder
  std::string temp_name;    // the named temporary, where unnamed files are not supported
  std::string path_folder;  // the folder as the path names it, looked at again at the end
  uint64_t path_folder_id[2] = {};
  bool existed = false;  // a regular file was there to be replaced
  unsigned mode = 0;     // its permission bits, owner and group
  unsigned owner = 0;
  unsigned group = 0;
  std::string acl;  // its access-control list as the system stores it; empty: none
  bool flushed = false;
  SysOutcome failure = SysOutcome::ok;  // foreign_owner, incomplete, moved; ok: errno tells
  int told_fd = -1;  // a socket set to close in order in the same step that stores the file
};

// The path by which the process opens its own descriptor fd again.
std::string proc_fd_path(int fd);

// Opens a folder for the *at calls. Read access lets the folder be flushed to the disk
// later; a folder that may be searched but not read is opened as a path only.
int open_folder(const char* folder);

// The temporary file (temp_file.cpp).
// Makes the temporary file where the bytes wait before they take the name. Returns the
// descriptor or -1.
int make_temp(FileReplacement* r);
// A temporary file in the folder of TMPDIR, or in /tmp where TMPDIR names none or one
// that cannot take it, where bytes wait until they are copied into a file written in
// place. Returns the descriptor or -1.
int make_temp_elsewhere();
// True when names in the folder can be removed and replaced: it is neither append-only nor
// immutable. A folder whose flags cannot be read is taken to allow it; the rename tells.
bool folder_allows_replacing(int folder);
// Gives the complete temporary file the path's name. Returns false on failure; a name the
// temporary file got on the way is left in temp_name for the caller to remove.
bool name_temp(FileReplacement* r);
// Copies the temporary file's bytes into the file written in place (see temp_file.cpp).
bool copy_in_place(FileReplacement* r);
// Flushes the folder, so a name made or changed in it survives a power loss.
bool sync_folder(int folder);

// The mode, owner and access-control list (file_owner.cpp).
// The access-control list of the file open as fd (also as a path only), as the system
// stores it; empty when it has none beyond its mode.
std::string read_acl(int fd);
// Gives the temporary file the replaced file's owner, group, permission bits and list.
void keep_mode_and_owner(const FileReplacement& r);

// The record an ending of the process reads (ending.cpp).
// Records r's named temporary file, or that it has none, as the one in progress.
void record_temp(const FileReplacement& r);
// Notes that a replacement of this process stored its file.
void note_stored();

// One step that must not be cut in two (a named temporary file made and recorded, a
// complete file named or copied in place and the connection set to close in order), on
// this thread, for as long as it lives. The signals that end the program are held back on
// this thread meanwhile and take their effect once it is over; an ending waits for it. A
// step that begins while the process is ending is refused: it must do nothing.
class EndingHeld {
 public:
  EndingHeld();
  ~EndingHeld();
  EndingHeld(const EndingHeld&) = delete;
  EndingHeld& operator=(const EndingHeld&) = delete;
  bool refused() const { return refused_; }

 private:
  sigset_t old_;
  bool nested_ = false;
  bool refused_ = false;
};

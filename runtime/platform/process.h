// The running process as the layers above see it: its standard streams, who it is, where
// its program lies, and its immediate end.
#pragma once
#include <cstdint>
#include <string>

// The program's arguments in UTF-8, as main received them in argc and argv; on a system
// that hands main another encoding they are read again from the system. *argc may change
// with them. The texts stay for the life of the process.
char** process_arguments(int* argc, char** argv);

// Ends the process with code at once: no destructors, no exit handlers, no stream flush.
[[noreturn]] void process_exit_now(int code);

// Writes "PROGRAM: what" and a line end to standard error. Safe in a signal handler.
void process_report_error(const char* what);

// Identifiers of this process and of the calling thread.
uint32_t process_id();
uint32_t process_thread_id();

// The folder of the running program with a trailing separator, resolved once; empty when
// the system cannot tell.
const std::string& process_program_folder();

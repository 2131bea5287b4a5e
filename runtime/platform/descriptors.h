// The descriptors that cross the platform's interface, one type for each kind, so that a
// socket handed where a file is wanted, or a standard stream where a socket is, does not
// compile. Only the back ends look at the numbers behind them.
#pragma once
#include <cstdint>

// A socket of this process. Its 32 bits are the system's socket number, never 0 for a live
// one (see socket.h), which the network library's records keep as a plain word.
enum class SockFd : int32_t {};
constexpr SockFd SOCK_NONE{-1};  // no socket: what the calls that make one return on failure

// An open file of this process (Windows: a C runtime descriptor).
enum class FileFd : int32_t {};
constexpr FileFd FILE_NONE{-1};  // no file: what the calls that open one return on failure

// The process's standard streams.
enum class StdStream : int32_t { input = 0, output = 1, error = 2 };

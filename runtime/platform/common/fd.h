// The system's numbers behind the interface's descriptors, for the back ends' own calls,
// and the way back.
#pragma once
#include "platform/descriptors.h"

constexpr int sys_fd(SockFd fd) { return static_cast<int>(fd); }
constexpr int sys_fd(FileFd fd) { return static_cast<int>(fd); }
constexpr int sys_fd(StdStream stream) { return static_cast<int>(stream); }
constexpr SockFd sock_fd(int number) { return SockFd{number}; }
constexpr FileFd file_fd(int number) { return FileFd{number}; }

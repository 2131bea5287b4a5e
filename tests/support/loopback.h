// Plain sockets on 127.0.0.1 for playing the other side of a transfer, and the bytes such
// a peer sends.
#pragma once
#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <string>

sockaddr_in loopback(int port);
// A blocking TCP client connected to the port, or -1.
int connect_to(int port);
// A non-blocking TCP client whose connection to the port is made or under way, or -1.
int connect_started(int port);
// Listens on the port; returns the descriptor, or -1.
int listen_on(int port);
// Listens on the port with its queue of clients not yet taken full (*filler is the client
// that fills it), so the system drops every further attempt to connect there, as a host
// that drops packets does; or -1.
int listen_silently(int port, int* filler);
// Sends every byte (no SIGPIPE); false when the connection failed first.
bool send_all(int fd, const std::string& bytes);
// Takes one client from the listening socket, waiting up to timeout_ms; -1: none came.
int accept_within(int listener, int timeout_ms = 10000);
// Reads until the peer closes (in order or with a reset); returns what came, or nullopt
// when timeout_ms pass without a byte or the close, or the read fails: a peer that keeps
// its connection is not taken for closed.
std::optional<std::string> read_until_close(int fd, int timeout_ms = 10000);
// True when nothing is bound to the port on loopback.
bool port_free(int port);
// A port from 2000 to 9999 (the programs take no others) free now and given to no other
// running test process.
int free_port();

// Bytes that differ from position to position, so that a shifted or repeated piece shows.
std::string pattern(size_t size, unsigned seed = 1);
// The 12-byte header of a transfer announcing size bytes.
std::string header(uint32_t size, const char* magic = "QUORVANT");

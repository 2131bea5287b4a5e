// The system's own socket headers, for the code that both back ends share.
#pragma once
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstdint>

struct SockPeer;

// The system's address of the peer on port, into *address. Returns its length.
socklen_t sock_peer_address(const SockPeer& peer, uint16_t port, sockaddr_storage* address);

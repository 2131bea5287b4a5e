// This machine's addresses on Windows: the adapters' list from GetAdaptersAddresses, looked
// up at run time so the programs import no more than every Windows has.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/addresses.h"

namespace {
std::string narrow(const wchar_t* text) {
  char out[512] = {};
  if (text) WideCharToMultiByte(CP_UTF8, 0, text, -1, out, sizeof out - 1, nullptr, nullptr);
  return out;
}
}  // namespace

std::vector<LocalAddress> local_addresses() {
  std::vector<LocalAddress> found;
  HMODULE dll = LoadLibraryExW(L"iphlpapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  auto get = dll ? reinterpret_cast<decltype(&GetAdaptersAddresses)>(
                       reinterpret_cast<void*>(GetProcAddress(dll, "GetAdaptersAddresses")))
                 : nullptr;
  if (!get) return found;
  ULONG size = 16384;
  std::vector<unsigned char> buffer;
  ULONG status = ERROR_BUFFER_OVERFLOW;
  for (int tries = 0; tries < 3 && status == ERROR_BUFFER_OVERFLOW; ++tries) {
    buffer.resize(size);
    status = get(AF_UNSPEC, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER, nullptr,
                 reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
  }
  if (status != NO_ERROR) return found;
  for (auto* a = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); a; a = a->Next) {
    if (a->OperStatus != IfOperStatusUp || a->IfType == IF_TYPE_SOFTWARE_LOOPBACK) continue;
    bool tunnel = a->IfType == IF_TYPE_TUNNEL || a->IfType == IF_TYPE_PPP ||
                  local_interface_is_virtual(narrow(a->Description).c_str()) ||
                  local_interface_is_virtual(narrow(a->FriendlyName).c_str());
    for (auto* u = a->FirstUnicastAddress; u; u = u->Next) {
      sockaddr* sa = u->Address.lpSockaddr;
      SockPeer peer;
      if (sa->sa_family == AF_INET) {
        peer.ipv4 = reinterpret_cast<sockaddr_in*>(sa)->sin_addr.s_addr;
      } else if (sa->sa_family == AF_INET6) {
        peer.ipv6 = true;
        std::memcpy(peer.ipv6_bytes, &reinterpret_cast<sockaddr_in6*>(sa)->sin6_addr, 16);
      } else {
        continue;
      }
      int kind = local_address_kind(peer, tunnel);
      if (kind >= 0) found.push_back(LocalAddress{sock_address_text(peer), kind});
    }
  }
  std::stable_sort(found.begin(), found.end(), [](const LocalAddress& x, const LocalAddress& y) { return x.kind < y.kind; });
  return found;
}

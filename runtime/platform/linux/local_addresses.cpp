// This machine's addresses on Linux: the interfaces' list from getifaddrs.
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>

#include "platform/addresses.h"

std::vector<LocalAddress> local_addresses() {
  std::vector<LocalAddress> found;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return found;
  for (ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || !(i->ifa_flags & IFF_UP) || (i->ifa_flags & IFF_LOOPBACK)) continue;
    SockPeer a;
    if (i->ifa_addr->sa_family == AF_INET) {
      a.ipv4 = reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr;
    } else if (i->ifa_addr->sa_family == AF_INET6) {
      a.ipv6 = true;
      std::memcpy(a.ipv6_bytes, &reinterpret_cast<sockaddr_in6*>(i->ifa_addr)->sin6_addr, 16);
    } else {
      continue;
    }
    bool tunnel = (i->ifa_flags & IFF_POINTOPOINT) || local_interface_is_virtual(i->ifa_name);
    int kind = local_address_kind(a, tunnel);
    if (kind >= 0) found.push_back(LocalAddress{sock_address_text(a), kind});
  }
  freeifaddrs(list);
  std::stable_sort(found.begin(), found.end(), [](const LocalAddress& x, const LocalAddress& y) { return x.kind < y.kind; });
  return found;
}

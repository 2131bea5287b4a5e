// Discovery through the system's own DNS-SD calls (Windows 10 1809 and later), looked up
// at run time: where dnsapi.dll lacks them (older systems, wine) nothing is announced or
// found, and the programs run as without.
#include "platform/discovery.h"

#include <windows.h>
#include <windns.h>

#include <algorithm>
#include <mutex>

#include "platform/addresses.h"

namespace {

constexpr wchar_t kType[] = L"._kelvane._tcp.local";
// The calls' answer for a request under way (DNS_REQUEST_PENDING).
constexpr DWORD kRequestPending = 9506;

struct DnsSd {
  decltype(&DnsServiceConstructInstance) construct = nullptr;
  decltype(&DnsServiceFreeInstance) free_instance = nullptr;
  decltype(&DnsServiceRegister) register_service = nullptr;
  decltype(&DnsServiceDeRegister) deregister = nullptr;
  decltype(&DnsServiceBrowse) browse = nullptr;
  decltype(&DnsFree) free_records = nullptr;
};

struct State {
  std::mutex lock;
  DNS_SERVICE_REGISTER_REQUEST request{};  // the announcement; pServiceInstance null when none
  bool browsing = false;
  DNS_SERVICE_CANCEL browse_cancel{};
  std::vector<DiscoveredService> found;
};

// Never destroyed: the system's threads call back while the process ends.
State& state() {
  static State* s = new State;
  return *s;
}

template <typename F>
void take(HMODULE dll, const char* name, F* slot) {
  *slot = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
}

// The calls, once; null members where the system has none of them.
const DnsSd* calls() {
  static const DnsSd* loaded = [] {
    static DnsSd d;
    HMODULE dll = LoadLibraryExW(L"dnsapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!dll) return static_cast<const DnsSd*>(nullptr);
    take(dll, "DnsServiceConstructInstance", &d.construct);
    take(dll, "DnsServiceFreeInstance", &d.free_instance);
    take(dll, "DnsServiceRegister", &d.register_service);
    take(dll, "DnsServiceDeRegister", &d.deregister);
    take(dll, "DnsServiceBrowse", &d.browse);
    take(dll, "DnsFree", &d.free_records);
    bool all = d.construct && d.free_instance && d.register_service && d.deregister && d.browse && d.free_records;
    return all ? static_cast<const DnsSd*>(&d) : nullptr;
  }();
  return loaded;
}

std::wstring wide(const std::string& text) {
  int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
  std::wstring out(n > 0 ? static_cast<size_t>(n) : 1, L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out.data(), n);
  out.resize(wcslen(out.c_str()));
  return out;
}

std::string narrow(const wchar_t* text) {
  if (!text) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? static_cast<size_t>(n) : 1, '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
  out.resize(strlen(out.c_str()));
  return out;
}

// "anna-pc._kelvane._tcp.local" → "anna-pc"; empty when it is no instance of the type.
std::string instance_of(const wchar_t* full) {
  std::wstring name = full ? full : L"";
  size_t tail = wcslen(kType);
  if (name.size() <= tail || _wcsicmp(name.c_str() + name.size() - tail, kType) != 0) return std::string();
  return narrow(name.substr(0, name.size() - tail).c_str());
}

void WINAPI on_registered(DWORD, PVOID, PDNS_SERVICE_INSTANCE instance) {
  if (instance && calls()) calls()->free_instance(instance);
}

// Answers of the browse: a PTR record names an instance (a time to live of 0 withdraws
// it), SRV its host and port, A an IPv4 address.
void WINAPI on_browsed(DWORD status, PVOID, PDNS_RECORD records) {
  if (status != ERROR_SUCCESS || !records) {
    if (records) calls()->free_records(records, DnsFreeRecordList);
    return;
  }
  std::string instance, address, host;
  uint16_t port = 0;
  bool gone = false;
  for (PDNS_RECORD r = records; r; r = r->pNext) {
    if (r->wType == DNS_TYPE_PTR) {
      instance = instance_of(r->Data.PTR.pNameHost);
      gone = r->dwTtl == 0;
    } else if (r->wType == DNS_TYPE_SRV) {
      port = r->Data.SRV.wPort;
      host = narrow(r->Data.SRV.pNameTarget);
    } else if (r->wType == DNS_TYPE_A && address.empty()) {
      SockPeer peer;
      peer.ipv4 = r->Data.A.IpAddress;
      address = sock_address_text(peer);
    }
  }
  calls()->free_records(records, DnsFreeRecordList);
  if (instance.empty()) return;
  State& s = state();
  std::lock_guard<std::mutex> hold(s.lock);
  std::erase_if(s.found, [&](const DiscoveredService& f) { return f.instance == instance; });
  // Without an address the system's resolver finds the host by its .local name.
  if (!gone && port != 0) s.found.push_back(DiscoveredService{instance, address.empty() ? host : address, port});
}

// Withdraws the announcement; with s.lock held.
void withdraw_locked(State& s) {
  if (!s.request.pServiceInstance) return;
  calls()->deregister(&s.request, nullptr);
  s.request.pServiceInstance = nullptr;
}

}  // namespace

void discovery_announce(const char* instance, uint16_t port) {
  const DnsSd* d = calls();
  if (!d || !instance) return;
  std::wstring name = wide(instance) + kType;
  std::wstring host = wide(local_host_name()) + L".local";
  State& s = state();
  std::lock_guard<std::mutex> hold(s.lock);
  withdraw_locked(s);
  PDNS_SERVICE_INSTANCE made =
      d->construct(name.c_str(), host.c_str(), nullptr, nullptr, port, 0, 0, 0, nullptr, nullptr);
  if (!made) return;
  s.request = DNS_SERVICE_REGISTER_REQUEST{};
  s.request.Version = DNS_QUERY_REQUEST_VERSION1;
  s.request.pServiceInstance = made;
  s.request.pRegisterCompletionCallback = on_registered;
  if (d->register_service(&s.request, nullptr) != kRequestPending) {
    d->free_instance(made);
    s.request.pServiceInstance = nullptr;
  }
}

void discovery_withdraw() {
  if (!calls()) return;
  State& s = state();
  std::lock_guard<std::mutex> hold(s.lock);
  withdraw_locked(s);
}

void discovery_browse() {
  const DnsSd* d = calls();
  if (!d) return;
  State& s = state();
  std::lock_guard<std::mutex> hold(s.lock);
  if (s.browsing) return;
  DNS_SERVICE_BROWSE_REQUEST request{};
  request.Version = DNS_QUERY_REQUEST_VERSION1;
  request.QueryName = L"_kelvane._tcp.local";
  request.pBrowseCallback = on_browsed;
  s.browsing = d->browse(&request, &s.browse_cancel) == kRequestPending;
}

std::vector<DiscoveredService> discovery_found() {
  State& s = state();
  std::lock_guard<std::mutex> hold(s.lock);
  return s.found;
}

std::string discovery_local_name() {
  std::string host = local_host_name();
  return calls() && !host.empty() ? host + ".local" : std::string();
}

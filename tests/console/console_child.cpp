// Drives the console as the tests tell it, on the standard input and output it gets (a
// pseudo-terminal or pipes): console_child <report-file> <step>... Steps: raw, plain,
// title:T, p:T (print), l:T (print line), pn / ln (null text), clear, in (line input),
// key (inkey once), keywait (inkey until a key, up to 3 s), status:T, statusclear, port
// (the port prompt), listen (a loopback listener closed by an exit hook), sleep:MS, block
// (wait up to 20 s for a signal), nonblock (standard output made non-blocking, a pipe
// there as small as it goes). Texts take \e \r \n \t \\ and \xNN. Results of inputs go to
// the report file, one line each, bytes outside 0x20-0x7E as \xNN.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "console/console.h"
#include "app/dialogue.h"
#include "console/status.h"
#include "core/fatal.h"
#include "app/lifecycle.h"
#include "platform/clock.h"
#include "strings/area.h"

namespace {
int g_report = -1;
std::atomic<int> g_listener{-1};

std::string unescape(const char* s) {
  std::string out;
  for (; *s; ++s) {
    if (*s != '\\' || !s[1]) {
      out += *s;
      continue;
    }
    ++s;
    switch (*s) {
      case 'e': out += '\x1b'; break;
      case 'r': out += '\r'; break;
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case 'x':
        out += static_cast<char>(std::strtol(std::string(s + 1, 2).c_str(), nullptr, 16));
        s += 2;
        break;
      default: out += *s;
    }
  }
  return out;
}

void report(const char* text) {
  std::string line;
  for (const char* p = text; *p; ++p) {
    auto c = static_cast<unsigned char>(*p);
    char hex[5];
    std::snprintf(hex, sizeof hex, "\\x%02X", c);
    line += c >= 0x20 && c < 0x7F && c != '\\' ? std::string(1, *p) : std::string(hex);
  }
  line += '\n';
  (void)!write(g_report, line.data(), line.size());
}

void close_listener() {
  int fd = g_listener.exchange(-1);
  if (fd < 0) return;
  close(fd);
  (void)!write(g_report, "closed\n", 7);
}

void listen_loopback() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t size = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), size) != 0 || listen(fd, 4) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size) != 0)
    fatal_error("no listener");
  g_listener.store(fd);
  runtime_on_exit(close_listener);
  report(("port " + std::to_string(ntohs(addr.sin_port))).c_str());
}

void input(char* (*operation)(int32_t)) {
  int32_t mark = str_area_top();
  report(operation(mark));
  str_area_reset(mark);
}

void keywait() {
  for (int i = 0; i < 300; ++i) {
    int32_t mark = str_area_top();
    std::string key = console_inkey(mark);
    str_area_reset(mark);
    if (!key.empty()) return report(key.c_str());
    clock_sleep_ms(10);
  }
  report("(no key)");
}

void run(const std::string& step) {
  static const std::map<std::string, void (*)()> whole = {
      {"raw", [] { console_set_raw_mode(1); }},
      {"plain", [] { console_set_raw_mode(0); }},
      {"pn", [] { console_print(nullptr); }},
      {"ln", [] { console_print_line(nullptr); }},
      {"clear", console_clear},
      {"in", [] { input(console_ops.input_line); }},
      {"key", [] { input(console_ops.inkey); }},
      {"keywait", keywait},
      {"statusclear", console_status_clear},
      {"listen", listen_loopback},
      {"port",
       [] {
         StringVar text = nullptr;
         report(std::to_string(dialogue_ask_port(&text)).c_str());
         str_assign(&text, nullptr);
       }},
      {"nonblock",
       [] {
         fcntl(STDOUT_FILENO, F_SETPIPE_SZ, 4096);
         fcntl(STDOUT_FILENO, F_SETFL, fcntl(STDOUT_FILENO, F_GETFL) | O_NONBLOCK);
       }},
      {"block", [] { for (int i = 0; i < 200; ++i) clock_sleep_ms(100); }},
  };
  // Steps that take a text behind their prefix.
  static const std::pair<const char*, void (*)(const std::string&)> with_text[] = {
      {"title:", [](const std::string& t) { console_title(unescape(t.c_str()).c_str()); }},
      {"p:", [](const std::string& t) { console_print(unescape(t.c_str()).c_str()); }},
      {"l:", [](const std::string& t) { console_print_line(unescape(t.c_str()).c_str()); }},
      {"status:", [](const std::string& t) { console_status_show(unescape(t.c_str()).c_str()); }},
      {"sleep:", [](const std::string& t) { clock_sleep_ms(static_cast<uint32_t>(std::atoi(t.c_str()))); }},
  };
  if (auto found = whole.find(step); found != whole.end()) return found->second();
  for (const auto& [prefix, action] : with_text)
    if (step.rfind(prefix, 0) == 0) return action(step.substr(std::strlen(prefix)));
  fatal_error(("unknown step " + step).c_str());
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  g_report = open(argv[1], O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  runtime_start();
  console_open();
  for (int i = 2; i < argc; ++i) run(argv[i]);
  runtime_exit();
}

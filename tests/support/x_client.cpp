#include "support/x_client.h"

#include "support/temp_dir.h"

#include <X11/Xlib.h>
#include <poll.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>

namespace {

Display* as_display(void* display) { return static_cast<Display*>(display); }

// A request on a window that has just gone must not end the test program.
int ignore_error(Display*, XErrorEvent*) { return 0; }

// Waits until an event matching the test is read, up to the deadline.
template <typename Match>
bool next_event(Display* display, int64_t deadline, Match match) {
  for (;;) {
    while (XPending(display)) {
      XEvent event;
      XNextEvent(display, &event);
      if (match(event)) return true;
    }
    int64_t left = deadline - now_ms();
    if (left <= 0) return false;
    pollfd p{ConnectionNumber(display), POLLIN, 0};
    poll(&p, 1, static_cast<int>(left));
  }
}

}  // namespace

bool XClient::open(const std::string& display) {
  close();
  XSetErrorHandler(ignore_error);
  Display* connection = XOpenDisplay(display.c_str());
  if (!connection) return false;
  // Maps of top-level windows and the answers to pings are both sent to the root window.
  XSelectInput(connection, DefaultRootWindow(connection), SubstructureNotifyMask);
  display_ = connection;
  return true;
}

void XClient::close() {
  if (display_) XCloseDisplay(as_display(display_));
  display_ = nullptr;
}

bool XClient::wait_for_map(int timeout_ms) {
  return display_ && next_event(as_display(display_), now_ms() + timeout_ms,
                                [](const XEvent& event) { return event.type == MapNotify; });
}

bool XClient::ping(const std::string& window, int timeout_ms) {
  Display* display = as_display(display_);
  if (!display) return false;
  Window target = std::strtoul(window.c_str(), nullptr, 0);
  Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
  Atom ping = XInternAtom(display, "_NET_WM_PING", False);
  long token = ++serial_;
  XEvent event{};
  event.xclient = {ClientMessage, 0, False, nullptr, target, protocols, 32, {}};
  event.xclient.data.l[0] = static_cast<long>(ping);
  event.xclient.data.l[1] = token;  // comes back unchanged: tells this answer from earlier ones
  event.xclient.data.l[2] = static_cast<long>(target);
  XSendEvent(display, target, False, NoEventMask, &event);
  XFlush(display);
  return next_event(display, now_ms() + timeout_ms, [&](const XEvent& answer) {
    return answer.type == ClientMessage && answer.xclient.message_type == protocols &&
           static_cast<Atom>(answer.xclient.data.l[0]) == ping && answer.xclient.data.l[1] == token;
  });
}

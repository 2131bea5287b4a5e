// The test's own connection to an X display, for what xdotool cannot tell: when something
// appeared on the screen, and whether a program has handled the input sent to it so far.
#pragma once
#include <string>

class XClient {
 public:
  XClient() = default;
  ~XClient() { close(); }
  XClient(const XClient&) = delete;
  XClient& operator=(const XClient&) = delete;

  bool open(const std::string& display);
  void close();
  // Waits up to timeout_ms for a window to be mapped. Returns whether one was.
  bool wait_for_map(int timeout_ms);
  // Sends the window (an id as xdotool prints it) a window manager's ping and waits up to
  // timeout_ms for the answer. GTK answers only once it handled every event that came
  // before: input sent so far was taken.
  bool ping(const std::string& window, int timeout_ms);

 private:
  void* display_ = nullptr;
  long serial_ = 0;
};

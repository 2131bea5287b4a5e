// What the end-to-end tests share: starting the two programs with the dialogs in text
// mode and answering their first questions.
#pragma once
// The headers nearly every end-to-end test needs, here once.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/loopback.h"
#include "support/temp_dir.h"
#include "tests/quick/quick_time.h"

namespace e2e {

using Lines = std::vector<std::string>;

const std::string kReceiverProgram = KV_BUILD_DIR "/Kelvane", kSenderProgram = KV_BUILD_DIR "/Dorvish";
// Quick builds: each pause kQuickTimeFactor times as short; tests run them unless a
// pause's length counts.
const std::string kQuickReceiver = KV_BUILD_DIR "/tests/Kelvane_quick",
                  kQuickSender = KV_BUILD_DIR "/tests/Dorvish_quick";

// The program on a pseudo-terminal of the given width, its dialogs in text mode.
ChildOptions text_mode(const std::string& program, int columns = 80);
// Starts the program on pipes with the whole input given and ended: no terminal at all.
void start_piped(ChildProcess& child, const std::string& program, const std::string& input);

// The programs a test starts side by side, kept until it ends.
struct Programs {
  // Starts the program of the options with the arguments appended; on pipes, its input
  // ended at once.
  ChildProcess* start(ChildOptions options, const std::vector<std::string>& args = {});
  // The program in text mode on pipes, as a script runs it.
  ChildProcess* script(const std::string& program, const std::vector<std::string>& args);
  std::vector<std::unique_ptr<ChildProcess>> all;
};

// Answers the receiver's save dialog with save_path and its port prompt with port_text.
void start_receiver(ChildProcess& receiver, const std::string& save_path, const std::string& port_text);
// The receiver is serving once this returns true.
bool receiver_ready(ChildProcess& receiver);

// A receiver started in text mode on a fresh folder, its save dialog and port prompt
// answered: unless given, the save path (target) is folder/target.bin, the port a free
// one, the program the quick receiver. Check receiver_ready(receiver) when it should be
// serving.
struct ReceiverRun {
  explicit ReceiverRun(const std::string& save_path = "", int port_number = 0, int columns = 80,
                       const std::string& program = kQuickReceiver);
  TempDir dir;
  std::string target;
  int port;
  ChildProcess receiver;
};

// A receiver (the quick one unless given) started on a port that another listens on.
struct BusyPortRun {
  explicit BusyPortRun(const std::string& program = kQuickReceiver);
  ~BusyPortRun() { free_port_again(); }
  // True once the receiver said it cannot have the port.
  bool refused();
  void free_port_again();
  int port;
  int listener;
  ReceiverRun run;
};

// True when the receiver, back from its pause, still serves: the next sender to connect
// is greeted, and the receiver never said that it would end.
bool serves_on(ChildProcess& receiver, int port);

// A raw peer: connects to the port, sends the bytes and closes. False when a step failed.
bool send_closing(int port, const std::string& bytes);

// The n lines of the program's screen before its last skip ones; all of them when fewer.
Lines last_lines(ChildProcess& program, size_t n, size_t skip = 0);

// How often the needle stands in the haystack.
size_t count(const std::string& haystack, const std::string& needle);

// Answers the sender's notice, open dialog, port and address prompts; after_choice, if
// given, runs once the dialog has taken the file.
void start_sender(ChildProcess& sender, const std::string& file_path, const std::string& port_text,
                  const std::string& ip_text = "127.0.0.1", const std::function<void()>& after_choice = {});

}  // namespace e2e

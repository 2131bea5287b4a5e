// What the end-to-end tests share: starting the two programs on pseudo-terminals with the
// dialogs in text mode, answering their first questions, and a raw socket peer.
#pragma once
#include <string>

#include "support/pty_process.h"

namespace e2e {

// A fresh folder for one test, removed with everything in it at the end.
struct TempDir {
  TempDir();
  ~TempDir();
  std::string path;
  std::string operator/(const std::string& name) const { return path + "/" + name; }
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);
// Bytes that differ from position to position, so that a shifted copy is noticed.
std::string pattern(size_t size, unsigned seed = 1);

PtyProcess::Options text_mode(int columns = 80);

// Starts the receiver, answers the save dialog with save_path and the port prompt with
// port_text. Returns after the answer is typed.
void start_receiver(PtyProcess& receiver, const std::string& save_path, const std::string& port_text);
// The receiver is serving once this returns true.
bool receiver_ready(PtyProcess& receiver);

const std::string kReceiverProgram = KV_BUILD_DIR "/Kelvane";
const std::string kSenderProgram = KV_BUILD_DIR "/Dorvish";

// A receiver started in text mode on a fresh folder, its save dialog and port prompt
// answered: the save path is target (folder/target.bin unless given), the port a free one
// unless given. Check receiver_ready(receiver) when it should be serving.
struct ReceiverRun {
  explicit ReceiverRun(const std::string& save_path = "", int port_number = 0, int columns = 80);
  TempDir dir;
  std::string target;
  int port;
  PtyProcess receiver;
};

// How often the needle stands in the haystack.
size_t count(const std::string& haystack, const std::string& needle);

// Starts the sender and answers its notice, open dialog, port and address prompts.
void start_sender(PtyProcess& sender, const std::string& file_path, const std::string& port_text,
                  const std::string& ip_text = "127.0.0.1");

// A plain TCP peer on loopback. Returns the descriptor, or -1.
int connect_to(int port);
bool send_all(int fd, const std::string& bytes);
// A 12-byte transfer header announcing size bytes.
std::string header(int32_t size);
// Listens on the port on loopback. Returns the descriptor, or -1.
int listen_on(int port);
// Reads until the peer closes or timeout_ms pass without a byte.
std::string read_until_close(int fd, int timeout_ms = 10000);

}  // namespace e2e

namespace e2e {

// A program whose standard input is a file of prepared lines and whose standard output
// and error go to a file: no terminal at all.
class PipedProcess {
 public:
  PipedProcess(const std::string& program, const std::string& input, const std::string& folder);
  ~PipedProcess();
  // Waits until the output contains the needle, up to timeout_ms.
  bool wait_for(const std::string& needle, int timeout_ms = 10000);
  // Exit code, 128+signal, or -1 on timeout.
  int wait_exit(int timeout_ms = 20000);
  void signal(int signo);
  std::string output() const;

 private:
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = -1;
  std::string output_path_;
};

}  // namespace e2e

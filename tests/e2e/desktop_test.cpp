// The receiver on a desktop: its save dialog is a GTK window, answered with xdotool, while
// the rest of the dialogue stays on the terminal.
#include <gtest/gtest.h>
#include <unistd.h>

#include "e2e_support.h"
#include "tests/support/x_session.h"

namespace {

using DesktopTest = XSessionTest;

TEST_F(DesktopTest, ReceiverTakesItsSavePathFromTheGtkDialog) {
  ChildOptions options;
  options.args = {e2e::kReceiverProgram};
  options.terminal = true;
  options.env = environment();
  options.cwd = dir.path();
  ChildProcess receiver(options);

  std::string window = find_window("Bitte Ort zum speichern auswaehlen");
  ASSERT_FALSE(window.empty()) << receiver.output();
  std::string target = dir.path() + "/empfangen.bin";
  type_into(window, {}, target, "Return");

  int port = free_port();
  ASSERT_TRUE(receiver.wait_for("Bitte den Port eingeben (1-9999): ", kStepMs)) << receiver.output();
  EXPECT_FALSE(window_visible("Bitte Ort zum speichern auswaehlen"));
  receiver.type(std::to_string(port) + "\r");
  ASSERT_TRUE(e2e::receiver_ready(receiver)) << receiver.screen_text();
  EXPECT_TRUE(receiver.wait_for("Speicherort: " + target));

  std::string content = pattern(200000);
  int fd = connect_to(port);
  ASSERT_TRUE(send_all(fd, header(static_cast<uint32_t>(content.size())) + content));
  ASSERT_TRUE(receiver.wait_for("Datei wurde hier gespeichert:")) << receiver.screen_text();
  close(fd);
  EXPECT_TRUE(read_file(target) == content);
  EXPECT_EQ(receiver.output().find("Gtk"), std::string::npos) << "nothing of GTK on the terminal";
}

}  // namespace

namespace {

// The libraries the program has mapped, one path a line.
std::string mapped(pid_t pid) { return read_file("/proc/" + std::to_string(pid) + "/maps"); }

// Without a display GTK is not even loaded; with one that cannot be opened it is loaded,
// and the dialogs still fall back to the terminal.
TEST(DialogChoice, GtkIsLoadedOnlyWhenADisplayMayBeThere) {
  for (bool display : {false, true}) {
    SCOPED_TRACE(display ? "unreachable display" : "no display");
    ChildOptions options = e2e::text_mode(e2e::kReceiverProgram);
    options.env["KV_DIALOGS"] = std::nullopt;
    if (display) options.env["DISPLAY"] = ":4242";
    ChildProcess receiver(options);
    ASSERT_TRUE(receiver.wait_for("Bitte Ort zum speichern auswaehlen")) << receiver.output();
    EXPECT_TRUE(receiver.wait_for("Pfad: ")) << "the text dialog asks";
    std::string maps = mapped(receiver.pid());
    EXPECT_EQ(maps.find("libkvgtk") != std::string::npos, display);
    EXPECT_EQ(maps.find("libgtk-3") != std::string::npos, display);
  }
}

}  // namespace

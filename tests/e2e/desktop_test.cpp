// The receiver on a desktop: its save dialog is a GTK window, answered with xdotool, while
// the rest of the dialogue stays on the terminal.
#include <gtest/gtest.h>
#include <unistd.h>

#include "e2e_support.h"
#include "tests/support/x_session.h"

namespace {

using DesktopTest = XSessionTest;

TEST_F(DesktopTest, ReceiverTakesItsSavePathFromTheGtkDialog) {
  PtyProcess::Options options;
  for (const auto& [name, value] : environment()) options.env.push_back(name + "=" + value.value_or(""));
  options.cwd = dir.path();
  PtyProcess receiver(KV_BUILD_DIR "/Kelvane", options);

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

  std::string content = e2e::pattern(200000);
  int fd = e2e::connect_to(port);
  ASSERT_TRUE(e2e::send_all(fd, e2e::header(static_cast<int32_t>(content.size())) + content));
  ASSERT_TRUE(receiver.wait_for("Datei wurde hier gespeichert:")) << receiver.screen_text();
  close(fd);
  EXPECT_TRUE(e2e::read_file(target) == content);
  EXPECT_EQ(receiver.output().find("Gtk"), std::string::npos) << "nothing of GTK on the terminal";
}

}  // namespace

#include "e2e_support.h"

namespace e2e {

ChildOptions text_mode(const std::string& program, int columns) {
  ChildOptions options;
  options.args = {program};
  options.terminal = true;
  options.columns = columns;
  options.env = {{"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}, {"KV_DIALOGS", "text"}};
  return options;
}

void start_piped(ChildProcess& child, const std::string& program, const std::string& input) {
  ChildOptions options = text_mode(program);
  options.terminal = false;
  child.start(options);
  child.type(input);
  child.close_input();
}

void start_receiver(ChildProcess& receiver, const std::string& save_path, const std::string& port_text) {
  receiver.wait_for("Bitte Ort zum speichern auswaehlen");
  receiver.type(save_path + "\r");
  receiver.wait_for("Bitte den Port eingeben (1-9999): ");
  receiver.type(port_text + "\r");
}

ChildProcess* Programs::start(ChildOptions options, const std::vector<std::string>& args) {
  options.args.insert(options.args.end(), args.begin(), args.end());
  all.push_back(std::make_unique<ChildProcess>(options));
  if (!options.terminal) all.back()->close_input();
  return all.back().get();
}

ChildProcess* Programs::script(const std::string& program, const std::vector<std::string>& args) {
  ChildOptions options = text_mode(program);
  options.terminal = false;
  return start(options, args);
}

bool receiver_ready(ChildProcess& receiver) { return receiver.wait_for("Server: Wait for Connection ..."); }

ReceiverRun::ReceiverRun(const std::string& save_path, int port_number, int columns,
                         const std::string& program)
    : target(save_path.empty() ? dir / "target.bin" : save_path),
      port(port_number ? port_number : free_port()),
      receiver(text_mode(program, columns)) {
  start_receiver(receiver, target, std::to_string(port));
}

BusyPortRun::BusyPortRun(const std::string& program)
    : port(free_port()), listener(listen_on(port)), run("", port, 80, program) {}

bool BusyPortRun::refused() {
  return listener >= 0 && run.receiver.wait_for("Server: Can't create the server (port in use ?).");
}

void BusyPortRun::free_port_again() {
  if (listener >= 0) close(listener);
  listener = -1;
}

bool serves_on(ChildProcess& receiver, int port) {
  const std::string greeting = "Der Sender hat sich verbunden ...";
  size_t before = count(receiver.output(), greeting);
  int probe = connect_to(port);
  if (probe < 0) return false;
  receiver.wait_until([&] { return count(receiver.output(), greeting) > before; }, 5000);
  close(probe);
  return count(receiver.output(), greeting) > before &&
         receiver.output().find("Server: Wait for quit the server.") == std::string::npos;
}

bool send_closing(int port, const std::string& bytes) {
  int fd = connect_to(port);
  bool sent = fd >= 0 && send_all(fd, bytes);
  if (fd >= 0) close(fd);
  return sent;
}

Lines last_lines(ChildProcess& program, size_t n, size_t skip) {
  Lines lines = program.lines();
  lines.resize(lines.size() - std::min(skip, lines.size()));
  return {lines.end() - static_cast<long>(std::min(n, lines.size())), lines.end()};
}

size_t count(const std::string& haystack, const std::string& needle) {
  size_t n = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) ++n;
  return n;
}

void start_sender(ChildProcess& sender, const std::string& file_path, const std::string& port_text,
                  const std::string& ip_text, const std::function<void()>& after_choice) {
  sender.wait_for("kann die Datei gesendet werden!");
  sender.type("\r");
  sender.wait_for("Bitte Datei zum Laden auswählen");
  sender.type(file_path + "\r");
  sender.wait_for("Bitte den Port eingeben (1-9999): ");
  if (after_choice) after_choice();
  sender.type(port_text + "\r");
  sender.wait_for("Bitte die IP eingeben (0.0.0.0): ");
  sender.type(ip_text + "\r");
}

}  // namespace e2e

// Runs the dialogs_child program and reads what it reported: "RESULT[text]" for each
// dialog's outcome and "NAME value" lines for what it saw.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/child_process.h"

using Env = std::map<std::string, std::optional<std::string>>;

inline ChildOptions dialog_options(const std::vector<std::string>& args, const Env& env,
                                   const std::string& cwd = "") {
  ChildOptions options;
  options.args = {child_program("dialogs_child")};
  options.args.insert(options.args.end(), args.begin(), args.end());
  options.env = env;
  options.cwd = cwd;
  options.columns = 120;
  return options;
}

// A dialog's report: of the given dialog (counted from 0), or of the last one.
class DialogChild : public ChildProcess {
 public:
  size_t reports() const {
    size_t n = 0;
    for (size_t at = output().find("RESULT["); at != std::string::npos; at = output().find("RESULT[", at + 1)) ++n;
    return n;
  }
  // The text between RESULT[ and the next ]: the dialog's outcome.
  std::string result(size_t dialog = std::string::npos) const {
    std::string line = report(dialog).substr(0, report(dialog).find_first_of("\r\n"));
    return line.size() < 8 ? "<no result>" : line.substr(7, line.size() - 8);
  }
  // The value of a "NAME value" report line.
  std::string reported(const std::string& name, size_t dialog = std::string::npos) const {
    std::string text = report(dialog);
    size_t start = text.find("\n" + name);
    if (start == std::string::npos) return "<none>";
    start += name.size() + 1;
    if (text[start] == ' ') ++start;
    return text.substr(start, text.find_first_of("\r\n", start) - start);
  }

 private:
  std::string report(size_t dialog) const {
    size_t start = output().rfind("RESULT[");
    if (dialog != std::string::npos) {
      start = output().find("RESULT[");
      for (size_t i = 0; i < dialog && start != std::string::npos; ++i) start = output().find("RESULT[", start + 1);
    }
    if (start == std::string::npos) return std::string();
    return output().substr(start, output().find("RESULT[", start + 1) - start);
  }
};

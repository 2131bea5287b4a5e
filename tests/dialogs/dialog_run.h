// Runs the dialogs_child program and reads what it reported: "RESULT[text]" for the
// dialog's outcome and "NAME value" lines for what it saw.
#pragma once
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

class DialogChild : public ChildProcess {
 public:
  // The text between RESULT[ and the next ]: the dialog's outcome.
  std::string result() const {
    size_t start = output().rfind("RESULT[");
    if (start == std::string::npos) return "<no result>";
    start += 7;
    std::string line = output().substr(start, output().find_first_of("\r\n", start) - start);
    return line.empty() ? line : line.substr(0, line.size() - 1);
  }
  // The value of a "NAME value" report line.
  std::string reported(const std::string& name) const {
    size_t start = output().rfind("\n" + name);
    if (start == std::string::npos) return "<none>";
    start += name.size() + 1;
    if (output()[start] == ' ') ++start;
    return output().substr(start, output().find_first_of("\r\n", start) - start);
  }
};

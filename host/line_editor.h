// Reading lines at the prompt: with a terminal, editing keys and a history of this session;
// otherwise plain lines from standard input.
#pragma once

#include <string>
#include <vector>

namespace quevro {

class LineEditor {
 public:
  explicit LineEditor(bool terminal) : terminal_(terminal) {}
  // False at the end of input.
  bool read_line(const char* prompt, std::string* line);
  void add_history(const std::string& entry);

 private:
  bool read_raw(const char* prompt, std::string* line);
  bool terminal_;
  std::vector<std::string> history_;
};

}  // namespace quevro

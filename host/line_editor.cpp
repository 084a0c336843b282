#include "host/line_editor.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>

namespace quevro {

namespace {

// Puts the terminal in character mode for the lifetime of the object.
class RawMode {
 public:
  RawMode() {
    ok_ = tcgetattr(STDIN_FILENO, &saved_) == 0;
    if (!ok_) return;
    termios raw = saved_;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    ok_ = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;  // keep what was typed ahead
  }
  ~RawMode() {
    if (ok_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
  }
  bool ok() const { return ok_; }

 private:
  termios saved_{};
  bool ok_ = false;
};

int read_key() {
  unsigned char c;
  return read(STDIN_FILENO, &c, 1) == 1 ? c : -1;
}

void redraw(const char* prompt, const std::string& text, size_t cursor) {
  std::string out = "\r\x1b[K";
  out += prompt;
  out += text;
  // Move back over the characters (not bytes) after the cursor.
  size_t after = 0;
  for (size_t i = cursor; i < text.size(); ++i)
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) ++after;
  if (after) out += "\x1b[" + std::to_string(after) + "D";
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
}

// A line from standard input without line editing; false at the end of input with nothing read.
bool read_plain_line(std::string* line) {
  line->clear();
  bool any = false;
  for (int c; (c = std::getc(stdin)) != EOF;) {
    any = true;
    if (c == '\n') return true;
    line->push_back(static_cast<char>(c));
  }
  return any;
}

}  // namespace

void LineEditor::add_history(const std::string& entry) {
  if (!entry.empty() && (history_.empty() || history_.back() != entry)) history_.push_back(entry);
}

bool LineEditor::read_line(const char* prompt, std::string* line) {
  if (terminal_) return read_raw(prompt, line);
  return read_plain_line(line);
}

bool LineEditor::read_raw(const char* prompt, std::string* line) {
  RawMode mode;
  if (!mode.ok()) {
    std::fputs(prompt, stdout);
    std::fflush(stdout);
    return read_plain_line(line);
  }
  std::string text;
  size_t cursor = 0;
  size_t browsing = history_.size();
  std::string draft;
  redraw(prompt, text, cursor);
  for (;;) {
    int c = read_key();
    if (c < 0) return false;
    if (c == '\r' || c == '\n') {
      std::fputs("\n", stdout);
      *line = text;
      return true;
    }
    if (c == 4) {  // Ctrl-D ends the input on an empty line
      if (text.empty()) return false;
      continue;
    }
    if (c == 3) {  // Ctrl-C drops the line
      text.clear();
      cursor = 0;
      std::fputs("^C\n", stdout);
    } else if (c == 127 || c == 8) {
      if (cursor > 0) {
        // Remove a whole UTF-8 character.
        size_t from = cursor - 1;
        while (from > 0 && (static_cast<unsigned char>(text[from]) & 0xC0) == 0x80) --from;
        text.erase(from, cursor - from);
        cursor = from;
      }
    } else if (c == 1) {
      cursor = 0;
    } else if (c == 5) {
      cursor = text.size();
    } else if (c == 27) {
      int a = read_key();
      int b = read_key();
      if (a != '[') continue;
      if (b == 'A' && browsing > 0) {
        if (browsing == history_.size()) draft = text;
        text = history_[--browsing];
        cursor = text.size();
      } else if (b == 'B' && browsing < history_.size()) {
        ++browsing;
        text = browsing == history_.size() ? draft : history_[browsing];
        cursor = text.size();
      } else if (b == 'C' && cursor < text.size()) {
        do ++cursor;
        while (cursor < text.size() && (static_cast<unsigned char>(text[cursor]) & 0xC0) == 0x80);
      } else if (b == 'D' && cursor > 0) {
        do --cursor;
        while (cursor > 0 && (static_cast<unsigned char>(text[cursor]) & 0xC0) == 0x80);
      } else if (b == 'H') {
        cursor = 0;
      } else if (b == 'F') {
        cursor = text.size();
      } else if (b == '3') {
        read_key();  // '~' of the delete key
        if (cursor < text.size()) {
          size_t to = cursor + 1;
          while (to < text.size() && (static_cast<unsigned char>(text[to]) & 0xC0) == 0x80) ++to;
          text.erase(cursor, to - cursor);
        }
      }
    } else if (c >= 32 || c == '\t') {
      text.insert(cursor, 1, static_cast<char>(c));
      ++cursor;
    }
    redraw(prompt, text, cursor);
  }
}

}  // namespace quevro

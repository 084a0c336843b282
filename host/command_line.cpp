#include "host/command_line.h"

#include "vm/api.h"

namespace quevro {

std::string join_command_line(const std::vector<std::string>& args) {
  std::string out;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (i) out += ' ';
    bool quote = a.empty() || a.find_first_of(" \t\"") != std::string::npos;
    if (!quote) {
      out += a;
      continue;
    }
    out += '"';
    size_t backslashes = 0;
    for (char c : a) {
      if (c == '\\') {
        ++backslashes;
        continue;
      }
      if (c == '"')
        out.append(backslashes * 2 + 1, '\\');  // escape the quote and the backslashes before it
      else
        out.append(backslashes, '\\');
      out += c;
      backslashes = 0;
    }
    out.append(backslashes * 2, '\\');  // they stand before the closing quote
    out += '"';
  }
  return out;
}

namespace {

bool takes_value(const std::string& switch_arg, const std::string& next) {
  if (next.empty() || next[0] != switch_arg[0]) return true;
  return next.find_first_of(" \t\r\n\"'{}()[]") != std::string::npos;
}

}  // namespace

void push_argv_table(VmState* L, const std::vector<std::string>& args) {
  ensure_stack(L, 4);
  new_table(L, 0, 0);
  int t = get_top(L);
  auto set_index = [&](size_t i, const std::string& s) {
    push_lstring(L, s.data(), s.size());
    raw_set_index(L, t, static_cast<int64_t>(i));
  };
  auto set_field = [&](const std::string& key, const std::string& value) {
    push_lstring(L, key.data(), key.size());
    push_lstring(L, value.data(), value.size());
    raw_set(L, t);
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    set_index(i + 1, a);
    if (a.empty() || (a[0] != '-' && a[0] != '/')) continue;
    size_t start = a.find_first_not_of(a[0]);
    std::string name = start == std::string::npos ? std::string() : a.substr(start);
    size_t eq = name.find('=');
    if (eq != std::string::npos) {
      set_field(name.substr(0, eq), name.substr(eq + 1));
    } else if (i + 1 < args.size() && takes_value(a, args[i + 1])) {
      set_field(name, args[i + 1]);
      ++i;
      set_index(i + 1, args[i]);
    } else {
      set_field(name, "");
    }
  }
}

}  // namespace quevro

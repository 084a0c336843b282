#include "batch/json_text.h"

#include <cstdio>

namespace quevro::batch {

std::string json_quote(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

void JsonObject::add_number(const std::string& name, double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", value);
  add_raw(name, text);
}

void JsonObject::add_strings(const std::string& name, const std::vector<std::string>& values) {
  std::string list = "[";
  for (size_t i = 0; i < values.size(); i++) list += (i ? "," : "") + json_quote(values[i]);
  add_raw(name, list + "]");
}

void JsonObject::add_raw(const std::string& name, const std::string& json) {
  if (!body_.empty()) body_ += ",";
  body_ += json_quote(name) + ":" + json;
}

}  // namespace quevro::batch

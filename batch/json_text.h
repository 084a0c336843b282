// A JSON object written as text, for handing options to the generator script.
#pragma once

#include <string>
#include <vector>

namespace quevro::batch {

// A JSON string literal for UTF-8 text.
std::string json_quote(const std::string& text);

class JsonObject {
 public:
  void add(const std::string& name, const std::string& value) { add_raw(name, json_quote(value)); }
  void add_number(const std::string& name, double value);
  void add_bool(const std::string& name, bool value) { add_raw(name, value ? "true" : "false"); }
  void add_strings(const std::string& name, const std::vector<std::string>& values);
  void add_raw(const std::string& name, const std::string& json);
  std::string text() const { return "{" + body_ + "}"; }

 private:
  std::string body_;
};

}  // namespace quevro::batch

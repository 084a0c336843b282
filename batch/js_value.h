// An owned reference to a value of the script engine (one reference of a JSCValue).
#pragma once

#include <cstdint>
#include <string>
#include <utility>

typedef struct _JSCValue JSCValue;

namespace quevro::batch {

class JsValue {
 public:
  JsValue() = default;
  // Takes over one reference (as the engine's functions return them).
  explicit JsValue(JSCValue* taken) : value_(taken) {}
  JsValue(const JsValue&) = delete;
  JsValue& operator=(const JsValue&) = delete;
  JsValue(JsValue&& other) noexcept : value_(std::exchange(other.value_, nullptr)) {}
  JsValue& operator=(JsValue&& other) noexcept;
  ~JsValue();

  JSCValue* get() const { return value_; }
  explicit operator bool() const { return value_ != nullptr; }

  JsValue property(const char* name) const;
  bool is_true() const;
  std::string text() const;  // the value converted to text
  double number() const;

 private:
  JSCValue* value_ = nullptr;
};

}  // namespace quevro::batch

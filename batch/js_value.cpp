#include "batch/js_value.h"

#include <jsc/jsc.h>

namespace quevro::batch {

JsValue& JsValue::operator=(JsValue&& other) noexcept {
  if (this != &other) {
    if (value_ != nullptr) g_object_unref(value_);
    value_ = std::exchange(other.value_, nullptr);
  }
  return *this;
}

JsValue::~JsValue() {
  if (value_ != nullptr) g_object_unref(value_);
}

JsValue JsValue::property(const char* name) const {
  if (value_ == nullptr || !jsc_value_is_object(value_)) return JsValue();
  return JsValue(jsc_value_object_get_property(value_, name));
}

bool JsValue::is_true() const { return value_ != nullptr && jsc_value_to_boolean(value_); }

std::string JsValue::text() const {
  if (value_ == nullptr) return std::string();
  char* chars = jsc_value_to_string(value_);
  std::string out = chars != nullptr ? chars : "";
  g_free(chars);
  return out;
}

double JsValue::number() const { return value_ != nullptr ? jsc_value_to_double(value_) : 0.0; }

}  // namespace quevro::batch

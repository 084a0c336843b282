#include "batch/js_engine.h"

#include <jsc/jsc.h>

#include <cstring>

namespace quevro::batch {

JsEngine::JsEngine() : context_(jsc_context_new()) {}

JsEngine::~JsEngine() {
  api_ = JsValue();
  g_object_unref(context_);
}

std::string JsEngine::take_exception() {
  JSCException* exception = jsc_context_get_exception(context_);
  if (exception == nullptr) return "unknown script error";
  char* report = jsc_exception_report(exception);
  std::string out = report != nullptr ? report : "script error";
  g_free(report);
  jsc_context_clear_exception(context_);
  return out;
}

bool JsEngine::load(const std::string& source, const char* file_name, std::string& error) {
  JsValue result(jsc_context_evaluate_with_source_uri(context_, source.data(), static_cast<gssize>(source.size()), file_name, 1));
  if (jsc_context_get_exception(context_) != nullptr) {
    error = take_exception();
    return false;
  }
  JsValue global(jsc_context_get_global_object(context_));
  JsValue api = global.property("PapyrantBatch");
  // The library build exports one default object.
  JsValue inner = api.property("default");
  if (inner && jsc_value_is_object(inner.get())) api = std::move(inner);
  if (!api || !jsc_value_is_object(api.get())) {
    error = "the generator script defines no PapyrantBatch";
    return false;
  }
  api_ = std::move(api);
  return true;
}

JsValue JsEngine::invoke(const char* method, std::vector<JSCValue*>& args, std::string& error) {
  JsValue result(jsc_value_object_invoke_methodv(api_.get(), method, static_cast<guint>(args.size()), args.data()));
  if (jsc_context_get_exception(context_) != nullptr) {
    error = take_exception();
    return JsValue();
  }
  return result;
}

JsValue JsEngine::finish(JsValue task, std::string& error) {
  while (!task.property("done").is_true()) {
    JsValue ran = call("runTimers", error);
    if (!ran) return JsValue();
    if (ran.number() == 0 && !task.property("done").is_true()) {
      error = "the generator stopped waiting for something that never comes";
      return JsValue();
    }
  }
  JsValue value = task.property("value");
  if (task.property("failed").is_true()) {
    error = value.text();
    return JsValue();
  }
  return value;
}

JsValue JsEngine::string(const std::string& text) const {
  GBytes* bytes = g_bytes_new(text.data(), text.size());
  JsValue out(jsc_value_new_string_from_bytes(context_, bytes));
  g_bytes_unref(bytes);
  return out;
}

JsValue JsEngine::number(double n) const { return JsValue(jsc_value_new_number(context_, n)); }

JsValue JsEngine::boolean(bool b) const { return JsValue(jsc_value_new_boolean(context_, b)); }

JsValue JsEngine::bytes(std::span<const uint8_t> data) const {
  JsValue array(jsc_value_new_typed_array(context_, JSC_TYPED_ARRAY_UINT8, data.size()));
  if (!data.empty()) {
    gsize length = 0;
    void* target = jsc_value_typed_array_get_data(array.get(), &length);
    std::memcpy(target, data.data(), data.size());
  }
  return array;
}

JsValue JsEngine::from_json(const std::string& json) const { return JsValue(jsc_value_new_from_json(context_, json.c_str())); }

JsValue JsEngine::object() const { return JsValue(jsc_value_new_object(context_, nullptr, nullptr)); }

void JsEngine::set(const JsValue& object, const char* name, const JsValue& value) const {
  jsc_value_object_set_property(object.get(), name, value.get());
}

std::span<const uint8_t> JsEngine::typed_bytes(JSCValue* value) {
  if (value == nullptr || !jsc_value_is_typed_array(value)) return {};
  gsize elements = 0;
  auto* data = static_cast<const uint8_t*>(jsc_value_typed_array_get_data(value, &elements));
  return {data, jsc_value_typed_array_get_size(value)};
}

}  // namespace quevro::batch

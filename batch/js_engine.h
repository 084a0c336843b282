// One realm of the script engine (its own virtual machine and heap) with the generator bundle
// loaded: calls into it, and drives its promises to the end from here. The engine runs its job
// queue dry whenever a call from here returns; what remains are timer callbacks, which the bundle
// queues and runs when asked (`PapyrantBatch.runTimers`).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "batch/js_value.h"

typedef struct _JSCContext JSCContext;

namespace quevro::batch {

class JsEngine {
 public:
  JsEngine();
  ~JsEngine();
  JsEngine(const JsEngine&) = delete;
  JsEngine& operator=(const JsEngine&) = delete;

  JSCContext* context() const { return context_; }

  // Runs the bundle's script; false with `error` set when it throws.
  bool load(const std::string& source, const char* file_name, std::string& error);

  // PapyrantBatch.<method>(args...); an empty value with `error` set when it throws.
  template <typename... Args>
  JsValue call(const char* method, std::string& error, const Args&... args) {
    std::vector<JSCValue*> raw{args.get()...};
    return invoke(method, raw, error);
  }

  // Waits for a task made by the bundle's track(): its value, or empty with `error` set.
  JsValue finish(JsValue task, std::string& error);

  JsValue string(const std::string& text) const;
  JsValue number(double n) const;
  JsValue boolean(bool b) const;
  JsValue bytes(std::span<const uint8_t> data) const;  // a Uint8Array holding a copy
  JsValue from_json(const std::string& json) const;
  JsValue object() const;
  void set(const JsValue& object, const char* name, const JsValue& value) const;

  // The bytes of a Uint8Array (or other typed array) argument; empty for anything else.
  static std::span<const uint8_t> typed_bytes(JSCValue* value);

 private:
  JsValue invoke(const char* method, std::vector<JSCValue*>& args, std::string& error);
  std::string take_exception();

  JSCContext* context_;
  JsValue api_;
};

}  // namespace quevro::batch

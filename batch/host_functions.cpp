#include "batch/host_functions.h"

#include <jsc/jsc.h>

#include <exception>

#include "batch/raw_deflate.h"
#include "batch/text_codec.h"

namespace quevro::batch {
namespace {

// A Uint8Array over memory the engine frees with `release` when the array is collected.
JSCValue* byte_array(JSCContext* context, void* data, size_t size, GDestroyNotify release, void* owner) {
  if (size == 0) {
    release(owner);
    return jsc_value_new_typed_array(context, JSC_TYPED_ARRAY_UINT8, 0);
  }
  JSCValue* buffer = jsc_value_new_array_buffer(context, data, size, release, owner);
  JSCValue* array = jsc_value_new_typed_array_with_buffer(buffer, JSC_TYPED_ARRAY_UINT8, 0, -1);
  g_object_unref(buffer);
  return array;
}

JSCValue* string_value(JSCContext* context, const std::string& text) {
  GBytes* bytes = g_bytes_new(text.data(), text.size());
  JSCValue* out = jsc_value_new_string_from_bytes(context, bytes);
  g_bytes_unref(bytes);
  return out;
}

void free_vector(void* owner) { delete static_cast<std::vector<uint8_t>*>(owner); }

JSCValue* utf8_encode(JSCValue* text, gpointer) {
  JSCContext* context = jsc_value_get_context(text);
  GBytes* bytes = jsc_value_to_string_as_bytes(text);
  gsize size = 0;
  const void* data = g_bytes_get_data(bytes, &size);
  return byte_array(context, const_cast<void*>(data), size, reinterpret_cast<GDestroyNotify>(g_bytes_unref), bytes);
}

JSCValue* utf8_decode(JSCValue* bytes, JSCValue* fatal, gpointer) {
  JSCContext* context = jsc_value_get_context(bytes);
  std::optional<std::string> text = decode_utf8(JsEngine::typed_bytes(bytes), jsc_value_to_boolean(fatal));
  return text ? string_value(context, *text) : jsc_value_new_null(context);
}

JSCValue* windows1252_decode(JSCValue* bytes, gpointer) {
  return string_value(jsc_value_get_context(bytes), decode_windows1252(JsEngine::typed_bytes(bytes)));
}

JSCValue* deflate_raw_bytes(JSCValue* bytes, gpointer) {
  JSCContext* context = jsc_value_get_context(bytes);
  try {
    auto* packed = new std::vector<uint8_t>(deflate_raw(JsEngine::typed_bytes(bytes)));
    return byte_array(context, packed->data(), packed->size(), free_vector, packed);
  } catch (const std::exception& e) {
    jsc_context_throw(context, e.what());
    return jsc_value_new_undefined(context);
  }
}

JSCValue* write_document(JSCValue* name, JSCValue* bytes, gpointer data) {
  auto* hooks = static_cast<RunHooks*>(data);
  char* chars = jsc_value_to_string(name);
  std::string file_name = chars != nullptr ? chars : "";
  g_free(chars);
  return string_value(jsc_value_get_context(name), hooks->sink->write(file_name, JsEngine::typed_bytes(bytes)));
}

JSCValue* open_output(gpointer data) {
  auto* hooks = static_cast<RunHooks*>(data);
  return string_value(hooks->context, hooks->sink->open());
}

JSCValue* finish_output(JSCValue* keep, gpointer data) {
  auto* hooks = static_cast<RunHooks*>(data);
  return string_value(jsc_value_get_context(keep), hooks->sink->finish(jsc_value_to_boolean(keep)));
}

void report_progress(JSCValue* done, JSCValue* total, gpointer data) {
  static_cast<RunHooks*>(data)->progress->update(jsc_value_to_double(done), jsc_value_to_double(total));
}

gboolean is_cancelled(gpointer data) { return *static_cast<RunHooks*>(data)->interrupted != 0; }

void add_function(JSCContext* context, JSCValue* host, const char* name, GCallback callback, void* data, GType result, guint count) {
  JSCValue* function = nullptr;
  switch (count) {
    case 0: function = jsc_value_new_function(context, name, callback, data, nullptr, result, 0); break;
    case 1: function = jsc_value_new_function(context, name, callback, data, nullptr, result, 1, JSC_TYPE_VALUE); break;
    default: function = jsc_value_new_function(context, name, callback, data, nullptr, result, 2, JSC_TYPE_VALUE, JSC_TYPE_VALUE); break;
  }
  jsc_value_object_set_property(host, name, function);
  g_object_unref(function);
}

}  // namespace

void install_host_functions(JsEngine& engine, RunHooks* hooks) {
  JSCContext* context = engine.context();
  JsValue host = engine.object();
  add_function(context, host.get(), "utf8Encode", G_CALLBACK(utf8_encode), nullptr, JSC_TYPE_VALUE, 1);
  add_function(context, host.get(), "utf8Decode", G_CALLBACK(utf8_decode), nullptr, JSC_TYPE_VALUE, 2);
  add_function(context, host.get(), "windows1252Decode", G_CALLBACK(windows1252_decode), nullptr, JSC_TYPE_VALUE, 1);
  add_function(context, host.get(), "deflateRaw", G_CALLBACK(deflate_raw_bytes), nullptr, JSC_TYPE_VALUE, 1);
  if (hooks != nullptr) {
    add_function(context, host.get(), "writeDocument", G_CALLBACK(write_document), hooks, JSC_TYPE_VALUE, 2);
    hooks->context = context;
    add_function(context, host.get(), "openOutput", G_CALLBACK(open_output), hooks, JSC_TYPE_VALUE, 0);
    add_function(context, host.get(), "finishOutput", G_CALLBACK(finish_output), hooks, JSC_TYPE_VALUE, 1);
    add_function(context, host.get(), "progress", G_CALLBACK(report_progress), hooks, G_TYPE_NONE, 2);
    add_function(context, host.get(), "cancelled", G_CALLBACK(is_cancelled), hooks, G_TYPE_BOOLEAN, 0);
  }
  jsc_context_set_value(context, "papyrantHost", host.get());
}

}  // namespace quevro::batch

#include "com/display_name_binding.h"

#include <string>
#include <sys/stat.h>

#include "com/class_registry.h"
#include "com/persist_file.h"
#include "vm/utf.h"

namespace quevro::com {

HRESULT bind_display_name(std::string_view name, IDispatch** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  std::string path(name);
  struct stat st;
  bool file = !path.empty() && path.find('\0') == std::string::npos && stat(path.c_str(), &st) == 0;
  if (!file) {
    if (path.find('/') != std::string::npos) return MK_E_CANTOPENFILE;
    return is_prog_id_syntax(name) ? CO_E_CLASSSTRING : MK_E_SYNTAX;
  }
  if (!S_ISREG(st.st_mode)) return MK_E_CANTOPENFILE;
  CLSID clsid;
  HRESULT hr = class_for_file(path, &clsid);
  if (FAILED(hr)) return hr;
  ComRef<IPersistFile> persist;
  hr = CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IPersistFile, persist.put_void());
  if (FAILED(hr)) return hr;
  std::u16string wide;
  utf8_to_utf16(path.data(), path.size(), &wide);
  hr = persist->Load(wide.c_str(), 0);
  if (FAILED(hr)) return hr;
  return persist->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(object));
}

}  // namespace quevro::com

#include "com/class_registry.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "vm/utf.h"

namespace quevro::com {

namespace {

struct ClassEntry {
  std::string prog_id;
  std::string version_independent_prog_id;
  ClassFactory factory;
};

// ProgIDs are keys of the registry and compare without regard to ASCII case.
std::string prog_id_key(std::string_view prog_id) {
  std::string key(prog_id);
  for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return key;
}

bool is_valid_prog_id(std::string_view prog_id) {
  if (prog_id.empty() || prog_id.size() > 39) return false;
  if (std::isdigit(static_cast<unsigned char>(prog_id[0]))) return false;
  for (char c : prog_id)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_') return false;
  return true;
}

class ClassTable {
 public:
  HRESULT add(REFCLSID clsid, std::string_view prog_id, std::string_view independent,
              ClassFactory factory) {
    std::lock_guard<std::mutex> lock(mutex_);
    remove_locked(clsid);
    ClassEntry entry{std::string(prog_id), std::string(independent), std::move(factory)};
    for (std::string_view name : {prog_id, independent}) {
      if (name.empty()) continue;
      std::string key = prog_id_key(name);
      auto previous = names_.find(key);
      // The name moves here; the class it named keeps its other name.
      if (previous != names_.end()) forget_name(previous->second, key);
      names_[key] = clsid;
    }
    classes_[clsid] = std::move(entry);
    return S_OK;
  }

  bool remove(REFCLSID clsid) {
    std::lock_guard<std::mutex> lock(mutex_);
    return remove_locked(clsid);
  }

  bool find_name(std::string_view prog_id, CLSID* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = names_.find(prog_id_key(prog_id));
    if (it == names_.end()) return false;
    *out = it->second;
    return true;
  }

  HRESULT add_extension(const std::string& key, REFCLSID clsid) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (classes_.find(clsid) == classes_.end()) return REGDB_E_CLASSNOTREG;
    extensions_[key] = clsid;
    return S_OK;
  }

  bool find_extension(const std::string& key, CLSID* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = extensions_.find(key);
    if (it == extensions_.end()) return false;
    *out = it->second;
    return true;
  }

  bool find_class(REFCLSID clsid, ClassEntry* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = classes_.find(clsid);
    if (it == classes_.end()) return false;
    *out = it->second;
    return true;
  }

 private:
  bool remove_locked(REFCLSID clsid) {
    auto it = classes_.find(clsid);
    if (it == classes_.end()) return false;
    for (const std::string& name : {it->second.prog_id, it->second.version_independent_prog_id}) {
      auto named = names_.find(prog_id_key(name));
      if (named != names_.end() && named->second == clsid) names_.erase(named);
    }
    classes_.erase(it);
    std::erase_if(extensions_, [&](const auto& e) { return e.second == clsid; });
    return true;
  }

  void forget_name(REFCLSID clsid, const std::string& key) {
    auto it = classes_.find(clsid);
    if (it == classes_.end()) return;
    if (prog_id_key(it->second.prog_id) == key) it->second.prog_id.clear();
    if (prog_id_key(it->second.version_independent_prog_id) == key)
      it->second.version_independent_prog_id.clear();
  }

  std::mutex mutex_;
  std::map<CLSID, ClassEntry> classes_;
  std::map<std::string, CLSID> names_;
  std::map<std::string, CLSID> extensions_;  // ".ext" in lower case
};

ClassTable& class_table() {
  static ClassTable table;
  return table;
}

std::string narrow_text(LPCOLESTR text) {
  size_t length = 0;
  while (text[length]) ++length;
  std::string out;
  utf16_to_utf8(text, length, &out);
  return out;
}

}  // namespace

HRESULT register_class(REFCLSID clsid, std::string_view prog_id,
                       std::string_view version_independent_prog_id, ClassFactory factory) {
  if (!factory || !is_valid_prog_id(prog_id)) return E_INVALIDARG;
  if (!version_independent_prog_id.empty() && !is_valid_prog_id(version_independent_prog_id))
    return E_INVALIDARG;
  return class_table().add(clsid, prog_id, version_independent_prog_id, std::move(factory));
}

bool unregister_class(REFCLSID clsid) { return class_table().remove(clsid); }

bool is_prog_id_syntax(std::string_view text) { return is_valid_prog_id(text); }

HRESULT register_file_extension(std::string_view extension, REFCLSID clsid) {
  if (extension.size() < 2 || extension[0] != '.') return E_INVALIDARG;
  for (char c : extension.substr(1))
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return E_INVALIDARG;
  return class_table().add_extension(prog_id_key(extension), clsid);
}

HRESULT class_for_file(std::string_view path, CLSID* out) {
  if (!out) return E_INVALIDARG;
  std::string_view name = path.substr(path.find_last_of('/') + 1);
  size_t dot = name.find_last_of('.');
  if (dot == std::string_view::npos || dot == 0 ||
      !class_table().find_extension(prog_id_key(name.substr(dot)), out))
    return MK_E_INVALIDEXTENSION;
  return S_OK;
}

HRESULT clsid_from_prog_id(std::string_view prog_id, CLSID* out) {
  if (!out) return E_INVALIDARG;
  if (!class_table().find_name(prog_id, out)) return CO_E_CLASSSTRING;
  return S_OK;
}

HRESULT prog_id_from_clsid(REFCLSID clsid, std::string* out) {
  if (!out) return E_INVALIDARG;
  ClassEntry entry;
  if (!class_table().find_class(clsid, &entry)) return REGDB_E_CLASSNOTREG;
  std::string name = entry.prog_id.empty() ? entry.version_independent_prog_id : entry.prog_id;
  if (name.empty()) return REGDB_E_CLASSNOTREG;
  *out = std::move(name);
  return S_OK;
}

HRESULT clsid_from_string(std::string_view text, CLSID* out) {
  if (!out) return E_INVALIDARG;
  if (!text.empty() && text[0] == '{')
    return guid_from_string(text, out) ? S_OK : CO_E_CLASSSTRING;
  return clsid_from_prog_id(text, out);
}

HRESULT CLSIDFromProgID(LPCOLESTR prog_id, CLSID* out) {
  if (!prog_id || !out) return E_INVALIDARG;
  return clsid_from_prog_id(narrow_text(prog_id), out);
}

HRESULT CLSIDFromString(LPCOLESTR text, CLSID* out) {
  if (!out) return E_INVALIDARG;
  if (!text) {
    *out = IID_NULL;
    return S_OK;
  }
  return clsid_from_string(narrow_text(text), out);
}

HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* out) {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  std::string name;
  HRESULT hr = prog_id_from_clsid(clsid, &name);
  if (FAILED(hr)) return hr;
  std::u16string wide;
  utf8_to_utf16(name.data(), name.size(), &wide);
  auto* text = static_cast<LPOLESTR>(CoTaskMemAlloc((wide.size() + 1) * sizeof(OLECHAR)));
  if (!text) return E_OUTOFMEMORY;
  std::memcpy(text, wide.c_str(), (wide.size() + 1) * sizeof(OLECHAR));
  *out = text;
  return S_OK;
}

void* CoTaskMemAlloc(size_t size) { return std::malloc(size ? size : 1); }
void CoTaskMemFree(void* block) { std::free(block); }

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  ClassEntry entry;
  if (!class_table().find_class(clsid, &entry)) return REGDB_E_CLASSNOTREG;
  if (outer) return CLASS_E_NOAGGREGATION;
  HRESULT hr = entry.factory(iid, object);
  if (FAILED(hr)) *object = nullptr;
  return hr;
}

}  // namespace quevro::com

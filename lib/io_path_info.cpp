#include "lib/io_path_info.h"

#include <string>

#include "lib/io_file.h"
#include "lib/library_support.h"
#include "runtime/library_registry.h"

namespace quevro {

namespace {

constexpr const char* PATH_INFO_TYPE = "pathInfo";

struct PathParts {
  std::string drive;  // always empty: paths here have no drive letters
  std::string folder;
  std::string name;
  std::string ext;
};

// The folder keeps its trailing separator. The extension starts at the last dot of the file
// name, except that the leading dots of a name (".profile", "..") start no extension.
PathParts split_path(std::string p) {
  for (char& c : p)
    if (c == '\\') c = '/';
  PathParts parts;
  size_t slash = p.rfind('/');
  size_t file_start = slash == std::string::npos ? 0 : slash + 1;
  parts.folder = p.substr(0, file_start);
  std::string file = p.substr(file_start);
  size_t first_other = file.find_first_not_of('.');
  size_t dot = file.rfind('.');
  if (dot == std::string::npos || first_other == std::string::npos || dot < first_other) {
    parts.name = file;
  } else {
    parts.name = file.substr(0, dot);
    parts.ext = file.substr(dot);
  }
  return parts;
}

void set_text_field(VmState* L, const char* key, const std::string& value) {
  push_string(L, key);
  push_lstring(L, value.data(), value.size());
  raw_set(L, -3);
}

// A field of a pathInfo table as text ("" when a script stored something else there).
std::string field_text(VmState* L, int table, const char* key) {
  raw_get_field(L, table, key);
  size_t len;
  const char* s = to_text(L, -1, &len);
  std::string out = s ? std::string(s, len) : std::string();
  pop(L, 1);
  return out;
}

void push_text(VmState* L, const std::string& s) { push_lstring(L, s.data(), s.size()); }

// `_get`: "file" is name and extension, "dir" is drive and folder.
int path_info_get(VmState* L) {
  check_table(L, 1);
  if (type_of(L, ARG1) != TAG_STRING) return 0;
  size_t len;
  const char* text = to_lstring(L, ARG1, &len);
  std::string key(text, len);
  if (key == "file") {
    push_text(L, field_text(L, 1, "name") + field_text(L, 1, "ext"));
    return 1;
  }
  if (key == "dir") {
    push_text(L, field_text(L, 1, "drive") + field_text(L, 1, "path"));
    return 1;
  }
  return 0;
}

int path_info_tostring(VmState* L) {
  check_table(L, 1);
  push_text(L, field_text(L, 1, "drive") + field_text(L, 1, "path") + field_text(L, 1, "name") + field_text(L, 1, "ext"));
  return 1;
}

void push_path_info_metatable(VmState* L) {
  registry_subtable(L, IO_LIBRARY);
  raw_get_field(L, -1, PATH_INFO_TYPE);
  remove(L, -2);
}

}  // namespace

int io_splitpath(VmState* L) {
  size_t len;
  const char* raw = check_lstring(L, ARG1, &len);
  PathParts parts = split_path(std::string(raw, len));
  ensure_stack(L, 4);
  new_table(L, 0, 4);
  set_text_field(L, "drive", parts.drive);
  set_text_field(L, "path", parts.folder);
  set_text_field(L, "name", parts.name);
  set_text_field(L, "ext", parts.ext);
  push_path_info_metatable(L);
  set_metatable(L, -2);
  return 1;
}

void register_path_info_type(VmState* L) {
  static const LibraryFunction handlers[] = {
      {"_get", path_info_get}, {"_tostring", path_info_tostring}, {nullptr, nullptr}};
  register_object_type(L, IO_LIBRARY, PATH_INFO_TYPE, handlers);
  pop(L, 1);
}

}  // namespace quevro

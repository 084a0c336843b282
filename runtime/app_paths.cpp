#include "runtime/app_paths.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include "vm/api.h"

namespace quevro {

namespace {

std::string& app_dir() {
  static std::string dir;
  return dir;
}
std::string& exe_name() {
  static std::string name;
  return name;
}

void init_from_proc() {
  if (!app_dir().empty()) return;
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  set_application_path(n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string("./quevro"));
}

std::string normalize_separators(std::string p) {
  for (char& c : p)
    if (c == '\\') c = '/';
  return p;
}

// Collapses "." and ".." components and doubled separators of an absolute path.
std::string clean_absolute(const std::string& path) {
  std::string out;
  size_t i = 0;
  while (i <= path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string::npos) j = path.size();
    std::string part = path.substr(i, j - i);
    if (part == "..") {
      size_t cut = out.rfind('/');
      out.erase(cut == std::string::npos ? 0 : cut);
    } else if (!part.empty() && part != ".") {
      out += '/';
      out += part;
    }
    i = j + 1;
  }
  if (out.empty()) out = "/";
  if (path.size() > 1 && path.back() == '/' && out != "/") out += '/';
  return out;
}

std::string current_directory() {
  char buf[PATH_MAX];
  return getcwd(buf, sizeof buf) ? std::string(buf) : std::string("/");
}

std::string first_component(const std::string& p) {
  size_t start = p.find_first_not_of('/');
  if (start == std::string::npos) return {};
  size_t end = p.find('/', start);
  return p.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

}  // namespace

void set_application_path(const std::string& full_path) {
  size_t cut = full_path.rfind('/');
  if (cut == std::string::npos) {
    app_dir() = current_directory();
    exe_name() = full_path;
  } else {
    app_dir() = cut == 0 ? "/" : full_path.substr(0, cut);
    exe_name() = full_path.substr(cut + 1);
  }
}

const std::string& application_directory() {
  init_from_proc();
  return app_dir();
}

const std::string& executable_name() {
  init_from_proc();
  return exe_name();
}

bool file_exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool directory_exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string resolve_app_path(const std::string& raw, const char* subfolder) {
  std::string p = normalize_separators(raw);
  const std::string& dir = application_directory();
  if (p.size() >= 2 && p[0] == '/' && p[1] == '/') return clean_absolute(p.substr(1));
  if (subfolder) {
    if (!p.empty() && p[0] == '/') p.erase(0, 1);
    return clean_absolute(dir + normalize_separators(subfolder) + p);
  }
  if (!p.empty() && p[0] == '~') return clean_absolute(dir + "/" + p.substr(1));
  if (!p.empty() && p[0] == '/') {
    std::string first = first_component(p);
    if (!first.empty() && !exists(dir + "/" + first) && exists("/" + first)) return clean_absolute(p);
    return clean_absolute(dir + p);
  }
  return clean_absolute(current_directory() + "/" + p);
}

std::string resolve_against_root(VmState* L, const std::string& raw) {
  std::string p = normalize_separators(raw);
  std::string root = state_root(L);
  if (!root.empty() && !p.empty() && p[0] == '/' && (p.size() < 2 || p[1] != '/')) {
    // As below the application folder: a first component found only at the filesystem root
    // names that absolute path.
    std::string first = first_component(p);
    if (!first.empty() && !exists(root + "/" + first) && exists("/" + first)) return clean_absolute(p);
    return resolve_app_path(root + "/" + p.substr(1));
  }
  return resolve_app_path(p);
}

std::string state_root(VmState* L) {
  const Value& v = L->root_directory;
  return v.tag == TAG_STRING ? std::string(v.string()->data(), v.string()->length) : std::string();
}

void set_state_root(VmState* L, const std::string& dir) {
  // A fiber's own fields are rescanned by the collector's atomic step, so no barrier is needed.
  L->root_directory = make_string(intern_string(L, dir.data(), dir.size()));
}

}  // namespace quevro


// Build tool: compiles module sources to stripped precompiled chunks and writes the C++ source of
// an embedded store that links them (and resource files) into an executable.
//   quevro_pack OUT.cpp WORK_DIR SYMBOL [INCLUDE:NAME=DIR | LIB:NAME=PATH | RES:NAME=PATH | RESDIR:PREFIX=FOLDER]...
// INCLUDE:NAME=DIR makes a file include $"~/NAME/FILE" in a module source read DIR/FILE: the
// native halves that modules carry are built into a folder of the build tree.
// RESDIR packs every file below FOLDER as a RES entry named PREFIX + "/" + its relative path.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "compiler/chunk_dumper.h"
#include "compiler/chunk_entry.h"
#include "compiler/lexer.h"
#include "host/startup.h"
#include "vm/api.h"

using namespace quevro;

namespace {

struct Item {
  std::string type;
  std::string name;
  std::string path;  // the bytes to link
};

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool read_file(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream ss;
  ss << in.rdbuf();
  *out = ss.str();
  return true;
}

int append_bytes(VmState*, const void* bytes, size_t size, void* ud) {
  static_cast<std::string*>(ud)->append(static_cast<const char*>(bytes), size);
  return 0;
}

// Compiles a module source into a stripped chunk; the module name is its chunk name.
bool compile_module(VmState* L, const std::string& name, const std::string& source, std::string* chunk) {
  if (load_buffer(L, source.data(), source.size(), name.c_str()) != STATUS_OK) {
    std::fprintf(stderr, "quevro_pack: %s: %s\n", name.c_str(), to_string(L, -1));
    return false;
  }
  dump_prototype(L, script_prototype(L, -1), append_bytes, chunk, true, nullptr);
  L->top--;
  return true;
}

// Include folders given on the command line: the prefix "~/NAME/" and the folder it stands for.
std::vector<std::pair<std::string, std::string>> g_include_dirs;

std::string resolve_pack_include(const std::string& path) {
  for (const auto& [prefix, dir] : g_include_dirs) {
    if (path.compare(0, prefix.size(), prefix) == 0) return dir + "/" + path.substr(prefix.size());
  }
  return path;
}

std::string asm_string(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

// Every regular file below folder, as RES entries under prefix, in a stable order (names sorted)
// so that the generated source only changes when the files do.
bool add_folder(const std::string& prefix, const std::string& folder, std::vector<Item>* items) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) {
    std::fprintf(stderr, "quevro_pack: not a folder: %s\n", folder.c_str());
    return false;
  }
  std::vector<Item> found;
  for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (!it->is_regular_file(ec)) continue;
    std::string relative = fs::relative(it->path(), folder, ec).generic_string();
    std::string base = prefix;
    while (!base.empty() && base.back() == '/') base.pop_back();
    found.push_back(Item{"RES", upper(base + "/" + relative), it->path().string()});
  }
  if (ec) {
    std::fprintf(stderr, "quevro_pack: cannot read %s: %s\n", folder.c_str(), ec.message().c_str());
    return false;
  }
  std::sort(found.begin(), found.end(), [](const Item& a, const Item& b) { return a.name < b.name; });
  items->insert(items->end(), found.begin(), found.end());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr,
                 "usage: quevro_pack OUT.cpp WORK_DIR SYMBOL [INCLUDE:NAME=DIR | LIB:NAME=PATH | RES:NAME=PATH | "
                 "RESDIR:PREFIX=FOLDER]...\n");
    return 2;
  }
  std::string out_path = argv[1];
  std::string work_dir = argv[2];
  std::string symbol = argv[3];
  VmState* L = create_main_state();
  if (!L) return 1;
  std::vector<Item> items;
  for (int i = 4; i < argc; ++i) {
    std::string spec = argv[i];
    size_t colon = spec.find(':');
    size_t eq = spec.find('=', colon + 1);
    if (colon == std::string::npos || eq == std::string::npos) {
      std::fprintf(stderr, "quevro_pack: bad entry %s\n", spec.c_str());
      return 2;
    }
    if (spec.compare(0, colon, "INCLUDE") == 0) {
      g_include_dirs.emplace_back("~/" + spec.substr(colon + 1, eq - colon - 1) + "/", spec.substr(eq + 1));
      set_include_path_resolver(resolve_pack_include);
      continue;
    }
    Item item{spec.substr(0, colon), upper(spec.substr(colon + 1, eq - colon - 1)), spec.substr(eq + 1)};
    if (item.type == "RESDIR") {
      if (!add_folder(item.name, item.path, &items)) return 1;
      continue;
    }
    if (item.type == "LIB") {
      std::string source, chunk;
      if (!read_file(item.path, &source)) {
        std::fprintf(stderr, "quevro_pack: cannot read %s\n", item.path.c_str());
        return 1;
      }
      if (!compile_module(L, spec.substr(colon + 1, eq - colon - 1), source, &chunk)) return 1;
      item.path = work_dir + "/" + item.name + ".qvc";
      std::ofstream(item.path, std::ios::binary) << chunk;
    }
    items.push_back(item);
  }
  close_state(L);

  std::ostringstream cpp;
  cpp << "// Generated by quevro_pack: the embedded store of one executable.\n"
      << "#include \"runtime/module_store.h\"\n\n";
  for (size_t i = 0; i < items.size(); ++i) {
    std::string label = symbol + "_data_" + std::to_string(i);
    // The content's hash makes this file change whenever the linked bytes do.
    std::string content;
    read_file(items[i].path, &content);
    uint64_t hash = 1469598103934665603ull;
    for (unsigned char c : content) hash = (hash ^ c) * 1099511628211ull;
    cpp << "// " << items[i].type << " " << items[i].name << " " << content.size() << " bytes, hash " << hash << "\n";
    cpp << "asm(\".section .rodata\\n.balign 16\\n" << label << ":\\n.incbin \\\"" << asm_string(asm_string(items[i].path))
        << "\\\"\\n" << label << "_end:\\n.byte 0\\n.previous\");\n";
    cpp << "extern \"C\" const unsigned char " << label << "[] __asm__(\"" << label << "\");\n";
    cpp << "extern \"C\" const unsigned char " << label << "_end[] __asm__(\"" << label << "_end\");\n";
  }
  cpp << "\nnamespace quevro {\n\nextern const StoreEntry " << symbol << "[];\nextern const size_t " << symbol << "_count;\n";
  cpp << "const StoreEntry " << symbol << "[] = {\n";
  for (size_t i = 0; i < items.size(); ++i) {
    std::string label = symbol + "_data_" + std::to_string(i);
    cpp << "    {\"" << items[i].type << "\", \"" << asm_string(items[i].name) << "\", " << label << ", static_cast<size_t>("
        << label << "_end - " << label << ")},\n";
  }
  if (items.empty()) cpp << "    {\"\", \"\", nullptr, 0},\n";
  cpp << "};\nconst size_t " << symbol << "_count = " << items.size() << ";\n\n}  // namespace quevro\n";
  std::string text = cpp.str();
  std::string old;
  if (read_file(out_path, &old) && old == text) return 0;  // unchanged: keep the timestamp
  std::ofstream(out_path) << text;
  return 0;
}

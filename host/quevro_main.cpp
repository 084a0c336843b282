// The script runner: runs a script file or a code string, compiles files to precompiled chunks.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "compiler/chunk_dumper.h"
#include "compiler/chunk_entry.h"
#include "compiler/disassembler.h"
#include "runtime/app_paths.h"
#include "runtime/module_store.h"
#include "host/repl.h"
#include "host/startup.h"
#include "vm/api.h"

using namespace quevro;

namespace {

constexpr const char* VERSION_TEXT = "quevro 44";

void print_usage(std::FILE* out) {
  std::fprintf(out,
               "usage: quevro [FILE [ARGS...]]   run a script (source or precompiled chunk)\n"
               "       quevro -e CODE [ARGS...]  run a code string\n"
               "       quevro -c FILE -o OUT [-s] write FILE's precompiled chunk to OUT (-s strips debug information)\n"
               "       quevro -l FILE             list FILE's compiled code\n"
               "       quevro -p FILE             only check that FILE compiles\n"
               "       quevro                    start the interactive prompt\n"
               "       quevro --help | --version\n");
}

int report_load_failure(VmState* L) {
  top_level_report(L, nullptr, false);
  shut_down(L);
  return 255;
}

int append_bytes(VmState*, const void* bytes, size_t size, void* ud) {
  static_cast<std::string*>(ud)->append(static_cast<const char*>(bytes), size);
  return 0;
}

int compile_to_file(const char* input, const char* output, bool strip) {
  VmState* L = create_main_state();
  if (L == nullptr) return 255;
  if (load_file(L, input) != STATUS_OK) return report_load_failure(L);
  std::string bytes;
  const Prototype* p = script_prototype(L, -1);
  dump_prototype(L, p, append_bytes, &bytes, strip, nullptr);
  std::FILE* f = std::fopen(output, "wb");
  bool ok = f && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  if (f) ok = (std::fclose(f) == 0) && ok;
  shut_down(L);
  if (!ok) {
    std::fprintf(stderr, "quevro: cannot write %s\n", output);
    return 1;
  }
  return 0;
}

}  // namespace

namespace quevro {
extern const StoreEntry RUNNER_STORE[];
extern const size_t RUNNER_STORE_count;
}  // namespace quevro

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  install_module_store(RUNNER_STORE, RUNNER_STORE_count);
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
    print_usage(stdout);
    return 0;
  }
  if (!args.empty() && args[0] == "--version") {
    std::puts(VERSION_TEXT);
    return 0;
  }
  if (args.size() == 2 && args[0] == "-p") {
    VmState* L = create_main_state();
    if (L == nullptr) return 255;
    if (load_file(L, args[1].c_str()) != STATUS_OK) return report_load_failure(L);
    close_state(L);
    return 0;
  }
  if (args.size() == 2 && args[0] == "-l") {
    VmState* L = create_main_state();
    if (L == nullptr) return 255;
    if (load_file(L, args[1].c_str()) != STATUS_OK) return report_load_failure(L);
    std::fputs(disassemble(script_prototype(L, -1)).c_str(), stdout);
    shut_down(L);
    return 0;
  }
  if (!args.empty() && args[0] == "-c") {
    const char* input = nullptr;
    const char* output = nullptr;
    bool strip = false;
    for (size_t i = 1; i < args.size(); ++i) {
      if (args[i] == "-o" && i + 1 < args.size())
        output = args[++i].c_str();
      else if (args[i] == "-s")
        strip = true;
      else if (!input)
        input = args[i].c_str();
    }
    if (!input || !output) {
      print_usage(stderr);
      return 2;
    }
    return compile_to_file(input, output, strip);
  }

  VmState* L = create_main_state();
  if (L == nullptr) {
    std::fprintf(stderr, "quevro: not enough memory\n");
    return 255;
  }
  if (args.empty()) {
    publish_command_line(L, {});
    if (!import_builtin(L)) {
      shut_down(L);
      return 255;
    }
    int code = run_prompt(L);
    shut_down(L);
    return code & 0xFF;
  }
  bool from_string = args[0] == "-e";
  if (from_string && args.size() < 2) {
    print_usage(stderr);
    shut_down(L);
    return 2;
  }
  std::vector<std::string> script_args(args.begin() + (from_string ? 2 : 1), args.end());
  publish_command_line(L, script_args);
  if (!from_string) {
    // Modules beside the script (in its lib folder) are found like the application's own.
    std::string path = resolve_app_path(args[0]);
    set_state_root(L, path.substr(0, path.rfind('/') + 1));
  }
  if (!import_builtin(L)) {
    shut_down(L);
    return 255;
  }
  int status = from_string ? load_buffer(L, args[1].data(), args[1].size(), "=(command line)")
                           : load_file(L, args[0].c_str());
  if (status != STATUS_OK) return report_load_failure(L);
  int code = run_main_function(L);
  shut_down(L);
  return code & 0xFF;
}

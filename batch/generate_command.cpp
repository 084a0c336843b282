#include "batch/generate_command.h"

#include <unistd.h>

#include <signal.h>

#include <csignal>
#include <cstdio>
#include <memory>

#include "batch/archive_sink.h"
#include "batch/folder_sink.h"
#include "batch/generate_options.h"
#include "batch/generator_bundle.h"
#include "batch/host_functions.h"
#include "batch/input_guard.h"
#include "batch/json_text.h"
#include "batch/input_file.h"
#include "batch/js_engine.h"
#include "batch/progress_bar.h"

namespace quevro::batch {
namespace {

constexpr int kExitFailed = 2;
constexpr int kExitUsage = 64;
// Inputs are read up to one byte past the page's limits, so that the page's size check reports them.
constexpr size_t kTemplateLimit = 10 * 1024 * 1024 + 1;
constexpr size_t kSheetLimit = 50 * 1024 * 1024 + 1;

volatile std::sig_atomic_t interrupted = 0;

void on_interrupt(int) { interrupted = 1; }

// From here on an interrupt ends the run after the current row, so that the output is left whole
// or removed. A signal the process was started to ignore (a background job) stays ignored.
void catch_interrupts() {
  for (int signal : {SIGINT, SIGTERM}) {
    struct sigaction previous;
    if (sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
  }
}

void report_failure(const std::string& what) { std::fprintf(stderr, "papyrant generate: %s\n", what.c_str()); }

// When the generator itself cannot run, a reader of --json still gets a summary of the same shape.
int fail_internally(const GenerateOptions& options, const std::string& what) {
  report_failure(what);
  if (options.json) {
    JsonObject error;
    error.add("key", "batch.errInternal");
    error.add("message", "The generator could not run.");
    error.add("detail", what);
    JsonObject summary;
    summary.add_bool("ok", false);
    summary.add_number("exitCode", kExitFailed);
    summary.add_raw("written", "[]");
    summary.add_raw("warnings", "[]");
    summary.add_raw("errors", "[]");
    summary.add_raw("error", error.text());
    std::printf("%s\n", summary.text().c_str());
  }
  return kExitFailed;
}

// The sheet parsed in a realm of its own, hardened first, as the page parses it in a worker of its
// own: whatever a crafted file does to that realm's objects stays there. Returns the answer as
// JSON text, or empty with `error` set when the engine itself failed.
std::string parse_sheet(const std::string& bundle, const InputFile& sheet, const std::string& sheet_name, std::string& error) {
  JsEngine engine;
  install_host_functions(engine, nullptr);
  if (!engine.load(bundle, kGeneratorBundleName, error)) return std::string();
  engine.call("hardenRealm", error);
  if (!error.empty()) return std::string();
  JsValue task = engine.call("parseSheet", error, engine.string(sheet.name), engine.bytes(sheet.bytes), engine.string(sheet_name));
  if (!task) return std::string();
  JsValue answer = engine.finish(std::move(task), error);
  return answer ? answer.text() : std::string();
}

JsValue make_request(JsEngine& engine, const GenerateOptions& options, const InputFile& templ, const InputFile& sheet,
                     const std::string& sheet_answer) {
  JsValue request = engine.object();
  engine.set(request, "templatePath", engine.string(options.template_path));
  engine.set(request, "templateName", engine.string(templ.name));
  engine.set(request, "templateBytes", engine.bytes(templ.bytes));
  engine.set(request, "templateReadError", engine.string(templ.error));
  engine.set(request, "sheetPath", engine.string(options.sheet_path));
  engine.set(request, "sheetReadError", engine.string(sheet.error));
  engine.set(request, "sheetAnswer", engine.string(sheet_answer));
  engine.set(request, "options", engine.from_json(options.page_options_json()));
  bool archive = !options.archive_path.empty();
  engine.set(request, "output", engine.string(archive ? options.archive_path : options.output_folder));
  engine.set(request, "outputKind", engine.string(archive ? "archive" : "folder"));
  engine.set(request, "failFast", engine.boolean(options.fail_fast));
  return request;
}

int generate(const GenerateOptions& options) {
  catch_interrupts();
  std::string bundle = generator_bundle();
  if (bundle.empty()) {
    return fail_internally(options, "this build carries no generator script");
  }
  InputFile templ = read_input_file(options.template_path, kTemplateLimit);
  InputFile sheet = read_input_file(options.sheet_path, kSheetLimit);
  std::string error;
  std::string sheet_answer;
  if (sheet.error.empty()) {
    sheet_answer = parse_sheet(bundle, sheet, options.sheet_name, error);
    if (sheet_answer.empty()) {
      return fail_internally(options, "the sheet reader failed: " + error);
    }
  }

  InputGuard inputs;
  inputs.add(options.template_path);
  inputs.add(options.sheet_path);
  std::unique_ptr<DocumentSink> sink;
  if (!options.archive_path.empty()) sink = std::make_unique<ArchiveSink>(options.archive_path, inputs);
  else sink = std::make_unique<FolderSink>(options.output_folder, inputs);

  ProgressBar progress(stderr, !options.quiet && isatty(STDERR_FILENO));
  RunHooks hooks{sink.get(), &progress, &interrupted};
  JsEngine engine;
  install_host_functions(engine, &hooks);
  if (!engine.load(bundle, kGeneratorBundleName, error)) {
    return fail_internally(options, "the generator script failed to load: " + error);
  }
  JsValue task = engine.call("generate", error, make_request(engine, options, templ, sheet, sheet_answer));
  JsValue summary = task ? engine.finish(std::move(task), error) : JsValue();
  progress.end();
  if (!summary) {
    sink->finish(false);
    return fail_internally(options, "the generator failed: " + error);
  }
  int exit_code = static_cast<int>(summary.property("exitCode").number());
  JsValue text = engine.call(options.json ? "toJson" : "describe", error, summary);
  std::string out = text.text();
  if (!out.empty()) std::fprintf(options.json ? stdout : stderr, "%s\n", out.c_str());
  return exit_code;
}

}  // namespace

int run_generate(const std::vector<std::string>& args) {
  GenerateOptions options;
  std::string error;
  if (!parse_generate_options(args, options, error)) {
    report_failure(error);
    std::fputs("Try 'papyrant generate --help'.\n", stderr);
    return kExitUsage;
  }
  if (options.help) {
    std::fputs(kGenerateUsage, stdout);
    return 0;
  }
  return generate(options);
}

}  // namespace quevro::batch

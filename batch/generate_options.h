// The command line of `papyrant generate`: what to read, where to write, and the page's generation
// options (naming, pictures, worksheet).
#pragma once

#include <map>
#include <string>
#include <vector>

namespace quevro::batch {

struct ImageColumn {
  std::string column;  // sheet column letter, "A".."XFD"
  std::string tag;     // image tag of the template; empty: "image"
  int width = 0;       // 0: the global size
  int height = 0;
};

struct GenerateOptions {
  std::string template_path;
  std::string sheet_path;
  std::string output_folder;  // one file per row, or
  std::string archive_path;   // one archive
  std::string sheet_name;     // empty: the first worksheet
  // Naming: the page's "custom" rule when any field is chosen, else its "rowIndex" rule.
  std::vector<std::string> name_fields;
  std::string name_prefix;
  std::string name_suffix;
  std::string date_format = "none";
  bool row_number = false;
  std::vector<ImageColumn> images;
  int image_width = 0;
  int image_height = 0;
  bool fail_fast = false;
  bool json = false;
  bool quiet = false;
  bool help = false;

  // The page's generation options as JSON text.
  std::string page_options_json() const;
};

// Parses the arguments after "generate"; false with `error` set for a bad command line.
bool parse_generate_options(const std::vector<std::string>& args, GenerateOptions& options, std::string& error);

// "{Field}" parts, "{row}", "{date}" or "{date:FORMAT}", and fixed text before and after, joined
// with "_" as the page joins the parts of a custom name; false with `error` set otherwise.
bool parse_name_pattern(const std::string& pattern, GenerateOptions& options, std::string& error);

extern const char kGenerateUsage[];

}  // namespace quevro::batch

#include "batch/generate_options.h"

#include <algorithm>
#include <cstdlib>

#include "batch/json_text.h"

namespace quevro::batch {

const char kGenerateUsage[] =
    "usage: papyrant generate TEMPLATE.docx SHEET [options]\n"
    "Fills the template once per row of the sheet (.xlsx, .xls, .ods or .csv).\n"
    "\n"
    "Output (default: one file per row in the current folder):\n"
    "  -o, --output DIR        one .docx per row in DIR (created when missing)\n"
    "  --zip FILE              all documents in one archive\n"
    "Names (default: TEMPLATE_ROW.docx):\n"
    "  --name-field FIELD      name files by this column; repeat to add more\n"
    "  --name-pattern P        e.g. \"Invoice_{Customer}_{Number}_{date:YYYY-MM-DD}_{row}\"\n"
    "  --prefix TEXT, --suffix TEXT, --row-number\n"
    "  --date FORMAT           none, YYYYMMDD, YYYY-MM-DD, YYYYMMDD-HHMM or YYYYMMDD-HHMMSS\n"
    "Input:\n"
    "  --sheet NAME            the worksheet to read (default: the first)\n"
    "  --images COL[=TAG][@WxH],...  pictures of sheet column COL into image tag TAG\n"
    "                          (default tag \"image\"), optionally at W x H pixels\n"
    "  --image-size WxH        size of the other pictures (default 150x150)\n"
    "Run:\n"
    "  --fail-fast             stop at the first row that fails\n"
    "  --json                  print a summary as JSON on standard output\n"
    "  -q, --quiet             no progress bar\n"
    "Exit status: 0 every row written, 1 some rows failed, 2 nothing written, 64 bad command line.\n";

namespace {

const char* const kDateFormats[] = {"none", "YYYYMMDD", "YYYY-MM-DD", "YYYYMMDD-HHMM", "YYYYMMDD-HHMMSS"};

bool known_date_format(const std::string& format) {
  return std::find(std::begin(kDateFormats), std::end(kDateFormats), format) != std::end(kDateFormats);
}

// "120x80" (or "120X80"); false unless both are whole numbers from 1 to 10000.
bool parse_size(const std::string& text, int& width, int& height) {
  size_t x = text.find_first_of("xX");
  if (x == std::string::npos) return false;
  auto number = [](const std::string& s, int& out) {
    if (s.empty() || s.size() > 5 || !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; })) return false;
    out = std::atoi(s.c_str());
    return out >= 1 && out <= 10000;
  };
  return number(text.substr(0, x), width) && number(text.substr(x + 1), height);
}

bool is_column(const std::string& s) {
  return !s.empty() && s.size() <= 3 && std::all_of(s.begin(), s.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
}

bool parse_image_columns(const std::string& list, GenerateOptions& options, std::string& error) {
  size_t start = 0;
  while (start <= list.size()) {
    size_t comma = list.find(',', start);
    std::string item = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    start = comma == std::string::npos ? list.size() + 1 : comma + 1;
    ImageColumn image;
    size_t at = item.find('@');
    if (at != std::string::npos) {
      if (!parse_size(item.substr(at + 1), image.width, image.height)) {
        error = "--images: bad size in \"" + item + "\" (use WxH, e.g. 120x80)";
        return false;
      }
      item.resize(at);
    }
    size_t equals = item.find('=');
    image.column = item.substr(0, equals);
    std::transform(image.column.begin(), image.column.end(), image.column.begin(), [](char c) { return c >= 'a' && c <= 'z' ? c - 32 : c; });
    if (equals != std::string::npos) image.tag = item.substr(equals + 1);
    if (!is_column(image.column)) {
      error = "--images: \"" + image.column + "\" is not a column letter";
      return false;
    }
    options.images.push_back(image);
  }
  return true;
}

}  // namespace

bool parse_name_pattern(const std::string& pattern, GenerateOptions& options, std::string& error) {
  // Stages in the page's order: prefix, fields, date, row number, suffix.
  enum Stage { kPrefix, kFields, kDate, kRow } stage = kPrefix;
  std::string literal;
  bool any = false;
  for (size_t i = 0; i < pattern.size();) {
    if (pattern[i] != '{') {
      literal += pattern[i++];
      continue;
    }
    size_t close = pattern.find('}', i);
    if (close == std::string::npos) {
      error = "--name-pattern: \"{\" without \"}\"";
      return false;
    }
    std::string part = pattern.substr(i + 1, close - i - 1);
    i = close + 1;
    if (!any) {
      std::string prefix = literal;
      while (!prefix.empty() && prefix.back() == '_') prefix.pop_back();
      options.name_prefix = prefix;
    } else if (!literal.empty() && literal != "_") {
      error = "--name-pattern: between parts only \"_\" may stand (found \"" + literal + "\")";
      return false;
    }
    literal.clear();
    any = true;
    Stage next;
    if (part == "row") {
      next = kRow;
      options.row_number = true;
    } else if (part == "date" || part.rfind("date:", 0) == 0) {
      next = kDate;
      options.date_format = part == "date" ? "YYYYMMDD" : part.substr(5);
      if (!known_date_format(options.date_format) || options.date_format == "none") {
        error = "--name-pattern: unknown date format \"" + options.date_format + "\"";
        return false;
      }
    } else if (!part.empty()) {
      next = kFields;
      options.name_fields.push_back(part);
    } else {
      error = "--name-pattern: empty \"{}\"";
      return false;
    }
    if (next < stage || (next == stage && next != kFields)) {
      error = "--name-pattern: the parts go in the order {fields...}, {date}, {row}";
      return false;
    }
    stage = next;
  }
  if (!any) {
    error = "--name-pattern: no {Field} in \"" + pattern + "\"";
    return false;
  }
  while (!literal.empty() && literal.front() == '_') literal.erase(0, 1);
  options.name_suffix = literal;
  if (options.name_fields.empty()) {
    error = "--name-pattern: name at least one {Field}";
    return false;
  }
  return true;
}

bool parse_generate_options(const std::vector<std::string>& args, GenerateOptions& options, std::string& error) {
  std::vector<std::string> files;
  bool pattern_given = false;
  bool field_given = false;
  for (size_t i = 0; i < args.size(); i++) {
    const std::string& arg = args[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= args.size()) {
        error = arg + " needs a value";
        return false;
      }
      out = args[++i];
      return true;
    };
    std::string text;
    if (arg == "-h" || arg == "--help") {
      options.help = true;
      return true;
    } else if (arg == "-o" || arg == "--output") {
      if (!value(options.output_folder)) return false;
    } else if (arg == "--zip") {
      if (!value(options.archive_path)) return false;
    } else if (arg == "--sheet") {
      if (!value(options.sheet_name)) return false;
    } else if (arg == "--name-field") {
      if (!value(text)) return false;
      options.name_fields.push_back(text);
      field_given = true;
    } else if (arg == "--name-pattern") {
      if (!value(text) || !parse_name_pattern(text, options, error)) return false;
      pattern_given = true;
    } else if (arg == "--prefix") {
      if (!value(options.name_prefix)) return false;
    } else if (arg == "--suffix") {
      if (!value(options.name_suffix)) return false;
    } else if (arg == "--row-number") {
      options.row_number = true;
    } else if (arg == "--date") {
      if (!value(options.date_format)) return false;
      if (!known_date_format(options.date_format)) {
        error = "--date: unknown format \"" + options.date_format + "\"";
        return false;
      }
    } else if (arg == "--images") {
      if (!value(text) || !parse_image_columns(text, options, error)) return false;
    } else if (arg == "--image-size") {
      if (!value(text)) return false;
      if (!parse_size(text, options.image_width, options.image_height)) {
        error = "--image-size: use WxH, e.g. 150x150";
        return false;
      }
    } else if (arg == "--fail-fast") {
      options.fail_fast = true;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "-q" || arg == "--quiet") {
      options.quiet = true;
    } else if (arg == "--") {
      files.insert(files.end(), args.begin() + static_cast<long>(i) + 1, args.end());
      break;
    } else if (arg.size() > 1 && arg[0] == '-') {
      error = "unknown option " + arg;
      return false;
    } else {
      files.push_back(arg);
    }
  }
  if (files.size() != 2) {
    error = files.size() < 2 ? "name a template and a sheet" : "too many files: " + files[2];
    return false;
  }
  if (!options.output_folder.empty() && !options.archive_path.empty()) {
    error = "choose either --output or --zip";
    return false;
  }
  if (pattern_given && field_given) {
    error = "choose either --name-field or --name-pattern";
    return false;
  }
  bool custom_parts = !options.name_prefix.empty() || !options.name_suffix.empty() || options.row_number;
  if (custom_parts && options.name_fields.empty()) {
    error = "--prefix, --suffix and --row-number belong to names made of fields: add --name-field";
    return false;
  }
  options.template_path = files[0];
  options.sheet_path = files[1];
  if (options.output_folder.empty() && options.archive_path.empty()) options.output_folder = ".";
  return true;
}

std::string GenerateOptions::page_options_json() const {
  JsonObject page;
  page.add("namingRule", name_fields.empty() ? "rowIndex" : "custom");
  page.add_strings("selectedFields", name_fields);
  page.add("customNamePrefix", name_prefix);
  page.add("customNameSuffix", name_suffix);
  page.add("dateFormat", date_format);
  page.add_bool("includeRowNumber", row_number);
  std::vector<std::string> columns;
  JsonObject tags;
  JsonObject sizes;
  for (const ImageColumn& image : images) {
    columns.push_back(image.column);
    if (!image.tag.empty()) tags.add(image.column, image.tag);
    if (image.width > 0) {
      JsonObject size;
      size.add_number("width", image.width);
      size.add_number("height", image.height);
      sizes.add_raw(image.column, size.text());
    }
  }
  page.add_strings("imageColumns", columns);
  page.add_raw("imageColumnTags", tags.text());
  page.add_raw("imageColumnSizes", sizes.text());
  if (image_width > 0) {
    page.add_number("imageWidth", image_width);
    page.add_number("imageHeight", image_height);
  }
  return page.text();
}

}  // namespace quevro::batch

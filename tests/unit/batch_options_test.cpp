// The command line of papyrant generate: options into the page's generation options.
#include <gtest/gtest.h>

#include "batch/generate_options.h"
#include "batch/json_text.h"

using namespace quevro::batch;

namespace {

GenerateOptions parsed(std::vector<std::string> args) {
  GenerateOptions options;
  std::string error;
  EXPECT_TRUE(parse_generate_options(args, options, error)) << error;
  return options;
}

std::string refusal(std::vector<std::string> args) {
  GenerateOptions options;
  std::string error;
  EXPECT_FALSE(parse_generate_options(args, options, error));
  return error;
}

}  // namespace

TEST(BatchOptions, DefaultsWriteFilesNamedByRowIntoTheCurrentFolder) {
  GenerateOptions o = parsed({"t.docx", "s.xlsx"});
  EXPECT_EQ(o.template_path, "t.docx");
  EXPECT_EQ(o.sheet_path, "s.xlsx");
  EXPECT_EQ(o.output_folder, ".");
  EXPECT_EQ(o.page_options_json(),
            "{\"namingRule\":\"rowIndex\",\"selectedFields\":[],\"customNamePrefix\":\"\",\"customNameSuffix\":\"\","
            "\"dateFormat\":\"none\",\"includeRowNumber\":false,\"imageColumns\":[],\"imageColumnTags\":{},\"imageColumnSizes\":{}}");
}

TEST(BatchOptions, PatternBecomesTheCustomRuleInThePagesOrder) {
  GenerateOptions o = parsed({"t.docx", "s.xlsx", "--name-pattern", "Invoice__{Customer}_{No.}_{date:YYYY-MM-DD}_{row}_final copy"});
  EXPECT_EQ(o.name_prefix, "Invoice");
  EXPECT_EQ(o.name_fields, (std::vector<std::string>{"Customer", "No."}));
  EXPECT_EQ(o.date_format, "YYYY-MM-DD");
  EXPECT_TRUE(o.row_number);
  EXPECT_EQ(o.name_suffix, "final copy");
  EXPECT_NE(o.page_options_json().find("\"namingRule\":\"custom\""), std::string::npos);
}

TEST(BatchOptions, PatternsThePageCannotNameAreRefused) {
  EXPECT_NE(refusal({"t.docx", "s.xlsx", "--name-pattern", "{A}-{B}"}).find("only \"_\""), std::string::npos);
  EXPECT_NE(refusal({"t.docx", "s.xlsx", "--name-pattern", "{row}_{A}"}).find("order"), std::string::npos);
  EXPECT_NE(refusal({"t.docx", "s.xlsx", "--name-pattern", "{A}_{date}_{date}"}).find("order"), std::string::npos);
  EXPECT_NE(refusal({"t.docx", "s.xlsx", "--name-pattern", "{date}"}).find("at least one"), std::string::npos);
  EXPECT_NE(refusal({"t.docx", "s.xlsx", "--name-pattern", "{A"}).find("without"), std::string::npos);
  EXPECT_NE(refusal({"t.docx", "s.xlsx", "--name-pattern", "{A}_{date:DD.MM.}"}).find("date format"), std::string::npos);
  EXPECT_NE(refusal({"t.docx", "s.xlsx", "--name-pattern", "{A}", "--name-field", "B"}).find("either"), std::string::npos);
}

TEST(BatchOptions, ImageColumnsWithTagsAndSizes) {
  GenerateOptions o = parsed({"t.docx", "s.xlsx", "--images", "b=photo@120x80,C,AA=logo", "--image-size", "40X30"});
  ASSERT_EQ(o.images.size(), 3u);
  EXPECT_EQ(o.images[0].column, "B");
  EXPECT_EQ(o.images[0].tag, "photo");
  EXPECT_EQ(o.images[0].width, 120);
  EXPECT_EQ(o.images[1].tag, "");
  std::string json = o.page_options_json();
  EXPECT_NE(json.find("\"imageColumns\":[\"B\",\"C\",\"AA\"]"), std::string::npos) << json;
  EXPECT_NE(json.find("\"imageColumnTags\":{\"B\":\"photo\",\"AA\":\"logo\"}"), std::string::npos) << json;
  EXPECT_NE(json.find("\"imageColumnSizes\":{\"B\":{\"width\":120,\"height\":80}}"), std::string::npos) << json;
  EXPECT_NE(json.find("\"imageWidth\":40,\"imageHeight\":30"), std::string::npos) << json;
  EXPECT_FALSE(refusal({"t.docx", "s.xlsx", "--images", "B@0x10"}).empty());
  EXPECT_FALSE(refusal({"t.docx", "s.xlsx", "--images", "B1"}).empty());
  EXPECT_FALSE(refusal({"t.docx", "s.xlsx", "--image-size", "12"}).empty());
}

TEST(BatchOptions, CommandLineMistakes) {
  EXPECT_EQ(refusal({"t.docx"}), "name a template and a sheet");
  EXPECT_EQ(refusal({"t.docx", "s.xlsx", "x"}), "too many files: x");
  EXPECT_EQ(refusal({"t.docx", "s.xlsx", "-o"}), "-o needs a value");
  EXPECT_EQ(refusal({"t.docx", "s.xlsx", "-o", "d", "--zip", "a.zip"}), "choose either --output or --zip");
  EXPECT_EQ(refusal({"t.docx", "s.xlsx", "--frob"}), "unknown option --frob");
  EXPECT_NE(refusal({"t.docx", "s.xlsx", "--row-number"}).find("--name-field"), std::string::npos);
  // After "--" a file may begin with a dash.
  EXPECT_EQ(parsed({"--", "-t.docx", "s.xlsx"}).template_path, "-t.docx");
}

TEST(BatchOptions, JsonTextEscapesControlsQuotesAndKeepsUnicode) {
  EXPECT_EQ(json_quote("a\"b\\c\n\x01é"), "\"a\\\"b\\\\c\\n\\u0001é\"");
}

// SPDX-License-Identifier: GPL-3.0-or-later
// The layer rules on the real source tree, and the check itself on small trees made for
// each kind of fault.
#include "layer_check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using af::layering::check_sources;
using af::layering::describe;
using af::layering::KnownOffender;
using af::layering::project_rules;
using af::layering::Rules;
using af::layering::Violation;

namespace {

TEST(Layering, SourceTreeKeepsItsLayers) {
  const fs::path src = fs::path(AF_SOURCE_DIR) / "src";
  ASSERT_TRUE(fs::is_directory(src / "core")) << src;
  for (const Violation& violation : check_sources(src, project_rules())) ADD_FAILURE() << describe(violation);
}

TEST(Layering, KnownOffendersSayWhatEndsThem) {
  for (const KnownOffender& known : project_rules().known) EXPECT_FALSE(known.until.empty()) << known.file;
}

// Each folder reaches, through the folders it may include, neither itself nor a folder
// missing from the table.
TEST(Layering, LayerTableIsAnOrder) {
  const Rules rules = project_rules();
  for (const auto& [folder, allowed] : rules.may_include) {
    std::vector<std::string> todo(allowed.begin(), allowed.end());
    std::set<std::string> reached;
    while (!todo.empty()) {
      const std::string next = todo.back();
      todo.pop_back();
      ASSERT_NE(next, folder) << "the layer table loops through " << folder;
      ASSERT_EQ(rules.may_include.count(next), 1u) << next << " is not in the table";
      if (reached.insert(next).second)
        for (const std::string& below : rules.may_include.at(next)) todo.push_back(below);
    }
  }
}

struct TreeCase {
  const char* name;
  std::map<std::string, std::string> files;
  std::vector<KnownOffender> known;
  std::vector<std::string> expected;  // "rule file", sorted
};

void PrintTo(const TreeCase& c, std::ostream* out) { *out << c.name; }

class LayerCheckTree : public ::testing::TestWithParam<TreeCase> {};

TEST_P(LayerCheckTree, ReportsExactlyTheFaults) {
  const TreeCase& c = GetParam();
  const fs::path root = fs::path(::testing::TempDir()) / (std::string("layers_") + c.name);
  fs::remove_all(root);
  for (const auto& [name, text] : c.files) {
    fs::create_directories((root / name).parent_path());
    std::ofstream(root / name, std::ios::binary) << text;
  }
  Rules rules = project_rules();
  rules.known = c.known;
  std::vector<std::string> found;
  std::string details;
  for (const Violation& v : check_sources(root, rules)) {
    found.push_back(v.rule + " " + v.file);
    details += describe(v) + "\n";
  }
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found, c.expected) << details;
  fs::remove_all(root);
}

const std::map<std::string, std::string> kSoundTree = {
    {"util/text.h", "#pragma once\n"},
    {"core/settings.h", "#include \"util/text.h\"\n"},
    {"http/fetch.h", "#include \"core/settings.h\"\n#include <curl/curl.h>\n"},
    {"http/fetch.cpp", "#include \"http/fetch.h\"\nvoid f() { curl_easy_init(); curl_easy_init(); }\n"},
    {"service/list.h", "#include \"http/fetch.h\"\n#include \"sample_service.h\"\n"},
    {"download/view.h", "#include \"service/list.h\"\n// the count of saved photos\n"},
    {"download/view.cpp", "// shown in 标签_进度条比例\n#include \"view.h\"\n"},
    {"ui/window.h", "// 按钮_下载选中\n#include \"download/view.h\"\n"},
    {"cli/main.cpp", "#include \"download/view.h\"\n"},
    {"main.cpp", "#include \"ui/window.h\"\n"},
};

std::map<std::string, std::string> sound_tree_with(std::map<std::string, std::string> changes) {
  std::map<std::string, std::string> files = kSoundTree;
  for (auto& [name, text] : changes) files[name] = text;
  return files;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, LayerCheckTree,
    ::testing::Values(
        TreeCase{"sound", kSoundTree, {}, {}},
        TreeCase{"upward",
                 sound_tree_with({{"util/text.h", "#include \"http/fetch.h\"\n"}}),
                 {},
                 {"cycle core/settings.h", "order util/text.h"}},
        TreeCase{"upward_from_core",
                 sound_tree_with({{"core/gate.cpp", "#include \"service/list.h\"\n"}}),
                 {},
                 {"order core/gate.cpp"}},
        TreeCase{"ui_to_cli",
                 sound_tree_with({{"ui/window.cpp", "#include \"cli/terms.h\"\n"}, {"cli/terms.h", ""}}),
                 {},
                 {"order ui/window.cpp"}},
        TreeCase{"cli_to_ui",
                 sound_tree_with({{"cli/main.cpp", "#include \"ui/window.h\"\n"}}),
                 {},
                 {"order cli/main.cpp"}},
        TreeCase{"top_to_cli",
                 sound_tree_with({{"main.cpp", "#include \"cli/main.cpp\"\n"}}),
                 {},
                 {"order main.cpp"}},
        TreeCase{"cycle_in_folder",
                 sound_tree_with({{"core/a.h", "#include \"core/b.h\"\n"},
                                  {"core/b.h", "#include \"c.h\"\n"},
                                  {"core/c.h", "#include \"a.h\"\n"}}),
                 {},
                 {"cycle core/a.h"}},
        TreeCase{"include_in_comment_or_brackets",
                 sound_tree_with({{"util/text.h",
                                   "// #include \"http/fetch.h\"\n/*\n#include \"ui/window.h\"\n*/\n"
                                   "#include <http/fetch.h>\n"}}),
                 {},
                 {}},
        TreeCase{"widget_in_engine_header",
                 sound_tree_with({{"download/view.h", "#include \"service/list.h\"\nint bar;  // 进度条1\n"},
                                  {"util/text.h", "// the rows of 超级列表框1\n"}}),
                 {},
                 {"widget download/view.h", "widget util/text.h"}},
        TreeCase{"second_curl_caller",
                 sound_tree_with({{"service/list.cpp", "void g() { curl_easy_init(); }\n"},
                                  {"ui/window.cpp", "auto* h = ::curl_easy_init();\n"}}),
                 {},
                 {"single-file service/list.cpp", "single-file ui/window.cpp"}},
        TreeCase{
            "curl_named_not_called",
            sound_tree_with(
                {{"service/list.cpp",
                  "// curl_easy_init lives in http\nconst char* s = \"/*\";\nint my_curl_easy_init;\n"}}),
            {},
            {}},
        TreeCase{"find_child",
                 sound_tree_with({{"ui/bridge.cpp", "auto* b = w->findChild<QLabel*>(\"x\");\n"},
                                  {"ui/window.cpp", "// no findChild here\nint findChildren;\n"}}),
                 {},
                 {"findChild ui/bridge.cpp"}},
        TreeCase{
            "settings_read_in_engine",
            sound_tree_with({{"download/run.cpp", "bool r = option_enabled(record_key());\n"},
                             {"service/list.cpp", "auto s = af::load_settings();\n"},
                             {"http/fetch.cpp", "std::ifstream in(\"peizi.ini\");\n"},
                             {"download/view.cpp", "void f(const Settings& s);  // not load_settings()\n"},
                             {"core/settings.cpp", "Settings load_settings() { return {}; }\n"},
                             {"cli/main.cpp", "settings = load_settings();\n"}}),
            {},
            {"settings-read download/run.cpp", "settings-read http/fetch.cpp",
             "settings-read service/list.cpp"}},
        TreeCase{"file_over_500_lines",
                 sound_tree_with({{"download/long.cpp", std::string(501, '\n')},
                                  {"ui/window.cpp", std::string(500, '\n')}}),
                 {},
                 {"size download/long.cpp"}},
        TreeCase{"folder_not_in_table",
                 sound_tree_with({{"model/user.h", "#include \"util/text.h\"\n"}}),
                 {},
                 {"folder model"}},
        TreeCase{"known_offenders_pass",
                 sound_tree_with({{"util/text.h", "// 按钮_x\n"},
                                  {"service/list.cpp", "void g() { curl_easy_init(); }\n"},
                                  {"core/gate.cpp", "#include \"service/list.h\"\n"}}),
                 {{"widget", "util/text.h", "a fix"},
                  {"single-file", "service/list.cpp", "a fix"},
                  {"order", "core/gate.cpp", "a fix"}},
                 {}},
        TreeCase{"known_offenders_gone",
                 kSoundTree,
                 {{"widget", "download/view.h", "a fix"}, {"single-file", "ui/window.h", "a fix"}},
                 {"stale download/view.h", "stale ui/window.h"}}),
    [](const ::testing::TestParamInfo<TreeCase>& info) { return std::string(info.param.name); });

TEST(WithoutComments, BlanksCommentsAndKeepsLiterals) {
  struct Case {
    const char* text;
    const char* expected;
  };
  const Case cases[] = {
      {"a // b\nc", "a     \nc"},
      {"a /* b\n c */ d", "a     \n      d"},
      {"s = \"// not a comment\";", "s = \"// not a comment\";"},
      {"c = '\"'; // x", "c = '\"';     "},
      {"s = \"a\\\"/*\"; /**/", "s = \"a\\\"/*\";     "},
      {"r = R\"x(// )\" /* )x\"; // y", "r = R\"x(// )\" /* )x\";     "},
  };
  for (const Case& c : cases) EXPECT_EQ(af::layering::without_comments(c.text), c.expected) << c.text;
}

// Tests wait for what the code does, with a bound: a fixed sleep of more than 100 ms in a
// test (a literal duration given to sleep_for, usleep or QTest::qWait) is a proof by waiting.
TEST(TestRules, NoTestSleepsLongerThan100Milliseconds) {
  const fs::path tests = fs::path(AF_SOURCE_DIR) / "tests";
  const std::regex sleep(
      R"((sleep_for|usleep|qWait)\s*\(\s*(?:std::chrono::)?(milliseconds|seconds)?\s*\(?\s*(\d+)\s*(ms|s)?)");
  std::size_t files = 0;
  for (const auto& entry : fs::recursive_directory_iterator(tests)) {
    const auto ext = entry.path().extension();
    if (ext != ".cpp" && ext != ".h") continue;
    ++files;
    std::ifstream in(entry.path(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    const std::string code = af::layering::without_comments(text.str());
    for (std::sregex_iterator it(code.begin(), code.end(), sleep), end; it != end; ++it) {
      const auto& m = *it;
      long long ms = std::stoll(m[3].str());
      if (m[1] == "usleep") ms /= 1000;
      if (m[2] == "seconds" || m[4] == "s") ms *= 1000;
      const auto line = std::count(code.begin(), code.begin() + m.position(0), '\n') + 1;
      EXPECT_LE(ms, 100) << fs::relative(entry.path(), tests).string() << ":" << line << ": " << m.str(0);
    }
  }
  EXPECT_GT(files, 50u);
}

}  // namespace

// SPDX-License-Identifier: GPL-3.0-or-later
#include "layer_check.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>

namespace af::layering {

Rules project_rules() {
  Rules rules;
  // util knows nothing of the program; core (program directory, settings, gate, waits)
  // builds on its text rules; then the transfers, the service's answers, the download.
  // The two front ends sit on the engine and know nothing of each other; src/main.cpp
  // opens the window.
  const std::set<std::string> engine = {"util", "core", "http", "service", "download"};
  rules.may_include = {
      {"util", {}},
      {"core", {"util"}},
      {"http", {"util", "core"}},
      {"service", {"util", "core", "http"}},
      {"download", {"util", "core", "http", "service"}},
      {"ui", engine},
      {"cli", engine},
      {"", {"util", "core", "http", "service", "download", "ui"}},
  };
  rules.engine_folders = engine;
  rules.widget_names = {"按钮_", "标签_",  "编辑框_", "进度条", "超级列表框",
                        "画板",  "选择框", "日期框",  "分组框", "高级选择夹"};
  rules.single_file_call = "curl_easy_init";
  rules.banned = {
      {"findChild", {"findChild"}, {}},
      {"settings-read",
       {"load_settings", "read_setting", "option_enabled", "index_option_enabled", "gallery_option_enabled",
        "jobs_option", "settings_path", "peizi.ini"},
       {"http", "service", "download"}},
  };
  rules.most_lines = 500;
  rules.known = {
      // a file that breaks a rule for a while is named here with what ends it
  };
  return rules;
}

std::string describe(const Violation& violation) {
  return violation.rule + " " + violation.file + ": " + violation.detail;
}

std::string without_comments(const std::string& text) {
  std::string out = text;
  std::size_t i = 0;
  const std::size_t n = text.size();
  auto blank = [&out](std::size_t from, std::size_t to) {
    for (std::size_t k = from; k < to; ++k)
      if (out[k] != '\n') out[k] = ' ';
  };
  while (i < n) {
    const char c = text[i];
    if (c == '/' && i + 1 < n && text[i + 1] == '/') {
      const std::size_t end = std::min(text.find('\n', i), n);
      blank(i, end);
      i = end;
    } else if (c == '/' && i + 1 < n && text[i + 1] == '*') {
      const std::size_t close = text.find("*/", i + 2);
      const std::size_t end = close == std::string::npos ? n : close + 2;
      blank(i, end);
      i = end;
    } else if (c == 'R' && i + 1 < n && text[i + 1] == '"' &&
               (i == 0 || !(std::isalnum(static_cast<unsigned char>(text[i - 1])) || text[i - 1] == '_'))) {
      // A raw string: R"delimiter( ... )delimiter"
      const std::size_t open = text.find('(', i + 2);
      if (open == std::string::npos) break;
      const std::string closing = ")" + text.substr(i + 2, open - i - 2) + "\"";
      const std::size_t close = text.find(closing, open);
      i = close == std::string::npos ? n : close + closing.size();
    } else if (c == '"' || c == '\'') {
      std::size_t k = i + 1;
      while (k < n && text[k] != c && text[k] != '\n') k += text[k] == '\\' ? 2 : 1;
      i = k + 1;
    } else {
      ++i;
    }
  }
  return out;
}

namespace {

struct SourceFile {
  std::string text;
  std::string code;                   // without comments
  std::vector<std::string> includes;  // files of the checked tree
};

std::string folder_of(const std::string& file) {
  const std::size_t slash = file.find('/');
  return slash == std::string::npos ? std::string() : file.substr(0, slash);
}

bool is_header(const std::string& file) { return file.ends_with(".h") || file.ends_with(".hpp"); }

int line_of(const std::string& text, std::size_t offset) {
  return 1 +
         static_cast<int>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(offset), '\n'));
}

std::map<std::string, SourceFile> read_tree(const std::filesystem::path& root) {
  std::map<std::string, SourceFile> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    const std::string ext = entry.path().extension().string();
    if (ext != ".h" && ext != ".hpp" && ext != ".cpp" && ext != ".cc") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    SourceFile& file = files[entry.path().lexically_relative(root).generic_string()];
    file.text = text.str();
    file.code = without_comments(file.text);
  }
  // Quoted includes, found beside the including file first, then from the top; those
  // found in neither (other libraries) are not part of the tree.
  static const std::regex include_line(R"re(^[ \t]*#[ \t]*include[ \t]*"([^"]+)")re", std::regex::multiline);
  for (auto& [name, file] : files) {
    for (std::sregex_iterator it(file.code.begin(), file.code.end(), include_line), end; it != end; ++it) {
      const std::string target = (*it)[1].str();
      const std::string beside =
          (std::filesystem::path(name).parent_path() / target).lexically_normal().generic_string();
      const std::string from_top = std::filesystem::path(target).lexically_normal().generic_string();
      if (files.count(beside) != 0)
        file.includes.push_back(beside);
      else if (files.count(from_top) != 0)
        file.includes.push_back(from_top);
    }
  }
  return files;
}

void check_order(const std::map<std::string, SourceFile>& files, const Rules& rules,
                 std::vector<Violation>& out) {
  std::set<std::string> unplaced;
  for (const auto& [name, file] : files) {
    const std::string folder = folder_of(name);
    const auto allowed = rules.may_include.find(folder);
    if (allowed == rules.may_include.end()) {
      if (unplaced.insert(folder).second)
        out.push_back({"folder", folder, "has no place in the layer order"});
      continue;
    }
    for (const std::string& target : file.includes) {
      const std::string to = folder_of(target);
      if (to != folder && allowed->second.count(to) == 0)
        out.push_back({"order", name,
                       "includes " + target + ": " + (folder.empty() ? "the top" : folder) +
                           " may not include " + (to.empty() ? "the top" : to)});
    }
  }
}

void check_cycles(const std::map<std::string, SourceFile>& files, std::vector<Violation>& out) {
  enum class Mark { New, Open, Done };
  std::map<std::string, Mark> marks;
  std::vector<std::string> path;
  std::function<void(const std::string&)> visit = [&](const std::string& name) {
    marks[name] = Mark::Open;
    path.push_back(name);
    for (const std::string& target : files.at(name).includes) {
      const Mark mark = marks[target];
      if (mark == Mark::New) {
        visit(target);
      } else if (mark == Mark::Open) {
        const auto start = std::find(path.begin(), path.end(), target);
        std::string cycle;
        for (auto it = start; it != path.end(); ++it) cycle += *it + " -> ";
        out.push_back({"cycle", *std::min_element(start, path.end()), cycle + target});
      }
    }
    path.pop_back();
    marks[name] = Mark::Done;
  };
  for (const auto& entry : files)
    if (marks[entry.first] == Mark::New) visit(entry.first);
}

void check_widget_names(const std::map<std::string, SourceFile>& files, const Rules& rules,
                        std::vector<Violation>& out) {
  for (const auto& [name, file] : files) {
    if (!is_header(name) || rules.engine_folders.count(folder_of(name)) == 0) continue;
    std::size_t first = std::string::npos;
    std::string widget;
    for (const std::string& word : rules.widget_names) {
      const std::size_t at = file.text.find(word);
      if (at < first) {
        first = at;
        widget = word;
      }
    }
    if (first != std::string::npos)
      out.push_back(
          {"widget", name, "line " + std::to_string(line_of(file.text, first)) + " names " + widget});
  }
}

bool calls(const SourceFile& file, const std::string& function) {
  for (std::size_t at = file.code.find(function); at != std::string::npos;
       at = file.code.find(function, at + 1)) {
    const auto word_char = [&file](std::size_t k) {
      return k < file.code.size() &&
             (std::isalnum(static_cast<unsigned char>(file.code[k])) || file.code[k] == '_');
    };
    if ((at == 0 || !word_char(at - 1)) && !word_char(at + function.size())) return true;
  }
  return false;
}

void check_banned_and_size(const std::map<std::string, SourceFile>& files, const Rules& rules,
                           std::vector<Violation>& out) {
  for (const auto& [name, file] : files) {
    for (const Banned& banned : rules.banned) {
      if (!banned.folders.empty() && banned.folders.count(folder_of(name)) == 0) continue;
      for (const std::string& word : banned.names)
        if (calls(file, word)) {
          out.push_back({banned.rule, name, "uses " + word});
          break;
        }
    }
    const auto lines = std::count(file.text.begin(), file.text.end(), '\n');
    if (rules.most_lines > 0 && lines > rules.most_lines)
      out.push_back(
          {"size", name, std::to_string(lines) + " lines, more than " + std::to_string(rules.most_lines)});
  }
}

}  // namespace

std::vector<Violation> check_sources(const std::filesystem::path& root, const Rules& rules) {
  const std::map<std::string, SourceFile> files = read_tree(root);
  std::vector<Violation> found;
  check_order(files, rules, found);
  check_cycles(files, found);
  check_widget_names(files, rules, found);
  check_banned_and_size(files, rules, found);

  auto known = [&rules](const std::string& rule, const std::string& file) {
    return std::any_of(rules.known.begin(), rules.known.end(),
                       [&](const KnownOffender& k) { return k.rule == rule && k.file == file; });
  };
  std::vector<Violation> out;
  std::set<std::pair<std::string, std::string>> seen;
  for (const Violation& v : found) {
    seen.insert({v.rule, v.file});
    if (!known(v.rule, v.file)) out.push_back(v);
  }

  // The single-file rule counts the files that call the function, leaving out the ones
  // listed as known.
  if (!rules.single_file_call.empty()) {
    std::vector<std::string> callers;
    for (const auto& [name, file] : files) {
      if (!calls(file, rules.single_file_call)) continue;
      seen.insert({"single-file", name});
      if (!known("single-file", name)) callers.push_back(name);
    }
    for (std::size_t i = 1; i < callers.size(); ++i)
      out.push_back({"single-file", callers[i],
                     "calls " + rules.single_file_call + ", which " + callers[0] + " calls already"});
  }

  for (const KnownOffender& k : rules.known)
    if (seen.count({k.rule, k.file}) == 0)
      out.push_back({"stale", k.file,
                     "listed as breaking the " + k.rule + " rule until " + k.until +
                         ", but no longer does: take it off the list"});
  return out;
}

}  // namespace af::layering

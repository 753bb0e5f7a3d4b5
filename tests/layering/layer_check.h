// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The house rules of src/, read from the sources themselves:
//  - each folder includes only its own files and the folders beneath it (the table in
//    project_rules()); a folder that is not in the table is a fault of its own;
//  - the include graph of the files has no cycle;
//  - no header of the engine (afcore) names a widget of the window;
//  - at most one file calls a given function (curl_easy_init: one owner of easy handles);
//  - some names are used nowhere, or not in some folders (findChild: the window's widgets
//    are held by type; the settings readers: the engine is handed its settings);
//  - no source file is longer than a given number of lines.
// Faults known today are listed with what ends them; a listed fault that has gone is
// reported too, so that the list only ever shrinks.
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace af::layering {

struct Violation {
  std::string rule;  // "order", "cycle", "widget", "single-file", "folder", "stale", "size" or a
                     // Banned rule's name
  std::string file;  // relative to the checked folder, '/' separated
  std::string detail;
};

struct KnownOffender {
  std::string rule;
  std::string file;
  std::string until;  // what ends it
};

// Names that code (comments aside) in `folders` (every folder when empty) may not use.
struct Banned {
  std::string rule;
  std::vector<std::string> names;
  std::set<std::string> folders;
};

struct Rules {
  // Folder ("" for the files at the top) -> the other folders its files may include.
  std::map<std::string, std::set<std::string>> may_include;
  // Folders whose headers may not name a widget.
  std::set<std::string> engine_folders;
  std::vector<std::string> widget_names;
  // A function that at most one file may call.
  std::string single_file_call;
  std::vector<Banned> banned;
  int most_lines = 0;  // 0: no limit
  std::vector<KnownOffender> known;
};

Rules project_rules();

std::vector<Violation> check_sources(const std::filesystem::path& root, const Rules& rules);

// "rule file: detail", one line.
std::string describe(const Violation& violation);

// `text` with its comments blanked out (string and character literals kept), line breaks
// kept so that line numbers still hold.
std::string without_comments(const std::string& text);

}  // namespace af::layering

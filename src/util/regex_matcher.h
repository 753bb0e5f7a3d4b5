// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// RegexMatcher: one regular expression applied to one GBK text (ICU, over UTF-16).
//
//   RegexMatcher m;
//   m.execute(G("[\\u4e00-\\u9fa5]"), caption, false, true);
//   for (int i = 1; i <= m.match_count(); ++i) kept += m.match_text(i);
//
// Matches count from 1. A pattern that does not compile makes execute() false and every
// read empty. Copies share the compiled expression and matches.
#include <memory>
#include <string>

namespace af {

class RegexMatcher {
 public:
  RegexMatcher();
  RegexMatcher(const RegexMatcher& other);
  RegexMatcher& operator=(const RegexMatcher& other);
  ~RegexMatcher();

  bool execute(const std::string& pattern, const std::string& subject, bool case_sensitive = false,
               bool multiline = true, bool global = true, bool quote_marker = false);
  std::string pattern() const;
  std::string replace(const std::string& replacement) const;
  int match_count() const;
  std::string match_text(int index, long long* position = nullptr) const;
  std::string submatch_text(int match_index, int group_index, long long* position = nullptr) const;
  int submatch_count() const;

  struct State;
 private:
  std::shared_ptr<const State> state_;  // expression and matches, shared by copies
  std::u16string subject_;
  std::string subject_gbk_;
};

// The caption reduced to its ideographs U+4E00..U+9FA5, in order.
std::string ideographs_only(const std::string& text);

}  // namespace af

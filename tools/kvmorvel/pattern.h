// SPDX-License-Identifier: GPL-2.0-or-later
// Choosing entries by name: the patterns of extract, diff and create's
// --exclude, and the name lists of --files-from and --exclude-from.
//
// A pattern is matched against a stored name, '/' and '\' both taken as
// the separator on either side. It is a whole name or a shell glob: '*'
// any run of characters within one name, '?' one character, '[...]' one
// of a set ('[!...]' or '[^...]' none of it; ranges as 'a-z'; a ']' first
// is part of the set), '**' any run across folders, and '**/' also
// nothing, so 'a/**/b' finds a/b as well as a/x/y/b. A leading "./" or
// separator and a trailing separator are dropped, and separators that
// repeat count as one. There is no escape character ('\' is a
// separator): '[*]' matches a '*'. Matching is case-sensitive, as tar's
// and restic's, on every system.
#ifndef KVMORVEL_TOOL_PATTERN_H
#define KVMORVEL_TOOL_PATTERN_H

#include <string>
#include <vector>

class NamePattern {
 public:
  // `text` is UTF-8; false when it is not, or holds nothing to match.
  bool Parse(const std::string& text);
  const std::string& text() const { return text_; }

  // Whether the pattern matches `name` whole.
  bool Matches(const std::u16string& name) const;
  // Whether it matches `name` or a folder above it (docs selects
  // docs\a.txt): what a folder pattern selects is its whole subtree.
  bool Selects(const std::u16string& name) const;
  // Whether it matches `name` whole or its last component alone, as tar
  // matches an exclude (*.o leaves out src\x.o).
  bool MatchesNameOrLeaf(const std::u16string& name) const;

 private:
  friend class PatternSet;

  std::string text_;
  std::vector<std::u32string> components_;
  bool literal_ = true;  // no glob character: compared component by component
  // The leading components without a glob character, '\' between them,
  // as UTF-16 and UTF-8: every name the pattern selects begins with them,
  // which rules most names out before they are split.
  std::u16string prefix16_;
  std::string prefix8_;
};

// A set of patterns that remembers which ones matched, to report those
// that found nothing.
class PatternSet {
 public:
  // false with *error set when a pattern is not valid UTF-8 or empty.
  bool Add(const std::string& text, std::string* error);
  bool empty() const { return patterns_.empty(); }

  // Whether any pattern selects `name` (NamePattern::Selects); every one
  // that does is marked as used.
  bool Selects(const std::u16string& name);
  // The same, marking nothing.
  bool WouldSelect(const std::u16string& name) const;
  // false when no pattern can select the name whose UTF-8 bytes (as the
  // manifest escapes them) are `size` at `name`; true when one may.
  bool MayChooseUtf8(const char* name, size_t size) const;
  // Whether any pattern matches the name or its last component
  // (NamePattern::MatchesNameOrLeaf).
  bool Excludes(const std::u16string& name) const;
  // The patterns that selected nothing, as given.
  std::vector<std::string> Unused() const;

 private:
  std::vector<NamePattern> patterns_;
  std::vector<bool> used_;
};

// Reads a list of names, one per line (a final line without its newline
// counted, empty lines and a carriage return before a newline dropped) or,
// with `nulSeparated`, separated by NUL bytes, from the file `path`, or
// from standard input for "-". false with *error in words when it cannot
// be read.
bool ReadNameList(const std::string& path, bool nulSeparated,
                  std::vector<std::string>* names, std::string* error);

#endif  // KVMORVEL_TOOL_PATTERN_H

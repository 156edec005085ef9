// SPDX-License-Identifier: GPL-2.0-or-later
// Name patterns and name lists (pattern.h).
//
// Both the pattern and the name are split into components, and matched
// in two levels: a '**' component against any run of components, every
// other component against one name, character by character. Each level
// uses the matcher with one backtrack point (the last star seen), which
// is linear for a single kind of star and never recurses, so a hostile
// pattern cannot make a match take exponential time.
#include "pattern.h"

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>

#include "common/utf.h"
#include "system.h"

namespace {

typedef std::u32string Component;

bool IsSeparator(char32_t c) { return c == U'/' || c == U'\\'; }

// Splits `text` into its components: separators that repeat count as
// one, a leading "." component (of "./") is dropped, and so are leading
// and trailing separators.
std::vector<Component> SplitComponents(const std::u32string& text) {
  std::vector<Component> parts;
  Component current;
  for (char32_t c : text) {
    if (!IsSeparator(c)) {
      current += c;
      continue;
    }
    if (!current.empty() && !(parts.empty() && current == U"."))
      parts.push_back(current);
    current.clear();
  }
  if (!current.empty()) parts.push_back(current);
  return parts;
}

std::u32string Utf16ToUtf32(const std::u16string& text) {
  std::u32string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char32_t c = text[i];
    if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      out += 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else {
      out += c;  // a lone surrogate stands for itself
    }
  }
  return out;
}

bool Utf8ToUtf32(const std::string& text, std::u32string* out) {
  const unsigned char* s = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = 0; i < text.size();) {
    uint32_t cp = 0;
    const size_t len = DecodeUtf8(s, text.size(), i, &cp);
    if (len == 0) return false;
    *out += static_cast<char32_t>(cp);
    i += len;
  }
  return true;
}

// Matches the set at p[at] (just after its '['); `*end` gets the index
// after its ']'. A set that is never closed is no set: false with `*end`
// at `at`, and the '[' is then an ordinary character.
bool MatchSet(const Component& p, size_t at, char32_t c, size_t* end) {
  size_t i = at;
  const bool negated = i < p.size() && (p[i] == U'!' || p[i] == U'^');
  if (negated) ++i;
  bool found = false;
  for (bool first = true; i < p.size() && (first || p[i] != U']'); first = false) {
    char32_t low = p[i], high = p[i];
    if (i + 2 < p.size() && p[i + 1] == U'-' && p[i + 2] != U']') {
      high = p[i + 2];
      i += 3;
    } else {
      ++i;
    }
    if (low <= c && c <= high) found = true;
  }
  if (i >= p.size()) {
    *end = at;
    return false;
  }
  *end = i + 1;
  return found != negated;
}

bool IsOpenSet(const Component& p, size_t at) {
  if (p[at] != U'[') return false;
  size_t end = 0;
  MatchSet(p, at + 1, 0, &end);
  return end != at + 1;
}

// One pattern component against one name component: '*' any run, '?'
// one character, '[...]' one of a set.
bool MatchComponent(const Component& p, const Component& n) {
  size_t pi = 0, ni = 0;
  size_t starP = Component::npos, starN = 0;
  while (ni < n.size()) {
    if (pi < p.size() && p[pi] == U'*') {
      while (pi < p.size() && p[pi] == U'*') ++pi;
      starP = pi;
      starN = ni;
      continue;
    }
    if (pi < p.size()) {
      size_t next = pi + 1;
      bool ok;
      if (p[pi] == U'?') {
        ok = true;
      } else if (IsOpenSet(p, pi)) {
        ok = MatchSet(p, pi + 1, n[ni], &next);
      } else {
        ok = p[pi] == n[ni];
      }
      if (ok) {
        pi = next;
        ++ni;
        continue;
      }
    }
    if (starP == Component::npos) return false;
    pi = starP;
    ni = ++starN;
  }
  while (pi < p.size() && p[pi] == U'*') ++pi;
  return pi == p.size();
}

bool IsGlobstar(const Component& c) { return c == U"**"; }

// The pattern's components against the first `count` of the name's, a
// '**' component matching any run of them (none too).
bool MatchComponents(const std::vector<Component>& p,
                     const std::vector<Component>& n, size_t count) {
  size_t pi = 0, ni = 0;
  size_t starP = std::string::npos, starN = 0;
  while (ni < count) {
    if (pi < p.size() && IsGlobstar(p[pi])) {
      starP = ++pi;
      starN = ni;
      continue;
    }
    if (pi < p.size() && MatchComponent(p[pi], n[ni])) {
      ++pi;
      ++ni;
      continue;
    }
    if (starP == std::string::npos) return false;
    pi = starP;
    ni = ++starN;
  }
  while (pi < p.size() && IsGlobstar(p[pi])) ++pi;
  return pi == p.size();
}

// Whether a name is stored the usual way, so that comparing its leading
// characters with a pattern's literal prefix tells what splitting it
// would: '\' between its components alone, none empty, and no "."
// component, separator or escape ('%', as the manifest writes one) at its
// start or end.
template <typename Char>
bool IsPlainName(const Char* name, size_t size) {
  if (size == 0 || name[0] == '\\' || name[size - 1] == '\\') return false;
  if (name[0] == '.' && (size == 1 || name[1] == '\\')) return false;
  for (size_t i = 0; i < size; ++i) {
    if (name[i] == '/' || name[i] == '%') return false;
    if (name[i] == '\\' && name[i + 1] == '\\') return false;
  }
  return true;
}

// Whether `name` begins with the folder `prefix` (the whole prefix, up to
// a separator or the name's end); an empty prefix begins every name.
template <typename Char>
bool BeginsWithFolder(const Char* name, size_t size,
                      const std::basic_string<Char>& prefix) {
  if (prefix.empty()) return true;
  if (size < prefix.size() ||
      !std::equal(prefix.begin(), prefix.end(), name))
    return false;
  return size == prefix.size() || name[prefix.size()] == '\\';
}

bool HasGlobCharacter(const std::u32string& text) {
  for (char32_t c : text)
    if (c == U'*' || c == U'?' || c == U'[') return true;
  return false;
}

}  // namespace

bool NamePattern::Parse(const std::string& text) {
  std::u32string wide;
  if (!Utf8ToUtf32(text, &wide)) return false;
  text_ = text;
  components_ = SplitComponents(wide);
  literal_ = !HasGlobCharacter(wide);
  for (const Component& component : components_) {
    if (HasGlobCharacter(component)) break;
    std::u32string joined = (prefix16_.empty() ? U"" : U"\\") + component;
    for (char32_t c : joined) {
      AppendUtf16(c, &prefix16_);
      AppendUtf8(c, &prefix8_);
    }
  }
  return !components_.empty();
}

bool NamePattern::Matches(const std::u16string& name) const {
  const std::vector<Component> n = SplitComponents(Utf16ToUtf32(name));
  return MatchComponents(components_, n, n.size());
}

bool NamePattern::Selects(const std::u16string& name) const {
  if (IsPlainName(name.data(), name.size())) {
    if (!BeginsWithFolder(name.data(), name.size(), prefix16_)) return false;
    if (literal_) return true;
  }
  const std::vector<Component> n = SplitComponents(Utf16ToUtf32(name));
  if (literal_) {
    // A whole name selects itself and what lies below it.
    if (n.size() < components_.size()) return false;
    for (size_t i = 0; i < components_.size(); ++i)
      if (n[i] != components_[i]) return false;
    return true;
  }
  for (size_t count = 1; count <= n.size(); ++count)
    if (MatchComponents(components_, n, count)) return true;
  return false;
}

bool NamePattern::MatchesNameOrLeaf(const std::u16string& name) const {
  const std::vector<Component> n = SplitComponents(Utf16ToUtf32(name));
  if (MatchComponents(components_, n, n.size())) return true;
  if (n.empty()) return false;
  const std::vector<Component> leaf(1, n.back());
  return MatchComponents(components_, leaf, 1);
}

bool PatternSet::Add(const std::string& text, std::string* error) {
  NamePattern pattern;
  if (!pattern.Parse(text)) {
    *error = "'" + text + "' is no pattern: it is empty or not valid UTF-8";
    return false;
  }
  patterns_.push_back(pattern);
  used_.push_back(false);
  return true;
}

bool PatternSet::Selects(const std::u16string& name) {
  bool selected = false;
  for (size_t i = 0; i < patterns_.size(); ++i) {
    if (!patterns_[i].Selects(name)) continue;
    used_[i] = true;
    selected = true;
  }
  return selected;
}

bool PatternSet::WouldSelect(const std::u16string& name) const {
  for (const NamePattern& pattern : patterns_)
    if (pattern.Selects(name)) return true;
  return false;
}

bool PatternSet::MayChooseUtf8(const char* name, size_t size) const {
  if (patterns_.empty() || !IsPlainName(name, size)) return true;
  for (const NamePattern& pattern : patterns_)
    if (BeginsWithFolder(name, size, pattern.prefix8_)) return true;
  return false;
}

bool PatternSet::Excludes(const std::u16string& name) const {
  for (const NamePattern& pattern : patterns_)
    if (pattern.MatchesNameOrLeaf(name)) return true;
  return false;
}

std::vector<std::string> PatternSet::Unused() const {
  std::vector<std::string> unused;
  for (size_t i = 0; i < patterns_.size(); ++i)
    if (!used_[i]) unused.push_back(patterns_[i].text());
  return unused;
}

namespace {

// Splits the list's bytes into names; see ReadNameList.
void SplitNames(const std::string& bytes, bool nulSeparated,
                std::vector<std::string>* names) {
  const char separator = nulSeparated ? '\0' : '\n';
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = bytes.find(separator, start);
    if (end == std::string::npos) end = bytes.size();
    std::string name = bytes.substr(start, end - start);
    if (!nulSeparated && !name.empty() && name.back() == '\r') name.pop_back();
    if (!name.empty()) names->push_back(name);
    start = end + 1;
  }
}

}  // namespace

bool ReadNameList(const std::string& path, bool nulSeparated,
                  std::vector<std::string>* names, std::string* error) {
  const bool fromStdin = path == "-";
  if (fromStdin) kvsys::UseBinaryStandardStreams();
  FILE* file = fromStdin ? stdin : kvsys::OpenFileForReading(path);
  if (!file) {
    *error = "cannot open the list " + path + ": " + strerror(errno);
    return false;
  }
  std::string bytes;
  char buffer[65536];
  size_t got;
  while ((got = fread(buffer, 1, sizeof(buffer), file)) > 0) bytes.append(buffer, got);
  const bool failed = ferror(file) != 0;
  if (!fromStdin) fclose(file);
  if (failed) {
    *error = "cannot read the list " + (fromStdin ? std::string("on standard input") : path);
    return false;
  }
  SplitNames(bytes, nulSeparated, names);
  return true;
}

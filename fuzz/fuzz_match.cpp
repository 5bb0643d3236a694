// Fuzz target of the wildcard matcher: memory safety on any pattern and name, and agreement with
// a plain reference on well-formed patterns.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "match/wildcard.h"

namespace {

// A pattern element of the reference.
struct Element {
  enum Kind { literal, any, star, set } kind = literal;
  signed char c = 0;
  bool negated = false;
  std::vector<std::pair<signed char, signed char>> ranges;  // low, high (signed order)
};

// Parses a well-formed pattern. False for anything the matcher may treat as malformed: an empty
// or unclosed set, a range without its end, a trailing '\'.
bool parse(const std::string& pattern, std::vector<Element>* elements) {
  std::size_t i = 0;
  const std::size_t n = pattern.size();
  while (i < n) {
    Element element;
    char c = pattern[i++];
    if (c == '?') {
      element.kind = Element::any;
    } else if (c == '*') {
      element.kind = Element::star;
    } else if (c == '\\') {
      if (i == n) {
        return false;
      }
      element.c = static_cast<signed char>(pattern[i++]);
    } else if (c == '[') {
      element.kind = Element::set;
      if (i < n && (pattern[i] == '!' || pattern[i] == '^')) {
        element.negated = true;
        ++i;
      }
      if (i < n && pattern[i] == ']') {
        return false;
      }
      while (i < n && pattern[i] != ']') {
        if (pattern[i] == '\\' && ++i == n) {
          return false;
        }
        signed char start = static_cast<signed char>(pattern[i++]);
        signed char end = start;
        if (i < n && pattern[i] == '-') {
          ++i;
          if (i == n || pattern[i] == ']') {
            return false;
          }
          if (pattern[i] == '\\' && ++i == n) {
            return false;
          }
          end = static_cast<signed char>(pattern[i++]);
        }
        element.ranges.emplace_back(std::min(start, end), std::max(start, end));
      }
      if (i == n) {
        return false;
      }
      ++i;
    } else {
      element.c = static_cast<signed char>(c);
    }
    elements->push_back(element);
  }
  return true;
}

bool accepts(const Element& element, signed char c) {
  switch (element.kind) {
    case Element::any:
      return true;
    case Element::literal:
      return element.c == c;
    case Element::set: {
      bool member = false;
      for (const auto& range : element.ranges) {
        member = member || (range.first <= c && c <= range.second);
      }
      return member != element.negated;
    }
    case Element::star:
      break;
  }
  return false;
}

// A run of '*' and '?' that starts with '*': it takes `questions` characters and then any run.
struct Group {
  int stars = 0;
  int questions = 0;
};

// Table of "elements from e match the name from t", filled from the back. A plain glob, with the
// one quirk of the matcher: where an element is reached with the name used up, only a single
// '*' may be left; the question marks of a star run that use the name up do not count.
bool reference_match(const std::vector<Element>& parsed, const std::string& name) {
  std::vector<Element> elements;
  std::vector<Group> groups;  // one per element; stars 0 for a plain element
  for (std::size_t i = 0; i < parsed.size(); ++i) {
    if (parsed[i].kind != Element::star) {
      elements.push_back(parsed[i]);
      groups.push_back(Group{});
      continue;
    }
    Group group;
    for (; i < parsed.size() && (parsed[i].kind == Element::star || parsed[i].kind == Element::any);
         ++i) {
      ++(parsed[i].kind == Element::star ? group.stars : group.questions);
    }
    --i;
    elements.push_back(parsed[i]);
    groups.push_back(group);
  }
  const std::size_t rows = elements.size() + 1;
  const std::size_t columns = name.size() + 1;
  std::vector<char> table(rows * columns, 0);
  auto at = [&](std::size_t e, std::size_t t) -> char& { return table[e * columns + t]; };
  for (std::size_t e = rows; e-- > 0;) {
    for (std::size_t t = columns; t-- > 0;) {
      bool result = false;
      if (e == elements.size()) {
        result = t == name.size();
      } else if (t == name.size()) {
        result = e + 1 == elements.size() && groups[e].stars == 1 && groups[e].questions == 0;
      } else if (groups[e].stars > 0) {
        for (std::size_t k = t + groups[e].questions; k < columns && !result; ++k) {
          result = k == name.size() ? e + 1 == elements.size() : at(e + 1, k);
        }
      } else {
        result = accepts(elements[e], static_cast<signed char>(name[t])) && at(e + 1, t + 1);
      }
      at(e, t) = result;
    }
  }
  return at(0, 0);
}

// An exactly sized terminated copy, so that a read past the terminator is caught.
std::unique_ptr<char[]> terminated(const std::string& text) {
  std::unique_ptr<char[]> copy(new char[text.size() + 1]);
  std::memcpy(copy.get(), text.c_str(), text.size() + 1);
  return copy;
}

int star_runs(const std::string& pattern) {
  int runs = 0;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '*' && (i == 0 || pattern[i - 1] != '*')) {
      ++runs;
    }
  }
  return runs;
}

}  // namespace

// Input: the pattern, a zero byte, the name (up to the next zero byte).
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  const char* split = static_cast<const char*>(std::memchr(text, 0, size));
  std::string pattern(text, split != nullptr ? static_cast<std::size_t>(split - text) : size);
  std::string name;
  if (split != nullptr) {
    const char* rest = split + 1;
    std::size_t left = size - static_cast<std::size_t>(rest - text);
    const char* end = static_cast<const char*>(std::memchr(rest, 0, left));
    name.assign(rest, end != nullptr ? static_cast<std::size_t>(end - rest) : left);
  }
  // Names are at most 255 bytes. The star search tries every split, so many star runs over a
  // long name take time without finding more: keep those names short.
  name.resize(std::min<std::size_t>(name.size(), star_runs(pattern) > 3 ? 16 : 255));

  std::unique_ptr<char[]> p = terminated(pattern);
  std::unique_ptr<char[]> t = terminated(name);
  const bool matched = match_name(p.get(), t.get());

  std::vector<Element> elements;
  if (parse(pattern, &elements) && matched != reference_match(elements, name)) {
    std::abort();
  }
  return 0;
}

// Windows path rules done on strings: the Win32 files reach every file through the absolute
// \\?\ form, so relative names, "." and ".." are resolved here rather than by the system.
#include "platform/win_paths.h"

#include <cwchar>

namespace {

bool is_separator(wchar_t c) {
  return c == L'\\' || c == L'/';
}

bool starts_with(const std::wstring& text, const wchar_t* prefix) {
  return text.compare(0, std::wcslen(prefix), prefix) == 0;
}

}  // namespace

std::size_t root_length(const std::wstring& path) {
  if (path.size() >= 2 && path[1] == L':' &&
      ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z'))) {
    return 2;
  }
  if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) {
    std::size_t server_end = path.find_first_of(L"\\/", 2);
    if (server_end == std::wstring::npos) {
      return path.size();
    }
    std::size_t share_end = path.find_first_of(L"\\/", server_end + 1);
    return share_end == std::wstring::npos ? path.size() : share_end;
  }
  return 0;
}

std::wstring absolute_path(const std::wstring& given, const std::wstring& working) {
  std::wstring path = given;
  if (starts_with(path, L"\\\\?\\UNC\\")) {
    path = L"\\\\" + path.substr(8);
  } else if (starts_with(path, L"\\\\?\\")) {
    path = path.substr(4);
  }
  std::wstring joined;
  std::size_t root = root_length(path);
  if (root == 2 && (path.size() == 2 || !is_separator(path[2]))) {
    // "D:name" is relative to that drive's folder; we know only our own drive's.
    bool same_drive = (working[0] | 0x20) == (path[0] | 0x20) && working[1] == L':';
    joined = (same_drive ? working : path.substr(0, 2)) + L"\\" + path.substr(2);
  } else if (root > 0) {
    joined = path;
  } else if (!path.empty() && is_separator(path[0])) {
    joined = working.substr(0, root_length(working)) + path;
  } else {
    joined = working + L"\\" + path;
  }

  root = root_length(joined);
  std::wstring result = joined.substr(0, root);
  for (wchar_t& c : result) {
    if (c == L'/') {
      c = L'\\';
    }
  }
  std::size_t kept = result.size();
  std::size_t at = root;
  while (at < joined.size()) {
    std::size_t end = joined.find_first_of(L"\\/", at);
    if (end == std::wstring::npos) {
      end = joined.size();
    }
    std::wstring part = joined.substr(at, end - at);
    at = end + 1;
    if (part.empty() || part == L".") {
      continue;
    }
    if (part == L"..") {
      std::size_t cut = result.rfind(L'\\');
      if (result.size() > kept && cut != std::wstring::npos && cut >= kept) {
        result.resize(cut);
      }
      continue;
    }
    result += L"\\" + part;
  }
  if (result.size() == kept) {
    result += L"\\";  // the root itself
  }
  return result;
}

std::wstring device_name(const std::wstring& path) {
  std::size_t start = path.find_last_of(L'\\');
  start = start == std::wstring::npos ? 0 : start + 1;
  std::wstring stem = path.substr(start, path.find(L'.', start) - start);
  while (!stem.empty() && stem.back() == L' ') {
    stem.pop_back();
  }
  for (wchar_t& c : stem) {
    if (c >= L'a' && c <= L'z') {
      c = static_cast<wchar_t>(c - 0x20);
    }
  }
  // The system takes the superscript digits one to three for ports as well.
  const bool port_digit =
      stem.size() == 4 && ((stem[3] >= L'1' && stem[3] <= L'9') || stem[3] == 0xB9 ||
                           stem[3] == 0xB2 || stem[3] == 0xB3);
  bool device = stem == L"NUL" || stem == L"CON" || stem == L"PRN" || stem == L"AUX" ||
                stem == L"CONIN$" || stem == L"CONOUT$" ||
                (port_digit && (starts_with(stem, L"COM") || starts_with(stem, L"LPT")));
  return device ? stem : std::wstring();
}

bool unopenable_name(const std::wstring& name, bool folder) {
  if (name.empty() || name == L"." || name == L"..") {
    return false;
  }
  if (name.back() == L'.' || name.back() == L' ') {
    return true;
  }
  return !folder && !device_name(name).empty();
}

std::wstring long_form(const std::wstring& plain) {
  if (starts_with(plain, L"\\\\")) {
    return L"\\\\?\\UNC\\" + plain.substr(2);
  }
  return L"\\\\?\\" + plain;
}

std::wstring parent_of(const std::wstring& plain) {
  std::size_t cut = plain.find_last_of(L'\\');
  std::size_t root = root_length(plain);
  return cut == std::wstring::npos || cut <= root ? plain.substr(0, root) + L"\\"
                                                  : plain.substr(0, cut);
}

// Windows path rules that need no OS call: absolute paths against a working folder, the long
// form (\\?\) without a length limit, device names. Used by the Win32 files; tested everywhere.
#pragma once

#include <cstddef>
#include <string>

// Length of the root of an absolute path: 2 for "C:", the length of "\\server\share" for a
// network path, 0 when there is none.
std::size_t root_length(const std::wstring& path);

// `given` made absolute against the folder `working` (absolute, as this function returns it),
// with "." and ".." resolved, every '/' turned into '\' and a \\?\ prefix taken off. The result
// has no trailing separator except at a root ("C:\"). The names are otherwise kept as they are
// (trailing dots and blanks too). "D:name" on a drive other than the working folder's is taken
// from that drive's root: the system's folder of another drive is not known here.
std::wstring absolute_path(const std::wstring& given, const std::wstring& working);

// A name that Windows reads as a device wherever it stands (NUL, CON, COM1, ...), ignoring an
// extension and trailing blanks, as the system does for ordinary paths: that device's name in
// capitals, or nothing. Only the last part of `path` counts.
std::wstring device_name(const std::wstring& path);

// True for a name that programs cannot open by the path we would give them: one that ends in a
// dot or a blank (the system drops those from an ordinary path, and so reaches another file), or,
// for a file, a device name as device_name reads it.
bool unopenable_name(const std::wstring& name, bool folder);

// The form of `plain` (absolute) that the file functions take at any length. A name such as
// "nul.txt" is a file here like any other, as it is for the listing that found it.
std::wstring long_form(const std::wstring& plain);

// The folder part of the absolute path `plain` (as absolute_path returns it); a root for a name
// at the root.
std::wstring parent_of(const std::wstring& plain);

// Tests of the Windows path rules on strings: absolute paths, device names, the long form.
#include "platform/win_paths.h"

#include <gtest/gtest.h>

#include <tuple>

#include "platform/wide_text.h"

namespace {

struct Resolved {
  const wchar_t* given;
  const wchar_t* working;
  const wchar_t* absolute;
};

const wchar_t* const HERE = L"C:\\work\\here";
const wchar_t* const SHARE = L"\\\\srv\\share\\w";

const Resolved RESOLVED[] = {
    {L"a.txt", HERE, L"C:\\work\\here\\a.txt"},
    {L"", HERE, L"C:\\work\\here"},
    {L".\\sub\\..\\A.TXT", HERE, L"C:\\work\\here\\A.TXT"},
    {L"sub/x/", HERE, L"C:\\work\\here\\sub\\x"},
    {L"..\\..\\..\\..\\b", HERE, L"C:\\b"},
    {L"name. ", HERE, L"C:\\work\\here\\name. "},
    {L"a", L"C:\\", L"C:\\a"},
    {L"\\top", HERE, L"C:\\top"},
    {L"\\top", SHARE, L"\\\\srv\\share\\top"},
    {L"a", SHARE, L"\\\\srv\\share\\w\\a"},
    {L"c:rel", HERE, L"C:\\work\\here\\rel"},  // the working folder's drive
    {L"D:rel", HERE, L"D:\\rel"},              // another drive: its root
    {L"D:", HERE, L"D:\\"},
    {L"D:\\x\\.\\y\\..", HERE, L"D:\\x"},
    {L"\\\\?\\D:\\x", HERE, L"D:\\x"},
    {L"\\\\?\\UNC\\srv\\share\\x", HERE, L"\\\\srv\\share\\x"},
    {L"//srv/share/x/../y", HERE, L"\\\\srv\\share\\y"},
    {L"\\\\srv\\share\\..\\..", HERE, L"\\\\srv\\share\\"},
};

TEST(WinPaths, ResolvesAgainstTheWorkingFolder) {
  for (const Resolved& c : RESOLVED) {
    EXPECT_EQ(absolute_path(c.given, c.working), c.absolute)
        << narrow(c.given) << " in " << narrow(c.working);
  }
}

struct Device {
  const wchar_t* path;
  const wchar_t* device;
};

const Device DEVICES[] = {
    {L"C:\\w\\NUL", L"NUL"},   {L"C:\\w\\nul.txt", L"NUL"},   {L"C:\\w\\Com1 .log", L"COM1"},
    {L"C:\\w\\lpt9", L"LPT9"}, {L"C:\\w\\conin$", L"CONIN$"}, {L"C:\\w\\aux.a.b", L"AUX"},
    {L"C:\\w\\COM0", L""},     {L"C:\\w\\COM10", L""},        {L"C:\\w\\nulx", L""},
    {L"C:\\w\\x.nul", L""},    {L"C:\\nul\\a.txt", L""},
};

TEST(WinPaths, KnowsDeviceNamesByTheLastPart) {
  for (const Device& c : DEVICES) {
    EXPECT_EQ(device_name(c.path), c.device) << narrow(c.path);
  }
}

TEST(WinPaths, KnowsNamesThatCommandsCannotOpen) {
  const std::tuple<const wchar_t*, bool, bool> cases[] = {
      // name, a folder, unopenable
      {L"trail.", false, true},  {L"blank ", true, true},     {L"aux.txt", false, true},
      {L"aux.txt", true, false}, {L"COM\u00B9", false, true}, {L"..", true, false}};
  for (const auto& [name, folder, unopenable] : cases) {
    EXPECT_EQ(unopenable_name(name, folder), unopenable) << narrow(name) << folder;
  }
}

struct Forms {
  const wchar_t* plain;
  const wchar_t* long_form;
  const wchar_t* parent;
};

const Forms FORMS[] = {
    {L"C:\\a\\b", L"\\\\?\\C:\\a\\b", L"C:\\a"},
    {L"C:\\a", L"\\\\?\\C:\\a", L"C:\\"},
    {L"C:\\", L"\\\\?\\C:\\", L"C:\\"},
    {L"\\\\srv\\share\\a", L"\\\\?\\UNC\\srv\\share\\a", L"\\\\srv\\share\\"},
};

TEST(WinPaths, GivesLongFormAndParent) {
  for (const Forms& c : FORMS) {
    EXPECT_EQ(long_form(c.plain), c.long_form) << narrow(c.plain);
    EXPECT_EQ(parent_of(c.plain), c.parent) << narrow(c.plain);
  }
}

}  // namespace

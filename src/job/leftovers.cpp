// Removing the temporary files of runs that ended without finishing their writes.
#include "job/leftovers.h"

#include <cstring>

#include "job/process_job.h"
#include "platform/platform.h"

namespace {

// Reads the decimal number at `*at` up to `end`, moving `*at` past it. False for no digits or a
// number beyond 32 bits.
bool take_number(const char** at, const char* end, std::uint32_t* number) {
  std::uint64_t value = 0;
  const char* start = *at;
  for (; *at < end && **at >= '0' && **at <= '9'; ++*at) {
    value = value * 10 + static_cast<std::uint64_t>(**at - '0');
    if (value > 0xffffffffu) {
      return false;
    }
  }
  *number = static_cast<std::uint32_t>(value);
  return *at > start;
}

}  // namespace

bool temporary_owner(const std::string& name, std::uint32_t* process) {
  const std::size_t prefix = std::strlen(TEMPORARY_PREFIX);
  const char* const suffix = ".tmp";
  if (name.size() <= prefix + 4 || name.compare(0, prefix, TEMPORARY_PREFIX) != 0 ||
      name.compare(name.size() - 4, 4, suffix) != 0) {
    return false;
  }
  const char* at = name.c_str() + prefix;
  const char* const end = name.c_str() + name.size() - 4;
  std::uint32_t counter = 0;
  if (!take_number(&at, end, process) || at == end || *at++ != '-') {
    return false;
  }
  return take_number(&at, end, &counter) && at == end;
}

void remove_dead_temporaries(const std::string& folder) {
  Folder opened;
  if (open_write_folder(folder.empty() ? "." : folder, &opened) != FileResult::done) {
    return;
  }
  FolderListing listing;
  list_entries(opened, &listing);
  const std::uint32_t own = process_number();
  for (std::size_t i = 0; i < listing.size(); ++i) {
    std::uint32_t process = 0;
    if (temporary_owner(listing.name(i), &process) && process != own && !process_alive(process)) {
      delete_file(opened, listing.name(i));
    }
  }
  close_folder(&opened);
}

// Removing the temporary files of runs that ended without finishing their writes.
#include "job/leftovers.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "job/process_job.h"
#include "platform/platform.h"

namespace {

// Reads the number at `*at` up to `end` in `base` (10 or 16), moving `*at` past it. False for no
// digits or a number beyond `limit`.
bool take_number(const char** at, const char* end, int base, std::uint64_t limit,
                 std::uint64_t* number) {
  std::uint64_t value = 0;
  const char* start = *at;
  for (; *at < end; ++*at) {
    const char c = **at;
    int digit = c >= '0' && c <= '9'                 ? c - '0'
                : base == 16 && c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                     : -1;
    if (digit < 0) {
      break;
    }
    if (value > (limit - static_cast<std::uint64_t>(digit)) / static_cast<std::uint64_t>(base)) {
      return false;
    }
    value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
  }
  *number = value;
  return *at > start;
}

}  // namespace

std::string temporary_name(std::uint32_t process, std::uint64_t start) {
  std::uint64_t secret = 0;
  if (!random_bytes(&secret, sizeof secret)) {
    // No random source: the clock and an address still differ between tries and runs.
    secret = static_cast<std::uint64_t>(monotonic_ms()) * 6364136223846793005ull ^
             reinterpret_cast<std::uintptr_t>(&secret);
  }
  char name[96];
  std::snprintf(name, sizeof name, "%s%" PRIu32 "-%" PRIx64 "-%016" PRIx64 ".tmp", TEMPORARY_PREFIX,
                process, start, secret);
  return name;
}

bool temporary_owner(const std::string& name, TemporaryOwner* owner) {
  const std::size_t prefix = std::strlen(TEMPORARY_PREFIX);
  const char* const suffix = ".tmp";
  if (name.size() <= prefix + 4 || name.compare(0, prefix, TEMPORARY_PREFIX) != 0 ||
      name.compare(name.size() - 4, 4, suffix) != 0) {
    return false;
  }
  const char* at = name.c_str() + prefix;
  const char* const end = name.c_str() + name.size() - 4;
  std::uint64_t process = 0;
  std::uint64_t second = 0;
  if (!take_number(&at, end, 10, 0xffffffffu, &process) || at == end || *at++ != '-') {
    return false;
  }
  *owner = TemporaryOwner();
  owner->process = static_cast<std::uint32_t>(process);
  const char* const second_at = at;
  if (take_number(&at, end, 10, 0xffffffffu, &second) && at == end) {
    return true;  // an earlier version's name: process and counter
  }
  at = second_at;
  std::uint64_t secret = 0;
  owner->named_by_start = true;
  return take_number(&at, end, 16, UINT64_MAX, &owner->start) && at < end && *at++ == '-' &&
         end - at == 16 && take_number(&at, end, 16, UINT64_MAX, &secret) && at == end;
}

bool leftover_of_ended_run(const TemporaryOwner& owner, std::uint32_t process, std::uint64_t start,
                           bool alive, std::uint64_t running_start) {
  if (owner.process == process) {
    // Our process number: this run's own file, or one of an ended run whose number we now have.
    return !owner.named_by_start || owner.start != start;
  }
  return !alive || (owner.named_by_start && running_start != 0 && running_start != owner.start);
}

void remove_dead_temporaries(const std::string& folder) {
  Folder opened;
  if (open_write_folder(folder.empty() ? "." : folder, &opened) != FileResult::done) {
    return;
  }
  FolderListing listing;
  list_entries(opened, &listing);
  const std::uint32_t own = process_number();
  const std::uint64_t own_start = process_start(own);
  for (std::size_t i = 0; i < listing.size(); ++i) {
    TemporaryOwner owner;
    if (!temporary_owner(listing.name(i), &owner)) {
      continue;
    }
    const bool other = owner.process != own;
    const bool alive = other && process_alive(owner.process);
    if (leftover_of_ended_run(owner, own, own_start, alive,
                              alive ? process_start(owner.process) : 0)) {
      delete_file(opened, listing.name(i));
    }
  }
  close_folder(&opened);
}

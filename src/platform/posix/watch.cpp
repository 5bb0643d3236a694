// POSIX change watch: inotify, one watch per folder, without the changes we make ourselves.
#include "platform/watch.h"

#include <errno.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <iterator>
#include <map>
#include <set>

#include "platform/posix/shared_state.h"

int watch_fd = -1;

namespace {

// The folder of each watch, and the names we wrote ourselves in watched folders.
std::map<int, std::pair<std::uint64_t, std::uint64_t>> watched_folders;
std::set<NamedEntry> own_writes;

// What a watched folder reports: a file closed after writing, moved in or created, and a
// folder made or moved in.
constexpr std::uint32_t WATCHED_CHANGES = IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE;

// Changes read from the watch but not yet taken by read_changes.
std::vector<FolderChange> pending_changes;

std::string watch_failure(int error) {
  if (error == ENOSPC) {
    return "the limit of inotify watches is reached, see fs.inotify.max_user_watches";
  }
  if (error == EMFILE) {
    return "the limit of inotify instances is reached, see fs.inotify.max_user_instances";
  }
  return std::strerror(error);
}

}  // namespace

bool entry_in(const std::string& folder, const std::string& name, NamedEntry* entry) {
  struct stat info;
  if (stat(folder.empty() ? "." : folder.c_str(), &info) != 0) {
    return false;
  }
  *entry = NamedEntry{static_cast<std::uint64_t>(info.st_dev),
                      static_cast<std::uint64_t>(info.st_ino), name};
  return true;
}

void take_events(const NamedEntry* probe) {
  if (watch_fd < 0) {
    return;
  }
  bool probe_seen = probe == nullptr;
  alignas(struct inotify_event) char buffer[16 * 1024];
  for (;;) {
    ssize_t got = read(watch_fd, buffer, sizeof buffer);
    if (got <= 0) {
      return;
    }
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
      FolderChange change;
      change.overflow = (event->mask & IN_Q_OVERFLOW) != 0;
      if ((event->mask & IN_IGNORED) != 0) {
        watched_folders.erase(event->wd);  // the watch ended with its folder: nothing to keep
        continue;
      }
      if (!change.overflow && (event->mask & WATCHED_CHANGES) == 0) {
        continue;
      }
      if (event->len > 0) {
        change.name = event->name;
      }
      auto folder = watched_folders.find(event->wd);
      if (!change.overflow && folder != watched_folders.end()) {
        NamedEntry entry{folder->second.first, folder->second.second, change.name};
        if (!probe_seen && (event->mask & IN_CLOSE_WRITE) != 0 && entry == *probe) {
          probe_seen = true;
          continue;
        }
        if (own_writes.count(entry) != 0) {
          continue;
        }
      }
      change.is_folder = (event->mask & IN_ISDIR) != 0;
      pending_changes.push_back(std::move(change));
    }
  }
}

void note_own_write(const std::string& path) {
  std::size_t slash = path.rfind('/');
  NamedEntry entry;
  if (watch_fd >= 0 && entry_in(slash == std::string::npos ? "" : path.substr(0, slash + 1),
                                path.substr(slash == std::string::npos ? 0 : slash + 1), &entry)) {
    // Bounded: a name forgotten costs at most one early pass.
    if (own_writes.size() >= 4096) {
      own_writes.clear();
    }
    own_writes.insert(entry);
  }
}

bool start_watching(bool, std::string* reason) {
  if (watch_fd < 0) {
    watch_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch_fd < 0) {
      *reason = watch_failure(errno);
      return false;
    }
  }
  return watch_working_folder(reason);
}

bool watch_working_folder(std::string* reason) {
  if (watch_fd < 0) {
    return true;
  }
  // A folder watched already keeps its watch; one that goes loses it with it.
  int watch = inotify_add_watch(watch_fd, ".", WATCHED_CHANGES | IN_ONLYDIR);
  if (watch < 0) {
    *reason = watch_failure(errno);
    return false;
  }
  struct stat info;
  if (stat(".", &info) == 0) {
    watched_folders[watch] = {static_cast<std::uint64_t>(info.st_dev),
                              static_cast<std::uint64_t>(info.st_ino)};
  }
  return true;
}

void read_changes(std::vector<FolderChange>* changes) {
  take_events(nullptr);
  changes->insert(changes->end(), std::make_move_iterator(pending_changes.begin()),
                  std::make_move_iterator(pending_changes.end()));
  pending_changes.clear();
}

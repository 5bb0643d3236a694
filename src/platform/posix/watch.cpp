// POSIX change watch: inotify, one watch per folder, without the changes we make ourselves.
#include "platform/watch.h"

#include <errno.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <tuple>

#include "platform/posix/shared_state.h"

namespace {

// A name in a folder, the folder known by its device and inode.
using NamedEntry = std::tuple<std::uint64_t, std::uint64_t, std::string>;

// A watched folder: its device and inode, the last walk that entered it, and its path from the
// source folder when it was watched.
struct WatchedFolder {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t walk = 0;
  std::string relative;
};

// The watch on the parent of the source folder, for its name: a source folder made anew (or
// moved in) is seen there. Its removal is not: a folder we stand in reports no removal.
struct ReturnWatch {
  int watch = -1;
  std::string parent;  // the parent folder's path
  std::string name;    // the source folder's name in it
};

// Everything the change watch holds.
struct WatchState {
  int watch_fd = -1;  // the inotify descriptor; -1 while nothing is watched
  // The folder of each watch, and the names we wrote ourselves in watched folders.
  std::map<int, WatchedFolder> watched_folders;
  std::map<std::pair<std::uint64_t, std::uint64_t>, int> watch_of_folder;  // by device and inode
  std::set<NamedEntry> own_writes;
  std::set<NamedEntry> own_arrivals;  // each left out once, at its IN_MOVED_TO
  std::string source_path;            // the absolute path of the source folder
  ReturnWatch return_watch;
  std::uint64_t current_walk = 0;  // the walk under way, counted by drop_unwalked_watches
  // Most watches held: half of what the user may hold in all, so that other programs of the user
  // (and a dropper's thousands of folders) never leave them without.
  std::size_t watch_budget = 0;
  // Changes read from the watch but not yet taken by read_changes.
  std::vector<FolderChange> pending_changes;
};

WatchState state;

// Forgets the watch `at` of the watched folders; returns the next one.
std::map<int, WatchedFolder>::iterator forget_watch(std::map<int, WatchedFolder>::iterator at) {
  auto folder = state.watch_of_folder.find({at->second.device, at->second.inode});
  if (folder != state.watch_of_folder.end() && folder->second == at->first) {
    state.watch_of_folder.erase(folder);
  }
  return state.watched_folders.erase(at);
}

// The number in the small system file `path`; 0 when it cannot be read.
std::uint64_t number_in(const char* path) {
  std::FILE* file = std::fopen(path, "re");
  unsigned long long value = 0;
  if (file != nullptr) {
    if (std::fscanf(file, "%llu", &value) != 1) {
      value = 0;
    }
    std::fclose(file);
  }
  return value;
}

// Half of the smaller of the two limits on a user's watches, where the system tells them.
std::size_t half_of_watch_limit() {
  std::uint64_t limit = number_in("/proc/sys/fs/inotify/max_user_watches");
  std::uint64_t in_namespace = number_in("/proc/sys/user/max_inotify_watches");
  if (in_namespace != 0 && (limit == 0 || in_namespace < limit)) {
    limit = in_namespace;
  }
  return limit == 0 ? static_cast<std::size_t>(-1) : static_cast<std::size_t>(limit / 2);
}

// What a watched folder reports: a file closed after writing, moved in or created, and a
// folder made or moved in.
constexpr std::uint32_t WATCHED_CHANGES = IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE;

std::string watch_failure(int error) {
  if (error == ENOSPC) {
    return "the limit of inotify watches is reached, see fs.inotify.max_user_watches";
  }
  if (error == EMFILE) {
    return "the limit of inotify instances is reached, see fs.inotify.max_user_instances";
  }
  return std::strerror(error);
}

// `name` in `folder` ("" for the working folder, else ending in '/'). False when the folder cannot
// be examined.
bool entry_in(const std::string& folder, const std::string& name, NamedEntry* entry) {
  struct stat info;
  if (stat(folder.empty() ? "." : folder.c_str(), &info) != 0) {
    return false;
  }
  *entry = NamedEntry{static_cast<std::uint64_t>(info.st_dev),
                      static_cast<std::uint64_t>(info.st_ino), name};
  return true;
}

// `name` in the open `folder`. False when the folder cannot be examined.
bool entry_in(const Folder& folder, const std::string& name, NamedEntry* entry) {
  struct stat info;
  if (fstatat(descriptor_of(folder), ".", &info, 0) != 0) {
    return false;
  }
  *entry = NamedEntry{static_cast<std::uint64_t>(info.st_dev),
                      static_cast<std::uint64_t>(info.st_ino), name};
  return true;
}

// Watches the parent of the source folder `path` for its name, unless that is watched already.
void arm_return_watch(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (state.watch_fd < 0 || state.return_watch.watch >= 0 || slash == std::string::npos ||
      slash + 1 == path.size()) {
    return;
  }
  ReturnWatch parent{-1, slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
  parent.watch = inotify_add_watch(state.watch_fd, parent.parent.c_str(),
                                   IN_CREATE | IN_MOVED_TO | IN_ONLYDIR);
  if (parent.watch >= 0) {
    state.return_watch = parent;  // else the parent is gone too, or closed to us: the regular pass
  }
}

// Ends the watches of the folder at `relative` from the source folder and of those below it.
void drop_watches_under(const std::string& relative) {
  for (auto at = state.watched_folders.begin(); at != state.watched_folders.end();) {
    const std::string& path = at->second.relative;
    if (path.compare(0, relative.size(), relative) == 0 &&
        (path.size() == relative.size() || path[relative.size()] == '/')) {
      inotify_rm_watch(state.watch_fd, at->first);
      at = forget_watch(at);
    } else {
      ++at;
    }
  }
}

// Reads every change that has arrived, leaving out what we wrote ourselves and, when `probe` is
// given, the one close of our own readiness probe of that file.
void take_events(const NamedEntry* probe) {
  if (state.watch_fd < 0) {
    return;
  }
  bool probe_seen = probe == nullptr;
  alignas(struct inotify_event) char buffer[16 * 1024];
  for (;;) {
    ssize_t got = read(state.watch_fd, buffer, sizeof buffer);
    if (got <= 0) {
      return;
    }
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
      FolderChange change;
      change.overflow = (event->mask & IN_Q_OVERFLOW) != 0;
      if ((event->mask & IN_IGNORED) != 0) {
        auto ended = state.watched_folders.find(event->wd);  // the watch ended with its folder
        if (ended != state.watched_folders.end()) {
          forget_watch(ended);
        } else if (event->wd == state.return_watch.watch) {
          state.return_watch = ReturnWatch{};
        }
        continue;
      }
      if (event->wd == state.return_watch.watch && state.return_watch.watch >= 0) {
        if ((event->mask & IN_ISDIR) != 0 && event->len > 0 &&
            state.return_watch.name == event->name) {
          FolderChange back;
          back.returned = true;
          state.pending_changes.push_back(back);
        }
        continue;
      }
      auto from = state.watched_folders.find(event->wd);
      if ((event->mask & IN_MOVED_FROM) != 0) {
        // A folder moved away takes its watches along: given back, since a look at where it went
        // (within the tree) watches it anew, and outside it nothing may.
        if ((event->mask & IN_ISDIR) != 0 && event->len > 0 &&
            from != state.watched_folders.end()) {
          drop_watches_under(from->second.relative.empty()
                                 ? std::string(event->name)
                                 : from->second.relative + "/" + event->name);
        }
        continue;
      }
      if (!change.overflow && (event->mask & WATCHED_CHANGES) == 0) {
        continue;
      }
      if (event->len > 0) {
        change.name = event->name;
      }
      auto folder = state.watched_folders.find(event->wd);
      if (!change.overflow && folder != state.watched_folders.end()) {
        change.folder = folder->second.relative;
        NamedEntry entry{folder->second.device, folder->second.inode, change.name};
        if (!probe_seen && (event->mask & IN_CLOSE_WRITE) != 0 && entry == *probe) {
          probe_seen = true;
          continue;
        }
        if (state.own_writes.count(entry) != 0) {
          continue;
        }
        if ((event->mask & IN_MOVED_TO) != 0 && state.own_arrivals.erase(entry) != 0) {
          continue;
        }
      }
      change.is_folder = (event->mask & IN_ISDIR) != 0;
      state.pending_changes.push_back(std::move(change));
    }
  }
}

}  // namespace

int watch_descriptor() {
  return state.watch_fd;
}

void note_own_write(const std::string& path) {
  std::size_t slash = path.rfind('/');
  NamedEntry entry;
  if (state.watch_fd >= 0 &&
      entry_in(slash == std::string::npos ? "" : path.substr(0, slash + 1),
               path.substr(slash == std::string::npos ? 0 : slash + 1), &entry)) {
    // Bounded: a name forgotten costs at most one early pass.
    if (state.own_writes.size() >= 4096) {
      state.own_writes.clear();
    }
    state.own_writes.insert(entry);
  }
}

void note_own_arrival(const std::string& path) {
  std::size_t slash = path.rfind('/');
  NamedEntry entry;
  if (state.watch_fd >= 0 && slash != std::string::npos &&
      entry_in(path.substr(0, slash + 1), path.substr(slash + 1), &entry)) {
    // Bounded: a put-back that failed leaves its note behind, which costs one arrival its wake.
    if (state.own_arrivals.size() >= 4096) {
      state.own_arrivals.clear();
    }
    state.own_arrivals.insert(entry);
  }
}

bool start_watching(bool, std::string* reason) {
  if (state.watch_budget == 0) {
    state.watch_budget = half_of_watch_limit();
  }
  if (state.watch_fd < 0) {
    state.watch_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (state.watch_fd < 0) {
      *reason = watch_failure(errno);
      return false;
    }
  }
  char* here = getcwd(nullptr, 0);
  state.source_path = here != nullptr ? here : "";
  std::free(here);
  arm_return_watch(state.source_path);
  return watch_folder(Folder{}, "", reason);
}

void watch_for_return(const std::string& path) {
  arm_return_watch(path);
}

bool watch_folder(const Folder& open, const std::string& relative, std::string* reason) {
  if (state.watch_fd < 0) {
    return true;
  }
  struct stat info;
  if (fstatat(descriptor_of(open), ".", &info, 0) != 0) {
    *reason = std::strerror(errno);
    return false;
  }
  const std::uint64_t device = static_cast<std::uint64_t>(info.st_dev);
  const std::uint64_t inode = static_cast<std::uint64_t>(info.st_ino);
  // A folder watched already keeps its watch; one that goes loses it with it.
  auto known = state.watch_of_folder.find({device, inode});
  if (known != state.watch_of_folder.end()) {
    WatchedFolder& folder = state.watched_folders[known->second];
    folder.walk = state.current_walk;
    folder.relative = relative;  // a folder moved within the tree is named as now
    return true;
  }
  if (state.watched_folders.size() >= state.watch_budget) {
    *reason = "half of the inotify watches allowed are in use, see fs.inotify.max_user_watches";
    return false;
  }
  // By the folder's descriptor, which leads to the folder that was opened whatever its path is now.
  const std::string path = open.handles.empty()
                               ? std::string(".")
                               : "/proc/self/fd/" + std::to_string(descriptor_of(open));
  const std::uint32_t mask = WATCHED_CHANGES | IN_MOVED_FROM | IN_ONLYDIR;
  int watch = inotify_add_watch(state.watch_fd, path.c_str(), mask);
  if (watch < 0 && errno == ENOENT && !open.path.empty()) {
    watch = inotify_add_watch(state.watch_fd, open.path.c_str(), mask);  // no /proc mounted
  }
  if (watch < 0) {
    *reason = watch_failure(errno);
    return false;
  }
  state.watched_folders[watch] = WatchedFolder{device, inode, state.current_walk, relative};
  state.watch_of_folder[{device, inode}] = watch;
  return true;
}

void drop_unwalked_watches() {
  for (auto at = state.watched_folders.begin(); at != state.watched_folders.end();) {
    if (at->second.walk != state.current_walk) {
      inotify_rm_watch(state.watch_fd, at->first);
      at = forget_watch(at);
    } else {
      ++at;
    }
  }
  ++state.current_walk;
}

void before_own_probe() {
  take_events(nullptr);
}

void after_own_probe(const Folder& folder, const std::string& name, bool wrote) {
  NamedEntry entry;
  if (wrote && state.watch_fd >= 0 && entry_in(folder, name, &entry)) {
    take_events(&entry);
  }
}

void read_changes(std::vector<FolderChange>* changes) {
  take_events(nullptr);
  changes->insert(changes->end(), std::make_move_iterator(state.pending_changes.begin()),
                  std::make_move_iterator(state.pending_changes.end()));
  state.pending_changes.clear();
}

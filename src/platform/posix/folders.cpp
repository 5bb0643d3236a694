// POSIX folders: open folders by descriptor, so that no link is followed on the way into a walked
// folder and no path length limits a walk.
#include "platform/folders.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#ifdef __linux__
#include <sys/vfs.h>
#endif
#include <unistd.h>

#include "platform/files.h"
#include "platform/posix/shared_state.h"

const char PATH_SEPARATOR = '/';

namespace {

EntryHint hint_of(unsigned char type) {
  switch (type) {
    case DT_REG:
      return EntryHint::file;
    case DT_DIR:
      return EntryHint::folder;
    case DT_LNK:
      return EntryHint::link;
    default:
      return EntryHint::unknown;
  }
}

}  // namespace

bool list_entries(const Folder& folder, FolderListing* listing) {
  if (folder.handles.empty()) {
    return false;
  }
  // A folder the walk opened is read from its start through its own descriptor; one opened only
  // to act in (O_PATH) through a descriptor opened for the listing.
  int fd = descriptor_of(folder);
  int own = -1;
  if (lseek(fd, 0, SEEK_SET) != 0) {
    own = openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (own < 0) {
      return false;
    }
    fd = own;
  }
  bool ok = true;
#ifdef __linux__
  // Read straight from the kernel in large blocks: no status query of the folder, few calls.
  alignas(dirent64) char buffer[64 * 1024];
  for (;;) {
    ssize_t got = getdents64(fd, buffer, sizeof buffer);
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    for (ssize_t at = 0; at < got;) {
      const dirent64* entry = reinterpret_cast<const dirent64*>(buffer + at);
      listing->add(entry->d_name, hint_of(entry->d_type));
      at += entry->d_reclen;
    }
  }
  if (own >= 0) {
    close(own);
  }
#else
  // The stream takes a descriptor of its own, so that the folder stays open after it.
  const int copy = dup(fd);
  DIR* stream = copy < 0 ? nullptr : fdopendir(copy);
  if (stream == nullptr) {
    if (copy >= 0) {
      close(copy);
    }
    return false;
  }
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(stream);
    if (entry == nullptr) {
      ok = (errno == 0);
      break;
    }
    listing->add(entry->d_name, hint_of(entry->d_type));
  }
  closedir(stream);
  if (own >= 0) {
    close(own);
  }
#endif
  return ok;
}

bool get_working_folder(std::string* folder) {
  std::vector<char> buffer(4096);
  for (;;) {
    if (getcwd(buffer.data(), buffer.size()) != nullptr) {
      folder->assign(buffer.data());
      return true;
    }
    if (errno != ERANGE || buffer.size() > (1u << 24)) {
      return false;
    }
    buffer.resize(buffer.size() * 2);
  }
}

bool change_working_folder(const std::string& folder) {
  return chdir(folder.c_str()) == 0;
}

bool open_folder(const std::string& path, Folder* opened) {
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  opened->handles.assign(1, fd);
  opened->path = path;
  return true;
}

EnterResult open_sub_folder(const Folder& parent, const std::string& name, Folder* opened) {
  // O_NOFOLLOW makes the open fail on a symbolic link, and what is done in the folder afterwards
  // goes through this descriptor: the check and the use cannot be separated by another program
  // swapping the folder for a link.
  const int fd =
      openat(descriptor_of(parent), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    return errno == EMFILE || errno == ENFILE ? EnterResult::no_handles : EnterResult::refused;
  }
  opened->handles.assign(1, fd);
  opened->path = path_in(parent, name);
  return EnterResult::entered;
}

void close_folder(Folder* folder) {
  for (std::intptr_t handle : folder->handles) {
    close(static_cast<int>(handle));
  }
  folder->handles.clear();
}

std::string path_in(const Folder& folder, const std::string& path) {
  if (folder.path.empty() || is_absolute_path(path)) {
    return path;
  }
  return path.empty() ? folder.path : folder.path + PATH_SEPARATOR + path;
}

bool is_absolute_path(const std::string& path) {
  return !path.empty() && path[0] == '/';
}

bool on_network_file_system(const std::string& path) {
#ifdef __linux__
  // The kernel's magic numbers of the network and FUSE file systems.
  static const std::uint32_t NETWORK_TYPES[] = {
      0x6969,      // NFS
      0x517B,      // SMB
      0xFE534D42,  // SMB2
      0xFF534D42,  // CIFS
      0x65735546,  // FUSE: sshfs, rclone, s3fs and the like
      0x73757245,  // Coda
      0x5346414F,  // AFS
      0x6B414653,  // kAFS
      0x01021997,  // 9P
      0x00C36400,  // Ceph
      0x564C,      // NCP
      0x7461636F,  // OCFS2
      0x01161970,  // GFS2
      0x0BD00BD0,  // Lustre
      0x47504653,  // GPFS
  };
  struct statfs info;
  if (statfs(path.c_str(), &info) != 0) {
    return false;
  }
  const auto type = static_cast<std::uint32_t>(info.f_type);
  for (std::uint32_t network : NETWORK_TYPES) {
    if (type == network) {
      return true;
    }
  }
#else
  (void)path;
#endif
  return false;
}

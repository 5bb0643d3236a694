// POSIX file status: what a path or an entry is, the identity of a file, whether a link may be
// followed, and who may write where.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <unistd.h>

#include "platform/files.h"
#include "platform/posix/files_internal.h"

namespace {

// fstatat with the file's birth time, which `birth` receives where the system gives it (statx),
// else 0.
int status_at(int at, const char* path, int flags, struct stat* info, std::int64_t* birth) {
  *birth = 0;
#if defined(__linux__) && defined(STATX_BTIME)
  struct statx extended;
  if (statx(at, path, flags, STATX_BASIC_STATS | STATX_BTIME, &extended) == 0) {
    *info = {};
    info->st_mode = extended.stx_mode;
    info->st_uid = extended.stx_uid;
    info->st_gid = extended.stx_gid;
    info->st_size = static_cast<off_t>(extended.stx_size);
    info->st_blocks = static_cast<blkcnt_t>(extended.stx_blocks);
    info->st_dev = makedev(extended.stx_dev_major, extended.stx_dev_minor);
    info->st_ino = extended.stx_ino;
    info->st_mtim.tv_sec = extended.stx_mtime.tv_sec;
    info->st_mtim.tv_nsec = extended.stx_mtime.tv_nsec;
    if ((extended.stx_mask & STATX_BTIME) != 0) {
      *birth = static_cast<std::int64_t>(extended.stx_btime.tv_sec) * 1000000000 +
               extended.stx_btime.tv_nsec;
    }
    return 0;
  }
  // Older kernels, and sandboxes that refuse the call: the plain query.
  if (errno != ENOSYS && errno != EPERM) {
    return -1;
  }
#endif
  return fstatat(at, path, info, flags);
}

// The identity of the file whose status is `info`.
FileId id_of(const struct stat& info, std::int64_t birth) {
  FileId id;
  id.device = static_cast<std::uint64_t>(info.st_dev);
  id.index = static_cast<std::uint64_t>(info.st_ino);
  id.kind = static_cast<std::uint32_t>(info.st_mode & S_IFMT);
  id.birth = birth;
  return id;
}

}  // namespace

bool status_of(int fd, struct stat* info, FileId* id) {
  std::int64_t birth = 0;
  if (status_at(fd, "", AT_EMPTY_PATH, info, &birth) != 0) {
    return false;
  }
  *id = id_of(*info, birth);
  return true;
}

bool query_status(const Folder& at, const std::string& path, PathStatus* status) {
  struct stat info;
  std::int64_t birth = 0;
  if (status_at(descriptor_of(at), path.c_str(), AT_SYMLINK_NOFOLLOW, &info, &birth) != 0) {
    return false;
  }
  status->is_link = S_ISLNK(info.st_mode);
  uid_t link_owner = info.st_uid;
  if (status->is_link && status_at(descriptor_of(at), path.c_str(), 0, &info, &birth) != 0) {
    return false;
  }
  status->is_folder = S_ISDIR(info.st_mode);
  status->is_regular = S_ISREG(info.st_mode);
  status->link_trusted = status->is_link && link_is_trusted(link_owner, info.st_uid);
  status->size = status->is_folder ? 0 : static_cast<std::uint64_t>(info.st_size);
  status->id = id_of(info, birth);
  status->permissions = static_cast<std::uint32_t>(info.st_mode & 07777);
  status->owner = static_cast<std::int64_t>(info.st_uid);
  status->modified =
      static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  return true;
}

bool query_entry(const Folder& folder, const std::string& name, PathStatus* status) {
  struct stat info;
  if (fstatat(descriptor_of(folder), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    return false;
  }
  *status = PathStatus{};
  status->is_link = S_ISLNK(info.st_mode);
  status->is_folder = S_ISDIR(info.st_mode);
  status->is_regular = S_ISREG(info.st_mode);
  status->size = static_cast<std::uint64_t>(info.st_size);
  status->id = id_of(info, 0);
  status->owner = static_cast<std::int64_t>(info.st_uid);
  status->modified =
      static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  return true;
}

bool owner_may_vouch(std::int64_t owner, std::int64_t file_owner) {
  return owner < 0 || owner == file_owner || owner == static_cast<std::int64_t>(geteuid()) ||
         owner == 0;
}

bool may_write(const std::string& path) {
  return faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
}

bool is_private_folder(const std::string& path) {
  struct stat info;
  return !path.empty() && lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
         info.st_uid == geteuid() && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool name_unopenable(const std::string&, bool) {
  return false;
}

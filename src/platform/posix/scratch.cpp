// POSIX scratch files for the output of commands, and the position, size and runs of data of
// open files, which printing that output and copying files need.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/files.h"
#include "platform/posix/files_internal.h"
#include "platform/primitives.h"

bool create_scratch_file(FileHandle* file) {
  const char* folder = getenv("TMPDIR");
  if (folder == nullptr || folder[0] == '\0') {
    folder = "/tmp";
  }
  int fd = -1;
#ifdef O_TMPFILE
  fd = open(folder, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
#endif
  if (fd < 0) {
    std::string path = std::string(folder) + "/hotbatch-XXXXXX";
    fd = mkostemp(&path[0], O_CLOEXEC);
    if (fd < 0) {
      return false;
    }
    unlink(path.c_str());
  }
  file->value = fd;
  return true;
}

bool rewind_file(FileHandle file) {
  return lseek(fd_of(file), 0, SEEK_SET) == 0;
}

FileHandle standard_output_file() {
  FileHandle out;
  out.value = STDOUT_FILENO;
  return out;
}

bool next_data(FileHandle file, std::uint64_t from, std::uint64_t* start, std::uint64_t* end) {
  struct stat info;
  if (fstat(fd_of(file), &info) != 0) {
    return false;
  }
  const std::uint64_t size = static_cast<std::uint64_t>(info.st_size);
  *start = size;
  if (from >= size) {
    return false;
  }
  off_t data = from;
  off_t hole = info.st_size;
#ifdef SEEK_DATA
  data = lseek(fd_of(file), static_cast<off_t>(from), SEEK_DATA);
  if (data < 0) {
    if (errno == ENXIO) {
      return false;  // only a hole follows
    }
    data = static_cast<off_t>(from);  // no hole search here: all of it counts as data
  } else {
    hole = lseek(fd_of(file), data, SEEK_HOLE);
    if (hole < 0) {
      hole = info.st_size;
    }
  }
#endif
  if (lseek(fd_of(file), data, SEEK_SET) != data) {
    return false;
  }
  *start = static_cast<std::uint64_t>(data);
  *end = static_cast<std::uint64_t>(hole);
  return true;
}

bool seek_file(FileHandle file, std::uint64_t offset) {
  return lseek(fd_of(file), static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
}

bool resize_file(FileHandle file, std::uint64_t size) {
  return ftruncate(fd_of(file), static_cast<off_t>(size)) == 0;
}

bool stored_size(FileHandle file, std::uint64_t* bytes) {
  struct stat info;
  if (fstat(fd_of(file), &info) != 0) {
    return false;
  }
  *bytes = static_cast<std::uint64_t>(info.st_blocks) * 512;
  return true;
}

bool space_of(const Folder& folder, std::uint64_t* free_bytes, std::uint64_t* total_bytes) {
  struct statvfs info;
  if (folder.handles.empty() ? statvfs(".", &info) != 0
                             : fstatvfs(descriptor_of(folder), &info) != 0) {
    return false;
  }
  *free_bytes = static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
  *total_bytes = static_cast<std::uint64_t>(info.f_blocks) * info.f_frsize;
  return true;
}

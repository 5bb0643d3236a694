// The floor for jobs run one after the other: starts `/bin/sh -c COMMAND` COUNT times, each in
// FOLDER and waited for before the next, the way hotbatch starts a job's command (the same
// interpreter and arguments, the working folder entered through a descriptor of the folder in the
// child, a process group of its own). Output is inherited. Prints nothing; the caller times it.
//
//   spawn_loop FOLDER COUNT [COMMAND]        (COMMAND defaults to `true`)
//
// Exit status 0 when every command ran and succeeded, 1 when one failed, 2 on a usage error or
// when a command could not be started.
#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char** environ;

int main(int argc, char* argv[]) {
  if (argc < 3 || argc > 4) {
    std::fprintf(stderr, "usage: spawn_loop FOLDER COUNT [COMMAND]\n");
    return 2;
  }
  const char* folder = argv[1];
  long count = std::strtol(argv[2], nullptr, 10);
  const char* command = argc == 4 ? argv[3] : "true";
  int folder_fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder_fd < 0 || count < 0) {
    std::fprintf(stderr, "spawn_loop: cannot open the folder %s: %s\n", folder,
                 std::strerror(errno));
    return 2;
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 29))
  posix_spawn_file_actions_addfchdir_np(&actions, folder_fd);
#else
  // Without a folder change among the spawn actions, the children inherit ours.
  if (fchdir(folder_fd) != 0) {
    std::perror("spawn_loop: fchdir");
    return 2;
  }
#endif
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);

  const char* child_argv[] = {"sh", "-c", command, nullptr};
  int failed = 0;
  for (long i = 0; i < count; ++i) {
    pid_t child = 0;
    int error = posix_spawn(&child, "/bin/sh", &actions, &attributes,
                            const_cast<char* const*>(child_argv), environ);
    if (error != 0) {
      std::fprintf(stderr, "spawn_loop: cannot start /bin/sh: %s\n", std::strerror(error));
      return 2;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      ++failed;
    }
  }
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  close(folder_fd);
  if (failed > 0) {
    std::fprintf(stderr, "spawn_loop: %d of %ld commands failed\n", failed, count);
    return 1;
  }
  return 0;
}

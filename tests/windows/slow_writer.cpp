// A writer for the tests, built for Windows: holds its file the way many programs do, sharing
// reading and writing with others, writes the first half, waits, then writes the rest.
// Usage: slow_writer FILE MILLISECONDS. Prints "half" once the first half is written.
// With "tick" before FILE it appends a '.' to FILE every 50 ms for MILLISECONDS instead, opening
// it for each, so that a test sees from the file's size whether the writer still runs.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int tick(const char* path, DWORD milliseconds) {
  for (DWORD start = GetTickCount(); GetTickCount() - start < milliseconds; Sleep(50)) {
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    if (file == INVALID_HANDLE_VALUE || !WriteFile(file, ".", 1, &written, nullptr)) {
      return 1;
    }
    CloseHandle(file);
  }
  return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc == 4 && std::strcmp(argv[1], "tick") == 0) {
    return tick(argv[2], static_cast<DWORD>(std::atoi(argv[3])));
  }
  if (argc != 3) {
    std::fprintf(stderr, "usage: slow_writer [tick] FILE MILLISECONDS\n");
    return 2;
  }
  HANDLE file = CreateFileA(argv[1], GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "slow_writer: cannot create %s (%lu)\n", argv[1], GetLastError());
    return 1;
  }
  const char* halves[2] = {"first half|", "second half"};
  for (int i = 0; i < 2; ++i) {
    DWORD written = 0;
    if (!WriteFile(file, halves[i], static_cast<DWORD>(std::strlen(halves[i])), &written,
                   nullptr)) {
      return 1;
    }
    if (i == 0) {
      std::printf("half\n");
      std::fflush(stdout);
      Sleep(static_cast<DWORD>(std::atoi(argv[2])));
    }
  }
  CloseHandle(file);
  std::printf("done\n");
  return 0;
}

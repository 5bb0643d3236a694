// Win32 commands: cmd.exe by its full path, started with CreateProcessW so that the command line
// keeps every character and its quotes, in a folder of any name, each in a job object of its own
// that ends everything it started when it is stopped or when we end.
#include "platform/processes.h"

#include <algorithm>
#include <cstdio>
#include <cwchar>

#include "platform/service.h"
#include "platform/wide_text.h"
#include "platform/win32/processes_internal.h"
#include "platform/win32/shared_state.h"

// Windows names cannot hold '"' or control bytes, so a placeholder in double quotes is safe for
// every real file; '%' still expands inside quotes, which the README warns about.
const char* const QUOTE_BREAKERS = "\"";
const char VARIABLE_MARK = '%';

// How cmd.exe is started before the command: see start_interpreter.
const wchar_t* const INTERPRETER_SWITCHES = L"/d /v:off /s /c";

// What cmd.exe itself reports for a program it cannot start.
const int COMMAND_NOT_STARTED = 9009;

std::atomic<int> commands_running{0};

extern "C" BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG length);

namespace {

// The command interpreter by its full path, so that a "cmd.exe" lying in the hot folder (the
// working folder while a command runs) is never the one started.
std::wstring interpreter_path() {
  wchar_t comspec[MAX_PATH];
  DWORD length = GetEnvironmentVariableW(L"COMSPEC", comspec, MAX_PATH);
  if (length > 3 && length < MAX_PATH && comspec[1] == L':' && comspec[2] == L'\\') {
    return std::wstring(comspec, length);
  }
  wchar_t system_folder[MAX_PATH];
  UINT folder_length = GetSystemDirectoryW(system_folder, MAX_PATH);
  if (folder_length == 0 || folder_length >= MAX_PATH) {
    return L"C:\\Windows\\System32\\cmd.exe";
  }
  return std::wstring(system_folder, folder_length) + L"\\cmd.exe";
}

}  // namespace

std::wstring interpreter_line(const std::wstring& program, const std::string& command) {
  return L"\"" + program + L"\" " + INTERPRETER_SWITCHES + L" \"" + widen(command) + L"\"";
}

namespace {

// Windows compares variable names without regard to case.
bool same_name(const std::wstring& entry, const std::wstring& variable) {
  std::size_t length = variable.find(L'=');
  return entry.size() > length && entry[length] == L'=' &&
         CompareStringOrdinal(entry.c_str(), static_cast<int>(length), variable.c_str(),
                              static_cast<int>(length), TRUE) == CSTR_EQUAL;
}

// Our environment block with `variables` ("NAME=value") added, each replacing an entry of its
// name, sorted by name as the system keeps it: UTF-16 strings, each ending in a zero, and one
// more zero at the end.
std::wstring environment_block(const std::vector<std::string>& variables) {
  std::vector<std::wstring> entries;
  for (const std::string& variable : variables) {
    entries.push_back(widen(variable));
  }
  const std::size_t added = entries.size();
  if (wchar_t* block = GetEnvironmentStringsW()) {
    for (const wchar_t* entry = block; *entry != L'\0'; entry += wcslen(entry) + 1) {
      std::wstring text(entry);
      bool replaced = false;
      for (std::size_t i = 0; i < added; ++i) {
        replaced = replaced || same_name(text, entries[i]);
      }
      if (!replaced) {
        entries.push_back(std::move(text));
      }
    }
    FreeEnvironmentStringsW(block);
  }
  std::sort(entries.begin(), entries.end(), [](const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_LESS_THAN;
  });
  std::wstring joined;
  for (const std::wstring& entry : entries) {
    joined += entry;
    joined += L'\0';
  }
  joined += L'\0';
  return joined;
}

// Starts `command` through cmd.exe in `folder` (a plain absolute path), its standard output and
// error going to `output` when that is open, in the job object `job` when there is one
// (`assigned` tells whether it went in). The child inherits the console, the standard handles and
// the environment; Ctrl+C reaches it as it reaches any program started from a console.
bool start_interpreter(const std::string& command, const std::vector<std::string>& variables,
                       const std::wstring& folder, HANDLE output, HANDLE job, HANDLE* process,
                       bool* assigned) {
  // cmd.exe /s /c "..." drops exactly the outer pair of quotes and runs the rest as typed, so a
  // command that begins with a quoted program path keeps its quotes (system() would lose them).
  // /d leaves out the AutoRun commands of the registry, and /v:off keeps "!NAME!" in a file name
  // as it is where a policy turns delayed expansion on. The line is UTF-16, so the interpreter
  // receives every character of every name.
  std::wstring program = interpreter_path();
  std::wstring line = interpreter_line(program, command);

  // Our own lines must reach the stream before the command's output.
  std::fflush(stdout);
  std::fflush(stderr);

  STARTUPINFOW startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  HANDLE inherited = INVALID_HANDLE_VALUE;
  if (output == INVALID_HANDLE_VALUE && running_as_service()) {
    // A service has no console to share: the command writes into the service's log as we do.
    output = GetStdHandle(STD_OUTPUT_HANDLE);
  }
  if (output != INVALID_HANDLE_VALUE) {
    // Only this copy of the handle is inheritable, and only for the moment of the start.
    if (!DuplicateHandle(GetCurrentProcess(), output, GetCurrentProcess(), &inherited, 0, TRUE,
                         DUPLICATE_SAME_ACCESS)) {
      return false;
    }
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = inherited;
    startup.hStdError = inherited;
  }
  PROCESS_INFORMATION child;
  ZeroMemory(&child, sizeof child);
  // A folder longer than the system takes makes the start fail rather than run elsewhere. The
  // interpreter starts suspended, so that it is in its job before it can start anything.
  std::wstring environment = environment_block(variables);
  DWORD flags = CREATE_UNICODE_ENVIRONMENT | (job != nullptr ? CREATE_SUSPENDED : 0);
  bool started = CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, TRUE, flags,
                                &environment[0], folder.c_str(), &startup, &child) != 0;
  if (inherited != INVALID_HANDLE_VALUE) {
    CloseHandle(inherited);
  }
  if (!started) {
    return false;
  }
  if (job != nullptr) {
    // Where the job cannot take it (an outer job that allows none inside), it runs without, and
    // the caller must not end an empty job in its stead.
    *assigned = AssignProcessToJobObject(job, child.hProcess) != 0;
    ResumeThread(child.hThread);
  }
  CloseHandle(child.hThread);
  *process = child.hProcess;
  return true;
}

// The exit code of an ended process. Codes such as 0xC000013A (ended by Ctrl+C) become negative
// here: still failures.
int exit_code_of(HANDLE process) {
  DWORD code = 1;
  if (!GetExitCodeProcess(process, &code)) {
    code = 1;
  }
  return static_cast<int>(code);
}

}  // namespace

std::uint64_t raise_descriptor_limit() {
  return 0;  // handles are bounded by memory alone
}

std::uint32_t process_number() {
  return GetCurrentProcessId();
}

bool process_alive(std::uint32_t number) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, number);
  if (process == nullptr) {
    // A process number that names nothing is refused as an invalid parameter.
    return GetLastError() != ERROR_INVALID_PARAMETER;
  }
  // A process that ended stays openable while someone holds a handle to it.
  DWORD code = 0;
  const bool alive = !GetExitCodeProcess(process, &code) || code == STILL_ACTIVE;
  CloseHandle(process);
  return alive;
}

std::uint64_t process_start(std::uint32_t number) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, number);
  if (process == nullptr) {
    return 0;
  }
  FILETIME created, exited, kernel, user;
  std::uint64_t start = 0;
  if (GetProcessTimes(process, &created, &exited, &kernel, &user)) {
    start = (std::uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime;
  }
  CloseHandle(process);
  return start;
}

bool random_bytes(void* data, std::size_t size) {
  // RtlGenRandom, the system's generator, exported by advapi32 under this name.
  return size <= 0xffffffffu && SystemFunction036(data, static_cast<ULONG>(size)) != FALSE;
}

bool commands_can_start_in(const Folder& folder) {
  // A process's current folder holds at most MAX_PATH - 2 characters before its trailing
  // separator, and the command interpreter knows no longer ones, whatever the system allows.
  return widen(folder.path).size() + 2 <= MAX_PATH;
}

void prepare_commands() {}

bool start_command(const std::string& command, const std::vector<std::string>& variables,
                   const Folder& folder, FileHandle output, RunningCommand* running) {
  if (folder.path.empty()) {
    return false;
  }
  HANDLE process = nullptr;
  HANDLE into = output.value == -1 ? INVALID_HANDLE_VALUE : handle_of(output);
  HANDLE job = new_job_object();
  bool assigned = false;
  commands_running.fetch_add(1);
  bool started =
      start_interpreter(command, variables, widen(folder.path), into, job, &process, &assigned);
  if (job != nullptr && !assigned) {
    CloseHandle(job);
    job = nullptr;
  }
  if (!started) {
    commands_running.fetch_sub(1);
    return false;
  }
  *running = RunningCommand{};
  running->process = reinterpret_cast<std::intptr_t>(process);
  running->tree = job != nullptr ? reinterpret_cast<std::intptr_t>(job) : -1;
  return true;
}

void stop_command(RunningCommand* running, bool forced) {
  // Windows has no polite request that every console program heeds: the job ends at once.
  running->asked_to_end = true;
  running->forced = running->forced || forced;
  if (running->tree == -1 || !TerminateJobObject(reinterpret_cast<HANDLE>(running->tree), 1)) {
    TerminateProcess(reinterpret_cast<HANDLE>(running->process), 1);
  }
}

bool command_ended(RunningCommand* running, int* result, int* ended_by_signal) {
  HANDLE process = reinterpret_cast<HANDLE>(running->process);
  if (!running->shell_ended) {
    if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
      return false;
    }
    running->shell_ended = true;
    running->result = exit_code_of(process);
  }
  // A command that was stopped has ended once all it started has: a process still going may
  // hold the job's file, which is copied or erased next.
  HANDLE job = reinterpret_cast<HANDLE>(running->tree);
  if (running->asked_to_end && !running->forced && running->tree != -1 && job_running(job)) {
    return false;
  }
  CloseHandle(process);
  if (running->tree != -1) {
    close_when_empty(job);
  }
  *result = running->result;
  if (ended_by_signal != nullptr) {
    *ended_by_signal = 0;  // no signals here: a process ends with a code, whoever ends it
  }
  *running = RunningCommand{};
  commands_running.fetch_sub(1);
  return true;
}

bool open_output_pipe(FileHandle*, FileHandle*) {
  return false;
}

std::int64_t read_available(FileHandle, char*, std::size_t) {
  return 0;
}

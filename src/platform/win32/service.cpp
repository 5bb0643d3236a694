// Win32 services: installing and removing one with the service manager, and running as one: the
// dispatcher first, the start and stop reported with checkpoints, every line of output into a
// log file of the service, and the start, the stop and a start-up error in the Event Log.
#include "platform/service.h"

#include <cstdio>
#include <cwchar>
#include <mutex>
#include <thread>

#include "platform/clock.h"
#include "platform/wide_text.h"
#include "platform/win32/shared_state.h"
#include "service/command_line.h"
#include "service/log_rotation.h"
#include "service/stop_kind.h"

static_assert(CONTROL_STOP == SERVICE_CONTROL_STOP &&
                  CONTROL_SHUTDOWN == SERVICE_CONTROL_SHUTDOWN &&
                  CONTROL_PRESHUTDOWN == SERVICE_CONTROL_PRESHUTDOWN &&
                  CONTROL_INTERROGATE == SERVICE_CONTROL_INTERROGATE,
              "control numbers of the service manager");

const bool SERVICES_AVAILABLE = true;

namespace {

// The running service. The service manager calls ServiceMain without a context, so this one
// record is reached through `service`; the control handler and the reporting thread share it
// under `lock`.
struct Service {
  std::wstring name;        // the service's: hotbatch-NAME
  std::wstring short_name;  // NAME, which names its log
  const std::function<int()>* body = nullptr;
  int result = 1;
  SERVICE_STATUS_HANDLE handle = nullptr;
  SERVICE_STATUS status{};
  std::mutex lock;
  bool running = false;               // start-up work is over
  bool stopping = false;              // a stop control arrived
  bool done = false;                  // the body returned: the reporter ends
  std::int64_t deadline = -1;         // monotonic ms at which the commands are ended; -1 for none
  HANDLE events = nullptr;            // the Event Log source
  std::wstring log_path;              // the log file every line of output goes to
  HANDLE log = INVALID_HANDLE_VALUE;  // open on it
  std::string last_line;              // the last line said, for a start-up error's report
};
Service* service = nullptr;

void report(DWORD state, DWORD exit_code = NO_ERROR) {
  // Called with `lock` held.
  service->status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  service->status.dwCurrentState = state;
  service->status.dwControlsAccepted =
      state == SERVICE_RUNNING
          ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PRESHUTDOWN
          : 0;
  service->status.dwWin32ExitCode = exit_code == NO_ERROR ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
  service->status.dwServiceSpecificExitCode = exit_code;
  const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
  service->status.dwCheckPoint = pending ? service->status.dwCheckPoint + 1 : 0;
  service->status.dwWaitHint = pending ? 3000 : 0;
  SetServiceStatus(service->handle, &service->status);
}

void log_event(WORD type, const std::string& text) {
  if (service->events == nullptr) {
    return;
  }
  std::wstring wide = widen(text);
  const wchar_t* strings[] = {wide.c_str()};
  ReportEventW(service->events, type, 0, 1, nullptr, 1, 0, strings, nullptr);
}

// Points standard output and error at the service's log, appended to; the commands inherit
// them. The log may be renamed while it is open.
bool open_log() {
  SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE file = CreateFileW(service->log_path.c_str(), FILE_APPEND_DATA, SHARE_ALL, &inherited,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  if (service->log != INVALID_HANDLE_VALUE) {
    CloseHandle(service->log);
  }
  service->log = file;
  SetStdHandle(STD_OUTPUT_HANDLE, file);
  SetStdHandle(STD_ERROR_HANDLE, file);
  return true;
}

// Rotates the log when it has grown to its limit: moved on, and a new one opened.
void rotate_log() {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(service->log, &size)) {
    return;
  }
  const auto moves =
      rotation_moves(narrow(service->log_path), static_cast<std::uint64_t>(size.QuadPart),
                     SERVICE_LOG_LIMIT, SERVICE_LOGS_KEPT);
  for (const auto& [from, to] : moves) {
    MoveFileExW(widen(from).c_str(), widen(to).c_str(), MOVEFILE_REPLACE_EXISTING);
  }
  if (!moves.empty()) {
    open_log();
  }
}

// The log's path: %ProgramData%\hotbatch\NAME.log, its folder made when missing.
std::wstring log_path_of(const std::wstring& name) {
  wchar_t data[MAX_PATH];
  DWORD length = GetEnvironmentVariableW(L"ProgramData", data, MAX_PATH);
  std::wstring folder =
      length > 0 && length < MAX_PATH ? std::wstring(data, length) : L"C:\\ProgramData";
  folder += L"\\hotbatch";
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder + L"\\" + name + L".log";
}

DWORD WINAPI on_control(DWORD control, DWORD, void*, void*) {
  if (control == SERVICE_CONTROL_INTERROGATE) {
    return NO_ERROR;
  }
  const StopPlan plan = stop_for_control(control);
  if (plan.kind == StopKind::none) {
    return ERROR_CALL_NOT_IMPLEMENTED;
  }
  std::lock_guard<std::mutex> hold(service->lock);
  request_service_stop(plan.kind == StopKind::interrupt);
  if (plan.deadline_ms >= 0) {
    service->deadline = monotonic_ms() + plan.deadline_ms;
  }
  service->stopping = true;
  if (!service->done) {
    report(SERVICE_STOP_PENDING);
  }
  return NO_ERROR;
}

// Reports the start and the stop with a new checkpoint twice a second while they last, and
// ends the commands at a shutdown's deadline.
void keep_reporting() {
  for (;;) {
    Sleep(500);
    std::lock_guard<std::mutex> hold(service->lock);
    if (service->done) {
      return;
    }
    if (service->deadline >= 0 && monotonic_ms() >= service->deadline) {
      request_service_stop(true);
      service->deadline = -1;
    }
    if (service->stopping) {
      report(SERVICE_STOP_PENDING);
    } else if (!service->running) {
      report(SERVICE_START_PENDING);
    }
  }
}

void WINAPI service_main(DWORD, wchar_t**) {
  service->handle = RegisterServiceCtrlHandlerExW(service->name.c_str(), on_control, nullptr);
  if (service->handle == nullptr) {
    return;
  }
  {
    std::lock_guard<std::mutex> hold(service->lock);
    report(SERVICE_START_PENDING);
  }
  service->events = RegisterEventSourceW(nullptr, L"hotbatch");
  service->log_path = log_path_of(service->short_name);
  open_log();
  rotate_log();
  std::thread reporter(keep_reporting);
  service->result = (*service->body)();
  {
    std::lock_guard<std::mutex> hold(service->lock);
    service->done = true;
  }
  reporter.join();
  const std::string name = narrow(service->name);
  if (service->result != 0 && !service->running) {
    log_event(EVENTLOG_ERROR_TYPE, name + " could not start: " + service->last_line);
  } else {
    log_event(EVENTLOG_INFORMATION_TYPE, name + " stopped");
  }
  if (service->events != nullptr) {
    DeregisterEventSource(service->events);
  }
  std::lock_guard<std::mutex> hold(service->lock);
  report(SERVICE_STOPPED, static_cast<DWORD>(service->result));
}

// The service manager, opened with `access`; says why not in `detail`.
SC_HANDLE open_manager(DWORD access, ServiceResult* result, std::string* detail) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, access);
  if (manager == nullptr) {
    const DWORD error = GetLastError();
    *result = error == ERROR_ACCESS_DENIED ? ServiceResult::no_rights : ServiceResult::failed;
    *detail = "error " + std::to_string(error);
  }
  return manager;
}

// The full path of this program.
std::wstring own_path() {
  std::wstring path(32768, L'\0');
  DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
  path.resize(length < path.size() ? length : 0);
  return path;
}

}  // namespace

std::string service_name(const std::string& name) {
  return "hotbatch-" + name;
}

bool service_output(const char* text, std::size_t size, bool* ok) {
  if (service == nullptr || service->log == INVALID_HANDLE_VALUE) {
    return false;
  }
  // UTF-8 with CR LF line ends, as a text-mode file of the C runtime is written.
  std::string lines;
  for (std::size_t i = 0; i < size; ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) {
      lines += '\r';
    }
    lines += text[i];
  }
  DWORD written = 0;
  *ok =
      WriteFile(service->log, lines.data(), static_cast<DWORD>(lines.size()), &written, nullptr) &&
      written == lines.size();
  std::string line(text, size);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
    line.pop_back();
  }
  if (!line.empty()) {
    service->last_line = line.substr(line.find_last_of('\n') + 1);
  }
  rotate_log();
  return true;
}

ServiceResult install_service(const std::string& name, const std::vector<std::string>& arguments,
                              std::string* detail) {
  ServiceResult result = ServiceResult::done;
  SC_HANDLE manager = open_manager(SC_MANAGER_CREATE_SERVICE, &result, detail);
  if (manager == nullptr) {
    return result;
  }
  const std::wstring service_wide = widen(service_name(name));
  const std::wstring display = L"hotbatch " + widen(name);
  const std::wstring line = widen(command_line(narrow(own_path()), arguments));
  SC_HANDLE created =
      CreateServiceW(manager, service_wide.c_str(), display.c_str(), SERVICE_ALL_ACCESS,
                     SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                     line.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
  if (created == nullptr) {
    const DWORD error = GetLastError();
    *detail = "error " + std::to_string(error);
    CloseServiceHandle(manager);
    return error == ERROR_SERVICE_EXISTS || error == ERROR_DUPLICATE_SERVICE_NAME
               ? ServiceResult::exists
           : error == ERROR_ACCESS_DENIED ? ServiceResult::no_rights
                                          : ServiceResult::failed;
  }
  std::wstring about =
      L"Runs a command for every file that arrives in a folder (" + widen(name) + L")";
  SERVICE_DESCRIPTIONW description{&about[0]};
  SERVICE_DELAYED_AUTO_START_INFO delayed{TRUE};
  // Restarted a minute after it failed (a start-up error included), the count reset after a day.
  SC_ACTION actions[3] = {
      {SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000}};
  SERVICE_FAILURE_ACTIONSW failure{86400, nullptr, nullptr, 3, actions};
  SERVICE_FAILURE_ACTIONS_FLAG on_exit_code{TRUE};
  SERVICE_PRESHUTDOWN_INFO preshutdown{static_cast<DWORD>(PRESHUTDOWN_TIMEOUT_MS)};
  SERVICE_SID_INFO sid{SERVICE_SID_TYPE_UNRESTRICTED};
  const struct {
    DWORD level;
    void* info;
    const char* what;
  } settings[] = {{SERVICE_CONFIG_DESCRIPTION, &description, "description"},
                  {SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &delayed, "delayed start"},
                  {SERVICE_CONFIG_FAILURE_ACTIONS, &failure, "restart on failure"},
                  {SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &on_exit_code, "restart after an error"},
                  {SERVICE_CONFIG_PRESHUTDOWN_INFO, &preshutdown, "time to stop at shutdown"},
                  {SERVICE_CONFIG_SERVICE_SID_INFO, &sid, "service account"}};
  for (const auto& setting : settings) {
    if (!ChangeServiceConfig2W(created, setting.level, setting.info)) {
      *detail += std::string(detail->empty() ? "" : ", ") + setting.what;
    }
  }
  CloseServiceHandle(created);
  CloseServiceHandle(manager);
  return ServiceResult::done;
}

ServiceResult remove_service(const std::string& name, std::string* detail) {
  ServiceResult result = ServiceResult::done;
  SC_HANDLE manager = open_manager(SC_MANAGER_CONNECT, &result, detail);
  if (manager == nullptr) {
    return result;
  }
  SC_HANDLE opened = OpenServiceW(manager, widen(service_name(name)).c_str(),
                                  SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
  if (opened == nullptr) {
    const DWORD error = GetLastError();
    *detail = "error " + std::to_string(error);
    CloseServiceHandle(manager);
    return error == ERROR_SERVICE_DOES_NOT_EXIST ? ServiceResult::missing
           : error == ERROR_ACCESS_DENIED        ? ServiceResult::no_rights
                                                 : ServiceResult::failed;
  }
  // A stop lets running commands run out: wait for it as long as it takes. A service still
  // starting is stopped once it runs.
  SERVICE_STATUS status{};
  while (QueryServiceStatus(opened, &status) && status.dwCurrentState != SERVICE_STOPPED) {
    if (status.dwCurrentState == SERVICE_RUNNING) {
      ControlService(opened, SERVICE_CONTROL_STOP, &status);
    }
    Sleep(250);
  }
  const bool deleted =
      DeleteService(opened) != 0 || GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE;
  if (!deleted) {
    *detail = "error " + std::to_string(GetLastError());
  }
  CloseServiceHandle(opened);
  CloseServiceHandle(manager);
  return deleted ? ServiceResult::done : ServiceResult::failed;
}

int run_as_service(const std::string& name, const std::function<int()>& body) {
  Service running;
  running.name = widen(service_name(name));
  running.short_name = widen(name);
  running.body = &body;
  service = &running;
  SERVICE_TABLE_ENTRYW table[] = {{&running.name[0], service_main}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table)) {
    service = nullptr;
    return -1;
  }
  service = nullptr;
  return running.result;
}

void service_running() {
  if (service == nullptr) {
    return;
  }
  log_event(EVENTLOG_INFORMATION_TYPE, narrow(service->name) + " started");
  std::lock_guard<std::mutex> hold(service->lock);
  service->running = true;
  if (!service->stopping) {
    report(SERVICE_RUNNING);
  }
}

bool running_as_service() {
  return service != nullptr;
}

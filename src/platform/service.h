// Services of the system's service manager (Windows): installing and removing one, and running
// as one. Elsewhere a service is the service manager's unit file, and these do nothing.
#pragma once

#include <functional>
#include <string>
#include <vector>

// True where the program can install itself and run as a service of the system.
extern const bool SERVICES_AVAILABLE;

// The name of the service of NAME: "hotbatch-NAME".
std::string service_name(const std::string& name);

// Results of install_service and remove_service.
enum class ServiceResult : int {
  done = 0,
  no_rights = 1,  // the service manager refused: not an elevated prompt
  exists = 2,     // install: a service of that name is there already
  missing = 3,    // remove: no service of that name
  failed = 4,     // another error; `detail` says which
};

// Creates the service of `name` that starts this program with `arguments` (each quoted so that
// it arrives as given): automatic start after the others, restart on failure, time to stop at a
// shutdown. Settings the system does not take are said as warnings.
ServiceResult install_service(const std::string& name, const std::vector<std::string>& arguments,
                              std::string* detail);

// Stops the service of `name` (as its stop control does: running commands run out) and waits for
// it, then deletes it.
ServiceResult remove_service(const std::string& name, std::string* detail);

// Runs `body` as the service of `name`, which the service manager started: hands the process to
// the service manager first, reports the start until service_running(), sends every line of the
// console and the commands' output to the service's log file, turns the service manager's controls
// into stop requests, and reports the service stopped with `body`'s status. Returns that status,
// or 1 when the process was not started by the service manager (said on the console).
int run_as_service(const std::string& name, const std::function<int()>& body);

// Tells the service manager that start-up work is over; nothing outside a service.
void service_running();

// True while the program runs as a service (and so has no console of its own).
bool running_as_service();

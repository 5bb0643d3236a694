// POSIX: services are the service manager's unit files (README, "Running as a service"); the
// program itself installs nothing and is started as it is.
#include "platform/service.h"

const bool SERVICES_AVAILABLE = false;

std::string service_name(const std::string& name) {
  return "hotbatch-" + name;
}

ServiceResult install_service(const std::string&, const std::vector<std::string>&, std::string*) {
  return ServiceResult::failed;
}

ServiceResult remove_service(const std::string&, std::string*) {
  return ServiceResult::failed;
}

int run_as_service(const std::string&, const std::function<int()>&) {
  return 1;
}

void service_running() {}

bool running_as_service() {
  return false;
}

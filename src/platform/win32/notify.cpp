// Service manager notification: Windows has no such socket, and its service control manager
// works through its own interface, so nothing is sent.
#include "platform/notify.h"

bool open_service_notifier(ServiceNotifier* notifier) {
  notifier->socket = -1;
  notifier->watchdog_ms = 0;
  return false;
}

bool notify_service(const ServiceNotifier&, const std::string&) {
  return false;
}

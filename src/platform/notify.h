// Service manager notification: the datagrams that tell a service manager (systemd and the like)
// that the program is ready, how it fares, that it is alive and that it stops.
#pragma once

#include <cstdint>
#include <string>

// Where notifications go, taken from the environment once at start-up.
struct ServiceNotifier {
  std::intptr_t socket = -1;     // a datagram socket; -1 when nobody listens
  std::string address;           // the socket's address, as NOTIFY_SOCKET gave it
  std::int64_t watchdog_ms = 0;  // the service manager's watchdog time; 0 when none is ours
};

// Reads NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID, and removes all three from the environment
// so that no command inherits them: a command that spoke to the socket would speak for us. The
// watchdog is ours when WATCHDOG_PID is unset or names this process. False when no socket is
// named or it cannot be used (the program then runs as without a service manager). Does nothing
// on Windows, whose service control works otherwise.
bool open_service_notifier(ServiceNotifier* notifier);

// Sends `message` (lines "NAME=value") as one datagram, without waiting. False when it was not
// sent; a service manager that went away costs the program nothing.
bool notify_service(const ServiceNotifier& notifier, const std::string& message);

// Service manager notification over the Unix datagram socket named by NOTIFY_SOCKET.
#include "platform/notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

// The address of `path`: a leading '@' names an abstract socket (Linux), whose name starts with a
// zero byte. False when it does not fit.
bool socket_address(const std::string& path, sockaddr_un* address, socklen_t* length) {
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  if (path.size() < 2 || (path[0] != '/' && path[0] != '@') ||
      path.size() >= sizeof address->sun_path) {
    return false;
  }
  std::memcpy(address->sun_path, path.data(), path.size());
  if (path[0] == '@') {
    address->sun_path[0] = '\0';
  }
  *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() +
                                   (path[0] == '@' ? 0 : 1));
  return true;
}

}  // namespace

bool open_service_notifier(ServiceNotifier* notifier) {
  const char* socket_path = std::getenv("NOTIFY_SOCKET");
  const char* watchdog_usec = std::getenv("WATCHDOG_USEC");
  const char* watchdog_pid = std::getenv("WATCHDOG_PID");
  notifier->address = socket_path != nullptr ? socket_path : "";
  notifier->watchdog_ms = 0;
  if (watchdog_usec != nullptr &&
      (watchdog_pid == nullptr || std::strtoll(watchdog_pid, nullptr, 10) == getpid())) {
    long long usec = std::strtoll(watchdog_usec, nullptr, 10);
    notifier->watchdog_ms = usec > 0 ? (usec + 999) / 1000 : 0;
  }
  unsetenv("NOTIFY_SOCKET");
  unsetenv("WATCHDOG_USEC");
  unsetenv("WATCHDOG_PID");
  sockaddr_un address;
  socklen_t length = 0;
  if (!socket_address(notifier->address, &address, &length)) {
    notifier->watchdog_ms = 0;
    return false;
  }
  // Close-on-exec, so that the commands do not hold it either.
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    notifier->watchdog_ms = 0;
    return false;
  }
  notifier->socket = fd;
  return true;
}

bool notify_service(const ServiceNotifier& notifier, const std::string& message) {
  sockaddr_un address;
  socklen_t length = 0;
  if (notifier.socket < 0 || !socket_address(notifier.address, &address, &length)) {
    return false;
  }
  ssize_t sent;
  do {
    sent = sendto(static_cast<int>(notifier.socket), message.data(), message.size(), MSG_NOSIGNAL,
                  reinterpret_cast<const sockaddr*>(&address), length);
  } while (sent < 0 && errno == EINTR);
  return sent == static_cast<ssize_t>(message.size());
}

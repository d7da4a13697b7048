#pragma once

#include <filesystem>
#include <string>

#include <netinet/in.h>
#include <sys/socket.h>

namespace mornik::test {

// The local HTTP server listens with a backlog of 5, too short for 100
// connections at once: dropped handshakes are retried after 1, 3, 7... s, so
// a connection can wait longer than a request's time limit. listen() again
// on its socket, found by its port, with a longer one.
inline void widenListenBacklog(int port) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    const int fd = std::stoi(entry.path().filename().string());
    sockaddr_in address{};
    socklen_t length = sizeof address;
    int listening = 0;
    socklen_t size = sizeof listening;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
        address.sin_family == AF_INET && ntohs(address.sin_port) == port &&
        ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 && listening != 0) {
      ::listen(fd, 1024);
    }
  }
}

}  // namespace mornik::test

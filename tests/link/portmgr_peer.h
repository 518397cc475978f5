// portmgr_peer.h - runs the portmgr-sim peer for a test and reads back the
// requests it recorded. Shared by the link and end-to-end tests.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support.h"

namespace pmsim {

struct Request {
  long long ms = 0;     // monotonic clock of the peer, milliseconds
  int source_port = 0;  // UDP port the request came from
  std::string bytes;    // the datagram exactly
};

// portmgr-sim on 127.0.0.1 with the given answers (see its header comment).
struct PortMgrPeer {
  prueba::TempDir dir;
  prueba::Spawned proc;
  int port = 0;
  unsigned short Puerto() const { return static_cast<unsigned short>(port); }

  explicit PortMgrPeer(const std::vector<std::string> &answers, int fixed_port = 0) {
    std::vector<std::string> argv = {prueba::Bin("portmgr-sim"), "--port-file", dir / "port",
                                     "--requests", dir / "requests"};
    if (fixed_port != 0) {
      argv.push_back("--port");
      argv.push_back(std::to_string(fixed_port));
    }
    argv.insert(argv.end(), answers.begin(), answers.end());
    proc = prueba::Spawn(argv);
    if (prueba::WaitUntil([this] { return prueba::Exists(dir / "port") || !proc.Running(); },
                          10000)) {
      port = atoi(prueba::ReadFile(dir / "port").c_str());
    }
  }
  bool Started() const { return port > 0; }
  std::string Output() const { return proc.Output(); }

  // The requests recorded so far, in order of arrival.
  std::vector<Request> Requests() const {
    std::vector<Request> out;
    std::string data = prueba::ReadFile(dir / "requests");
    size_t pos = 0;
    while (pos < data.size()) {
      Request r;
      size_t len = 0;
      int used = 0;
      if (sscanf(data.c_str() + pos, "%lld %d %zu%n", &r.ms, &r.source_port, &len, &used) < 3 ||
          pos + static_cast<size_t>(used) + 1 + len + 1 > data.size()) {
        break;
      }
      pos += static_cast<size_t>(used) + 1;  // the space before the bytes
      r.bytes = data.substr(pos, len);
      pos += len + 1;
      out.push_back(r);
    }
    return out;
  }
};

// Whether a UDP port can be bound on every address right now.
inline bool UdpPortFree(int port) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  a.sin_port = htons(static_cast<unsigned short>(port));
  bool free = bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
  close(fd);
  return free;
}

}  // namespace pmsim

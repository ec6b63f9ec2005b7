#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

namespace qortest {

// A plain HTTP/1.1 client for servers on the loopback address: every header is the test's own,
// Host included, so that a test can send what no well-behaved client would.
struct HttpAnswer {
  int status = 0;  // 0: no answer
  std::string body;
};

// A connection to 127.0.0.1:port, or -1.
inline int ConnectLocal(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
    return fd;
  }
  if (fd >= 0) close(fd);
  return -1;
}

inline bool SendAll(int fd, const std::string& text) {
  for (size_t sent = 0; sent < text.size();) {
    const ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

// One request on a connection of its own; headers as "Name: value" lines.
inline HttpAnswer HttpRequest(int port, const std::string& method, const std::string& path,
                              const std::vector<std::string>& headers,
                              const std::string& body = "") {
  std::string text = method + " " + path + " HTTP/1.1\r\nConnection: close\r\n";
  for (const std::string& header : headers) text += header + "\r\n";
  text += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
          "\r\n\r\n" + body;
  HttpAnswer answer;
  const int fd = ConnectLocal(port);
  if (fd < 0) return answer;
  std::string reply;
  if (SendAll(fd, text)) {
    char buffer[65536];
    for (ssize_t n; (n = recv(fd, buffer, sizeof(buffer), 0)) > 0;) {
      reply.append(buffer, static_cast<size_t>(n));
    }
  }
  close(fd);
  std::smatch match;
  if (std::regex_search(reply, match, std::regex(R"(^HTTP/1\.1 ([0-9]{3}))"))) {
    answer.status = std::stoi(match[1]);
  }
  const size_t start = reply.find("\r\n\r\n");
  if (start != std::string::npos) answer.body = reply.substr(start + 4);
  return answer;
}

}  // namespace qortest

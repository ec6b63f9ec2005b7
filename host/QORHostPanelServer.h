#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <semaphore>
#include <string>
#include <vector>

#include "QORHostPanelOptions.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib
class QORHostPanelFeed;

// The control panel's server: the page, a JSON API whose every read and write runs the
// command-line tool that makes it (so a refusal reads the same as on the command line), and a
// live channel of Server-Sent Events per endpoint. Safe by default: a write needs the token
// printed at start, a request naming another site in Host or Origin is refused (no DNS
// rebinding), and bodies are small.
class QORHostPanelServer {
 public:
  static constexpr size_t kBodyLimit = 64 * 1024;
  // Live connections served at once; each holds one of the server's threads.
  static constexpr int kStreamLimit = 128;

  explicit QORHostPanelServer(QORHostPanelOptions options);
  ~QORHostPanelServer();

  // Listens, prints the link to open, and serves until SIGINT or SIGTERM; the exit code.
  int Run();

  // Whether a request's Host (and Origin, when it has one) name this server as a browser would
  // reach it without any name that DNS could rebind: localhost or an address literal, with port.
  static bool SameSite(const std::string& host, const std::string& origin, int port);
  // The tool's message from its standard error: its "qorapo: " lines without that prefix.
  static std::string Message(const std::string& err);

 private:
  void Route();
  // Refuses what no request may do; true when the request was answered here.
  bool Refused(const httplib::Request& request, httplib::Response& response);
  // A write's body as JSON, or false after answering.
  bool Body(const httplib::Request& request, httplib::Response& response,
            std::map<std::string, std::string>* fields, const std::vector<std::string>& required,
            const std::vector<std::string>& optional);
  // "--endpoint=E" from the query or body (empty: the default endpoint), or false after answering.
  bool EndpointArgument(const std::string& text, httplib::Response& response,
                        std::vector<std::string>* arguments);
  // Runs `qorapo arguments...` and answers with its JSON, or its message.
  void Tool(const std::vector<std::string>& arguments, httplib::Response& response);
  bool RunTool(const std::vector<std::string>& arguments, httplib::Response& response,
               std::string* out);
  void Events(const httplib::Request& request, httplib::Response& response);
  void Response(const httplib::Request& request, httplib::Response& response);
  // The endpoint's feed with one more reader (made for the first); null with the refusal when
  // too many connections or endpoints are served. Leave counts one off, and ends the feed with
  // its last reader, so that no one's meter peaks are taken while no page watches.
  std::shared_ptr<QORHostPanelFeed> Join(const std::string& endpoint, std::string* refusal);
  void Leave(const std::string& endpoint);

  struct Watched {
    std::shared_ptr<QORHostPanelFeed> feed;
    int streams = 0;
  };

  const QORHostPanelOptions options_;
  std::string token_;
  int port_ = 0;
  std::unique_ptr<httplib::Server> server_;
  std::mutex writing_;  // one write at a time, as one person at a control panel makes them
  // Tools running at once: a measurement loads the module and runs the objects for a second.
  std::counting_semaphore<> tools_{4};
  std::mutex feedsMutex_;
  std::map<std::string, Watched> feeds_;
  int streams_ = 0;
};

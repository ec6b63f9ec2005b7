#include "QORHostPanelServer.h"

#include <arpa/inet.h>
#include <signal.h>

#include <httplib.h>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>

#include "QORHostChildProcess.h"
#include "QORHostEndpointSetup.h"
#include "QORHostPanelFeed.h"
#include "QORHostPanelPage.h"
#include "endpoint/QORAPOEndpointInfo.h"

namespace {

using nlohmann::json;

constexpr size_t kOutputLimit = 16 * 1024 * 1024;
constexpr auto kToolTime = std::chrono::seconds(60);
// The live channel says it is still there this often when nothing else is sent.
constexpr auto kKeepAlive = std::chrono::seconds(15);
// Distinct endpoints with a live channel; each has a thread reading its meters.
constexpr size_t kFeedLimit = 16;
constexpr size_t kEndpointTextLimit = 256;

std::string NewToken() {
  std::random_device random;
  std::string token;
  static const char kHex[] = "0123456789abcdef";
  for (int i = 0; i < 32; ++i) token += kHex[random() & 15];
  return token;
}

// Compares in time that does not depend on where the texts differ.
bool SameToken(const std::string& given, const std::string& token) {
  if (given.size() != token.size()) return false;
  unsigned char difference = 0;
  for (size_t i = 0; i < token.size(); ++i) {
    difference |= static_cast<unsigned char>(given[i] ^ token[i]);
  }
  return difference == 0;
}

void Answer(httplib::Response& response, int status, const std::string& message) {
  response.status = status;
  response.set_content(
      json{{"error", message}}.dump(-1, ' ', false, json::error_handler_t::replace),
      "application/json");
}

bool IsAddressLiteral(const std::string& host) {
  unsigned char address[16];
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    return inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), address) == 1;
  }
  return inet_pton(AF_INET, host.c_str(), address) == 1;
}

// A field's text: strings as they are, numbers and switches as the command line writes them.
bool FieldText(const json& value, std::string* text) {
  if (value.is_string()) {
    *text = value.get<std::string>();
  } else if (value.is_boolean()) {
    text->assign(1, value.get<bool>() ? '1' : '0');
  } else if (value.is_number_integer()) {
    *text = std::to_string(value.get<long long>());
  } else if (value.is_number()) {
    *text = json(value.get<double>()).dump();
  } else {
    return false;
  }
  return true;
}

}  // namespace

QORHostPanelServer::QORHostPanelServer(QORHostPanelOptions options)
    : options_(std::move(options)),
      token_(NewToken()),
      server_(std::make_unique<httplib::Server>()) {}

QORHostPanelServer::~QORHostPanelServer() = default;

bool QORHostPanelServer::SameSite(const std::string& host, const std::string& origin, int port) {
  std::string suffix = ":";
  suffix.append(std::to_string(port));
  if (host.size() <= suffix.size() ||
      host.compare(host.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return false;
  }
  const std::string name = host.substr(0, host.size() - suffix.size());
  if (name != "localhost" && !IsAddressLiteral(name)) return false;
  return origin.empty() || origin == "http://" + host;
}

std::string QORHostPanelServer::Message(const std::string& err) {
  std::string message;
  size_t start = 0;
  while (start < err.size()) {
    size_t end = err.find('\n', start);
    if (end == std::string::npos) end = err.size();
    std::string line = err.substr(start, end - start);
    start = end + 1;
    static const std::string kPrefix = "qorapo: ";
    if (line.rfind(kPrefix, 0) == 0) line.erase(0, kPrefix.size());
    // The command line's pointer to its help means nothing on the page.
    if (line.empty() || line.rfind("Run with --help", 0) == 0) continue;
    if (!message.empty()) message += '\n';
    message += line;
  }
  return message;
}

bool QORHostPanelServer::Refused(const httplib::Request& request, httplib::Response& response) {
  if (!SameSite(request.get_header_value("Host"), request.get_header_value("Origin"), port_)) {
    Answer(response, 403,
           "this panel answers pages of its own address only (Host and Origin must name it)");
    return true;
  }
  if (request.method != "GET" && request.method != "HEAD" &&
      !SameToken(request.get_header_value("X-QOR-Token"), token_)) {
    Answer(response, 403, "a change needs the token of the link `qorapo panel` printed");
    return true;
  }
  return false;
}

bool QORHostPanelServer::EndpointArgument(const std::string& text, httplib::Response& response,
                                          std::vector<std::string>* arguments) {
  if (text.empty()) return true;
  for (const char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
      Answer(response, 400, "endpoint: control characters are not part of any endpoint's name");
      return false;
    }
  }
  if (text.size() > kEndpointTextLimit) {
    Answer(response, 400, "endpoint: longer than any endpoint's name");
    return false;
  }
  arguments->push_back("--endpoint=" + text);
  return true;
}

bool QORHostPanelServer::Body(const httplib::Request& request, httplib::Response& response,
                              std::map<std::string, std::string>* fields,
                              const std::vector<std::string>& required,
                              const std::vector<std::string>& optional) {
  const json body = json::parse(request.body, nullptr, false);
  if (!body.is_object()) {
    Answer(response, 400, "the body is not a JSON object");
    return false;
  }
  for (const auto& [name, value] : body.items()) {
    const bool known = std::find(required.begin(), required.end(), name) != required.end() ||
                       std::find(optional.begin(), optional.end(), name) != optional.end();
    std::string text;
    if (!known) {
      Answer(response, 400, "unknown field '" + name + "'");
      return false;
    }
    if (!FieldText(value, &text)) {
      Answer(response, 400, "field '" + name + "' is not a text, number or switch");
      return false;
    }
    (*fields)[name] = text;
  }
  for (const std::string& name : required) {
    if (fields->count(name) == 0) {
      Answer(response, 400, "field '" + name + "' is missing");
      return false;
    }
  }
  return true;
}

bool QORHostPanelServer::RunTool(const std::vector<std::string>& arguments,
                                 httplib::Response& response, std::string* out) {
  QORHostChildProcess::Result result;
  std::string error;
  tools_.acquire();
  const bool ran = QORHostChildProcess::Run(options_.executable, arguments, kOutputLimit, kToolTime,
                                            &result, &error);
  tools_.release();
  if (!ran) {
    Answer(response, 500, error);
    return false;
  }
  if (result.timedOut) {
    Answer(response, 504, "`qorapo " + arguments.front() + "` did not finish in time");
    return false;
  }
  if (result.code != 0 || result.cutShort) {
    std::string message = Message(result.err);
    if (message.empty()) message = "`qorapo " + arguments.front() + "` failed";
    Answer(response, result.code == 1 || result.code == 2 ? 400 : 500, message);
    return false;
  }
  *out = std::move(result.out);
  return true;
}

void QORHostPanelServer::Tool(const std::vector<std::string>& arguments,
                              httplib::Response& response) {
  std::string out;
  if (RunTool(arguments, response, &out)) response.set_content(out, "application/json");
}

std::shared_ptr<QORHostPanelFeed> QORHostPanelServer::Join(const std::string& endpoint,
                                                           std::string* refusal) {
  std::lock_guard<std::mutex> lock(feedsMutex_);
  if (streams_ >= kStreamLimit) {
    *refusal = "too many live connections; close another page";
    return nullptr;
  }
  auto watched = feeds_.find(endpoint);
  if (watched == feeds_.end()) {
    if (feeds_.size() >= kFeedLimit) {
      *refusal = "too many endpoints watched at once";
      return nullptr;
    }
    watched =
        feeds_.emplace(endpoint, Watched{std::make_shared<QORHostPanelFeed>(endpoint), 0}).first;
  }
  ++watched->second.streams;
  ++streams_;
  return watched->second.feed;
}

void QORHostPanelServer::Leave(const std::string& endpoint) {
  // The feed's thread ends with its last reader, outside the lock.
  std::shared_ptr<QORHostPanelFeed> unwatched;
  std::lock_guard<std::mutex> lock(feedsMutex_);
  --streams_;
  const auto watched = feeds_.find(endpoint);
  if (watched != feeds_.end() && --watched->second.streams == 0) {
    unwatched = std::move(watched->second.feed);
    feeds_.erase(watched);
  }
}

void QORHostPanelServer::Events(const httplib::Request& request, httplib::Response& response) {
  const std::string endpoint = request.get_param_value("endpoint");
  std::vector<std::string> unused;
  if (!EndpointArgument(endpoint, response, &unused)) return;
  QORAPOEndpointInfo info;
  std::string error;
  if (!QORHostEndpointSetup::Find(endpoint, &info, &error)) {
    Answer(response, 400, error);
    return;
  }
  std::shared_ptr<QORHostPanelFeed> feed = Join(endpoint, &error);
  if (feed == nullptr) {
    Answer(response, 503, error);
    return;
  }
  auto seen = std::make_shared<QORHostPanelFeed::Seen>();
  seen->fill(0);
  response.set_header("Cache-Control", "no-store");
  response.set_chunked_content_provider(
      "text/event-stream",
      [feed, seen, first = true](size_t, httplib::DataSink& sink) mutable {
        // A browser that lost the panel tries again after a second.
        std::string frames = first ? "retry: 1000\n\n" : "";
        first = false;
        if (!feed->Next(seen.get(), kKeepAlive, &frames)) return false;
        if (frames.empty()) frames = ": still here\n\n";
        return sink.write(frames.data(), frames.size());
      },
      [this, endpoint](bool) { Leave(endpoint); });
}

void QORHostPanelServer::Response(const httplib::Request& request, httplib::Response& response) {
  std::vector<std::string> endpoint;
  if (!EndpointArgument(request.get_param_value("endpoint"), response, &endpoint)) return;
  // The path through every position the endpoint registers, in the engine's order.
  std::vector<std::string> arguments = {"effects", "--json"};
  arguments.insert(arguments.end(), endpoint.begin(), endpoint.end());
  std::string out;
  if (!RunTool(arguments, response, &out)) return;
  std::string positions;
  for (const json& position : json::parse(out, nullptr, false)) {
    if (!position.is_object() || position.value("class", "").empty()) continue;
    if (!positions.empty()) positions += ',';
    positions += position.value("position", "");
  }
  arguments = {"plot", "--json"};
  arguments.insert(arguments.end(), endpoint.begin(), endpoint.end());
  if (!positions.empty()) arguments.push_back("--position=" + positions);
  const std::string compare = request.get_param_value("compare");
  if (!compare.empty()) arguments.push_back("--compare=" + compare);
  Tool(arguments, response);
}

void QORHostPanelServer::Route() {
  httplib::Server& server = *server_;
  server.set_payload_max_length(kBodyLimit);
  server.new_task_queue = [] { return new httplib::ThreadPool(kStreamLimit + 16); };
  server.set_pre_routing_handler(
      [this](const httplib::Request& request, httplib::Response& response) {
        response.set_header("X-Content-Type-Options", "nosniff");
        response.set_header("Referrer-Policy", "no-referrer");
        response.set_header("X-Frame-Options", "DENY");
        return Refused(request, response) ? httplib::Server::HandlerResponse::Handled
                                          : httplib::Server::HandlerResponse::Unhandled;
      });
  server.set_error_handler([](const httplib::Request&, httplib::Response& response) {
    if (!response.body.empty()) return;
    const char* why = response.status == 413   ? "the body is larger than 64 KiB"
                      : response.status == 404 ? "no such page or request"
                                               : "the request could not be served";
    Answer(response, response.status, why);
  });
  server.Get(R"(/(|index\.html|panel\.js|panel\.css|[a-z-]+\.svg))",
             [](const httplib::Request& request, httplib::Response& response) {
               const QORHostPanelPage::File* file = QORHostPanelPage::Find(request.path);
               if (file == nullptr) {
                 Answer(response, 404, "no such page or request");
                 return;
               }
               response.set_header("Cache-Control", "no-store");
               response.set_header("Content-Security-Policy",
                                   "default-src 'self'; style-src 'self' 'unsafe-inline'; "
                                   "img-src 'self' data:; frame-ancestors 'none'");
               response.set_content(file->text, file->type);
             });

  // Reads: the tools' own answers.
  struct Read {
    const char* path;
    std::vector<std::string> arguments;
  };
  static const Read kReads[] = {
      {"/api/endpoints", {"endpoint", "list", "--json"}},
      {"/api/modes", {"mode", "list", "--json"}},
      {"/api/mode", {"mode", "get", "--json"}},
      {"/api/controls", {"control", "list", "--json"}},
      {"/api/tuning", {"tune", "get", "--json"}},
      {"/api/effects", {"effects", "--json"}},
  };
  for (const Read& read : kReads) {
    server.Get(read.path,
               [this, &read](const httplib::Request& request, httplib::Response& response) {
                 std::vector<std::string> arguments = read.arguments;
                 // The endpoint list is the store's, not one endpoint's.
                 if (arguments.front() != "endpoint" &&
                     !EndpointArgument(request.get_param_value("endpoint"), response, &arguments)) {
                   return;
                 }
                 Tool(arguments, response);
               });
  }
  server.Get("/api/response", [this](const httplib::Request& request, httplib::Response& response) {
    Response(request, response);
  });
  server.Get("/api/events", [this](const httplib::Request& request, httplib::Response& response) {
    Events(request, response);
  });

  // Writes: one at a time, each the command line's own, after the options end ("--"), so that
  // no text from the page is taken for an option.
  server.Post("/api/mode", [this](const httplib::Request& request, httplib::Response& response) {
    std::map<std::string, std::string> fields;
    std::vector<std::string> arguments = {"mode", "set", "--json"};
    if (!Body(request, response, &fields, {"mode"}, {"endpoint", "speaker"}) ||
        !EndpointArgument(fields["endpoint"], response, &arguments)) {
      return;
    }
    arguments.push_back("--");
    arguments.push_back(fields["mode"]);
    if (!fields["speaker"].empty()) arguments.push_back(fields["speaker"]);
    std::lock_guard<std::mutex> lock(writing_);
    Tool(arguments, response);
  });
  server.Post("/api/control", [this](const httplib::Request& request, httplib::Response& response) {
    std::map<std::string, std::string> fields;
    std::vector<std::string> arguments = {"control", "set", "--json"};
    if (!Body(request, response, &fields, {"name", "value"}, {"endpoint"}) ||
        !EndpointArgument(fields["endpoint"], response, &arguments)) {
      return;
    }
    arguments.insert(arguments.end(), {"--", fields["name"], fields["value"]});
    std::lock_guard<std::mutex> lock(writing_);
    Tool(arguments, response);
  });
  server.Post("/api/reset", [this](const httplib::Request& request, httplib::Response& response) {
    std::map<std::string, std::string> fields;
    std::vector<std::string> arguments = {"control", "reset", "--json"};
    if (!Body(request, response, &fields, {}, {"endpoint"}) ||
        !EndpointArgument(fields["endpoint"], response, &arguments)) {
      return;
    }
    std::lock_guard<std::mutex> lock(writing_);
    Tool(arguments, response);
  });
}

int QORHostPanelServer::Run() {
  // SIGINT and SIGTERM are taken by a thread of their own; every other thread, the server's
  // included, starts with them blocked.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);

  Route();
  if (options_.port == 0) {
    port_ = server_->bind_to_any_port(options_.host);
  } else if (server_->bind_to_port(options_.host, options_.port)) {
    port_ = options_.port;
  }
  if (port_ <= 0) {
    std::fprintf(stderr, "qorapo: cannot listen on %s:%d (in use, or not an address here)\n",
                 options_.host.c_str(), options_.port);
    return 1;
  }
  std::string shown = options_.host;
  if (shown == "0.0.0.0" || shown == "::") shown = "127.0.0.1";
  if (shown.find(':') != std::string::npos) shown = "[" + shown + "]";
  std::printf("qorapo panel: http://%s:%d/#token=%s\n", shown.c_str(), port_, token_.c_str());
  std::fflush(stdout);

  std::thread stopper([this, stops] {
    int signal = 0;
    sigwait(&stops, &signal);
    {
      std::lock_guard<std::mutex> lock(feedsMutex_);
      for (auto& [name, watched] : feeds_) watched.feed->Stop();
    }
    server_->stop();
  });
  const bool served = server_->listen_after_bind();
  // Ended by other means than a signal: the stopper is sent one so that it ends too.
  pthread_kill(stopper.native_handle(), SIGTERM);
  stopper.join();
  return served ? 0 : 1;
}

extern "C" __attribute__((visibility("default"))) int QORHostPanelRun(
    const QORHostPanelOptions* options) {
  QORHostPanelServer server(*options);
  return server.Run();
}

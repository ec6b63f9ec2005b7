// The control panel's server from outside: what it refuses, that its reads and writes are the
// command line's own, and that a hundred live connections leave a playing host's output alone.
#include <poll.h>

#include <regex>

#include "LocalHttp.h"
#include "QORHostRunner.h"

namespace {

using qortest::HostAudio;
using qortest::HostResult;

class PanelTest : public qortest::HostToolTest {
 protected:
  void SetUp() override {
    HostToolTest::SetUp();
    ASSERT_NE(panel_ = StartBackground({"panel"}, "panel"), 0)
        << qortest::SlurpFile(ErrOf("panel"));
    std::smatch match;
    const std::string link = qortest::SlurpFile(OutOf("panel"));
    ASSERT_TRUE(std::regex_search(
        link, match,
        std::regex(R"(^qorapo panel: http://127\.0\.0\.1:([0-9]+)/#token=([0-9a-f]{32})\n)")))
        << link;
    port_ = std::stoi(match[1]);
    token_ = match[2];
  }

  std::string HostHeader() const { return "127.0.0.1:" + std::to_string(port_); }

  // A request as the page makes it: to the panel's own address, with the token.
  qortest::HttpAnswer Request(const std::string& method, const std::string& path,
                              const std::string& body = "", std::vector<std::string> headers = {},
                              bool token = true) {
    if (token) headers.push_back("X-QOR-Token: " + token_);
    bool host = false;
    for (const std::string& header : headers) host = host || header.rfind("Host:", 0) == 0;
    if (!host) headers.push_back("Host: " + HostHeader());
    return qortest::HttpRequest(port_, method, path, headers, body);
  }

  static nlohmann::json Json(const qortest::HttpAnswer& answer) {
    return nlohmann::json::parse(answer.body, nullptr, false);
  }

  // Everything a write could change: the current mode and every control's stored value.
  std::string Stored() {
    return RunJson({"mode", "get", "--json"}).dump() +
           RunJson({"control", "list", "--json"}).dump();
  }

  // The message the command line gives for a refused command.
  std::string ToolMessage(const std::vector<std::string>& args) {
    const HostResult result = Run(args);
    EXPECT_NE(result.code, 0);
    std::string message = result.err;
    if (message.rfind("qorapo: ", 0) == 0) message.erase(0, 8);
    while (!message.empty() && message.back() == '\n') message.pop_back();
    return message;
  }

  pid_t panel_ = 0;
  int port_ = 0;
  std::string token_;
};

TEST_F(PanelTest, RefusalsAnswerAsTheToolsDoAndLeaveTheStoredValuesAsTheyWere) {
  const std::string before = Stored();
  const std::string set = R"({"name":"VAPO3-Process Enable","value":"0"})";
  struct Case {
    const char* what;
    std::string path;
    std::string body;
    std::vector<std::string> headers;
    bool token;
    int status;
    std::string error;  // the whole message; empty: any
  };
  const std::vector<Case> cases = {
      {"no token", "/api/control", set, {}, false, 403, ""},
      {"a wrong token",
       "/api/control",
       set,
       {"X-QOR-Token: " + std::string(32, '0')},
       false,
       403,
       ""},
      {"another site's name",
       "/api/control",
       set,
       {"Host: rebind.example:" + std::to_string(port_)},
       true,
       403,
       ""},
      {"another port",
       "/api/control",
       set,
       {"Host: 127.0.0.1:" + std::to_string(port_ + 1)},
       true,
       403,
       ""},
      {"another site's page",
       "/api/control",
       set,
       {"Origin: http://rebind.example"},
       true,
       403,
       ""},
      {"a read from another site",
       "/api/controls",
       "",
       {"Origin: http://rebind.example"},
       true,
       403,
       ""},
      {"an out-of-range value",
       "/api/control",
       R"({"name":"VAPO3-Process Enable","value":"7"})",
       {},
       true,
       400,
       ToolMessage({"control", "set", "VAPO3-Process Enable", "7"})},
      {"an option for a name",
       "/api/control",
       R"({"name":"--help","value":"1"})",
       {},
       true,
       400,
       ToolMessage({"control", "set", "--", "--help", "1"})},
      {"a mode the configuration lacks",
       "/api/mode",
       R"({"mode":"Karaoke"})",
       {},
       true,
       400,
       ToolMessage({"mode", "set", "Karaoke"})},
      {"an unknown endpoint",
       "/api/control",
       R"({"endpoint":"No Such Speakers","name":"VAPO3-Process Enable","value":"0"})",
       {},
       true,
       400,
       ToolMessage(
           {"control", "set", "--endpoint", "No Such Speakers", "VAPO3-Process Enable", "0"})},
      {"a body that is not JSON",
       "/api/control",
       "name=VAPO3",
       {},
       true,
       400,
       "the body is not a JSON object"},
      {"an unknown field",
       "/api/control",
       R"({"name":"VAPO3-Process Enable","value":"0","x":1})",
       {},
       true,
       400,
       "unknown field 'x'"},
      {"a missing field",
       "/api/control",
       R"({"name":"VAPO3-Process Enable"})",
       {},
       true,
       400,
       "field 'value' is missing"},
      {"an oversized body",
       "/api/control",
       R"({"name":"VAPO3-Process Enable","value":")" + std::string(70 * 1024, '0') + "\"}",
       {},
       true,
       413,
       ""},
  };
  for (const Case& c : cases) {
    const qortest::HttpAnswer answer =
        Request(c.path == "/api/controls" ? "GET" : "POST", c.path, c.body, c.headers, c.token);
    EXPECT_EQ(answer.status, c.status) << c.what << ": " << answer.body;
    const nlohmann::json body = Json(answer);
    ASSERT_TRUE(body.contains("error")) << c.what << ": " << answer.body;
    if (!c.error.empty()) {
      EXPECT_EQ(body["error"], c.error) << c.what;
    }
    EXPECT_EQ(Stored(), before) << c.what;
  }
}

TEST_F(PanelTest, ReadsAndWritesAreTheCommandLinesOwn) {
  // A write lands where the command line's lands, and answers what it prints.
  qortest::HttpAnswer answer =
      Request("POST", "/api/control", R"({"name":"VAPO3-Process Enable","value":0})");
  ASSERT_EQ(answer.status, 200) << answer.body;
  EXPECT_EQ(Json(answer)["previous"], "1");
  EXPECT_EQ(Run({"control", "get", "VAPO3-Process Enable"}).out, "0\n");
  answer = Request("POST", "/api/mode", R"({"mode":"Movie","speaker":"Headphones"})");
  ASSERT_EQ(answer.status, 200) << answer.body;
  EXPECT_EQ(Run({"mode", "get"}).out, "Movie/Headphones\n");

  // Reads are the tools' answers, the endpoint chosen by name or GUID alike.
  const std::string guid = RunJson({"endpoint", "list", "--json"})[0]["guid"];
  EXPECT_EQ(Json(Request("GET", "/api/modes")), RunJson({"mode", "list", "--json"}));
  EXPECT_EQ(Json(Request("GET", "/api/controls?endpoint=" + guid)),
            RunJson({"control", "list", "--json"}));
  EXPECT_EQ(Json(Request("GET", "/api/endpoints")), RunJson({"endpoint", "list", "--json"}));

  // The response is measured through every position the endpoint registers, in order.
  const nlohmann::json response = Json(Request("GET", "/api/response"));
  ASSERT_TRUE(response.contains("curves")) << response.dump();
  EXPECT_EQ(response, RunJson({"plot", "--json", "--position", "SFX,MFX,EFX"}));

  // The page itself, and nothing beside it.
  EXPECT_EQ(Request("GET", "/").status, 200);
  const qortest::HttpAnswer outside = Request("GET", "/../CMakeLists.txt");
  EXPECT_TRUE(outside.status == 400 || outside.status == 404) << outside.status;
  EXPECT_EQ(Request("GET", "/api/nothing").status, 404);
}

TEST_F(PanelTest, AHundredLiveConnectionsLeaveAPlayingHostsOutputAsItWas) {
  ASSERT_TRUE(qortest::WriteHostAudio(File("tone.wav"), qortest::Tones({1000.0}, 0.25, 3.0)));
  ASSERT_EQ(Run({"process", File("tone.wav"), File("offline.wav")}).code, 0);

  constexpr int kConnections = 100;
  std::vector<pollfd> streams;
  const std::string request = "GET /api/events HTTP/1.1\r\nHost: " + HostHeader() + "\r\n\r\n";
  for (int i = 0; i < kConnections; ++i) {
    const int fd = qortest::ConnectLocal(port_);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(qortest::SendAll(fd, request));
    streams.push_back({fd, POLLIN, 0});
  }
  const pid_t host = Start({"process", File("tone.wav"), File("live.wav"), "--realtime"}, "host");
  ASSERT_NE(host, 0);
  // Each connection is read until the host has ended and every one has seen it play.
  std::vector<std::string> tails(kConnections);
  std::vector<int> heard(kConnections, 0);
  int status = 0;
  bool ended = false;
  while (!ended) {
    poll(streams.data(), streams.size(), 100);
    for (int i = 0; i < kConnections; ++i) {
      if ((streams[i].revents & POLLIN) == 0) continue;
      char buffer[65536];
      const ssize_t n = recv(streams[i].fd, buffer, sizeof(buffer), 0);
      if (n <= 0) continue;
      tails[i].append(buffer, static_cast<size_t>(n));
      for (size_t at; (at = tails[i].find("\n\n")) != std::string::npos;) {
        const std::string frame = tails[i].substr(0, at);
        tails[i].erase(0, at + 2);
        if (frame.find("event: meters") != std::string::npos &&
            frame.find("\"host\":true") != std::string::npos) {
          ++heard[i];
        }
      }
    }
    ended = waitpid(host, &status, WNOHANG) == host;
  }
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << qortest::SlurpFile(ErrOf("host"));
  for (int i = 0; i < kConnections; ++i) EXPECT_GT(heard[i], 10) << "connection " << i;

  // Up to 128 are served, each once it answers; the next is refused rather than left waiting.
  for (int i = kConnections; i < 128; ++i) {
    const int fd = qortest::ConnectLocal(port_);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(qortest::SendAll(fd, request));
    char buffer[256];
    ASSERT_GT(recv(fd, buffer, sizeof(buffer), 0), 0) << "connection " << i;
    streams.push_back({fd, POLLIN, 0});
  }
  const qortest::HttpAnswer refused = Request("GET", "/api/events");
  EXPECT_EQ(refused.status, 503);
  EXPECT_EQ(Json(refused)["error"], "too many live connections; close another page");
  for (const pollfd& stream : streams) close(stream.fd);

  const HostAudio live = qortest::ReadHostAudio(File("live.wav"));
  const HostAudio offline = qortest::ReadHostAudio(File("offline.wav"));
  ASSERT_EQ(live.samples.size(), offline.samples.size());
  float worst = 0.0f;
  for (size_t n = 0; n < live.samples.size(); ++n) {
    worst = std::max(worst, std::fabs(live.samples[n] - offline.samples[n]));
  }
  EXPECT_EQ(worst, 0.0f);
}

}  // namespace

#include "PipeWireSession.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace qortest {
namespace {

namespace fs = std::filesystem;

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The executable's full path from PATH, found before forking (execvp may allocate).
std::string Resolve(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return name;
}

int ExitCode(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool WaitForFile(const fs::path& path, const std::function<bool()>& alive,
                 std::chrono::seconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (std::chrono::steady_clock::now() < deadline) {
    std::error_code error;
    if (fs::exists(path, error)) return true;
    if (!alive()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

}  // namespace

PipeWireSession::PipeWireSession(fs::path dir, PipeWireOptions options)
    : dir_(std::move(dir)), options_(std::move(options)) {}

PipeWireSession::~PipeWireSession() {
  // Clients first, then the session manager, the server and the bus, as a desktop ends them.
  while (!running_.empty()) Stop(running_.back());
  std::error_code error;
  if (!scratch_.empty()) fs::remove_all(scratch_, error);
}

std::string PipeWireSession::Configuration() const {
  std::ostringstream text;
  text << "context.properties = {\n  core.daemon = true\n  core.name = pipewire-0\n"
       << "  default.clock.rate = " << options_.rates.front() << "\n"
       << "  default.clock.allowed-rates = [";
  for (const int rate : options_.rates) text << " " << rate;
  text << " ]\n  default.clock.quantum = " << options_.quantum << "\n"
       << "  default.clock.min-quantum = 32\n"
       << "  default.clock.max-quantum = " << options_.quantum << "\n}\n";
  // The modules and objects, shared with the benchmarks; its null device is kDevice.
  std::ifstream shared(QOR_PIPEWIRE_CONF);
  text << shared.rdbuf();
  return text.str();
}

std::vector<std::string> PipeWireSession::Environment(
    const std::map<std::string, std::string>& extra) const {
  const std::map<std::string, std::string> own{
      {"XDG_RUNTIME_DIR", (dir_ / "run").string()},
      {"XDG_CONFIG_HOME", (dir_ / "config").string()},
      {"XDG_STATE_HOME", (dir_ / "state").string()},
      {"XDG_DATA_HOME", (dir_ / "data").string()},
      {"XDG_CACHE_HOME", (dir_ / "cache").string()},
      {"HOME", (dir_ / "home").string()},
      {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (dir_ / "run" / "bus").string()},
  };
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const std::string key = text.substr(0, text.find('='));
    // Whatever would lead a client to the user's own server or configuration stays out.
    if (own.contains(key) || extra.contains(key) || key.starts_with("PIPEWIRE_") ||
        key.starts_with("WIREPLUMBER_") || key.starts_with("PULSE_")) {
      continue;
    }
    environment.push_back(text);
  }
  for (const auto& [key, value] : own) environment.push_back(key + "=" + value);
  for (const auto& [key, value] : extra) environment.push_back(key + "=" + value);
  return environment;
}

pid_t PipeWireSession::Launch(const std::vector<std::string>& args,
                              const std::vector<std::string>& environment, const std::string& tag) {
  std::vector<std::string> words = args;
  words[0] = Resolve(words[0]);
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  std::vector<std::string> env = environment;
  std::vector<char*> envp;
  for (std::string& entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);

  const fs::path logs = dir_ / "logs";
  const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  const int out =
      open((logs / (tag + ".out")).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int err =
      open((logs / (tag + ".err")).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const pid_t parent = getpid();
  const pid_t pid = (in < 0 || out < 0 || err < 0) ? -1 : fork();
  if (pid == 0) {
    // Only async-signal-safe calls from here. The child dies with the test (even one killed
    // outright), so an aborted run leaves no server behind.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    signal(SIGPIPE, SIG_DFL);
    dup2(in, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    if (chdir(dir_.c_str()) != 0) _exit(127);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  for (const int fd : {in, out, err}) {
    if (fd >= 0) close(fd);
  }
  if (pid < 0) return 0;
  running_.push_back(pid);
  return pid;
}

bool PipeWireSession::Start(std::string* why) {
  std::error_code error;
  for (const char* sub :
       {"run", "config/pipewire/pipewire.conf.d", "state", "data", "cache", "home", "logs"}) {
    fs::create_directories(dir_ / sub, error);
  }
  fs::permissions(dir_ / "run", fs::perms::owner_all, error);
  std::string scratch = "/dev/shm/qor-pipewire-XXXXXX";
  scratch_ = mkdtemp(scratch.data()) != nullptr ? fs::path(scratch) : dir_ / "scratch";
  fs::create_directories(scratch_, error);
  std::ofstream(dir_ / "config/pipewire/pipewire.conf") << Configuration();
  for (const auto& [name, text] : options_.fragments) {
    std::ofstream(dir_ / "config/pipewire/pipewire.conf.d" / name) << text;
  }
  clientEnvironment_ = Environment({});

  // WirePlumber ends (70) without a session bus.
  bus_ = Launch({"dbus-daemon", "--session", "--nofork", "--nopidfile",
                 "--address=unix:path=" + (dir_ / "run" / "bus").string()},
                clientEnvironment_, "dbus");
  if (bus_ == 0 ||
      !WaitForFile(
          dir_ / "run" / "bus", [&] { return Alive(bus_); }, std::chrono::seconds(30))) {
    *why = "the session bus did not start: " + Log("dbus");
    return false;
  }
  pipewire_ = Launch({"pipewire"}, Environment(options_.environment), "pipewire");
  if (pipewire_ == 0 || !WaitForFile(
                            dir_ / "run" / "pipewire-0", [&] { return Alive(pipewire_); },
                            std::chrono::seconds(30))) {
    *why = "pipewire did not start: " + Log("pipewire");
    return false;
  }
  // Without a session manager the adapters expose no ports to link.
  wireplumber_ = Launch({"wireplumber"}, clientEnvironment_, "wireplumber");
  if (wireplumber_ == 0 || !WaitUntil([](const nlohmann::json& objects) {
        return NodeId(objects, kDevice).has_value();
      })) {
    *why = "the null device did not appear: " + Log("pipewire") + Log("wireplumber");
    return false;
  }
  return true;
}

nlohmann::json PipeWireSession::Dump() {
  const CommandResult dump = Run({"pw-dump"});
  if (dump.code != 0) return nlohmann::json::array();
  try {
    return nlohmann::json::parse(dump.out);
  } catch (const nlohmann::json::exception&) {
    return nlohmann::json::array();
  }
}

bool PipeWireSession::WaitUntil(const std::function<bool(const nlohmann::json&)>& ready,
                                std::chrono::seconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (std::chrono::steady_clock::now() < deadline) {
    if (!Alive(pipewire_)) return false;
    if (ready(Dump())) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

std::optional<int> PipeWireSession::NodeId(const nlohmann::json& objects, const std::string& name) {
  for (const nlohmann::json& object : objects) {
    if (object.value("type", "") != "PipeWire:Interface:Node") continue;
    const nlohmann::json props =
        object.value("info", nlohmann::json::object()).value("props", nlohmann::json::object());
    if (props.value("node.name", "") == name) return object.value("id", -1);
  }
  return std::nullopt;
}

bool PipeWireSession::WaitForLinked(const std::string& from, const std::string& to,
                                    std::chrono::seconds bound) {
  return WaitUntil(
      [&](const nlohmann::json& objects) {
        const std::optional<int> source = NodeId(objects, from);
        const std::optional<int> sink = NodeId(objects, to);
        if (!source || !sink) return false;
        int outputs = 0;
        int links = 0;
        for (const nlohmann::json& object : objects) {
          const std::string type = object.value("type", "");
          const nlohmann::json info = object.value("info", nlohmann::json::object());
          if (type == "PipeWire:Interface:Port" && info.value("direction", "") == "output" &&
              info.value("props", nlohmann::json::object()).value("node.id", -1) == *source) {
            ++outputs;
          }
          if (type == "PipeWire:Interface:Link" && info.value("output-node-id", -1) == *source &&
              info.value("input-node-id", -1) == *sink) {
            ++links;
          }
        }
        return outputs > 0 && links >= outputs;
      },
      bound);
}

CommandResult PipeWireSession::Run(const std::vector<std::string>& args) {
  static int count = 0;
  const std::string tag = "run-" + std::to_string(++count);
  CommandResult result;
  const pid_t pid = Launch(args, clientEnvironment_, tag);
  if (pid == 0) return result;
  const std::optional<int> code = WaitFor(pid, std::chrono::seconds(60));
  result.code = code ? *code : (Stop(pid, SIGKILL), -1);
  result.out = Slurp(dir_ / "logs" / (tag + ".out"));
  result.err = Slurp(dir_ / "logs" / (tag + ".err"));
  return result;
}

pid_t PipeWireSession::Spawn(const std::vector<std::string>& args, const std::string& tag) {
  return Launch(args, clientEnvironment_, tag);
}

std::optional<int> PipeWireSession::WaitFor(pid_t pid, std::chrono::seconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  do {
    if (!Alive(pid)) {
      const auto ended = ended_.find(pid);
      return ended == ended_.end() ? -1 : ExitCode(ended->second);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  } while (std::chrono::steady_clock::now() < deadline);
  return std::nullopt;
}

bool PipeWireSession::Alive(pid_t pid) {
  if (pid <= 0 || ended_.contains(pid)) return false;
  int status = 0;
  const pid_t reaped = waitpid(pid, &status, WNOHANG);
  if (reaped == pid) {
    ended_[pid] = status;
    std::erase(running_, pid);
    return false;
  }
  return reaped == 0;
}

int PipeWireSession::Stop(pid_t pid, int signal, std::chrono::milliseconds grace) {
  if (Alive(pid)) {
    kill(pid, signal);
    const auto deadline = std::chrono::steady_clock::now() + grace;
    while (Alive(pid) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (Alive(pid)) {
      kill(pid, SIGKILL);
      int status = 0;
      if (waitpid(pid, &status, 0) == pid) ended_[pid] = status;
    }
  }
  std::erase(running_, pid);
  const auto ended = ended_.find(pid);
  return ended == ended_.end() ? -1 : ExitCode(ended->second);
}

std::string PipeWireSession::Log(const std::string& tag) const {
  return Slurp(dir_ / "logs" / (tag + ".err")) + Slurp(dir_ / "logs" / (tag + ".out"));
}

}  // namespace qortest

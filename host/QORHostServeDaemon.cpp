#include "QORHostServeDaemon.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <fstream>

#include "QORHostChildProcess.h"
#include "QORHostEndpointSetup.h"
#include "QORHostOutput.h"
#include "QORHostPipeWireSink.h"
#include "QORHostRegisterCommand.h"
#include "QORHostServeCommand.h"
#include "common/QORTextConvert.h"
#include "engine/QORHostEngineSetup.h"
#include "platform/QORGuid.h"
#include "platform/QORSystemInfo.h"

namespace {

constexpr int kRate = 48000;

void Quit(void* loop, int) {
  pw_main_loop_quit(static_cast<pw_main_loop*>(loop));
}

}  // namespace

QORHostServeDaemon::QORHostServeDaemon(const QORHostServeOptions& options) : options_(options) {}

QORHostServeDaemon::~QORHostServeDaemon() {
  if (lockFd_ >= 0) close(lockFd_);
}

void QORHostServeDaemon::WriteStatus() {
  nlohmann::json nodes = nlohmann::json::array();
  for (const auto& sink : sinks_) {
    const QORHostPipeWireSink::Settings& settings = sink->GetSettings();
    nodes.push_back(
        {{"endpoint", settings.description},
         {"flow", settings.flow == QORHostPipeWireSink::Flow::kCapture ? "capture" : "render"},
         {"node", settings.nodeName},
         {"latency_frames", sink->LatencyFrames()},
         {"rate", sink->Rate()},
         {"rebuilds", sink->Rebuilds()}});
  }
  const nlohmann::json status = {{"pid", getpid()}, {"nodes", nodes}, {"last_event", lastEvent_}};
  const std::filesystem::path path = QORHostServeCommand::StatusPath();
  std::filesystem::path temporary = path;
  temporary += ".new";
  // As everything in the state root: never through a link, readable by the root's group.
  const int fd =
      open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0660);
  if (fd < 0) return;  // the status is a courtesy; the daemon runs on without it
  const std::string text = status.dump(2) + "\n";
  const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  if (written) std::rename(temporary.c_str(), path.c_str());
}

bool QORHostServeDaemon::Lock() {
  const std::filesystem::path path = QORHostServeCommand::LockPath();
  std::error_code ignored;
  std::filesystem::create_directories(path.parent_path(), ignored);
  lockFd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0660);
  if (lockFd_ < 0) {
    QORHostOutput::Error(QORHostOutput::kFailed,
                         "cannot open " + path.string() + ": " + std::strerror(errno));
    return false;
  }
  if (flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
    std::string holder;
    std::ifstream(path) >> holder;
    QORHostOutput::Error(QORHostOutput::kFailed,
                         "another qorapo serve (process " + (holder.empty() ? "?" : holder) +
                             ") runs for the state root " + path.parent_path().string() +
                             "; stop it first");
    return false;
  }
  const std::string pid = std::to_string(getpid()) + "\n";
  if (ftruncate(lockFd_, 0) != 0 || write(lockFd_, pid.data(), pid.size()) < 0) {
    // The lock holds regardless; only the message of a second daemon lacks the pid.
  }
  return true;
}

void QORHostServeDaemon::Event(const std::string& kind, const std::string& endpoint,
                               const std::string& node, const std::string& detail) {
  if (options_.json) {
    QORHostOutput::PrintLine(
        {{"event", kind}, {"endpoint", endpoint}, {"node", node}, {"detail", detail}});
  } else {
    std::printf("%-8s %s (%s): %s\n", kind.c_str(), endpoint.c_str(), node.c_str(), detail.c_str());
  }
  // A line at a time, as it happens, whatever reads it.
  std::fflush(stdout);
  lastEvent_ = {{"event", kind}, {"endpoint", endpoint}, {"node", node}, {"detail", detail}};
  WriteStatus();
}

void QORHostServeDaemon::OnHangUp(void* data, int) {
  static_cast<QORHostServeDaemon*>(data)->Reconcile();
}

bool QORHostServeDaemon::Reconcile() {
  using Flow = QORHostPipeWireSink::Flow;
  std::vector<std::pair<Flow, QORAPOEndpointInfo>> endpoints;
  // Capture first: render objects whose mode follows a running microphone start in that mode,
  // rather than switching to it while they play.
  for (const Flow flow : {Flow::kCapture, Flow::kRender}) {
    for (uint32_t index = 1;; ++index) {
      QORAPOEndpointInfo endpoint;
      if (!(flow == Flow::kRender ? QORHostEngineSetup::RenderEndpoint(index, &endpoint)
                                  : QORHostEngineSetup::CaptureEndpoint(index, &endpoint))) {
        break;
      }
      endpoints.emplace_back(flow, endpoint);
    }
  }
  std::vector<std::string> active;
  for (const auto& entry : endpoints) {
    const Flow flow = entry.first;
    const QORAPOEndpointInfo& endpoint = entry.second;
    const std::string guid = QORWideToUtf8(QORGuidToString(endpoint.GetEndpointGuid()));
    active.push_back(guid);
    const bool running = std::any_of(sinks_.begin(), sinks_.end(), [&](const auto& sink) {
      return sink->GetSettings().endpoint == guid;
    });
    if (running) continue;
    // The display name puts the interface's name before the description; either may be empty.
    std::string name = QORWideToUtf8(endpoint.GetDisplayName());
    name.erase(0, name.find_first_not_of(' '));
    name.erase(name.find_last_not_of(' ') + 1);
    QORHostPipeWireSink::Settings settings;
    settings.flow = flow;
    settings.nodeName = QORHostServeCommand::NodeName(name);
    settings.description = name;
    settings.endpoint = guid;
    // A device's endpoint plays into (records from) its device; others into the chosen one.
    settings.target = QORHostEndpointSetup::DeviceNode(flow == Flow::kRender ? eRender : eCapture,
                                                       endpoint.GetEndpointGuid());
    if (settings.target.empty())
      settings.target = flow == Flow::kRender ? options_.target : options_.source;
    // A microphone is mono where its objects take it: with two channels, the second is the
    // echo reference to the echo canceller.
    settings.channels = flow == Flow::kRender ? std::vector<int>{2} : std::vector<int>{1, 2};
    settings.rate = kRate;
    // As the engine does: the classes registered at SFX, MFX and EFX (else the local effect),
    // from the module their registration names (else the one beside qorapo, as for qorapo
    // process).
    const std::vector<int> locations = QORHostEngineSetup::DefaultLocations(endpoint);
    const uint32_t maxFrames = settings.maxFrames;
    settings.start = [endpoint, locations, maxFrames](int channels, int rate, std::string* error) {
      return QORHostEngineSetup::Start(endpoint, locations, QORHostRegisterCommand::DefaultModule(),
                                       channels, rate, maxFrames, error);
    };
    const std::string node = settings.nodeName;
    settings.report = [this, name, node](const std::string& kind, const std::string& detail) {
      Event(kind, name, node, detail);
    };
    std::string error;
    auto sink = std::make_unique<QORHostPipeWireSink>(core_, loop_, settings, &error);
    if (sink->Ready() && sink->Connect(&error)) {
      Event("up", name, node, "latency " + std::to_string(sink->LatencyFrames()) + " frames");
      sinks_.push_back(std::move(sink));
      continue;
    }
    Event("skipped", name, node, error);
  }
  for (auto sink = sinks_.begin(); sink != sinks_.end();) {
    const QORHostPipeWireSink::Settings& settings = (*sink)->GetSettings();
    if (std::find(active.begin(), active.end(), settings.endpoint) != active.end()) {
      ++sink;
      continue;
    }
    const std::string name = settings.description;
    const std::string node = settings.nodeName;
    const std::string flow = settings.flow == Flow::kRender ? "render" : "capture";
    sink = sinks_.erase(sink);
    Event("down", name, node, "no longer an active " + flow + " endpoint of the state root");
  }
  WriteStatus();
  return !sinks_.empty();
}

void QORHostServeDaemon::OnDeviceAdded(const QORHostDeviceFollower::Device& device) {
  const GUID guid = QORHostEndpointSetup::DeviceGuid(device.flow, device.node);
  const std::string guidText = QORWideToUtf8(QORGuidToString(guid));
  QOREndpointRecord record;
  if (SUCCEEDED(QOREndpointStore::Find(device.flow, guid, &record))) {
    const std::string name = QORHostEndpointSetup::RecordName(record);
    if (record.state == DEVICE_STATE_DISABLED) {
      Event("device", name, device.node, "arrived; its endpoint " + guidText + " stays disabled");
      return;
    }
    if (record.state != DEVICE_STATE_ACTIVE) {
      QOREndpointStore::SetState(device.flow, guid, DEVICE_STATE_ACTIVE);
      Event("device", name, device.node, "arrived again; its endpoint " + guidText + " is active");
    }
    if (devicesKnown_) Reconcile();
    return;
  }
  const QORHostDeviceRules::Rule* rule =
      rules_.Choose(device.flow, device.node, device.description);
  if (rule == nullptr) {
    Event("device", device.description, device.node,
          "arrived; no rule of " + rules_.Path().string() +
              " matches it and there is no fallback, so it has no endpoint");
    return;
  }
  QORHostEndpointSetup::NewEndpoint endpoint;
  endpoint.flow = device.flow;
  endpoint.guid = guid;
  endpoint.name = device.description;
  // Two devices of the same make share a description; the node name tells them apart.
  std::vector<QOREndpointRecord> records;
  QOREndpointStore::List(device.flow, DEVICE_STATEMASK_ALL, &records);
  for (const QOREndpointRecord& other : records) {
    if (QORHostEndpointSetup::RecordName(other) == endpoint.name) {
      endpoint.name += " (" + device.node + ")";
      break;
    }
  }
  endpoint.configuration = rule->configuration;
  std::copy_n(rule->Classes(device.flow), std::size(endpoint.classes), endpoint.classes);
  endpoint.device = device.node;
  std::string error;
  if (!QORHostEndpointSetup::Write(endpoint, &error)) {
    Event("device", endpoint.name, device.node,
          "arrived; its endpoint cannot be written: " + error);
    return;
  }
  Event("device", endpoint.name, device.node,
        "arrived; endpoint " + guidText + " with " + rule->configuration + " (" +
            rules_.Path().string() + ":" + std::to_string(rule->line) + ")");
  if (devicesKnown_) Reconcile();
}

void QORHostServeDaemon::OnDeviceRemoved(const QORHostDeviceFollower::Device& device) {
  const GUID guid = QORHostEndpointSetup::DeviceGuid(device.flow, device.node);
  QOREndpointRecord record;
  if (FAILED(QOREndpointStore::Find(device.flow, guid, &record)) ||
      record.state != DEVICE_STATE_ACTIVE) {
    return;
  }
  QOREndpointStore::SetState(device.flow, guid, DEVICE_STATE_NOTPRESENT);
  Event("device", QORHostEndpointSetup::RecordName(record), device.node,
        "went away; its endpoint " + QORWideToUtf8(QORGuidToString(guid)) + " is not present");
  if (devicesKnown_) Reconcile();
}

void QORHostServeDaemon::OnDevicesKnown(const std::vector<QORHostDeviceFollower::Device>& present) {
  // Devices that went while no daemon watched.
  std::vector<QOREndpointRecord> records;
  QOREndpointStore::List(eAll, DEVICE_STATE_ACTIVE, &records);
  for (const QOREndpointRecord& record : records) {
    const std::string node = QORHostEndpointSetup::DeviceNode(record.flow, record.guid);
    if (node.empty() || std::any_of(present.begin(), present.end(), [&](const auto& device) {
          return device.flow == record.flow && device.node == node;
        })) {
      continue;
    }
    QOREndpointStore::SetState(record.flow, record.guid, DEVICE_STATE_NOTPRESENT);
    Event("device", QORHostEndpointSetup::RecordName(record), node,
          "is not there; its endpoint " + QORWideToUtf8(QORGuidToString(record.guid)) +
              " is not present");
  }
  devicesKnown_ = true;
  Reconcile();
}

void QORHostServeDaemon::OnDefaultChanged(EDataFlow flow, const std::string& node) {
  // The default is a device's, or one of our sinks, which stands for its endpoint.
  GUID guid = QORHostEndpointSetup::DeviceGuid(flow, node);
  for (const auto& sink : sinks_) {
    if (sink->GetSettings().nodeName == node) {
      QORGuidFromString(QORUtf8ToWide(sink->GetSettings().endpoint), &guid);
    }
  }
  QOREndpointRecord record;
  QOREndpointRecord current;
  if (FAILED(QOREndpointStore::Find(flow, guid, &record)) || record.state != DEVICE_STATE_ACTIVE ||
      (SUCCEEDED(QOREndpointStore::GetDefault(flow, eConsole, &current)) && current.guid == guid)) {
    return;
  }
  for (const ERole role : {eConsole, eMultimedia}) QOREndpointStore::SetDefault(flow, role, guid);
  Event("default", QORHostEndpointSetup::RecordName(record), node,
        std::string("the default ") + (flow == eCapture ? "capture" : "render") + " endpoint now");
}

int QORHostServeDaemon::Run() {
  // The main loop takes SIGINT, SIGTERM and SIGHUP through a signalfd; blocked before any thread
  // starts, so that none of them (the objects' workers, PipeWire's data thread) takes one the
  // default way.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  if (!Lock()) return QORHostOutput::kFailed;
  if (options_.follow) {
    std::string error;
    if (!rules_.Load(options_.rulesPath.empty() ? QORHostDeviceRules::DefaultPath()
                                                : std::filesystem::path(options_.rulesPath),
                     &error)) {
      return QORHostOutput::Error(QORHostOutput::kFailed, error + "; see examples/devices.conf");
    }
  }
  pw_init(nullptr, nullptr);
  pw_main_loop* loop = pw_main_loop_new(nullptr);
  pw_context* context =
      loop == nullptr ? nullptr : pw_context_new(pw_main_loop_get_loop(loop), nullptr, 0);
  pw_core* core = context == nullptr ? nullptr : pw_context_connect(context, nullptr, 0);
  core_ = core;
  loop_ = loop == nullptr ? nullptr : pw_main_loop_get_loop(loop);
  int code = QORHostOutput::kOk;
  std::string error;
  if (core == nullptr) {
    code = QORHostOutput::Error(QORHostOutput::kFailed,
                                std::string("cannot reach PipeWire: ") + std::strerror(errno) +
                                    "; is it running for this user (XDG_RUNTIME_DIR)?");
  } else if (options_.follow &&
             !(follower_ = std::make_unique<QORHostDeviceFollower>(core, this))->Start(&error)) {
    code = QORHostOutput::Error(QORHostOutput::kFailed, error);
  } else if (!options_.follow && !Reconcile()) {
    code = QORHostOutput::Error(QORHostOutput::kFailed,
                                "no endpoint of the state root could start; see "
                                "`qorapo endpoint list`");
  } else {
    pw_loop_add_signal(pw_main_loop_get_loop(loop), SIGINT, Quit, loop);
    pw_loop_add_signal(pw_main_loop_get_loop(loop), SIGTERM, Quit, loop);
    // SIGHUP: the endpoint store again, after endpoints were added, enabled or disabled.
    pw_loop_add_signal(pw_main_loop_get_loop(loop), SIGHUP, OnHangUp, this);
    pw_main_loop_run(loop);
  }
  follower_.reset();
  sinks_.clear();
  std::error_code ignored;
  std::filesystem::remove(QORHostServeCommand::StatusPath(), ignored);
  if (core != nullptr) pw_core_disconnect(core);
  if (context != nullptr) pw_context_destroy(context);
  if (loop != nullptr) pw_main_loop_destroy(loop);
  pw_deinit();
  return code;
}

int QORHostServeDaemonRun(const QORHostServeOptions* options) {
  // The panel is a process of its own, so that nothing it serves shares the daemon's threads;
  // it ends with the daemon.
  QORHostChildProcess panel;
  std::string error;
  if (options->panel &&
      !panel.Start(options->executable, {"panel", "--listen", options->panelListen}, &error)) {
    return QORHostOutput::Error(QORHostOutput::kFailed, error);
  }
  QORHostServeDaemon daemon(*options);
  const int code = daemon.Run();
  panel.Stop();
  return code;
}

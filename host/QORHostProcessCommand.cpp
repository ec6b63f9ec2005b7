#include "QORHostProcessCommand.h"

#include "QORHostRegisterCommand.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <nlohmann/json.hpp>
#include <thread>

#include "QORHostAudioReader.h"
#include "QORHostAudioWriter.h"
#include "QORHostControlPanel.h"
#include "QORHostEndpointSetup.h"
#include "QORHostOutput.h"
#include "QORHostProgress.h"
#include "QORHostRegisterCommand.h"
#include "audio/QORAudioPeak.h"
#include "common/QORTextConvert.h"
#include "engine/QORHostEngine.h"
#include "engine/QORHostEngineSetup.h"
#include "platform/QORDenormalGuard.h"
#include "platform/QORInterrupt.h"
#include "platform/QORModule.h"
#include "platform/QORModuleInfo.h"

namespace {

constexpr int kInterrupted = 130;

// The objects' switch state while a crossfade to a new chain is under way.
constexpr uint32_t kSwitching = 0;

// How long a written setting may take to reach the objects before the run goes on without it.
constexpr auto kRebuildWait = std::chrono::seconds(3);
// The longest pause between periods the objects take for a slow host rather than a stall (ms).
constexpr double kStallMs = 300.0;

std::string Decibels(float peak) {
  if (peak <= 0.0f) return "-inf dBFS";
  char text[32];
  std::snprintf(text, sizeof(text), "%.1f dBFS", 20.0 * std::log10(peak));
  return text;
}

std::string Seconds(int64_t frames, int rate) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.3f s", static_cast<double>(frames) / rate);
  return text;
}

}  // namespace

CLI::App* QORHostProcessCommand::Register(CLI::App& app) {
  CLI::App* command = app.add_subcommand(
      "process", "Stream IN through the APO objects of an endpoint and write OUT");
  command->add_option("IN", input_, "Input audio file (anything libsndfile reads)")->required();
  command
      ->add_option("OUT", output_,
                   "Output audio file; its extension names the format; - writes no file")
      ->required();
  QORHostOutput::AddEndpoint(command, &endpoint_);
  command->add_option("--mode", mode_, "Operating mode to select first, e.g. Music or Movie");
  command->add_option("--speaker", speaker_, "Speaker type to select first, e.g. Headphones");
  command->add_option("--positions", positions_,
                      "Graph positions to run, in engine order, e.g. SFX,MFX,EFX (default: those "
                      "registered among SFX, MFX and EFX, else PreBlue)");
  command->add_option("--period-ms", periodMs_, "Period length in milliseconds")
      ->check(CLI::Range(1.0, 100.0))
      ->capture_default_str();
  command
      ->add_option("--set", sets_,
                   "NAME=VALUE: a public control or global switch to write first, checked as "
                   "`qorapo control set` checks it")
      ->allow_extra_args(false);
  command
      ->add_option("--at", ats_,
                   "SECONDS:NAME=VALUE or SECONDS:mode=MODE: a change at that file position, "
                   "before its end (with --loop: at that stream position)")
      ->allow_extra_args(false);
  // Appended piece by piece: the release build's compiler misreads string + as overlapping copies.
  std::string moduleHelp =
      "The APO module (default: the one the classes' registration names, else "
      "qlvapo64";
  moduleHelp += kQORModuleSuffix;
  moduleHelp += " beside qorapo)";
  command->add_option("--module", module_, moduleHelp);
  command->add_flag("--realtime", realtime_,
                    "Pace the periods at the wall clock, as the audio engine does, so that meters, "
                    "mode switches and tuning from other processes behave as on a device");
  command->add_flag("--json", json_, "Print the report as JSON");
  command->add_flag("--overwrite-input", overwriteInput_,
                    "Allow OUT to be the input file itself (under any name), which the result "
                    "then replaces");
  command->add_flag("--loop", loop_,
                    "Play IN again from its start whenever it ends, until interrupted (Ctrl-C)");
  QORHostOutput::Example(
      command,
      "qorapo process in.wav out.wav --mode Movie --at 2.5:mode=Music\n"
      "qorapo process music.wav - --realtime --loop   # then watch: qorapo meter");
  // A single-valued option given again takes the later value, so a script's defaults can be
  // overridden by arguments added after them.
  for (const char* name :
       {"--endpoint", "--mode", "--speaker", "--positions", "--period-ms", "--module"}) {
    command->get_option(name)->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  }
  return command;
}

bool QORHostProcessCommand::ParsePositions(const std::string& text, std::vector<int>* out,
                                           std::string* error) {
  out->clear();
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    std::string item = text.substr(start, end - start);
    item.erase(0, item.find_first_not_of(' '));
    item.erase(item.find_last_not_of(' ') + 1);
    int location = -1;
    for (int candidate = 0; candidate < QORAPOEndpointInfo::kPositionCount; ++candidate) {
      std::string name = QORHostEndpointSetup::LocationName(candidate);
      std::string lower = item;
      std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
      std::transform(name.begin(), name.end(), name.begin(), ::tolower);
      if (lower == name || lower == std::to_string(candidate) ||
          (candidate == 0 && lower == "lfx")) {
        location = candidate;
      }
    }
    if (location < 0) {
      *error = "unknown position '" + item +
               "'; use PreBlue (or LFX), SFX, MFX, EFX, OSFX, OMFX or 0 to 5";
      return false;
    }
    if (std::find(out->begin(), out->end(), location) != out->end()) {
      *error = "position '" + item + "' is given twice";
      return false;
    }
    out->push_back(location);
    start = end + 1;
  }
  return true;
}

int QORHostProcessCommand::Fail(const std::string& message) {
  std::fprintf(stderr, "qorapo: %s\n", message.c_str());
  return 1;
}

bool QORHostProcessCommand::ApplyChange(QORHostSchedule::Change& change, QORHostEngine& engine,
                                        QORHostControlPanel& panel, int64_t position, bool wait,
                                        double* waitedMs) {
  std::string before;
  std::string error;
  panel.Get(change.name, &before, &error);
  std::vector<uint32_t> counts(engine.Stages().size(), 0);
  std::vector<bool> watched(engine.Stages().size(), false);
  for (size_t i = 0; i < counts.size(); ++i) {
    QORAPOHostStateInfo info{};
    watched[i] = engine.GetState(i, &info) && info.ready;
    counts[i] = info.rebuildCount;
  }
  if (!panel.Set(change.name, change.value, &error)) {
    warnings_.push_back(change.text + ": " + error);
    return false;
  }
  std::string after;
  panel.Get(change.name, &after, &error);
  change.frame = position;
  if (after == before || !wait) return true;  // nothing to wait for
  // No period goes in until every processing object has rebuilt with the change, so it lands at
  // the same sample however fast the run is.
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + kRebuildWait;
  for (;;) {
    bool all = true;
    for (size_t i = 0; i < counts.size(); ++i) {
      QORAPOHostStateInfo info{};
      if (watched[i] && engine.GetState(i, &info) && info.rebuildCount == counts[i]) all = false;
    }
    if (all) {
      *waitedMs =
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
              .count();
      return true;
    }
    if (std::chrono::steady_clock::now() > deadline || QORInterrupt::Requested()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  warnings_.push_back(change.text +
                      ": the objects did not rebuild within 3 s; the change lands "
                      "later than its position");
  return true;
}

int QORHostProcessCommand::Run() {
  const auto started = std::chrono::steady_clock::now();
  // An input blocked in an open or a read ends at once.
  QORInterrupt::Catch(&QORHostAudioReader::Interrupt);
  std::string error;
  for (const std::string& at : ats_) {
    if (!schedule_.Add(at, &error)) return Fail(error);
  }
  std::vector<std::pair<std::string, std::string>> sets;
  for (const std::string& set : sets_) {
    std::string name;
    std::string value;
    if (!QORHostSchedule::ParseSetting(set, &name, &value, &error)) return Fail(error);
    sets.emplace_back(name, value);
  }
  std::vector<int> locations;
  if (!positions_.empty() && !ParsePositions(positions_, &locations, &error)) return Fail(error);
  const bool toFile = output_ != "-";

  QORHostAudioReader reader;
  if (!reader.Open(input_, &error) || QORInterrupt::Requested()) {
    if (!QORInterrupt::Requested()) return Fail(error);
    std::fprintf(stderr, "qorapo: interrupted; no output written\n");
    return kInterrupted;
  }
  // The output replaces its name only at the end, but a name of the input's own file would
  // lose the input for good.
  if (toFile && !overwriteInput_ && reader.IsFile(output_)) {
    return Fail("'" + output_ + "' is the input file '" + input_ +
                "' (the same file, by name or by a link); the result would replace it. Give "
                "another output name, or --overwrite-input to replace the input on purpose");
  }
  const int channels = reader.Channels();
  const int rate = reader.Rate();
  schedule_.Place(rate);
  // A change past the end would never happen; a loop plays on, so there a position counts the
  // stream, not one pass. A pipe that names no length is checked when it ends.
  const int64_t length = reader.Frames();
  if (!loop_ && length != std::numeric_limits<int64_t>::max()) {
    for (const QORHostSchedule::Change& change : schedule_.Changes()) {
      if (change.frame < length) continue;
      return Fail("--at '" + change.text + "' lies past the end of '" + input_ + "', which is " +
                  Seconds(length, rate) + " long (" + std::to_string(length) +
                  " frames); give a position before its end");
    }
  }

  QORAPOEndpointInfo endpoint;
  if (!QORHostEndpointSetup::Find(endpoint_, &endpoint, &error)) return Fail(error);
  QORHostControlPanel panel;
  if (!panel.Open(endpoint, &error)) return Fail(error);
  // Every write of the run is checked before any is made, each against the mode in force where
  // it lands (an earlier one may switch it), with the same check as `qorapo control set`.
  QORAPOModeIdentity inForce = panel.CurrentMode();
  if (!mode_.empty() || !speaker_.empty()) {
    std::shared_ptr<QORAPOOperatingMode> chosen;
    if (!panel.ResolveMode(mode_, speaker_, &chosen, &error)) return Fail(error);
    inForce = chosen->GetModeIdentity();
  }
  for (auto& [name, value] : sets) {
    std::string stored;
    if (!panel.Check(&inForce, name, value, &stored, &error)) return Fail(error);
    value = stored;
  }
  for (QORHostSchedule::Change& change : schedule_.Changes()) {
    std::string stored;
    if (!panel.Check(&inForce, change.name, change.value, &stored, &error)) return Fail(error);
    change.value = stored;
  }
  warnings_.insert(warnings_.end(), panel.Warnings().begin(), panel.Warnings().end());
  const QORAPOModeIdentity previous = panel.CurrentMode();
  if ((!mode_.empty() || !speaker_.empty()) && !panel.SetMode(mode_, speaker_, &error)) {
    return Fail(error);
  }
  for (const auto& [name, value] : sets) {
    if (!panel.Set(name, value, &error)) {
      // A refused set leaves the mode as it was: the run as a whole did not happen.
      std::string ignored;
      panel.SetMode(previous.GetMode().GetValueText(), previous.GetSpeakerType().GetValueText(),
                    &ignored);
      return Fail(error);
    }
  }
  const QORAPOModeIdentity startMode = panel.CurrentMode();
  if (locations.empty()) locations = QORHostEngineSetup::DefaultLocations(endpoint);
  for (const int location : locations) {
    if (endpoint.GetPosition(location).guid == GUID_NULL) {
      return Fail(std::string("the endpoint has no effect class registered at ") +
                  QORHostEndpointSetup::LocationName(location) +
                  "; register one in its FX properties or choose other --positions");
    }
  }
  if (locations.empty()) {
    return Fail(
        "the endpoint has no effect classes registered; register the module's classes "
        "in its FX properties (qorapo demo-setup does for the demonstration endpoint)");
  }

  QORHostEngine engine;
  // As the engine does, the classes' registration names their module; unregistered classes are
  // looked for in the module beside qorapo.
  std::wstring module = QORUtf8ToWide(module_);
  moduleSource_ = "given";
  if (module.empty()) {
    module = QORHostEngineSetup::RegisteredModule(endpoint.GetPosition(locations[0]).guid);
    moduleSource_ = "registered";
  }
  if (module.empty()) {
    module = QORHostRegisterCommand::DefaultModule();
    moduleSource_ = "beside qorapo";
  }
  modulePath_ = QORWideToUtf8(module);
  if (!engine.LoadModule(module, &error)) {
    // A registration left behind by a module that has since moved says so.
    if (moduleSource_ == "registered") {
      error = "the classes are registered in '" + modulePath_ +
              "', which cannot be loaded; run qorapo register again or give --module";
    }
    return Fail(error);
  }
  if (!engine.Create(endpoint, locations, &error) || !engine.Negotiate(channels, rate, &error)) {
    return Fail(error);
  }
  QORHostAudioWriter writer;
  if (toFile && !writer.Open(output_, channels, rate, reader.Format(), &error)) return Fail(error);

  // Scheduled changes last for this run only: what they touch is put back at the end, each
  // control in the mode that was in force where it changed, and the mode as a whole (its halves
  // one by one could pass through a mode the configuration lacks).
  std::vector<Restore> restore;
  QORAPOModeIdentity walked = panel.CurrentMode();
  for (const QORHostSchedule::Change& change : schedule_.Changes()) {
    const bool switches = change.name == "mode" || change.name == "speaker";
    const std::string name = switches ? "mode" : change.name;
    const QORAPOModeIdentity in = switches ? panel.CurrentMode() : walked;
    std::string value = in.GetMode().GetValueText() + "/" + in.GetSpeakerType().GetValueText();
    if (std::none_of(restore.begin(), restore.end(),
                     [&](const Restore& saved) {
                       return saved.name == name &&
                              (switches || QORHostControlPanel::IsGlobal(name) ||
                               QORHostControlPanel::ShortName(saved.mode) ==
                                   QORHostControlPanel::ShortName(in));
                     }) &&
        (switches || panel.Get(in, name, &value, &error))) {
      restore.push_back({name, value, in});
    }
    std::string ignored;
    if (switches) panel.Check(&walked, change.name, change.value, &ignored, &error);
  }
  struct RestoreAtEnd {
    QORHostControlPanel& panel;
    std::vector<Restore>& saved;
    ~RestoreAtEnd() {
      std::string ignored;
      for (const Restore& entry : saved) {
        panel.Restore(entry.mode, entry.name, entry.value, &ignored);
      }
    }
  } restoreAtEnd{panel, restore};

  const uint32_t period =
      std::max<uint32_t>(1, static_cast<uint32_t>(std::lround(periodMs_ * rate / 1000.0)));
  // The objects time the pauses between their periods from their lock on.
  auto lastPeriod = std::chrono::steady_clock::now();
  if (!engine.Lock(period, &error)) return Fail(error);
  const int64_t latency = engine.LatencyFrames();
  // The input ends where reading ends, whatever its header said; the tail follows it.
  int64_t inputFrames = reader.Frames();
  bool inputEnded = false;
  int64_t total = loop_ ? std::numeric_limits<int64_t>::max() : inputFrames + latency;
  std::vector<float> block(static_cast<size_t>(period) * channels);
  // A loop has no end to show progress towards.
  QORHostProgress progress(total, !loop_ && QORHostProgress::StderrIsTerminal());
  float inputPeak = 0.0f;
  float outputPeak = 0.0f;
  int64_t position = 0;
  int64_t written = 0;
  size_t next = 0;
  auto& changes = schedule_.Changes();
  // Offline, rebuilds no change of this run asked for come from the objects' own wall-clock
  // timing; they are reported, since the output where they land differs from run to run. In real
  // time each rebuild is announced as it lands, with its stream position, so that a tool writing a
  // setting from another process can find where its write reached the output.
  std::vector<uint32_t> rebuilds(engine.Stages().size(), 0);
  auto takeRebuilds = [&](bool report) {
    for (size_t i = 0; i < rebuilds.size(); ++i) {
      uint32_t count = 0;
      if (!engine.GetRebuildCount(i, &count)) continue;
      if (report && count != rebuilds[i] && realtime_) {
        heard_.push_back({engine.Stages()[i].name, position});
        std::fprintf(stderr, "qorapo: the %s object rebuilt its chain at frame %lld (%s)\n",
                     engine.Stages()[i].name.c_str(), static_cast<long long>(position),
                     Seconds(position, rate).c_str());
      } else if (report && count != rebuilds[i]) {
        warnings_.push_back(std::string("the ") + engine.Stages()[i].name +
                            " object rebuilt its chain on its own at " + Seconds(position, rate) +
                            "; the output there may differ from another run's");
      }
      rebuilds[i] = count;
    }
  };
  takeRebuilds(false);
  bool pausedOnPurpose = true;
  // In real time, period k goes in at streamStart + k periods, as the engine's clock would have it;
  // a late period goes in at once, so the stream catches up rather than drifts.
  std::chrono::steady_clock::time_point streamStart;
  bool interrupted = false;
  int64_t passes = 1;
  // This thread is the stream's period thread: peaks and objects alike run flushing subnormals.
  QORDenormalGuard denormals;
  while (!inputEnded || written < total) {
    if (QORInterrupt::Requested()) {
      progress.Finish();
      if (toFile) {
        engine.Unlock();
        writer.Abort();
        std::fprintf(stderr, "qorapo: interrupted; no output written\n");
        return kInterrupted;
      }
      // Nothing is lost when nothing is written: the stream simply ends here.
      interrupted = true;
      inputFrames = position;
      break;
    }
    if (next < changes.size() && changes[next].frame <= position) {
      // A switch still fading at this position finishes first, period by period.
      bool switching = false;
      for (size_t i = 0; i < engine.Stages().size(); ++i) {
        QORAPOHostStateInfo info{};
        switching = switching ||
                    (engine.GetState(i, &info) && info.ready && info.switchState == kSwitching);
      }
      if (!switching) {
        const int64_t asked = changes[next].frame;
        double waited = 0.0;
        if (ApplyChange(changes[next], engine, panel, position, !realtime_, &waited)) {
          char rebuilt[48];
          std::snprintf(rebuilt, sizeof(rebuilt), ", objects rebuilt in %.0f ms", waited);
          landed_.push_back(changes[next].text + ": at " + Seconds(position, rate) +
                            (position != asked ? " (asked " + Seconds(asked, rate) + ")" : "") +
                            (realtime_ ? "" : rebuilt));
        }
        if (!realtime_) {
          takeRebuilds(false);
          pausedOnPurpose = true;
        }
        ++next;
        continue;
      }
    }
    takeRebuilds(true);
    int64_t read = inputEnded ? 0 : std::max<int64_t>(0, reader.Read(block.data(), period));
    while (loop_ && !inputEnded && read < period) {
      const int64_t more =
          reader.Rewind()
              ? std::max<int64_t>(0, reader.Read(block.data() + read * channels, period - read))
              : 0;
      if (more == 0) break;  // an empty or unseekable file ends the loop
      read += more;
      std::fprintf(stderr, "qorapo: playing %s again from its start (pass %lld)\n", input_.c_str(),
                   static_cast<long long>(++passes));
    }
    if (!inputEnded && read < period) {
      inputEnded = true;
      inputFrames = position + read;
      total = inputFrames + latency;
    }
    std::fill(block.begin() + read * channels, block.end(), 0.0f);
    const size_t samples = static_cast<size_t>(read) * channels;
    const bool silent = read > 0 && std::all_of(block.begin(), block.begin() + samples,
                                                [](float s) { return s == 0.0f; });
    inputPeak =
        std::max(inputPeak, QORAudioPeak::Of(block.data(), static_cast<uint32_t>(samples), 1));
    // Past the end the tail still held by the objects comes out only through processed periods,
    // so the zeros that push it out go in as valid samples.
    const auto now = std::chrono::steady_clock::now();
    const double pause = std::chrono::duration<double, std::milli>(now - lastPeriod).count();
    if (pausedOnPurpose || !realtime_) {
      // Locking the other objects, or waiting for a rebuild, is no stall of the stream; nor is
      // any gap of a run off the clock (a slow pipe, a busy machine), whose output must not
      // depend on the machine's load.
      engine.ContinueAfterPause();
      pausedOnPurpose = false;
    } else if (pause > kStallMs) {
      warnings_.push_back("a pause of " + std::to_string(static_cast<int>(pause)) +
                          " ms before the period at " + Seconds(position, rate) +
                          " (a busy machine) made the objects flush their chains; the output "
                          "there may differ from another run's");
    }
    lastPeriod = now;
    if (realtime_) {
      if (position == 0) {
        streamStart = std::chrono::steady_clock::now();
        // The monotonic clock is the system's, so another process can place its own events on
        // the stream's timeline.
        std::fprintf(stderr,
                     "qorapo: real-time stream started at monotonic %.6f s, %u frames a period "
                     "at %d Hz, latency %lld frames\n",
                     std::chrono::duration<double>(streamStart.time_since_epoch()).count(), period,
                     rate, static_cast<long long>(latency));
      } else {
        std::this_thread::sleep_until(
            streamStart + std::chrono::nanoseconds(
                              static_cast<int64_t>(1e9 * static_cast<double>(position) / rate)));
      }
    }
    const float* out = engine.Process(block.data(), silent);
    const int64_t keep = std::min<int64_t>(period, total - written);
    outputPeak =
        std::max(outputPeak, QORAudioPeak::Of(out, static_cast<uint32_t>(keep * channels), 1));
    if (toFile && !writer.Write(out, keep, &error)) {
      engine.Unlock();
      return Fail(error);
    }
    written += keep;
    position += period;
    progress.Update(written);
  }
  progress.Finish();
  std::vector<QORAPOHostStateInfo> states(engine.Stages().size());
  for (size_t i = 0; i < states.size(); ++i) engine.GetState(i, &states[i]);
  std::vector<int64_t> latencies(engine.Stages().size());
  for (size_t i = 0; i < latencies.size(); ++i) latencies[i] = engine.StageLatencyFrames(i);
  engine.Unlock();
  // Done with the input, which --overwrite-input replaces.
  reader.Close();
  if (toFile && !writer.Commit(&error)) return Fail(error);
  // Only a stream whose length was unknown, or whose header promised more than it held, gets
  // here with changes it never reached.
  for (; !interrupted && next < changes.size(); ++next) {
    warnings_.push_back("--at '" + changes[next].text + "' was never reached: the input ended at " +
                        Seconds(inputFrames, rate));
  }
  const bool truncated = reader.Truncated() && !interrupted;
  if (truncated) {
    warnings_.push_back("the header of '" + input_ + "' promises " +
                        Seconds(reader.Promised(), rate) + " (" +
                        std::to_string(reader.Promised()) + " frames) but it holds " +
                        Seconds(reader.Held(), rate) + " (" + std::to_string(reader.Held()) +
                        " frames); the output ends where the input does");
  }
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  const QORAPOModeIdentity& mode = startMode;
  if (json_) {
    nlohmann::json out;
    out["module"] = {{"path", modulePath_}, {"source", moduleSource_}};
    out["endpoint"] = {{"name", QORHostEndpointSetup::Name(endpoint.GetEndpointGuid())},
                       {"guid", QORWideToUtf8(endpoint.GetEndpointGuidText())}};
    out["mode"] = QORHostControlPanel::ShortName(mode);
    out["input"] = {{"path", input_},        {"channels", channels}, {"rate", rate},
                    {"frames", inputFrames}, {"peak", inputPeak},    {"truncated", truncated}};
    nlohmann::json stages = nlohmann::json::array();
    for (size_t i = 0; i < engine.Stages().size(); ++i) {
      const QORHostEngine::Stage& stage = engine.Stages()[i];
      stages.push_back({{"position", QORHostEndpointSetup::LocationName(stage.location)},
                        {"class", stage.name},
                        {"latency_frames", latencies[i]},
                        {"attached", states[i].ready},
                        {"chain", std::string(states[i].chain,
                                              strnlen(states[i].chain, sizeof(states[i].chain)))}});
    }
    out["stages"] = stages;
    out["output"] = {{"path", toFile ? nlohmann::json(output_) : nlohmann::json(nullptr)},
                     {"frames", written},
                     {"peak", outputPeak},
                     {"latency_frames", latency}};
    out["changes"] = landed_;
    out["warnings"] = warnings_;
    out["seconds"] = elapsed;
    out["interrupted"] = interrupted;
    if (realtime_) {
      nlohmann::json heard = nlohmann::json::array();
      for (const Rebuild& rebuild : heard_) {
        heard.push_back({{"class", rebuild.name}, {"frame", rebuild.frame}});
      }
      out["realtime"] = {{"start_monotonic_s",
                          std::chrono::duration<double>(streamStart.time_since_epoch()).count()},
                         {"period_frames", period},
                         {"rebuilds", heard}};
    }
    QORHostOutput::Print(out);
    if (interrupted) std::fprintf(stderr, "qorapo: interrupted; the stream ended there\n");
    return 0;
  }
  std::printf("module    %s (%s)\n", modulePath_.c_str(), moduleSource_.c_str());
  std::printf("endpoint  %s %s\n", QORHostEndpointSetup::Name(endpoint.GetEndpointGuid()).c_str(),
              QORWideToUtf8(endpoint.GetEndpointGuidText()).c_str());
  std::printf("mode      %s\n", QORHostControlPanel::ShortName(mode).c_str());
  std::printf("input     %s: %d ch, %d Hz, %s, peak %s\n", input_.c_str(), channels, rate,
              Seconds(inputFrames, rate).c_str(), Decibels(inputPeak).c_str());
  std::printf("  %-7s %-14s %-22s chain%s\n", "where", "class", "latency",
              landed_.empty() ? "" : " (at the end)");
  for (size_t i = 0; i < engine.Stages().size(); ++i) {
    const QORHostEngine::Stage& stage = engine.Stages()[i];
    std::string chain =
        states[i].chain[0] != '\0'
            ? std::string(states[i].chain, strnlen(states[i].chain, sizeof(states[i].chain)))
            : "-";
    if (!states[i].ready) chain = "pass-through (not attached to the endpoint)";
    std::printf("  %-7s %-14s %5lld frames (%5.2f ms)  %s\n",
                QORHostEndpointSetup::LocationName(stage.location), stage.name.c_str(),
                static_cast<long long>(latencies[i]), 1000.0 * latencies[i] / rate, chain.c_str());
  }
  std::printf("output    %s: %s, peak %s, delayed by %lld frames\n",
              toFile ? output_.c_str() : "(none)", Seconds(written, rate).c_str(),
              Decibels(outputPeak).c_str(), static_cast<long long>(latency));
  for (const std::string& line : landed_) std::printf("change    %s\n", line.c_str());
  std::printf("speed     %.1fx real time (%.3f s for %s)\n",
              elapsed > 0.0 ? static_cast<double>(inputFrames) / rate / elapsed : 0.0, elapsed,
              Seconds(inputFrames, rate).c_str());
  for (const std::string& warning : warnings_) {
    std::fprintf(stderr, "qorapo: warning: %s\n", warning.c_str());
  }
  if (interrupted) std::fprintf(stderr, "qorapo: interrupted; the stream ended there\n");
  return 0;
}

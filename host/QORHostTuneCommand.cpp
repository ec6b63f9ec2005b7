#include "QORHostTuneCommand.h"

#include <CLI/CLI.hpp>
#include <cstdio>

#include "QORHostControlCatalog.h"
#include "QORHostControlPanel.h"
#include "QORHostEndpointSetup.h"
#include "QORHostOutput.h"
#include "common/QORTextConvert.h"
#include "endpoint/QORAPOTunedSettings.h"
#include "platform/QORInterrupt.h"
#include "settings/QORSharedMemory.h"

namespace {

using nlohmann::json;

constexpr const char* kTuningMode = QORAPOTunedSettings::kTuningModeName;

// What each tuning mode does with the tuned values in a running chain.
const char* TuningModeMeaning(long mode) {
  switch (mode) {
    case 0:
      return "tuned values ignored";
    case 1:
      return "tuned values, public controls over them";
    case 2:
      return "tuned values over the public controls";
    default:
      return "the configuration's values only";
  }
}

// Whether the mode's tuned block is still held but was cut short by another process.
bool BlockCutShort(const QORHostControlPanel& panel, const QORAPOOperatingMode& mode) {
  return ProbeSharedMemory(QORAPOTunedSettings::BlockName(
             panel.Endpoint(), mode.GetModeIdentity())) == QORNamedObjectError::kTruncated;
}

std::string CutShortMessage(const QORHostControlPanel& panel, const QORAPOOperatingMode& mode) {
  return "the tuned block of mode " + QORHostControlPanel::ShortName(mode.GetModeIdentity()) +
         " of '" + QORHostEndpointSetup::Name(panel.Endpoint().GetEndpointGuid()) +
         "' is gone: another process cut it short, so its tuned values are lost; a new tuning "
         "session can start once every process holding it (tune hold, hosts) has ended";
}

std::string NoBlock(const QORHostControlPanel& panel, const QORAPOOperatingMode& mode) {
  if (BlockCutShort(panel, mode)) return CutShortMessage(panel, mode);
  return "no tuning session holds the tuned controls of mode " +
         QORHostControlPanel::ShortName(mode.GetModeIdentity()) + " of '" +
         QORHostEndpointSetup::Name(panel.Endpoint().GetEndpointGuid()) +
         "'; start one with `qorapo tune hold` (a running host joins it when it next builds that "
         "mode's chain)";
}

// Why a write of the tuned block failed.
std::string WriteFailure(const QORAPOTunedSettings& tuned, const std::string& block) {
  switch (tuned.LastWriteCode()) {
    case QORPropertySetSharedMem::kMutexTimeout:
      return "another process held the lock of the tuned block '" + block + "' for longer than " +
             std::to_string(QORPropertySetSharedMem::kUpdateWaitMs / 1000) +
             " s; nothing was written, try again";
    case QORPropertySetSharedMem::kTooLarge:
      return "the tuned block '" + block + "' is full; nothing was written";
    default:
      return "cannot write the tuned block '" + block + "'; nothing was written";
  }
}

std::string BlockText(const QORHostControlPanel& panel, const QORAPOOperatingMode& mode) {
  return QORWideToUtf8(QORAPOTunedSettings::BlockName(panel.Endpoint(), mode.GetModeIdentity()));
}

// The tuned values of an open block: every control of the mode, the block's over the file's.
void Read(QORAPOTunedSettings& tuned, QORAPOOperatingMode& mode, QORUTSValueList* values,
          long* tuningMode) {
  *tuningMode = tuned.GetTuningMode();
  QORUTSValueList all;
  tuned.ReadControls(all, true);
  *values = mode.GetControls();
  values->Merge(all, QORUTSValueList::kMergeReplace);
}

json Controls(const QORUTSValueList& values, QORAPOOperatingMode& mode) {
  json out = json::array();
  for (const auto& [name, value] : values.Values()) {
    json entry;
    entry["name"] = name;
    entry["value"] = value.GetValueText();
    const QORUTSValue* fileValue = mode.GetControls().Find(name);
    entry["default"] = fileValue != nullptr ? fileValue->GetValueText() : "";
    entry["public"] = mode.GetPublicControls().Find(name) != nullptr;
    out.push_back(entry);
  }
  return out;
}

}  // namespace

CLI::App* QORHostTuneCommand::Register(CLI::App& app) {
  CLI::App* command = app.add_subcommand(
      "tune", "Tuned controls of an endpoint and mode in shared memory, while audio runs");
  command->require_subcommand(1);
  QORHostOutput::Example(command,
                         "qorapo tune hold &\n"
                         "qorapo tune set \"ZR3D-GEQ Band 4\" 600\n"
                         "qorapo tune mode 2");
  const char* modeHelp = "Mode such as Movie or Movie/Headphones (default: the current mode)";
  auto common = [&](CLI::App* sub) {
    QORHostOutput::AddEndpoint(sub, &endpoint_);
    sub->add_option("--mode", modeName_, modeHelp);
    QORHostOutput::AddJson(sub, &json_);
  };

  get_ = command->add_subcommand("get", "The tuned values and tuning mode (NAME: one value)");
  get_->add_option("NAME", name_, "Control name");
  common(get_);
  QORHostOutput::Example(get_, "qorapo tune get --json");

  set_ = command->add_subcommand(
      "set", "Write one tuned control of the mode; a value outside its range is refused");
  set_->add_option("NAME", name_, "Control name (public or private)")->required();
  set_->add_option("VALUE", value_, "Value: a whole number, On/Off, or one of its value names")
      ->required();
  common(set_);
  QORHostOutput::Example(set_, "qorapo tune set \"ZR3D-GEQ Band 4\" 600");

  mode_ = command->add_subcommand(
      "mode",
      "Show or set \"VAPO3-Tuning Mode\": 0 ignore tuned values, 1 public controls "
      "over tuned values, 2 tuned values over public controls");
  mode_->add_option("MODE", tuningMode_, "0, 1 or 2")->check(CLI::Range(0, 2));
  common(mode_);
  QORHostOutput::Example(mode_, "qorapo tune mode 2");

  clear_ = command->add_subcommand(
      "clear", "Put every tuned control back to the configuration's value and tuning mode 0");
  common(clear_);
  QORHostOutput::Example(clear_, "qorapo tune clear --mode Music/Speakers");

  hold_ = command->add_subcommand(
      "hold", "Hold the mode's tuned block open until interrupted, as an open tuning tool does");
  common(hold_);
  QORHostOutput::Example(hold_, "qorapo tune hold --mode Movie/Speakers   # Ctrl-C releases it");
  return command;
}

int QORHostTuneCommand::Run() {
  if (get_->parsed()) return Get();
  if (set_->parsed()) return Set();
  if (mode_->parsed()) return Mode();
  if (clear_->parsed()) return Clear();
  if (hold_->parsed()) return Hold();
  return QORHostOutput::kUsage;
}

bool QORHostTuneCommand::Open(QORHostControlPanel* panel,
                              std::shared_ptr<QORAPOOperatingMode>* mode) {
  QORAPOEndpointInfo endpoint;
  std::string error;
  if (QORHostEndpointSetup::Find(endpoint_, &endpoint, &error) && panel->Open(endpoint, &error) &&
      panel->ResolveMode(modeName_, "", mode, &error)) {
    return true;
  }
  QORHostOutput::Error(QORHostOutput::kFailed, error);
  return false;
}

int QORHostTuneCommand::Get() {
  QORHostControlPanel panel;
  std::shared_ptr<QORAPOOperatingMode> mode;
  if (!Open(&panel, &mode)) return QORHostOutput::kFailed;
  QORAPOTunedSettings tuned;
  const bool held = tuned.Open(panel.Endpoint(), *mode, true);
  QORUTSValueList values = mode->GetControls();
  long tuningMode = 0;
  if (held) Read(tuned, *mode, &values, &tuningMode);
  // Still held by others but cut short: the configuration's values are all there is.
  const bool lost = !held && BlockCutShort(panel, *mode);
  if (lost) std::fprintf(stderr, "qorapo: %s\n", CutShortMessage(panel, *mode).c_str());
  json out;
  out["mode"] = QORHostControlPanel::ShortName(mode->GetModeIdentity());
  out["block"] =
      QORWideToUtf8(QORAPOTunedSettings::BlockName(panel.Endpoint(), mode->GetModeIdentity()));
  out["held"] = held;
  out["lost"] = lost;
  out["tuningMode"] = tuningMode;
  out["controls"] = Controls(values, *mode);
  if (!name_.empty()) {
    const QORUTSValue* value = values.Find(name_);
    if (value == nullptr) {
      return QORHostOutput::Error(QORHostOutput::kFailed,
                                  "unknown control '" + name_ + "' in mode " +
                                      out["mode"].get<std::string>() + " (see `qorapo tune get`)");
    }
    if (json_) {
      for (const json& entry : out["controls"]) {
        if (entry["name"] == name_) QORHostOutput::Print(entry);
      }
    } else {
      std::printf("%s\n", value->GetValueText().c_str());
    }
    return QORHostOutput::kOk;
  }
  if (json_) {
    QORHostOutput::Print(out);
    return QORHostOutput::kOk;
  }
  std::printf("mode %s, tuning mode %ld (%s)%s\n", out["mode"].get<std::string>().c_str(),
              tuningMode, TuningModeMeaning(tuningMode),
              held ? "" : "; no tuning session, so the configuration's values");
  for (const json& entry : out["controls"]) {
    const std::string value = entry["value"].get<std::string>();
    const std::string fileValue = entry["default"].get<std::string>();
    std::printf("  %-32s %-10s%s\n", entry["name"].get<std::string>().c_str(), value.c_str(),
                value == fileValue ? "" : (" (configuration: " + fileValue + ")").c_str());
  }
  return QORHostOutput::kOk;
}

int QORHostTuneCommand::Set() {
  QORHostControlPanel panel;
  std::shared_ptr<QORAPOOperatingMode> mode;
  if (!Open(&panel, &mode)) return QORHostOutput::kFailed;
  if (mode->GetControls().Find(name_) == nullptr) {
    std::string names;
    for (const auto& [name, value] : mode->GetControls().Values()) {
      names += (names.empty() ? "" : ", ") + name;
    }
    return QORHostOutput::Error(QORHostOutput::kFailed,
                                "unknown control '" + name_ + "' in mode " +
                                    QORHostControlPanel::ShortName(mode->GetModeIdentity()) +
                                    "; known: " + names);
  }
  QORHostControlCatalog catalog;
  if (!catalog.Load(panel.Endpoint().GetConfigurationPath(), mode->GetModeIdentity())) {
    std::fprintf(stderr,
                 "qorapo: warning: the technology library '%s' cannot be loaded, so no range is "
                 "known and the value is not checked\n",
                 catalog.LibraryPath().c_str());
  }
  std::string stored;
  std::string error;
  if (!catalog.Check(name_, value_, &stored, &error)) {
    return QORHostOutput::Error(QORHostOutput::kFailed, error);
  }
  QORAPOTunedSettings tuned;
  if (!tuned.Open(panel.Endpoint(), *mode, true)) {
    return QORHostOutput::Error(QORHostOutput::kFailed, NoBlock(panel, *mode));
  }
  QORUTSValueList values;
  long tuningMode = 0;
  Read(tuned, *mode, &values, &tuningMode);
  const std::string previous = values.Find(name_)->GetValueText();
  if (!tuned.WriteControl(QORUTSValue(name_, stored.c_str()))) {
    return QORHostOutput::Error(QORHostOutput::kFailed,
                                WriteFailure(tuned, BlockText(panel, *mode)));
  }
  json out;
  out["name"] = name_;
  out["value"] = stored;
  out["previous"] = previous;
  out["tuningMode"] = tuningMode;
  if (json_) {
    QORHostOutput::Print(out);
  } else {
    std::printf("%s = %s (was %s)%s\n", name_.c_str(), stored.c_str(), previous.c_str(),
                tuningMode == 0 ? "; tuning mode is 0, so a host ignores it until `qorapo tune "
                                  "mode 1` or `2`"
                                : "");
  }
  return QORHostOutput::kOk;
}

int QORHostTuneCommand::Mode() {
  QORHostControlPanel panel;
  std::shared_ptr<QORAPOOperatingMode> mode;
  if (!Open(&panel, &mode)) return QORHostOutput::kFailed;
  QORAPOTunedSettings tuned;
  const bool held = tuned.Open(panel.Endpoint(), *mode, true);
  long previous = 0;
  QORUTSValueList values;
  if (held) Read(tuned, *mode, &values, &previous);
  json out;
  out["mode"] = QORHostControlPanel::ShortName(mode->GetModeIdentity());
  out["held"] = held;
  if (tuningMode_ >= 0) {
    if (!held) return QORHostOutput::Error(QORHostOutput::kFailed, NoBlock(panel, *mode));
    if (!tuned.WriteControl(QORUTSValue(kTuningMode, std::to_string(tuningMode_).c_str()))) {
      return QORHostOutput::Error(QORHostOutput::kFailed,
                                  WriteFailure(tuned, BlockText(panel, *mode)));
    }
    out["previous"] = previous;
  }
  const long now = tuningMode_ >= 0 ? tuningMode_ : previous;
  out["tuningMode"] = now;
  if (json_) {
    QORHostOutput::Print(out);
  } else {
    std::printf("tuning mode %ld (%s)%s\n", now, TuningModeMeaning(now),
                held ? "" : "; no tuning session holds the block");
  }
  return QORHostOutput::kOk;
}

int QORHostTuneCommand::Clear() {
  QORHostControlPanel panel;
  std::shared_ptr<QORAPOOperatingMode> mode;
  if (!Open(&panel, &mode)) return QORHostOutput::kFailed;
  QORAPOTunedSettings tuned;
  if (!tuned.Open(panel.Endpoint(), *mode, true)) {
    return QORHostOutput::Error(QORHostOutput::kFailed, NoBlock(panel, *mode));
  }
  // A host merges what it reads into what it holds, so an empty block would leave its last tuned
  // values in place: the block gets the configuration's values and tuning mode 0 instead.
  QORUTSValueList values = mode->GetControls();
  values.Set(QORUTSValue(kTuningMode, "0"));
  if (tuned.Clear() != 0 || !tuned.WriteControls(values)) {
    return QORHostOutput::Error(QORHostOutput::kFailed,
                                WriteFailure(tuned, BlockText(panel, *mode)));
  }
  json out;
  out["mode"] = QORHostControlPanel::ShortName(mode->GetModeIdentity());
  out["tuningMode"] = 0;
  out["controls"] = Controls(mode->GetControls(), *mode);
  if (json_) {
    QORHostOutput::Print(out);
  } else {
    std::printf("tuned controls of mode %s back to the configuration's values, tuning mode 0\n",
                out["mode"].get<std::string>().c_str());
  }
  return QORHostOutput::kOk;
}

int QORHostTuneCommand::Hold() {
  QORHostControlPanel panel;
  std::shared_ptr<QORAPOOperatingMode> mode;
  if (!Open(&panel, &mode)) return QORHostOutput::kFailed;
  // Caught before the block exists, so that an interrupt sent once the line below is read is
  // waited for and the block is released in order.
  QORInterrupt::Catch();
  QORAPOTunedSettings tuned;
  if (!tuned.Open(panel.Endpoint(), *mode, false)) {
    if (BlockCutShort(panel, *mode)) {
      return QORHostOutput::Error(QORHostOutput::kFailed, CutShortMessage(panel, *mode));
    }
    return QORHostOutput::Error(QORHostOutput::kFailed,
                                "cannot create the tuned block; check that the state root "
                                "(QOR_ROOT) is writable");
  }
  json out;
  out["mode"] = QORHostControlPanel::ShortName(mode->GetModeIdentity());
  out["block"] =
      QORWideToUtf8(QORAPOTunedSettings::BlockName(panel.Endpoint(), mode->GetModeIdentity()));
  if (json_) {
    QORHostOutput::PrintLine(out);
  } else {
    std::printf("holding the tuned controls of mode %s; Ctrl-C releases them\n",
                out["mode"].get<std::string>().c_str());
  }
  std::fflush(stdout);
  QORInterrupt::Wait(-1);
  // Our own handle keeps the block, so a probe tells whether another process cut it short.
  if (BlockCutShort(panel, *mode)) {
    std::fprintf(stderr, "qorapo: %s\n", CutShortMessage(panel, *mode).c_str());
  }
  tuned.Close();
  return QORHostOutput::kOk;
}

#include "QORHostImportCommand.h"

#include <CLI/CLI.hpp>
#include <cstdio>

#include "QORHostControlPanel.h"
#include "QORHostEndpointSetup.h"
#include "QORHostEqFile.h"
#include "QORHostEqImport.h"
#include "QORHostGraphicFir.h"
#include "QORHostOutput.h"
#include "common/QORTextConvert.h"
#include "endpoint/QORAPOTunedSettings.h"
#include "platform/QORSystemInfo.h"

namespace {

using nlohmann::json;

// Where a mode's graphic curve is kept as a response file: the state root, by endpoint and mode,
// named after its taps too, so that a new curve is a new value of the control and a running host
// rebuilds for it, while one still playing the old file keeps it.
std::filesystem::path ResponsePath(const QORAPOEndpointInfo& endpoint, const std::string& mode,
                                   const std::vector<float>& taps) {
  std::string file = mode;
  for (char& c : file) {
    if (c == '/' || c == '\\' || c == ' ') c = '_';
  }
  uint64_t digest = 14695981039346656037ull;  // FNV-1a over the taps' bytes
  const auto* bytes = reinterpret_cast<const unsigned char*>(taps.data());
  for (size_t i = 0; i < taps.size() * sizeof(float); ++i) {
    digest = (digest ^ bytes[i]) * 1099511628211ull;
  }
  char tag[24];
  std::snprintf(tag, sizeof(tag), "-%016llx.wav", static_cast<unsigned long long>(digest));
  return QORSystemInfo::GetStateRoot() / "responses" /
         QORWideToUtf8(endpoint.GetEndpointGuidText()) / (file + tag);
}

}  // namespace

CLI::App* QORHostImportCommand::Register(CLI::App& app) {
  CLI::App* command = app.add_subcommand(
      "import",
      "An equaliser file into a mode: parametric filters to its parametric equaliser, a "
      "GraphicEQ curve to its convolution; refused whole, with the line, when it cannot be "
      "represented");
  command
      ->add_option("FILE", file_,
                   "Parametric text (Preamp:, Filter N:, Channel:), AutoEQ's ParametricEQ.txt "
                   "or GraphicEQ.txt, or Room EQ Wizard's filter settings export")
      ->required();
  QORHostOutput::AddEndpoint(command, &endpoint_);
  command->add_option("--mode", mode_,
                      "Mode such as Music or Music/Headphones (default: the current mode)");
  command->add_flag("--tuned", tuned_,
                    "Write the mode's tuned block, as a tuning tool does, instead of its public "
                    "controls (a tuning session must hold the block: `qorapo tune hold`)");
  command->add_flag("--dry-run", dryRun_, "Show what would be written and write nothing");
  command->add_option("--rate", rate_, "Stream rate the filters are checked against")
      ->check(CLI::Range(8000, 192000))
      ->capture_default_str();
  command->add_option("--channels", channels_, "Channels of the endpoint's stream")
      ->check(CLI::Range(1, 12))
      ->capture_default_str();
  QORHostOutput::AddJson(command, &json_);
  QORHostOutput::Example(command,
                         "qorapo import ParametricEQ.txt --mode Music/Headphones --dry-run\n"
                         "qorapo import room.txt --tuned");
  return command;
}

int QORHostImportCommand::Run() {
  QORAPOEndpointInfo endpoint;
  QORHostControlPanel panel;
  std::shared_ptr<QORAPOOperatingMode> mode;
  std::string error;
  if (!QORHostEndpointSetup::Find(endpoint_, &endpoint, &error) || !panel.Open(endpoint, &error) ||
      !panel.ResolveMode(mode_, "", &mode, &error)) {
    return QORHostOutput::Error(QORHostOutput::kFailed, error);
  }
  QORHostEqFile file;
  if (!file.Load(file_, rate_, &error)) {
    return QORHostOutput::Error(QORHostOutput::kFailed, error + "; nothing was written");
  }

  const std::string modeName = QORHostControlPanel::ShortName(mode->GetModeIdentity());
  QORHostEqImport::Target target;
  const QORUTSValueList& settable = tuned_ ? mode->GetControls() : mode->GetPublicControls();
  for (const auto& [name, value] : settable.Values()) target.names.push_back(name);
  target.catalog = &panel.Catalog(mode->GetModeIdentity());
  target.channels = channels_;
  target.mode = modeName;
  std::vector<float> response;
  if (!file.Graphic().empty() &&
      !QORHostGraphicFir::Design(file.Graphic(), rate_, QORHostGraphicFir::DefaultTaps(rate_),
                                 &response, &error)) {
    return QORHostOutput::Error(
        QORHostOutput::kFailed,
        file_ + ":" + std::to_string(file.GraphicLine()) + ": " + error + "; nothing was written");
  }
  const std::filesystem::path responsePath = ResponsePath(endpoint, modeName, response);
  target.responsePath = responsePath.string();
  QORHostEqImport::Plan plan;
  if (!QORHostEqImport::Make(file, file_, target, &plan, &error)) {
    return QORHostOutput::Error(QORHostOutput::kFailed, error + "; nothing was written");
  }

  // What each control holds now, to show beside what it becomes.
  QORUTSValueList now = tuned_ ? mode->GetControls() : mode->GetPublicControls();
  QORAPOTunedSettings tuned;
  if (tuned_) {
    if (!tuned.Open(panel.Endpoint(), *mode, true)) {
      return QORHostOutput::Error(
          QORHostOutput::kFailed,
          "no tuning session holds the tuned block of mode " + modeName +
              "; start one (`qorapo tune hold`) or import into the public controls; nothing was "
              "written");
    }
    QORUTSValueList held;
    tuned.ReadControls(held, true);
    now.Merge(held, QORUTSValueList::kMergeReplace);
  } else {
    QORUTSValueList stored;
    if (!panel.ReadPublic(*mode, &stored, &error)) {
      return QORHostOutput::Error(QORHostOutput::kFailed, error);
    }
    now.Merge(stored, QORUTSValueList::kMergeReplace);
  }

  QORUTSValueList writes;
  json entries = json::array();
  for (const auto& [name, value] : plan.writes) {
    writes.Set(QORUTSValue(name, value.c_str()));
    const QORUTSValue* previous = now.Find(name);
    entries.push_back({{"name", name},
                       {"value", value},
                       {"previous", previous != nullptr ? previous->GetValueText() : ""}});
  }
  if (!dryRun_) {
    if (plan.graphic) {
      std::error_code ignored;
      std::filesystem::create_directories(responsePath.parent_path(), ignored);
      if (!QORHostGraphicFir::WriteWav(responsePath.string(), response, rate_, 1, &error)) {
        return QORHostOutput::Error(QORHostOutput::kFailed, error + "; nothing was written");
      }
    }
    const bool written =
        tuned_ ? tuned.WriteControls(writes) : panel.WritePublic(*mode, writes, &error);
    if (!written) {
      if (tuned_) error = "cannot write the tuned block of mode " + modeName;
      return QORHostOutput::Error(QORHostOutput::kFailed, error + "; nothing was written");
    }
  }
  if (json_) {
    json out;
    out["file"] = file_;
    out["mode"] = modeName;
    out["target"] = tuned_ ? "tuned" : "public";
    out["dryRun"] = dryRun_;
    out["bands"] = plan.bands;
    out["preampDb"] = plan.preampDb;
    out["response"] = plan.graphic ? json(responsePath.string()) : json(nullptr);
    out["writes"] = entries;
    QORHostOutput::Print(out);
    return QORHostOutput::kOk;
  }
  std::string curve;
  if (plan.graphic) curve = ", graphic curve as " + responsePath.string();
  std::printf("%s into mode %s (%s): %d band%s, preamp %.2f dB%s\n", file_.c_str(),
              modeName.c_str(), tuned_ ? "tuned block" : "public controls", plan.bands,
              plan.bands == 1 ? "" : "s", plan.preampDb, curve.c_str());
  for (const json& entry : entries) {
    std::printf("  %-28s = %s (was %s)\n", entry["name"].get<std::string>().c_str(),
                entry["value"].get<std::string>().c_str(),
                entry["previous"].get<std::string>().c_str());
  }
  std::printf("%s\n", dryRun_ ? "dry run: nothing was written"
                              : "written; a running host crossfades to it");
  return QORHostOutput::kOk;
}

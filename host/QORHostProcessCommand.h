#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "QORHostSchedule.h"
#include "settings/QORAPOModeIdentity.h"

namespace CLI {
class App;
}
class QORHostControlPanel;
class QORHostEngine;

// `qorapo process IN OUT`: streams a file through the APO objects of an endpoint the way the audio
// engine would, with changes a control panel makes while it plays, and reports what ran.
class QORHostProcessCommand {
 public:
  CLI::App* Register(CLI::App& app);
  int Run();

  // "SFX,MFX,EFX", "1,2,3" or "PreBlue"; false with a message for an unknown name.
  static bool ParsePositions(const std::string& text, std::vector<int>* out, std::string* error);

 private:
  struct Restore {
    std::string name;
    std::string value;
    QORAPOModeIdentity mode;  // the one a control was changed in
  };

  int Fail(const std::string& message);
  // wait: hold the stream until every object rebuilt with the change (not in real time, where
  // the stream never waits, as on a device).
  bool ApplyChange(QORHostSchedule::Change& change, QORHostEngine& engine,
                   QORHostControlPanel& panel, int64_t position, bool wait, double* waitedMs);

  std::string input_;
  std::string output_;
  std::string endpoint_;
  std::string mode_;
  std::string speaker_;
  std::string positions_;
  std::string module_;
  std::string modulePath_;
  std::string moduleSource_;
  double periodMs_ = 10.0;
  bool realtime_ = false;
  bool loop_ = false;
  bool overwriteInput_ = false;
  bool json_ = false;
  std::vector<std::string> sets_;
  std::vector<std::string> ats_;
  QORHostSchedule schedule_;
  std::vector<std::string> warnings_;
  std::vector<std::string> landed_;
  // In real time: each chain rebuild the objects made, by class and stream position.
  struct Rebuild {
    std::string name;
    int64_t frame = 0;
  };
  std::vector<Rebuild> heard_;
};

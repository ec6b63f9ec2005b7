#pragma once

#include <memory>
#include <string>

namespace CLI {
class App;
}
class QORAPOOperatingMode;
class QORHostControlPanel;

// `qorapo tune get|set|mode|clear|hold`: the tuned controls of an endpoint and mode in shared
// memory and "VAPO3-Tuning Mode", as a tuning tool changes them while audio runs. The block lives
// only while some process holds it: a running host that found it when it built its chain, or
// `tune hold`, which plays the open tuning tool.
class QORHostTuneCommand {
 public:
  CLI::App* Register(CLI::App& app);
  int Run();

 private:
  bool Open(QORHostControlPanel* panel, std::shared_ptr<QORAPOOperatingMode>* mode);
  int Get();
  int Set();
  int Mode();
  int Clear();
  int Hold();

  CLI::App* get_ = nullptr;
  CLI::App* set_ = nullptr;
  CLI::App* mode_ = nullptr;
  CLI::App* clear_ = nullptr;
  CLI::App* hold_ = nullptr;
  bool json_ = false;
  std::string endpoint_;
  std::string modeName_;
  std::string name_;
  std::string value_;
  int tuningMode_ = -1;
};

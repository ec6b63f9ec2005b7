#pragma once

#include <string>

// What `qorapo serve`'s command line sets for its daemon: a plain value, so that it passes into
// the daemon's module as it is.
struct QORHostServeOptions {
  std::string target;  // the device (node.name) render endpoints play into; empty: the first
  std::string source;  // the device capture endpoints record from; empty: the first
  bool json = false;
  bool follow = false;    // keep an endpoint per real device, by the rules
  std::string rulesPath;  // empty: devices.conf in the state root
  bool panel = false;     // the control panel served beside the daemon, as a child process
  std::string panelListen = "127.0.0.1:0";  // its HOST:PORT, as `qorapo panel --listen` takes it
  std::string executable;                   // qorapo itself, which serves the panel
};

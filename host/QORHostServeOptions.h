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
};

#pragma once

#include <string>

// What `qorapo panel`'s command line sets for the panel's server: a plain value, so that it
// passes into the panel's module as it is.
struct QORHostPanelOptions {
  std::string host = "127.0.0.1";  // the address listened on
  int port = 0;                    // 0: any free port, shown in the link printed at start
  std::string executable;          // qorapo itself, whose commands make every read and write
};

#pragma once

#include <string>
#include <utility>
#include <vector>

#include "QORHostEqFile.h"

class QORHostControlCatalog;

// What an equaliser file becomes in a mode: the parametric equaliser's bands, preamp and switch,
// and for a graphic curve the convolution's response file. Worked out whole, and checked against
// the controls the mode lets the writer set and their ranges, before anything is written.
class QORHostEqImport {
 public:
  struct Target {
    std::vector<std::string> names;  // the controls the writer may set
    const QORHostControlCatalog* catalog = nullptr;
    int channels = 2;
    std::string mode;          // for messages
    std::string responsePath;  // where a graphic curve's response file goes
  };
  struct Plan {
    std::vector<std::pair<std::string, std::string>> writes;  // name, value as stored
    int bands = 0;                                            // bands the file fills
    double preampDb = 0.0;
    bool graphic = false;
  };

  // Q where a file gives none: a notch is narrow, the others Butterworth-like.
  static double UsualQ(QORHostEqFile::Type type);
  // A shelf's slope in dB per octave as the Q of the same shelf (slope 12 dB: Q 1/sqrt(2)); 0
  // when no real Q gives that slope at that gain.
  static double ShelfQ(double slopeDb, double gainDb);

  // False with "FILE:LINE: why" (or "FILE: why") when the file cannot be represented.
  static bool Make(const QORHostEqFile& file, const std::string& fileName, const Target& target,
                   Plan* plan, std::string* error);
};

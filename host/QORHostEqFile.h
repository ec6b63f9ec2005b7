#pragma once

#include <filesystem>
#include <string>
#include <vector>

// An equaliser file as people bring it: the parametric text that equaliser hosts and AutoEQ write
// (`Preamp:`, `Filter N: ON PK Fc 105 Hz Gain -3.1 dB Q 0.70`, `Channel: L` sections), AutoEQ's
// `GraphicEQ: 20 -3.1; 21 -3.0; ...` line, and Room EQ Wizard's filter settings export. Read
// whole or refused at the first line it cannot represent, with that line's number.
class QORHostEqFile {
 public:
  enum class Type { kPeak, kLowShelf, kHighShelf, kLowPass, kHighPass, kNotch, kAllPass };
  struct Filter {
    int line = 0;
    Type type = Type::kPeak;
    double frequency = 0.0;  // Hz
    double gainDb = 0.0;
    double q = 0.0;        // 0: not given (the type's usual value applies)
    double slopeDb = 0.0;  // shelves: dB per octave when given instead of Q; 0: not given
  };
  // The filters of one set of channels ("L", "R", ... ; none: every channel), in file order.
  struct Section {
    std::vector<std::string> channels;
    int line = 0;        // of its Channel: line
    int preampLine = 0;  // of its first Preamp: line
    double preampDb = 0.0;
    std::vector<Filter> filters;
  };
  struct Point {
    double frequency;
    double gainDb;
  };

  // Reads the file for a stream at rate (a frequency at or above half of it is refused). False
  // with "FILE:LINE: what" otherwise.
  bool Load(const std::filesystem::path& path, int rate, std::string* error);
  // The same from text already read; name stands for the file in messages.
  bool Parse(const std::string& text, const std::string& name, int rate, std::string* error);

  const std::vector<Section>& Sections() const { return sections_; }
  // AutoEQ's graphic curve, if the file has one; its line.
  const std::vector<Point>& Graphic() const { return graphic_; }
  int GraphicLine() const { return graphicLine_; }
  static const char* TypeName(Type type);

 private:
  bool ParseFilter(const std::string& body, int line, int rate, Filter* out, bool* on,
                   std::string* why) const;
  bool ParseGraphic(const std::string& body, int rate, std::string* why);

  std::vector<Section> sections_;
  std::vector<Point> graphic_;
  int graphicLine_ = 0;
};

#include "QORHostEqFile.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <fstream>
#include <sstream>

namespace {

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

std::string Trim(const std::string& text) {
  const size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return {};
  return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}

// A whole token as a finite number.
bool Number(const std::string& token, double* out) {
  if (token.empty()) return false;
  char* end = nullptr;
  *out = std::strtod(token.c_str(), &end);
  return end == token.c_str() + token.size() && std::isfinite(*out);
}

// "Key: rest" with the key compared without letter case; rest trimmed.
bool Keyed(const std::string& line, const std::string& key, std::string* rest) {
  const size_t colon = line.find(':');
  if (colon == std::string::npos) return false;
  std::string head = Upper(Trim(line.substr(0, colon)));
  if (head != key) {
    // "Filter 3:" and "Filter:" alike.
    if (key != "FILTER" || head.rfind("FILTER", 0) != 0) return false;
    const std::string number = Trim(head.substr(6));
    if (number.empty() || !std::all_of(number.begin(), number.end(), ::isdigit)) return false;
  }
  *rest = Trim(line.substr(colon + 1));
  return true;
}

struct TypeName {
  const char* name;
  QORHostEqFile::Type type;
  bool needsGain;
  bool needsQ;
};
constexpr TypeName kTypes[] = {
    {"PK", QORHostEqFile::Type::kPeak, true, true},
    {"PEQ", QORHostEqFile::Type::kPeak, true, true},
    {"MODAL", QORHostEqFile::Type::kPeak, true, true},
    {"LS", QORHostEqFile::Type::kLowShelf, true, false},
    {"LSC", QORHostEqFile::Type::kLowShelf, true, false},
    {"HS", QORHostEqFile::Type::kHighShelf, true, false},
    {"HSC", QORHostEqFile::Type::kHighShelf, true, false},
    {"LP", QORHostEqFile::Type::kLowPass, false, false},
    {"LPQ", QORHostEqFile::Type::kLowPass, false, true},
    {"HP", QORHostEqFile::Type::kHighPass, false, false},
    {"HPQ", QORHostEqFile::Type::kHighPass, false, true},
    {"NO", QORHostEqFile::Type::kNotch, false, false},
    {"AP", QORHostEqFile::Type::kAllPass, false, true},
};

}  // namespace

const char* QORHostEqFile::TypeName(Type type) {
  for (const auto& known : kTypes) {
    if (known.type == type) return known.name;
  }
  return "?";
}

bool QORHostEqFile::Load(const std::filesystem::path& path, int rate, std::string* error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    *error = "cannot read " + path.string();
    return false;
  }
  std::ostringstream text;
  text << file.rdbuf();
  return Parse(text.str(), path.string(), rate, error);
}

bool QORHostEqFile::Parse(const std::string& text, const std::string& name, int rate,
                          std::string* error) {
  sections_.assign(1, Section{});
  graphic_.clear();
  graphicLine_ = 0;
  std::istringstream lines(text);
  bool rew = false;
  bool first = true;
  int number = 0;
  for (std::string raw; std::getline(lines, raw);) {
    ++number;
    // A byte-order mark before the first line.
    if (number == 1 && raw.rfind("\xEF\xBB\xBF", 0) == 0) raw.erase(0, 3);
    const std::string line = Trim(raw);
    if (line.empty() || line[0] == '#') continue;
    if (first) {
      first = false;
      // Room EQ Wizard's export: a header of its own, then the filter lines.
      if (Upper(line) == "FILTER SETTINGS FILE") {
        rew = true;
        continue;
      }
    }
    std::string rest;
    std::string why;
    bool read = true;
    if (Keyed(line, "FILTER", &rest)) {
      Filter filter;
      bool on = false;
      read = ParseFilter(rest, number, rate, &filter, &on, &why);
      if (read && on) sections_.back().filters.push_back(filter);
    } else if (rew) {
      continue;  // the export's header: program, date, notes, equaliser, average
    } else if (Keyed(line, "PREAMP", &rest)) {
      std::istringstream words(rest);
      std::string value, unit, extra;
      words >> value >> unit >> extra;
      double db = 0.0;
      read = Number(value, &db) && Upper(unit) == "DB" && extra.empty();
      if (read) {
        sections_.back().preampDb += db;
        if (sections_.back().preampLine == 0) sections_.back().preampLine = number;
      }
      if (!read) why = "a preamp is 'Preamp: <number> dB', not '" + line + "'";
    } else if (Keyed(line, "CHANNEL", &rest)) {
      Section section;
      section.line = number;
      std::istringstream words(rest);
      for (std::string channel; words >> channel;) {
        if (Upper(channel) != "ALL") section.channels.push_back(Upper(channel));
      }
      read = !rest.empty();
      if (read) sections_.push_back(section);
      if (!read) why = "'Channel:' names no channel";
    } else if (Keyed(line, "GRAPHICEQ", &rest)) {
      read = ParseGraphic(rest, rate, &why);
      if (read) graphicLine_ = number;
    } else {
      read = false;
      why = "cannot read '" + line + "'; expected Preamp:, Filter:, Channel: or GraphicEQ:";
    }
    if (!read) {
      *error = name + ":" + std::to_string(number) + ": " + why;
      return false;
    }
  }
  // Sections without a filter or a preamp change nothing.
  std::erase_if(sections_, [](const Section& section) {
    return section.filters.empty() && section.preampDb == 0.0;
  });
  return true;
}

bool QORHostEqFile::ParseFilter(const std::string& body, int line, int rate, Filter* out, bool* on,
                                std::string* why) const {
  std::istringstream words(body);
  std::vector<std::string> tokens;
  for (std::string token; words >> token;) tokens.push_back(token);
  if (tokens.empty() || (Upper(tokens[0]) != "ON" && Upper(tokens[0]) != "OFF")) {
    *why = "a filter starts with ON or OFF";
    return false;
  }
  *on = Upper(tokens[0]) == "ON";
  // A filter switched off is left out whatever follows (REW writes "OFF None").
  if (!*on) return true;
  if (tokens.size() < 2) {
    *why = "the filter has no type";
    return false;
  }
  const std::string typeName = Upper(tokens[1]);
  // An unused slot of an export: on or off, it shapes nothing.
  if (typeName == "NONE" && tokens.size() == 2) {
    *on = false;
    return true;
  }
  const auto* known = std::find_if(std::begin(kTypes), std::end(kTypes),
                                   [&](const auto& type) { return typeName == type.name; });
  if (known == std::end(kTypes)) {
    *why = "unknown filter type '" + tokens[1] +
           "'; known: PK, PEQ, Modal, LS, LSC, HS, HSC, LP, LPQ, HP, HPQ, NO, AP";
    return false;
  }
  out->line = line;
  out->type = known->type;
  size_t next = 2;
  const bool shelf = known->type == Type::kLowShelf || known->type == Type::kHighShelf;
  // A shelf's slope may follow its type: "LS 6dB", "LSC 12 dB".
  if (shelf && next < tokens.size()) {
    std::string slope = Upper(tokens[next]);
    size_t used = 1;
    if (slope.size() > 2 && slope.substr(slope.size() - 2) == "DB") {
      slope.resize(slope.size() - 2);
    } else if (next + 1 < tokens.size() && Upper(tokens[next + 1]) == "DB") {
      used = 2;
    } else {
      slope.clear();
    }
    double value = 0.0;
    if (!slope.empty() && Number(slope, &value)) {
      if (value <= 0.0) {
        *why = "a shelf's slope is a positive number of dB per octave";
        return false;
      }
      out->slopeDb = value;
      next += used;
    }
  }
  bool haveFrequency = false, haveGain = false, haveQ = false;
  while (next < tokens.size()) {
    const std::string key = Upper(tokens[next]);
    double value = 0.0;
    const bool numbered = next + 1 < tokens.size() && Number(tokens[next + 1], &value);
    const std::string unit = next + 2 < tokens.size() ? Upper(tokens[next + 2]) : "";
    if (key == "FC" && numbered && unit == "HZ") {
      out->frequency = value;
      haveFrequency = true;
      next += 3;
    } else if (key == "GAIN" && numbered && unit == "DB") {
      out->gainDb = value;
      haveGain = true;
      next += 3;
    } else if (key == "Q" && numbered) {
      out->q = value;
      haveQ = true;
      next += 2;
    } else if (key == "BW" && next + 2 < tokens.size() && Upper(tokens[next + 1]) == "OCT" &&
               Number(tokens[next + 2], &value) && value > 0.0) {
      // Bandwidth in octaves, as a Q.
      const double ratio = std::pow(2.0, value);
      out->q = std::sqrt(ratio) / (ratio - 1.0);
      haveQ = true;
      next += 3;
    } else {
      *why = "cannot read '" + tokens[next] +
             "' of the filter; expected Fc <Hz> Hz, Gain <dB> dB, Q <number> or BW Oct <number>";
      return false;
    }
  }
  if (!haveFrequency) {
    *why = std::string("the ") + known->name + " filter has no Fc";
    return false;
  }
  if (out->frequency <= 0.0 || out->frequency >= rate / 2.0) {
    std::ostringstream text;
    text << "Fc " << out->frequency << " Hz is outside 0 to " << rate / 2
         << " Hz, half the stream's rate";
    *why = text.str();
    return false;
  }
  if (known->needsGain && !haveGain) {
    *why = std::string("the ") + known->name + " filter has no Gain";
    return false;
  }
  if (known->needsQ && !haveQ) {
    *why = std::string("the ") + known->name + " filter has no Q";
    return false;
  }
  if (haveQ && out->q <= 0.0) {
    *why = "Q must be above 0";
    return false;
  }
  if (haveQ && out->slopeDb > 0.0) {
    *why = "a shelf takes a slope or a Q, not both";
    return false;
  }
  return true;
}

bool QORHostEqFile::ParseGraphic(const std::string& body, int rate, std::string* why) {
  std::istringstream points(body);
  for (std::string point; std::getline(points, point, ';');) {
    std::istringstream pair(point);
    std::string frequency, gain, extra;
    pair >> frequency >> gain >> extra;
    Point parsed{};
    if (frequency.empty() && gain.empty()) continue;  // a trailing ';'
    if (!Number(frequency, &parsed.frequency) || !Number(gain, &parsed.gainDb) || !extra.empty()) {
      *why = "a GraphicEQ point is '<Hz> <dB>', not '" + Trim(point) + "'";
      return false;
    }
    if (!graphic_.empty() && parsed.frequency <= graphic_.back().frequency) {
      *why = "GraphicEQ frequencies must rise; " + frequency + " Hz follows " +
             std::to_string(graphic_.back().frequency) + " Hz";
      return false;
    }
    if (parsed.frequency <= 0.0) {
      *why = "a GraphicEQ frequency must be above 0 Hz";
      return false;
    }
    // Points above half the rate cannot be heard at it; the curve is kept up to there.
    if (parsed.frequency < rate / 2.0) graphic_.push_back(parsed);
  }
  if (graphic_.empty()) {
    *why = "the GraphicEQ line has no point below half the stream's rate";
    return false;
  }
  return true;
}

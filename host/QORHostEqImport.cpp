#include "QORHostEqImport.h"

#include <algorithm>
#include <cmath>
#include <set>
#include <sstream>

#include "QORHostControlCatalog.h"

namespace {

constexpr int kMaxChannels = 12;

// The parametric equaliser's type names, by file type.
const char* TypeValue(QORHostEqFile::Type type) {
  switch (type) {
    case QORHostEqFile::Type::kPeak:
      return "Peak";
    case QORHostEqFile::Type::kLowShelf:
      return "Low Shelf";
    case QORHostEqFile::Type::kHighShelf:
      return "High Shelf";
    case QORHostEqFile::Type::kLowPass:
      return "Low Pass";
    case QORHostEqFile::Type::kHighPass:
      return "High Pass";
    case QORHostEqFile::Type::kNotch:
      return "Notch";
    case QORHostEqFile::Type::kAllPass:
      return "All Pass";
  }
  return "Off";
}

bool HasGain(QORHostEqFile::Type type) {
  return type == QORHostEqFile::Type::kPeak || type == QORHostEqFile::Type::kLowShelf ||
         type == QORHostEqFile::Type::kHighShelf;
}

// Channel names in the usual speaker order; numbers count from 1.
int ChannelNumber(const std::string& name) {
  static const std::pair<const char*, int> kNames[] = {{"L", 1},   {"R", 2},  {"C", 3},  {"SUB", 4},
                                                       {"LFE", 4}, {"RL", 5}, {"BL", 5}, {"RR", 6},
                                                       {"BR", 6},  {"SL", 7}, {"SR", 8}};
  for (const auto& [known, number] : kNames) {
    if (name == known) return number;
  }
  if (!name.empty() && std::all_of(name.begin(), name.end(), ::isdigit) && name.size() <= 2) {
    const int number = std::stoi(name);
    if (number >= 1 && number <= kMaxChannels) return number;
  }
  return 0;
}

std::string Hundredths(double value) {
  return std::to_string(static_cast<long>(std::lround(value * 100.0)));
}

std::string Number(double value) {
  std::ostringstream text;
  text << value;
  return text.str();
}

class Planner {
 public:
  Planner(const QORHostEqFile& file, const std::string& fileName,
          const QORHostEqImport::Target& target, QORHostEqImport::Plan* plan, std::string* error)
      : file_(file), fileName_(fileName), target_(target), plan_(plan), error_(error) {}

  bool Run() {
    for (int n = 1; !Declared(Band(n, "Type")).empty(); ++n) declaredBands_ = n;
    std::vector<double> preamp(target_.channels, 0.0);
    int firstPreamp = 0;         // where the preamp is read
    int firstChannelPreamp = 0;  // where channels' preamps may start to differ
    for (const QORHostEqFile::Section& section : file_.Sections()) {
      std::vector<int> channels;
      if (!Channels(section, &channels)) return false;
      for (int ch = 1; ch <= target_.channels; ++ch) {
        if (Applies(channels, ch)) preamp[ch - 1] += section.preampDb;
      }
      if (section.preampDb != 0.0) {
        if (firstPreamp == 0) firstPreamp = section.preampLine;
        if (channels != std::vector{0} && firstChannelPreamp == 0) {
          firstChannelPreamp = section.preampLine;
        }
      }
      for (const QORHostEqFile::Filter& filter : section.filters) {
        for (const int channel : channels) {
          if (!AddBand(filter, channel)) return false;
        }
      }
    }
    const bool even = std::all_of(preamp.begin(), preamp.end(),
                                  [&](double db) { return std::fabs(db - preamp[0]) < 1e-9; });
    if (!even) {
      return Refuse(firstChannelPreamp,
                    "the preamp differs between channels, and the equaliser has one preamp for "
                    "all of them; move the difference into the channels' filters");
    }
    plan_->preampDb = preamp.empty() ? 0.0 : preamp[0];
    if (!Set(firstPreamp, "PEQ-Preamp", Hundredths(plan_->preampDb), plan_->preampDb != 0.0)) {
      return false;
    }
    for (int n = plan_->bands + 1; n <= declaredBands_; ++n) {
      if (!Set(0, Band(n, "Type"), "Off", true) || !Set(0, Band(n, "Channel"), "0", false)) {
        return false;
      }
    }
    if ((plan_->bands > 0 || plan_->preampDb != 0.0) && !Set(0, "PEQ-Enable", "1", false)) {
      return false;
    }
    if (!file_.Graphic().empty()) {
      plan_->graphic = true;
      if (!Set(file_.GraphicLine(), "CONV-Impulse Response", target_.responsePath, true) ||
          !Set(file_.GraphicLine(), "CONV-Enable", "1", false)) {
        return false;
      }
    }
    if (plan_->bands == 0 && plan_->preampDb == 0.0 && !plan_->graphic) {
      *error_ = fileName_ + ": no filter, preamp or GraphicEQ curve to import";
      return false;
    }
    return true;
  }

 private:
  static std::string Band(int n, const char* what) {
    return "PEQ-Band " + std::to_string(n) + " " + what;
  }

  static bool Applies(const std::vector<int>& channels, int channel) {
    return std::find(channels.begin(), channels.end(), 0) != channels.end() ||
           std::find(channels.begin(), channels.end(), channel) != channels.end();
  }

  // The channels a section's filters go to: {0} for every channel of the stream.
  bool Channels(const QORHostEqFile::Section& section, std::vector<int>* out) {
    std::set<int> numbers;
    for (const std::string& name : section.channels) {
      const int number = ChannelNumber(name);
      if (number == 0) {
        return Refuse(section.line, "unknown channel '" + name +
                                        "'; known: L, R, C, SUB (or LFE), RL (BL), RR (BR), SL, "
                                        "SR, or a number from 1 to 12");
      }
      if (number > target_.channels) {
        return Refuse(section.line, "channel " + name + " is channel " + std::to_string(number) +
                                        ", but the stream has " + std::to_string(target_.channels) +
                                        " (see --channels)");
      }
      numbers.insert(number);
    }
    if (section.channels.empty() || static_cast<int>(numbers.size()) == target_.channels) {
      *out = {0};
    } else {
      out->assign(numbers.begin(), numbers.end());
    }
    return true;
  }

  bool AddBand(const QORHostEqFile::Filter& filter, int channel) {
    const int n = ++plan_->bands;
    if (n > declaredBands_) {
      return Refuse(filter.line,
                    "this filter needs band " + std::to_string(n) + ", but mode " + target_.mode +
                        (declaredBands_ == 0
                             ? " has no band of the parametric equaliser"
                             : " lets you set only bands 1 to " + std::to_string(declaredBands_)) +
                        " ('PEQ-Band N Type' and the others in its configuration)");
    }
    double q = filter.q > 0.0 ? filter.q : QORHostEqImport::UsualQ(filter.type);
    if (filter.slopeDb > 0.0) {
      q = QORHostEqImport::ShelfQ(filter.slopeDb, filter.gainDb);
      if (q == 0.0) {
        return Refuse(filter.line, "a slope of " + Number(filter.slopeDb) + " dB per octave at " +
                                       Number(filter.gainDb) +
                                       " dB is steeper than a second-order shelf can be");
      }
    }
    return Set(filter.line, Band(n, "Type"), TypeValue(filter.type), true) &&
           Set(filter.line, Band(n, "Frequency"), Hundredths(filter.frequency), true) &&
           Set(filter.line, Band(n, "Gain"), Hundredths(HasGain(filter.type) ? filter.gainDb : 0.0),
               true) &&
           Set(filter.line, Band(n, "Q"), Hundredths(q), true) &&
           Set(filter.line, Band(n, "Channel"), std::to_string(channel), channel != 0);
  }

  // The name as the mode spells it (exactly, or after an instance prefix "X:"); empty if none.
  std::string Declared(const std::string& name) const {
    for (const std::string& known : target_.names) {
      if (known == name) return known;
    }
    for (const std::string& known : target_.names) {
      const size_t colon = known.rfind(':');
      if (colon != std::string::npos && known.compare(colon + 1, std::string::npos, name) == 0) {
        return known;
      }
    }
    return {};
  }

  // Adds a write after checking it; a control the mode does not declare is refused when needed
  // and skipped otherwise.
  bool Set(int line, const std::string& name, const std::string& value, bool needed) {
    const std::string declared = Declared(name);
    if (declared.empty()) {
      if (!needed) return true;
      return Refuse(line, "mode " + target_.mode + " has no settable control '" + name +
                              "'; its configuration must name it");
    }
    std::string stored;
    std::string why;
    if (target_.catalog != nullptr && !target_.catalog->Check(declared, value, &stored, &why)) {
      return Refuse(line, why);
    }
    if (target_.catalog == nullptr) stored = value;
    plan_->writes.emplace_back(declared, stored);
    return true;
  }

  bool Refuse(int line, const std::string& why) {
    std::string message = fileName_;
    if (line > 0) message.append(":").append(std::to_string(line));
    message.append(": ").append(why);
    *error_ = message;
    return false;
  }

  const QORHostEqFile& file_;
  const std::string& fileName_;
  const QORHostEqImport::Target& target_;
  QORHostEqImport::Plan* plan_;
  std::string* error_;
  int declaredBands_ = 0;
};

}  // namespace

double QORHostEqImport::UsualQ(QORHostEqFile::Type type) {
  return type == QORHostEqFile::Type::kNotch ? 30.0 : 1.0 / std::sqrt(2.0);
}

double QORHostEqImport::ShelfQ(double slopeDb, double gainDb) {
  const double a = std::pow(10.0, gainDb / 40.0);
  const double s = slopeDb / 12.0;
  const double inverseSquared = (a + 1.0 / a) * (1.0 / s - 1.0) + 2.0;
  return inverseSquared > 0.0 ? 1.0 / std::sqrt(inverseSquared) : 0.0;
}

bool QORHostEqImport::Make(const QORHostEqFile& file, const std::string& fileName,
                           const Target& target, Plan* plan, std::string* error) {
  *plan = Plan{};
  return Planner(file, fileName, target, plan, error).Run();
}

// End-to-end: equaliser files imported into a mode, measured through the objects with
// `qorapo plot` against the filters computed here from the files' own values.
#include <cmath>
#include <complex>
#include <numbers>

#include "QORHostRunner.h"

namespace {

using qortest::HostResult;

using qortest::kRate;
// The Q of a Butterworth pair, where a file gives none.
constexpr double kHalfSqrt2 = std::numbers::sqrt2 / 2.0;

// One filter as the audio cookbook defines it: type, centre or corner, gain and Q as written in
// the file (Q left 0 for a shelf given by its slope S instead).
struct Cookbook {
  std::string type;
  double f0;
  double gainDb = 0.0;
  double q = 0.0;
  double slope = 0.0;  // shelves: S, 1 for 12 dB per octave

  double MagnitudeDb(double f) const {
    const double a = std::pow(10.0, gainDb / 40.0);
    const double w0 = 2.0 * std::numbers::pi * f0 / kRate;
    const double cw = std::cos(w0);
    const double alpha =
        slope > 0.0 ? std::sin(w0) / 2.0 * std::sqrt((a + 1.0 / a) * (1.0 / slope - 1.0) + 2.0)
                    : std::sin(w0) / (2.0 * q);
    const double r = 2.0 * std::sqrt(a) * alpha;
    double b[3] = {1, 0, 0}, d[3] = {1, 0, 0};
    auto set = [&](double b0, double b1, double b2, double a0, double a1, double a2) {
      b[0] = b0, b[1] = b1, b[2] = b2, d[0] = a0, d[1] = a1, d[2] = a2;
    };
    if (type == "PK")
      set(1 + alpha * a, -2 * cw, 1 - alpha * a, 1 + alpha / a, -2 * cw, 1 - alpha / a);
    if (type == "LS") {
      set(a * ((a + 1) - (a - 1) * cw + r), 2 * a * ((a - 1) - (a + 1) * cw),
          a * ((a + 1) - (a - 1) * cw - r), (a + 1) + (a - 1) * cw + r,
          -2 * ((a - 1) + (a + 1) * cw), (a + 1) + (a - 1) * cw - r);
    }
    if (type == "HS") {
      set(a * ((a + 1) + (a - 1) * cw + r), -2 * a * ((a - 1) + (a + 1) * cw),
          a * ((a + 1) + (a - 1) * cw - r), (a + 1) - (a - 1) * cw + r,
          2 * ((a - 1) - (a + 1) * cw), (a + 1) - (a - 1) * cw - r);
    }
    if (type == "LP") set((1 - cw) / 2, 1 - cw, (1 - cw) / 2, 1 + alpha, -2 * cw, 1 - alpha);
    if (type == "HP") set((1 + cw) / 2, -(1 + cw), (1 + cw) / 2, 1 + alpha, -2 * cw, 1 - alpha);
    if (type == "NO") set(1, -2 * cw, 1, 1 + alpha, -2 * cw, 1 - alpha);
    if (type == "AP") set(1 - alpha, -2 * cw, 1 + alpha, 1 + alpha, -2 * cw, 1 - alpha);
    const std::complex<double> z = std::polar(1.0, -2.0 * std::numbers::pi * f / kRate);
    const auto h = (b[0] + b[1] * z + b[2] * z * z) / (d[0] + d[1] * z + d[2] * z * z);
    return 20.0 * std::log10(std::abs(h));
  }
};

double ExpectedDb(const std::vector<Cookbook>& filters, double preampDb, double f) {
  double db = preampDb;
  for (const Cookbook& filter : filters) db += filter.MagnitudeDb(f);
  return db;
}

class ImportToolTest : public qortest::HostToolTest {
 protected:
  const char* Configuration() const override { return qortest::kImportConfiguration.c_str(); }

  HostResult Import(const std::string& name, const std::string& text,
                    std::vector<std::string> more = {}) {
    std::ofstream(File(name)) << text;
    std::vector<std::string> args{"import", File(name), "--mode", "Movie"};
    args.insert(args.end(), more.begin(), more.end());
    return Run(args);
  }

  // The measured response of Movie/Speakers at one output channel.
  nlohmann::json Measure(int channel = 1) {
    return RunJson({"plot", "--mode", "Movie", "--signal", "impulse", "--points", "240",
                    "--channel", std::to_string(channel), "--json"})["curves"][0]["points"];
  }

  // Every measured point from 20 Hz to 20 kHz within tolerance of the expected curve, except
  // where the filters take it below -60 dB (a notch's or a pass filter's depth).
  void ExpectResponse(const std::vector<Cookbook>& filters, double preampDb, int channel = 1) {
    const nlohmann::json points = Measure(channel);
    ASSERT_GE(points.size(), 200u);
    double worst = 0.0, at = 0.0;
    for (const auto& point : points) {
      const double f = point["hz"].get<double>();
      const double expected = ExpectedDb(filters, preampDb, f);
      if (f < 20.0 || f > 20000.0 || expected < -60.0) continue;
      const double error = std::fabs(point["db"].get<double>() - expected);
      if (error > worst) worst = error, at = f;
    }
    EXPECT_LT(worst, 0.1) << "at " << at << " Hz, channel " << channel;
  }

  // Every public control's value, to see that a refused import wrote nothing.
  nlohmann::json Values() {
    nlohmann::json values;
    const nlohmann::json list = RunJson({"control", "list", "--mode", "Movie", "--json"});
    for (const auto& control : list["controls"]) {
      values[control["name"].get<std::string>()] = control["value"];
    }
    return values;
  }
};

TEST_F(ImportToolTest, EachFilterTypeSoundsAsTheCookbookFilterOfTheFilesValues) {
  const struct {
    const char* line;
    std::vector<Cookbook> filters;
    double preampDb = 0.0;
  } cases[] = {
      {"Preamp: -3.5 dB\nFilter 1: ON PK Fc 1000 Hz Gain 6.5 dB Q 1.41",
       {{"PK", 1000, 6.5, 1.41}},
       -3.5},
      {"Filter 1: ON PEQ Fc 63.5 Hz Gain -5.2 dB Q 4.318", {{"PK", 63.5, -5.2, 4.318}}},
      {"Filter 1: ON LS Fc 105 Hz Gain 5.5 dB", {{"LS", 105, 5.5, kHalfSqrt2}}},
      {"Filter 1: ON LSC Fc 105 Hz Gain 5.5 dB Q 0.9", {{"LS", 105, 5.5, 0.9}}},
      {"Filter 1: ON LSC 6 dB Fc 300 Hz Gain -4 dB", {{"LS", 300, -4.0, 0.0, 0.5}}},
      {"Filter 1: ON HS Fc 8000 Hz Gain -3 dB", {{"HS", 8000, -3.0, kHalfSqrt2}}},
      {"Filter 1: ON HSC 12 dB Fc 6000 Hz Gain 4 dB", {{"HS", 6000, 4.0, 0.0, 1.0}}},
      {"Filter 1: ON LP Fc 12000 Hz", {{"LP", 12000, 0.0, kHalfSqrt2}}},
      {"Filter 1: ON LPQ Fc 5000 Hz Q 2", {{"LP", 5000, 0.0, 2.0}}},
      {"Filter 1: ON HP Fc 40 Hz", {{"HP", 40, 0.0, kHalfSqrt2}}},
      {"Filter 1: ON HPQ Fc 80 Hz Q 0.5", {{"HP", 80, 0.0, 0.5}}},
      {"Filter 1: ON NO Fc 3000 Hz", {{"NO", 3000, 0.0, 30.0}}},
      {"Filter 1: ON AP Fc 1000 Hz Q 0.7", {{"AP", 1000, 0.0, 0.7}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    const HostResult result = Import("eq.txt", std::string(c.line) + "\n");
    ASSERT_EQ(result.code, 0) << result.err;
    ExpectResponse(c.filters, c.preampDb);
  }
}

// AutoEQ's parametric file, a Room EQ Wizard export and a file with channel sections: each
// channel measured on its own.
TEST_F(ImportToolTest, WholeFilesAndChannelSectionsSoundAsTheirFilters) {
  const std::string autoEq =
      "Preamp: -6.2 dB\n"
      "Filter 1: ON LSC Fc 105 Hz Gain 5.5 dB Q 0.70\n"
      "Filter 2: ON PK Fc 180 Hz Gain -3.1 dB Q 0.70\n"
      "Filter 3: ON PK Fc 1429 Hz Gain 2.4 dB Q 1.83\n"
      "Filter 4: ON PK Fc 3037 Hz Gain -4.6 dB Q 3.38\n"
      "Filter 5: ON PK Fc 5398 Hz Gain 3.2 dB Q 4.18\n"
      "Filter 6: ON PK Fc 6750 Hz Gain -2.5 dB Q 5.05\n"
      "Filter 7: ON PK Fc 8250 Hz Gain 1.9 dB Q 2.22\n"
      "Filter 8: ON PK Fc 11000 Hz Gain -1.3 dB Q 1.20\n"
      "Filter 9: ON PK Fc 14500 Hz Gain 2.0 dB Q 0.90\n"
      "Filter 10: ON HSC Fc 10000 Hz Gain -2.0 dB Q 0.70\n";
  const std::vector<Cookbook> autoEqFilters = {{"LS", 105, 5.5, 0.70},  {"PK", 180, -3.1, 0.70},
                                               {"PK", 1429, 2.4, 1.83}, {"PK", 3037, -4.6, 3.38},
                                               {"PK", 5398, 3.2, 4.18}, {"PK", 6750, -2.5, 5.05},
                                               {"PK", 8250, 1.9, 2.22}, {"PK", 11000, -1.3, 1.2},
                                               {"PK", 14500, 2.0, 0.9}, {"HS", 10000, -2.0, 0.70}};
  ASSERT_EQ(Import("ParametricEQ.txt", autoEq).code, 0);
  ExpectResponse(autoEqFilters, -6.2, 2);

  const std::string rew =
      "Filter Settings file\n\nRoom EQ V5.20\nDated: 07-Dec-2026 10:00:00\n\nNotes:\n\n"
      "Equaliser: Generic\nAverage 1\n"
      "Filter  1: ON  PK       Fc   63.50 Hz  Gain  -5.20 dB  Q  4.318\n"
      "Filter  2: ON  PK       Fc   125.0 Hz  Gain  -3.00 dB  Q  2.000\n"
      "Filter  3: ON  LS       Fc   100.0 Hz  Gain   2.00 dB\n"
      "Filter  4: OFF None\n"
      "Filter  5: ON  HS       Fc    9000 Hz  Gain  -1.50 dB\n";
  ASSERT_EQ(Import("rew.txt", rew).code, 0);
  ExpectResponse({{"PK", 63.5, -5.2, 4.318},
                  {"PK", 125, -3.0, 2.0},
                  {"LS", 100, 2.0, kHalfSqrt2},
                  {"HS", 9000, -1.5, kHalfSqrt2}},
                 0.0);

  const std::string sections =
      "Preamp: -2 dB\n"
      "Channel: L\nFilter 1: ON PK Fc 200 Hz Gain 4 dB Q 1\n"
      "Channel: R\nFilter 1: ON HS Fc 4000 Hz Gain -6 dB Q 0.7\n"
      "Channel: L R\nFilter 1: ON PK Fc 1000 Hz Gain 3 dB Q 2\n";
  const HostResult result = Import("channels.txt", sections, {"--json"});
  ASSERT_EQ(result.code, 0) << result.err;
  EXPECT_EQ(result.Json()["bands"], 3);
  ExpectResponse({{"PK", 200, 4.0, 1.0}, {"PK", 1000, 3.0, 2.0}}, -2.0, 1);
  ExpectResponse({{"HS", 4000, -6.0, 0.7}, {"PK", 1000, 3.0, 2.0}}, -2.0, 2);
}

// AutoEQ's graphic curve becomes a response file of the mode's convolution, heard within 0.5 dB
// at every point of the curve; another curve is another file, so a running host rebuilds for it.
TEST_F(ImportToolTest, AGraphicCurveIsHeardAtItsPoints) {
  const std::vector<std::pair<double, double>> curve = {
      {20, -3.1},   {40, -1.0},  {80, 2.5},   {160, 4.0},    {315, 1.0},    {630, -0.5},
      {1250, -2.0}, {2500, 1.5}, {5000, 3.0}, {10000, -2.5}, {16000, -5.0}, {20000, -6.0}};
  std::string line = "GraphicEQ:";
  for (const auto& [hz, db] : curve) {
    line.append(" ").append(std::to_string(hz)).append(" ").append(std::to_string(db)).append(";");
  }
  const HostResult result = Import("GraphicEQ.txt", line + "\n", {"--json"});
  ASSERT_EQ(result.code, 0) << result.err;
  const std::string response = result.Json()["response"].get<std::string>();
  EXPECT_TRUE(std::filesystem::exists(response)) << response;
  EXPECT_EQ(Values()["CONV-Impulse Response"], response);
  const nlohmann::json points = Measure();
  for (const auto& [hz, db] : curve) {
    // The measured curve between its two points around hz, on a log-frequency axis.
    size_t k = 1;
    while (k + 1 < points.size() && points[k]["hz"].get<double>() < hz) ++k;
    const double f0 = points[k - 1]["hz"], f1 = points[k]["hz"];
    const double t = std::clamp(std::log(hz / f0) / std::log(f1 / f0), 0.0, 1.0);
    const double measured =
        points[k - 1]["db"].get<double>() * (1 - t) + points[k]["db"].get<double>() * t;
    EXPECT_NEAR(measured, db, 0.5) << hz << " Hz";
  }
  const HostResult other = Import("other.txt", "GraphicEQ: 20 0; 1000 3; 20000 0\n", {"--json"});
  ASSERT_EQ(other.code, 0) << other.err;
  EXPECT_NE(other.Json()["response"], response);
}

// A file it cannot represent is refused with its line, exit 2, and the stored values stay; so do
// they after a dry run, which still shows what it would write.
TEST_F(ImportToolTest, RefusalsNameTheLineAndWriteNothing) {
  ASSERT_EQ(Import("good.txt", "Preamp: -1 dB\nFilter: ON PK Fc 500 Hz Gain 3 dB Q 1\n").code, 0);
  const nlohmann::json before = Values();
  ASSERT_EQ(before["PEQ-Band 1 Type"], "Peak");
  std::string tooMany;
  for (int n = 1; n <= 25; ++n)
    tooMany += "Filter: ON PK Fc " + std::to_string(100 * n) + " Hz Gain 1 dB Q 1\n";
  const struct {
    std::string text;
    std::string where;
    std::string why;
  } cases[] = {
      {"Preamp: -3 dB\nFilter 1: ON XY Fc 100 Hz Gain 1 dB\n", ":2:", "unknown filter type 'XY'"},
      {"Filter 1: ON PK Fc 100 Hz Gain 1 dB Q 1\n\nFilter 2: ON PK Fc 30000 Hz Gain 1 dB Q 1\n",
       ":3:", "half the stream's rate"},
      {"# correction\nVolume: 3\n", ":2:", "cannot read 'Volume: 3'"},
      {tooMany, ":25:", "needs band 25"},
      {"Channel: C\nFilter: ON PK Fc 100 Hz Gain 1 dB Q 1\n", ":1:", "the stream has 2"},
      {"Channel: L\nPreamp: -3 dB\n", ":2:", "the preamp differs between channels"},
      {"Filter: ON PK Fc 100 Hz Gain 1 dB Q 1\nFilter: ON PK Fc 200 Hz Gain 40 dB Q 1\n",
       ":2:", "outside the range of 'PEQ-Band 2 Gain'"},
      {"Filter: ON LSC 48 dB Fc 100 Hz Gain 24 dB\n", ":1:", "steeper than"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const HostResult result = Import("bad.txt", c.text);
    EXPECT_EQ(result.code, 2);
    EXPECT_NE(result.err.find("bad.txt" + c.where), std::string::npos) << result.err;
    EXPECT_NE(result.err.find(c.why), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("nothing was written"), std::string::npos) << result.err;
    EXPECT_EQ(Values(), before);
  }
  const HostResult dry =
      Import("dry.txt", "Filter: ON NO Fc 50 Hz Q 10\n", {"--dry-run", "--json"});
  ASSERT_EQ(dry.code, 0) << dry.err;
  const nlohmann::json plan = dry.Json();
  EXPECT_EQ(plan["dryRun"], true);
  EXPECT_EQ(qortest::Named(plan["writes"], "PEQ-Band 1 Type")->at("value"), "Notch");
  EXPECT_EQ(qortest::Named(plan["writes"], "PEQ-Band 1 Frequency")->at("value"), "5000");
  EXPECT_EQ(qortest::Named(plan["writes"], "PEQ-Band 1 Type")->at("previous"), "Peak");
  EXPECT_EQ(qortest::Named(plan["writes"], "PEQ-Preamp")->at("value"), "0");
  EXPECT_EQ(Values(), before);
}

// With --tuned the file goes to the tuned block a tuning session holds, not to the public
// controls; without a session there is nothing to write to.
TEST_F(ImportToolTest, TunedImportsGoToTheHeldBlockOnly) {
  const std::string file = "Filter: ON HP Fc 120 Hz\n";
  const HostResult alone = Import("hp.txt", file, {"--tuned"});
  EXPECT_EQ(alone.code, 2);
  EXPECT_NE(alone.err.find("no tuning session"), std::string::npos) << alone.err;
  const pid_t hold = StartBackground({"tune", "hold", "--mode", "Movie"}, "hold");
  ASSERT_NE(hold, 0);
  const HostResult tuned = Import("hp.txt", file, {"--tuned"});
  ASSERT_EQ(tuned.code, 0) << tuned.err;
  EXPECT_EQ(RunJson({"tune", "get", "PEQ-Band 1 Type", "--mode", "Movie", "--json"})["value"],
            "High Pass");
  EXPECT_EQ(Values()["PEQ-Band 1 Type"], "Off");
}

}  // namespace

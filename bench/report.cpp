// Lays out the figures of all relays as one text table and as an SVG bar chart, with the companion's ratios.
#include "report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace companion_bench {
namespace {

struct Metric {
  const char* label;
  double Figures::*field;
  int decimals;
  bool higherIsBetter;
  // The target for the companion with debug logging off.
  const char* target;
};

const Metric kMetrics[] = {
    {"browser->agent MiB/s", &Figures::upMiBs, 0, true, ">= 1.25 x socat"},
    {"agent->browser MiB/s", &Figures::downMiBs, 0, true, ">= 1.25 x socat"},
    {"round trip p50 us", &Figures::roundTripP50Us, 1, false, "<= 0.9 x socat"},
    {"round trip p99 us", &Figures::roundTripP99Us, 1, false, ""},
    {"start-up ms", &Figures::startupMs, 2, false, "<= 0.5 x socat"},
    {"exit after EOF ms", &Figures::exitMs, 2, false, "< 10 ms"},
    {"peak RSS MiB", &Figures::peakResidentMiB, 2, false, "< 4 MiB"},
    {"idle CPU us in 2 s", &Figures::idleCpuUs, 0, false, "0"},
};

struct WineMetric {
  const char* key;
  const char* label;
};

const WineMetric kWineMetrics[] = {
    {"up", "browser->agent"},
    {"down", "agent->browser"},
    {"rtt50", "round trip p50"},
};

struct Column {
  const char* name;
  const Figures Results::*figures;
  const char* colour;
};

const Column kColumns[] = {
    {"companion", &Results::companion, "#1f6fb4"},
    {"debug on", &Results::debugOn, "#9cc3e6"},
    {"socat", &Results::socat, "#e8812a"},
    {"direct", &Results::direct, "#3a9a3a"},
};

double ratio(double numerator, double denominator) {
  return std::isfinite(numerator) && std::isfinite(denominator) && denominator != 0 ? numerator / denominator
                                                                                    : kNotApplicable;
}

std::string number(double value, int decimals) {
  if (!std::isfinite(value)) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

double wineRatio(const WineFigures& wine, const char* key) {
  const auto found = wine.figures.find(key);
  return found == wine.figures.end() ? kNotApplicable : ratio(found->second.first, found->second.second);
}

// The two companion columns against socat and direct, in the table's order.
std::vector<double> ratios(const Results& results, double Figures::*field) {
  std::vector<double> values;
  for (const Figures* companion : {&results.companion, &results.debugOn}) {
    for (const Figures* other : {&results.socat, &results.direct}) {
      values.push_back(ratio(companion->*field, other->*field));
    }
  }
  return values;
}

std::string escapeXml(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    switch (c) {
      case '<': escaped += "&lt;"; break;
      case '>': escaped += "&gt;"; break;
      case '&': escaped += "&amp;"; break;
      default: escaped += c;
    }
  }
  return escaped;
}

// SVG geometry, in pixels.
constexpr int kWidth = 640;
constexpr int kLabelWidth = 90;
constexpr int kBarSpan = 440;
constexpr int kBarHeight = 11;
constexpr int kHeadingHeight = 20;
constexpr int kGroupGap = 8;

class Chart {
 public:
  void heading(const std::string& text) {
    y_ += kHeadingHeight;
    body_ << "<text x=\"4\" y=\"" << y_ - 6 << "\" font-weight=\"bold\">" << escapeXml(text) << "</text>\n";
  }

  // A bar of value out of scale, labelled with its name and its text.
  void bar(const std::string& name, double value, double scale, const std::string& text, const char* colour) {
    const double width = std::isfinite(value) && scale > 0 ? value / scale * kBarSpan : 0;
    body_ << "<text x=\"" << kLabelWidth - 4 << "\" y=\"" << y_ + kBarHeight - 2 << "\" text-anchor=\"end\">"
          << escapeXml(name) << "</text><rect x=\"" << kLabelWidth << "\" y=\"" << y_ << "\" width=\"" << width
          << "\" height=\"" << kBarHeight << "\" fill=\"" << colour << "\"/><text x=\"" << kLabelWidth + width + 4
          << "\" y=\"" << y_ + kBarHeight - 2 << "\">" << escapeXml(text) << "</text>\n";
    y_ += kBarHeight + 2;
  }

  void gap() { y_ += kGroupGap; }

  std::string svg() const {
    std::ostringstream out;
    out << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kWidth << "\" height=\"" << y_ + kGroupGap
        << "\" font-family=\"sans-serif\" font-size=\"10\">\n<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
        << body_.str() << "</svg>\n";
    return out.str();
  }

 private:
  std::ostringstream body_;
  int y_ = 0;
};

}  // namespace

WineFigures readWineFigures(const std::string& path) {
  WineFigures wine;
  std::ifstream in(path);
  if (!in) {
    wine.note = "not run";
    return wine;
  }
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string name;
    double companion = 0;
    double direct = 0;
    fields >> name;
    if (name == "skipped") {
      std::getline(fields >> std::ws, wine.note);
    } else if (fields >> companion >> direct) {
      wine.figures[name] = {companion, direct};
    }
  }
  if (wine.figures.empty() && wine.note.empty()) wine.note = "no figures in " + path;
  return wine;
}

void printTable(std::ostream& out, const Results& results) {
  char line[256];
  std::snprintf(line, sizeof line, "%-22s%11s%11s%11s%11s%9s%9s%9s%9s  %s\n", "", "companion", "debug on", "socat",
                "direct", "c/socat", "c/direct", "d/socat", "d/direct", "target (c)");
  out << line;
  for (const Metric& metric : kMetrics) {
    std::vector<std::string> cells;
    for (const Column& column : kColumns) cells.push_back(number(results.*column.figures.*metric.field, metric.decimals));
    for (double value : ratios(results, metric.field)) cells.push_back(number(value, 2));
    std::snprintf(line, sizeof line, "%-22s%11s%11s%11s%11s%9s%9s%9s%9s  %s\n", metric.label, cells[0].c_str(),
                  cells[1].c_str(), cells[2].c_str(), cells[3].c_str(), cells[4].c_str(), cells[5].c_str(),
                  cells[6].c_str(), cells[7].c_str(), metric.target);
    out << line;
  }
  if (!results.wine.note.empty()) {
    out << "Wine: " << results.wine.note << "\n";
    return;
  }
  for (const WineMetric& metric : kWineMetrics) {
    std::snprintf(line, sizeof line, "%-22s%53s%9s\n", (std::string("Wine ") + metric.label).c_str(), "",
                  number(wineRatio(results.wine, metric.key), 2).c_str());
    out << line;
  }
}

void writeChart(const std::string& path, const Results& results) {
  Chart chart;
  for (const Metric& metric : kMetrics) {
    std::string heading = std::string(metric.label) + (metric.higherIsBetter ? ", higher is better" : ", lower is better");
    const double versusSocat = ratio(results.companion.*metric.field, results.socat.*metric.field);
    if (std::isfinite(versusSocat)) heading += "; companion/socat " + number(versusSocat, 2);
    if (*metric.target) heading += std::string(" (target ") + metric.target + ")";
    chart.heading(heading);
    double scale = 0;
    for (const Column& column : kColumns) {
      const double value = results.*column.figures.*metric.field;
      if (std::isfinite(value)) scale = std::max(scale, value);
    }
    for (const Column& column : kColumns) {
      const double value = results.*column.figures.*metric.field;
      if (std::isfinite(value)) chart.bar(column.name, value, scale, number(value, metric.decimals), column.colour);
    }
    chart.gap();
  }
  chart.heading("Wine, companion.exe / direct pipe" +
                (results.wine.note.empty() ? std::string(" (throughput: higher is better; round trip: lower)")
                                           : ": " + results.wine.note));
  double scale = 1;
  for (const WineMetric& metric : kWineMetrics) {
    const double value = wineRatio(results.wine, metric.key);
    if (std::isfinite(value)) scale = std::max(scale, value);
  }
  for (const WineMetric& metric : kWineMetrics) {
    const double value = wineRatio(results.wine, metric.key);
    if (std::isfinite(value)) chart.bar(metric.label, value, scale, number(value, 2), kColumns[0].colour);
  }
  std::ofstream out(path);
  out << chart.svg();
  if (!out) throw std::runtime_error("cannot write " + path);
}

}  // namespace companion_bench

// Lays out the figures as text tables (bytes, then framed messages) and as an SVG bar chart, with the companion's ratios.
#include "report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace companion_bench {
namespace {

// One measurement of one figures type: its label, where it is, how it is
// shown, and the target for the companion with debug logging off.
template <typename FiguresType>
struct Metric {
  const char* label;
  double FiguresType::*field;
  int decimals;
  bool higherIsBetter;
  const char* target;
};

const Metric<Figures> kMetrics[] = {
    {"browser->agent MiB/s", &Figures::upMiBs, 0, true, ">= 1.25 x socat"},
    {"agent->browser MiB/s", &Figures::downMiBs, 0, true, ">= 1.25 x socat"},
    {"round trip p50 us", &Figures::roundTripP50Us, 1, false, "<= 0.9 x socat"},
    {"round trip p99 us", &Figures::roundTripP99Us, 1, false, ""},
    {"start-up ms", &Figures::startupMs, 2, false, "<= 0.5 x socat"},
    {"exit after EOF ms", &Figures::exitMs, 2, false, "< 10 ms"},
    {"peak RSS MiB", &Figures::peakResidentMiB, 2, false, "< 4 MiB"},
    {"idle CPU us in 2 s", &Figures::idleCpuUs, 0, false, "0"},
};

const Metric<FramedFigures> kFramedMetrics[] = {
    {"round trip p50 us", &FramedFigures::roundTripP50Us, 1, false, "<= 0.9 x socat, <= 0.01 x peer"},
    {"round trip p99 us", &FramedFigures::roundTripP99Us, 1, false, ""},
    {"echo 64 KiB MiB/s", &FramedFigures::echoMiBs, 2, true, ">= 1.25 x socat"},
    {"start-up ms", &FramedFigures::startupMs, 2, false, ""},
    {"exit after EOF ms", &FramedFigures::exitMs, 2, false, ""},
    {"peak RSS MiB", &FramedFigures::peakResidentMiB, 2, false, "below both"},
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

const char kCompanionColour[] = "#1f6fb4";

// A ratio of two columns; the chart's headings show those of the companion
// against what a user would run instead.
struct Ratio {
  std::string name;
  size_t numerator;
  size_t denominator;
  bool inChart;
};

struct Row {
  std::string label;
  std::vector<double> values;  // one per column
  int decimals;
  bool higherIsBetter;
  std::string target;
};

// One table of the output, and one part of the chart.
struct Table {
  std::string title;  // in the chart's headings; empty for the first part
  std::vector<std::string> columns;
  std::vector<const char*> colours;
  std::vector<Ratio> ratios;
  std::vector<Row> rows;
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

// Two decimals, or two significant digits for a ratio too small for them.
std::string ratioText(double value) {
  if (!std::isfinite(value) || value >= 0.095) return number(value, 2);
  char text[32];
  std::snprintf(text, sizeof text, "%.2g", value);
  return text;
}

double wineRatio(const WineFigures& wine, const char* key) {
  const auto found = wine.figures.find(key);
  return found == wine.figures.end() ? kNotApplicable : ratio(found->second.first, found->second.second);
}

template <typename FiguresType, size_t kCount>
std::vector<Row> rowsOf(const Metric<FiguresType> (&metrics)[kCount], const std::vector<const FiguresType*>& columns) {
  std::vector<Row> rows;
  for (const Metric<FiguresType>& metric : metrics) {
    Row row{metric.label, {}, metric.decimals, metric.higherIsBetter, metric.target};
    for (const FiguresType* figures : columns) row.values.push_back(figures->*metric.field);
    rows.push_back(row);
  }
  return rows;
}

Table relayTable(const Results& results) {
  return {"",
          {"companion", "debug on", "socat", "direct"},
          {kCompanionColour, "#9cc3e6", "#e8812a", "#3a9a3a"},
          {{"c/socat", 0, 2, true}, {"c/direct", 0, 3, false}, {"d/socat", 1, 2, false}, {"d/direct", 1, 3, false}},
          rowsOf(kMetrics, {&results.companion, &results.debugOn, &results.socat, &results.direct})};
}

Table framedTable(const FramedResults& f) {
  return {"framed",
          {"companion", "socat", f.peerName},
          {kCompanionColour, "#e8812a", "#8e44ad"},
          {{"c/socat", 0, 1, true}, {"c/" + f.peerName, 0, 2, true}},
          rowsOf(kFramedMetrics, {&f.companion, &f.socat, &f.peer})};
}

size_t columnWidth(const std::string& name, size_t least) { return std::max(least, name.size() + 2); }

void printRows(std::ostream& out, const Table& table) {
  char cell[64];
  auto put = [&](const std::string& text, size_t width) {
    std::snprintf(cell, sizeof cell, "%*s", static_cast<int>(width), text.c_str());
    out << cell;
  };
  std::snprintf(cell, sizeof cell, "%-22s", "");
  out << cell;
  for (const std::string& column : table.columns) put(column, columnWidth(column, 11));
  for (const Ratio& r : table.ratios) put(r.name, columnWidth(r.name, 9));
  out << "  target (c)\n";
  for (const Row& row : table.rows) {
    std::snprintf(cell, sizeof cell, "%-22s", row.label.c_str());
    out << cell;
    for (size_t i = 0; i < table.columns.size(); ++i) {
      put(number(row.values[i], row.decimals), columnWidth(table.columns[i], 11));
    }
    for (const Ratio& r : table.ratios) {
      put(ratioText(ratio(row.values[r.numerator], row.values[r.denominator])), columnWidth(r.name, 9));
    }
    out << "  " << row.target << "\n";
  }
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
constexpr int kWidth = 720;
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

// Each row as a heading with the companion's ratios, and a bar per column,
// all to one scale.
void chartTable(Chart& chart, const Table& table) {
  for (const Row& row : table.rows) {
    std::string heading = (table.title.empty() ? "" : table.title + ": ") + row.label +
                          (row.higherIsBetter ? ", higher is better" : ", lower is better");
    for (const Ratio& r : table.ratios) {
      const double value = ratio(row.values[r.numerator], row.values[r.denominator]);
      if (r.inChart && std::isfinite(value)) {
        heading += "; " + table.columns[r.numerator] + "/" + table.columns[r.denominator] + " " + ratioText(value);
      }
    }
    if (!row.target.empty()) heading += " (target " + row.target + ")";
    chart.heading(heading);
    double scale = 0;
    for (double value : row.values) {
      if (std::isfinite(value)) scale = std::max(scale, value);
    }
    for (size_t i = 0; i < row.values.size(); ++i) {
      if (std::isfinite(row.values[i])) {
        chart.bar(table.columns[i], row.values[i], scale, number(row.values[i], row.decimals), table.colours[i]);
      }
    }
    chart.gap();
  }
}

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
  printRows(out, relayTable(results));
  if (!results.wine.note.empty()) {
    out << "Wine: " << results.wine.note << "\n";
  } else {
    char line[128];
    for (const WineMetric& metric : kWineMetrics) {
      std::snprintf(line, sizeof line, "%-22s%53s%9s\n", (std::string("Wine ") + metric.label).c_str(), "",
                    ratioText(wineRatio(results.wine, metric.key)).c_str());
      out << line;
    }
  }
  out << "\nFramed messages, as a browser sends them, through each host to the echoing agent:\n";
  printRows(out, framedTable(results.framed));
}

void writeChart(const std::string& path, const Results& results) {
  Chart chart;
  for (const Table& table : {relayTable(results), framedTable(results.framed)}) chartTable(chart, table);
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
    if (std::isfinite(value)) chart.bar(metric.label, value, scale, ratioText(value), kCompanionColour);
  }
  std::ofstream out(path);
  out << chart.svg();
  if (!out) throw std::runtime_error("cannot write " + path);
}

}  // namespace companion_bench

// The benchmark's output: one table on a stream and the same figures as an SVG bar chart.
#pragma once

#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "framed.h"
#include "measure.h"

namespace companion_bench {

// The Windows program under Wine: per figure, through companion.exe and over
// a direct pipe connection. Empty, with the reason in note, when not run.
struct WineFigures {
  std::map<std::string, std::pair<double, double>> figures;
  std::string note;
};

// The framed part: the companion, socat with its default buffer, and another
// project's browser host.
struct FramedResults {
  FramedFigures companion;
  FramedFigures socat;
  FramedFigures peer;
  std::string peerName;
  // What each host was given, for the output.
  std::string counts;
};

struct Results {
  Figures companion;
  Figures debugOn;
  Figures socat;
  Figures direct;
  FramedResults framed;
  WineFigures wine;
};

// Reads the lines "NAME COMPANION DIRECT" that the Windows bench prints;
// a missing file or the line "skipped REASON" leaves the figures empty.
WineFigures readWineFigures(const std::string& path);

void printTable(std::ostream& out, const Results& results);
// Throws std::runtime_error when the file cannot be written.
void writeChart(const std::string& path, const Results& results);

}  // namespace companion_bench

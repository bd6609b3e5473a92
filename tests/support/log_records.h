// The companion's log as tests read it: its lines and its parsed records.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "log_record.h"

namespace companion_test {

// One record of the companion's log.
using Record = companion::LogRecord;

// A log's lines: empty ones (one per process start) and records, which must
// all have the record format.
struct Log {
  std::vector<std::string> lines;
  std::vector<Record> records;

  // The messages, of one tag only when given.
  std::vector<std::string> messages(const char* tag = nullptr) const;
  bool has(const std::string& message) const;
  // How many messages start with prefix.
  size_t count(const std::string& prefix) const;
  // The level tag of the first record with exactly this message; "" when
  // there is none.
  std::string tagOf(const std::string& message) const;
};

// Parses log text, adding a test failure for every line that is neither empty
// nor a well-formed record, or that does not end with the platform's line end.
Log parseLog(const std::string& text);
// Parses what the latest start wrote: the lines after the log's last empty
// line. What came before, which may be anything, is not looked at.
Log parseLastRun(const std::string& text);

}  // namespace companion_test

// A small strict JSON reader, enough to check a host manifest as a browser does.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace companion_doctor {

struct JsonValue {
  enum class Kind { Null, Bool, Number, String, Array, Object };
  Kind kind = Kind::Null;
  bool boolean = false;
  double number = 0;
  std::string text;
  std::vector<JsonValue> items;
  std::map<std::string, JsonValue> members;

  // The member with the name, or null when there is none or this is no object.
  const JsonValue* member(const std::string& name) const;
};

// The value of the whole text; nothing, with the reason in error, when the
// text is not one JSON value.
std::optional<JsonValue> parseJson(const std::string& text, std::string& error);

}  // namespace companion_doctor

// A JSON reader that takes exactly the text a browser's manifest or policy
// reader takes: Chromium's and Firefox's differ, and each is a dialect here.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace companion_doctor {

// What a browser's reader takes beyond RFC 8259, or refuses within it. Both
// skip one UTF-8 byte-order mark and let the last of duplicate members win.
struct JsonDialect {
  const char* browsers;      // for messages: "Chromium", "Firefox"
  bool comments;             // "//" to the end of the line and "/* */" wherever space may be
  bool trailingCommas;       // one "," after the last member or item: [1,] and {"a": 1,}
  bool newlinesInStrings;    // raw CR and LF inside strings
  bool xEscapes;             // "\xNN", the code point U+00NN
  bool loneSurrogates;       // a "\uD800" that is not half of a pair
  bool infiniteNumbers;      // a number beyond a double's range (1e400)
  bool utf8OutsideStrings;   // the whole file must be UTF-8, not only its strings
  size_t maxContainerDepth;  // arrays and objects nested at most this deep, the root being 1; 0: no limit
};

// Chromium's base::JSONReader with JSON_PARSE_CHROMIUM_EXTENSIONS, which
// JSONFileValueDeserializer uses for host manifests.
extern const JsonDialect kChromiumJson;
// The same with JSON_ALLOW_TRAILING_COMMAS: Chromium's managed policy files.
extern const JsonDialect kChromiumPolicyJson;
// JSON_ALLOW_TRAILING_COMMAS alone: a list policy that the Windows registry
// holds as JSON text.
extern const JsonDialect kChromiumRegistryJson;
// Firefox's IOUtils.readJSON: strict UTF-8, then the JavaScript JSON.parse.
extern const JsonDialect kFirefoxJson;

// A value as far as the checks look: the root, its members, their members
// and items, and the items of those (a policies.json's lists). Deeper values
// are read and checked for their syntax but only their kind is kept, so that
// memory stays in proportion to what the checks need. Strings are UTF-8; a lone surrogate, where the dialect
// takes one, is kept in its three-byte form.
struct JsonValue {
  enum class Kind { Null, Bool, Number, String, Array, Object };
  Kind kind = Kind::Null;
  bool boolean = false;  // a Bool's value
  std::string text;      // a string's value
  std::vector<JsonValue> items;
  std::map<std::string, JsonValue> members;

  // The member with the name, or null when there is none or this is no object.
  const JsonValue* member(const std::string& name) const;
};

// The value of the whole text as the dialect reads it; nothing, with the
// reason in error, when the dialect's reader refuses the text. Takes no
// stack in proportion to the nesting.
std::optional<JsonValue> parseJson(const std::string& text, const JsonDialect& dialect, std::string& error);

// The length of the well-formed UTF-8 sequence at text[at] (no surrogates,
// nothing beyond U+10FFFF); 0 when there is none.
size_t utf8SequenceLength(const std::string& text, size_t at);

}  // namespace companion_doctor

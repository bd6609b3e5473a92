// The JSON reader: one pass over the text with an explicit record of the open
// arrays and objects, one byte each, so that deep nesting costs no stack.
#include "json_reader.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace companion_doctor {

// Chromium: base/json/json_reader.h (JSON_PARSE_CHROMIUM_EXTENSIONS: comments,
// newlines in strings, \x escapes; a UTF-8 byte-order mark skipped; numbers
// limited to finite doubles), base/json/json_file_value_serializer.h (the
// options a manifest is read with), and the Rust reader it runs,
// third_party/rust/serde_json_lenient/v0_2/wrapper (lib.rs skips the mark;
// visitor.rs counts the depth against kAbsoluteMaxDepth, 200, of
// base/json/json_common.h, which leaves containers 199 levels). UTF-8 is
// checked in strings only: a comment may hold any bytes.
const JsonDialect kChromiumJson = {"Chromium", true, false, true, true, false, false, false, 199};
// components/policy/core/common/config_dir_policy_loader.cc reads each policy
// file whole (JSONFileValueDeserializer reads without a size limit) with
// JSON_PARSE_CHROMIUM_EXTENSIONS | JSON_ALLOW_TRAILING_COMMAS; registry_dict.cc
// (ConvertRegistryValue) reads a list given as text with
// JSON_ALLOW_TRAILING_COMMAS alone. serde_json_lenient takes one comma after
// the last member or item, not two and not in an empty one
// (tests/trailing_comma.rs).
const JsonDialect kChromiumPolicyJson = {"Chromium", true, true, true, true, false, false, false, 199};
const JsonDialect kChromiumRegistryJson = {"Chromium", false, true, false, false, false, false, false, 199};
// Firefox: toolkit/components/extensions/NativeManifests.sys.mjs reads a
// manifest with IOUtils.readJSON, which decodes the whole file as strict
// UTF-8 (a leading byte-order mark dropped) and hands it to JSON.parse: RFC
// 8259 with strings of UTF-16 units, so a lone surrogate is a string like any
// other and 1e400 is Infinity. JSON.parse has no nesting limit of its own.
const JsonDialect kFirefoxJson = {"Firefox", false, false, false, false, true, true, true, 0};

namespace {

constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";
// The children of containers up to this depth are kept: the root's members,
// theirs, and the items of those.
constexpr size_t kKeptParentDepth = 3;

unsigned byteAt(const std::string& text, size_t at) {
  return at < text.size() ? static_cast<unsigned char>(text[at]) : 0u;
}

}  // namespace

size_t utf8SequenceLength(const std::string& text, size_t at) {
  const unsigned lead = byteAt(text, at);
  if (lead < 0x80) return 1;
  size_t length = 0;
  unsigned low = 0x80, high = 0xBF;  // the second byte's range
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing beyond U+10FFFF
  } else {
    return 0;
  }
  const unsigned second = byteAt(text, at + 1);
  if (second < low || second > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    const unsigned next = byteAt(text, at + i);
    if (next < 0x80 || next > 0xBF) return 0;
  }
  return length;
}

namespace {

// Appends a code point up to U+10FFFF; a surrogate gets its three-byte form.
void appendCodePoint(std::string& out, unsigned code) {
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code >> 6)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

bool isDigit(unsigned c) { return c >= '0' && c <= '9'; }

// The value of count hexadecimal digits at text[at], if they are there.
bool hexAt(const std::string& text, size_t at, size_t count, unsigned& value) {
  value = 0;
  for (size_t i = 0; i < count; ++i) {
    const unsigned c = byteAt(text, at + i);
    unsigned digit = 0;
    if (isDigit(c)) {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return false;
    }
    value = value * 16 + digit;
  }
  return true;
}

// Where the text stops being well-formed UTF-8; npos when it never does.
size_t firstNonUtf8(const std::string& text) {
  for (size_t at = 0; at < text.size();) {
    const size_t length = utf8SequenceLength(text, at);
    if (length == 0) return at;
    at += length;
  }
  return std::string::npos;
}

class Reader {
 public:
  Reader(const std::string& text, const JsonDialect& dialect) : text_(text), dialect_(dialect) {}

  bool document(JsonValue& root) {
    if (dialect_.utf8OutsideStrings) {
      if (const size_t bad = firstNonUtf8(text_); bad != std::string::npos) return fail("not UTF-8", bad);
    }
    if (text_.compare(0, 3, kByteOrderMark) == 0) pos_ = 3;
    if (!value(&root)) return false;
    while (!open_.empty()) {
      if (!next()) return false;
    }
    if (!skipSpace()) return false;
    return pos_ == text_.size() || fail("text after the value");
  }
  const std::string& error() const { return error_; }

 private:
  // An open container in open_: '{' or '[' before its first member or
  // item, '}' or ']' after one.
  static bool isObject(char state) { return state == '{' || state == '}'; }
  static bool isEmpty(char state) { return state == '{' || state == '['; }

  bool fail(const std::string& what) { return fail(what, pos_); }
  bool fail(const std::string& what, size_t at) {
    if (error_.empty()) error_ = what + " at byte " + std::to_string(at);
    return false;
  }
  bool accept(char c) {
    if (pos_ >= text_.size() || text_[pos_] != c) return false;
    ++pos_;
    return true;
  }
  // Skips white space and, where the dialect has them, comments; false on
  // a comment without its end.
  bool skipSpace() {
    for (;;) {
      while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\n' ||
                                     text_[pos_] == '\r')) {
        ++pos_;
      }
      if (!dialect_.comments) return true;
      if (text_.compare(pos_, 2, "//") == 0) {
        // Only a line feed ends it.
        pos_ = std::min(text_.find('\n', pos_), text_.size());
      } else if (text_.compare(pos_, 2, "/*") == 0) {
        const size_t end = text_.find("*/", pos_ + 2);
        if (end == std::string::npos) return fail("a comment without its end");
        pos_ = end + 2;
      } else {
        return true;
      }
    }
  }
  // Where the next member or item of the innermost container goes; null
  // when it is too deep to keep.
  JsonValue* childSlot(const std::string* memberName) {
    const size_t depth = open_.size();
    JsonValue* parent = depth <= kKeptParentDepth ? kept_[depth - 1] : nullptr;
    if (parent == nullptr) return nullptr;
    if (memberName == nullptr) return &parent->items.emplace_back();
    JsonValue& member = parent->members[*memberName];
    member = JsonValue();  // the last of duplicate members counts
    return &member;
  }
  // The next member or item of the innermost container, or its end.
  bool next() {
    const char state = open_.back();
    const char close = isObject(state) ? '}' : ']';
    if (!skipSpace()) return false;
    if (accept(close)) {
      open_.pop_back();
      return true;
    }
    if (!isEmpty(state) && !accept(',')) return fail(std::string("missing ',' or '") + close + "'");
    open_.back() = close;
    if (!skipSpace()) return false;
    if (!isEmpty(state) && dialect_.trailingCommas && accept(close)) {
      open_.pop_back();
      return true;
    }
    if (close == ']') return value(childSlot(nullptr));
    if (pos_ >= text_.size() || text_[pos_] != '"') return fail("missing member name");
    std::string name;
    if (!string(&name)) return false;
    if (!skipSpace()) return false;
    if (!accept(':')) return fail("missing ':'");
    return value(childSlot(&name));
  }
  // A scalar whole, or the opening of a container; slot is where it goes, or null.
  bool value(JsonValue* slot) {
    if (!skipSpace()) return false;
    if (pos_ >= text_.size()) return fail("missing value");
    const char c = text_[pos_];
    if (c == '{' || c == '[') return openContainer(c, slot);
    if (c == '"') {
      if (slot != nullptr) slot->kind = JsonValue::Kind::String;
      return string(slot != nullptr ? &slot->text : nullptr);
    }
    if (c == '-' || isDigit(static_cast<unsigned char>(c))) return number(slot);
    for (const char* word : {"true", "false", "null"}) {
      if (text_.compare(pos_, std::char_traits<char>::length(word), word) == 0) {
        pos_ += std::char_traits<char>::length(word);
        if (slot != nullptr) {
          slot->kind = word[0] == 'n' ? JsonValue::Kind::Null : JsonValue::Kind::Bool;
          slot->boolean = word[0] == 't';
        }
        return true;
      }
    }
    return fail("not a value");
  }
  bool openContainer(char opening, JsonValue* slot) {
    const size_t depth = open_.size() + 1;
    if (dialect_.maxContainerDepth != 0 && depth > dialect_.maxContainerDepth) {
      return fail("arrays and objects nested deeper than " + std::to_string(dialect_.maxContainerDepth) + ", " +
                  dialect_.browsers + "'s limit,");
    }
    ++pos_;
    if (slot != nullptr) slot->kind = opening == '{' ? JsonValue::Kind::Object : JsonValue::Kind::Array;
    if (depth <= kKeptParentDepth) kept_[depth - 1] = slot;
    open_.push_back(opening);
    return true;
  }
  // A string from its opening quote; its value goes to out unless that is null.
  bool string(std::string* out) {
    ++pos_;
    while (pos_ < text_.size()) {
      const unsigned c = static_cast<unsigned char>(text_[pos_]);
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (c == '\\') {
        ++pos_;
        if (!escape(out)) return false;
        continue;
      }
      if (c < 0x20 && !(dialect_.newlinesInStrings && (c == '\n' || c == '\r'))) {
        return fail("a control character in a string");
      }
      const size_t length = utf8SequenceLength(text_, pos_);
      if (length == 0) return fail("not UTF-8 in a string");
      if (out != nullptr) out->append(text_, pos_, length);
      pos_ += length;
    }
    return fail("a string without its end");
  }
  bool escape(std::string* out) {
    std::string ignored;
    std::string& into = out != nullptr ? *out : ignored;
    const unsigned c = byteAt(text_, pos_++);
    switch (c) {
      case '"': case '\\': case '/': into.push_back(static_cast<char>(c)); return true;
      case 'b': into.push_back('\b'); return true;
      case 'f': into.push_back('\f'); return true;
      case 'n': into.push_back('\n'); return true;
      case 'r': into.push_back('\r'); return true;
      case 't': into.push_back('\t'); return true;
      case 'u': return unicodeEscape(into);
      case 'x':
        if (dialect_.xEscapes) {
          unsigned code = 0;
          if (!hexAt(text_, pos_, 2, code)) return fail("\\x without two hexadecimal digits");
          pos_ += 2;
          appendCodePoint(into, code);
          return true;
        }
        break;
      default: break;
    }
    char shown[8];
    std::snprintf(shown, sizeof shown, c >= 0x20 && c < 0x7F ? "\\%c" : "\\0x%02x", c);
    return fail(std::string("the escape ") + shown + ", which " + dialect_.browsers + " does not know,", pos_ - 1);
  }
  // After "\u": a code point, or a pair of surrogates in two escapes.
  bool unicodeEscape(std::string& into) {
    unsigned unit = 0;
    if (!hexAt(text_, pos_, 4, unit)) return fail("\\u without four hexadecimal digits");
    pos_ += 4;
    unsigned low = 0;
    if (unit >= 0xD800 && unit <= 0xDBFF && text_.compare(pos_, 2, "\\u") == 0 && hexAt(text_, pos_ + 2, 4, low) &&
        low >= 0xDC00 && low <= 0xDFFF) {
      pos_ += 6;
      appendCodePoint(into, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
      return true;
    }
    if (unit >= 0xD800 && unit <= 0xDFFF && !dialect_.loneSurrogates) {
      char shown[8];
      std::snprintf(shown, sizeof shown, "%04x", unit);
      return fail(std::string("a lone surrogate \\u") + shown + ", which " + dialect_.browsers + " refuses,", pos_ - 6);
    }
    appendCodePoint(into, unit);
    return true;
  }
  // The number grammar of RFC 8259.
  bool number(JsonValue* slot) {
    const size_t start = pos_;
    accept('-');
    const auto digits = [&] {
      const size_t first = pos_;
      while (pos_ < text_.size() && isDigit(static_cast<unsigned char>(text_[pos_]))) ++pos_;
      return pos_ > first;
    };
    if (!accept('0') && !digits()) return fail("a number without digits");
    if (accept('.') && !digits()) return fail("no digit after a decimal point");
    if (accept('e') || accept('E')) {
      if (!accept('+')) accept('-');
      if (!digits()) return fail("an exponent without digits");
    }
    if (!dialect_.infiniteNumbers && !std::isfinite(std::strtod(text_.substr(start, pos_ - start).c_str(), nullptr))) {
      return fail(std::string("a number beyond a double's range, which ") + dialect_.browsers + " refuses,", start);
    }
    if (slot != nullptr) slot->kind = JsonValue::Kind::Number;
    return true;
  }

  const std::string& text_;
  const JsonDialect& dialect_;
  size_t pos_ = 0;
  std::string open_;  // the open containers, innermost last
  JsonValue* kept_[kKeptParentDepth] = {};
  std::string error_;
};

}  // namespace

const JsonValue* JsonValue::member(const std::string& name) const {
  const auto it = members.find(name);
  return kind == Kind::Object && it != members.end() ? &it->second : nullptr;
}

std::optional<JsonValue> parseJson(const std::string& text, const JsonDialect& dialect, std::string& error) {
  Reader reader(text, dialect);
  JsonValue value;
  if (reader.document(value)) return value;
  error = reader.error();
  return std::nullopt;
}

}  // namespace companion_doctor

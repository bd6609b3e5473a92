// The JSON reader: recursive descent over the text, depth-limited.
#include "json_reader.h"

#include <cstdlib>

namespace companion_doctor {
namespace {

constexpr int kMaxDepth = 64;

class Reader {
 public:
  explicit Reader(const std::string& text) : text_(text) {}

  bool document(JsonValue& value) {
    if (!parse(value, 0)) return false;
    skipSpace();
    return pos_ == text_.size() || fail("text after the value");
  }
  const std::string& error() const { return error_; }

 private:
  bool fail(const std::string& what) {
    if (error_.empty()) error_ = what + " at byte " + std::to_string(pos_);
    return false;
  }
  // Takes the next character when it is c.
  bool accept(char c) {
    if (pos_ >= text_.size() || text_[pos_] != c) return false;
    ++pos_;
    return true;
  }
  void skipSpace() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\n' ||
                                   text_[pos_] == '\r')) {
      ++pos_;
    }
  }
  bool literal(const char* word) {
    const std::string expected(word);
    if (text_.compare(pos_, expected.size(), expected) != 0) return fail("unknown word");
    pos_ += expected.size();
    return true;
  }
  bool parse(JsonValue& value, int depth) {
    if (depth > kMaxDepth) return fail("nesting too deep");
    skipSpace();
    if (pos_ >= text_.size()) return fail("missing value");
    switch (text_[pos_]) {
      case '{': return object(value, depth);
      case '[': return array(value, depth);
      case '"': value.kind = JsonValue::Kind::String; return string(value.text);
      case 't': value.kind = JsonValue::Kind::Bool; value.boolean = true; return literal("true");
      case 'f': value.kind = JsonValue::Kind::Bool; return literal("false");
      case 'n': value.kind = JsonValue::Kind::Null; return literal("null");
      default: return number(value);
    }
  }
  bool object(JsonValue& value, int depth) {
    value.kind = JsonValue::Kind::Object;
    ++pos_;
    skipSpace();
    if (accept('}')) return true;
    for (;;) {
      skipSpace();
      std::string name;
      if (pos_ >= text_.size() || text_[pos_] != '"' || !string(name)) return fail("missing member name");
      skipSpace();
      if (pos_ >= text_.size() || text_[pos_++] != ':') return fail("missing ':'");
      if (value.members.count(name) != 0) return fail("member \"" + name + "\" given twice");
      if (!parse(value.members[name], depth + 1)) return false;
      skipSpace();
      if (accept(',')) continue;
      if (accept('}')) return true;
      return fail("missing ',' or '}'");
    }
  }
  bool array(JsonValue& value, int depth) {
    value.kind = JsonValue::Kind::Array;
    ++pos_;
    skipSpace();
    if (accept(']')) return true;
    for (;;) {
      value.items.emplace_back();
      if (!parse(value.items.back(), depth + 1)) return false;
      skipSpace();
      if (accept(',')) continue;
      if (accept(']')) return true;
      return fail("missing ',' or ']'");
    }
  }
  bool string(std::string& out) {
    ++pos_;
    while (pos_ < text_.size()) {
      const char c = text_[pos_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return fail("control character in a string");
      if (c != '\\') {
        out.push_back(c);
        continue;
      }
      if (pos_ >= text_.size()) break;
      const char escaped = text_[pos_++];
      switch (escaped) {
        case '"': case '\\': case '/': out.push_back(escaped); break;
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        case 'u': if (!unicode(out)) return false; break;
        default: return fail("unknown escape");
      }
    }
    return fail("unterminated string");
  }
  bool hex4(unsigned& unit) {
    if (pos_ + 4 > text_.size()) return fail("short \\u escape");
    char* end = nullptr;
    const std::string digits = text_.substr(pos_, 4);
    unit = static_cast<unsigned>(std::strtoul(digits.c_str(), &end, 16));
    if (end != digits.c_str() + 4) return fail("bad \\u escape");
    pos_ += 4;
    return true;
  }
  bool unicode(std::string& out) {
    unsigned unit = 0;
    if (!hex4(unit)) return false;
    unsigned code = unit;
    if (unit >= 0xD800 && unit < 0xDC00 && text_.compare(pos_, 2, "\\u") == 0) {
      pos_ += 2;
      unsigned low = 0;
      if (!hex4(low)) return false;
      code = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
    }
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
    return true;
  }
  bool number(JsonValue& value) {
    value.kind = JsonValue::Kind::Number;
    const char* start = text_.c_str() + pos_;
    char* end = nullptr;
    value.number = std::strtod(start, &end);
    if (end == start || !(*start == '-' || (*start >= '0' && *start <= '9'))) return fail("not a value");
    pos_ += static_cast<size_t>(end - start);
    return true;
  }

  const std::string& text_;
  size_t pos_ = 0;
  std::string error_;
};

}  // namespace

const JsonValue* JsonValue::member(const std::string& name) const {
  const auto it = members.find(name);
  return kind == Kind::Object && it != members.end() ? &it->second : nullptr;
}

std::optional<JsonValue> parseJson(const std::string& text, std::string& error) {
  Reader reader(text);
  JsonValue value;
  if (reader.document(value)) return value;
  error = reader.error();
  return std::nullopt;
}

}  // namespace companion_doctor

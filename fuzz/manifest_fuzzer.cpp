// Fuzz target: bytes as a host manifest through companion-doctor's JSON
// reader and the checks of both browser families, with what must hold
// whatever the bytes: no crash, no stack in proportion to the nesting, a
// verdict that a byte-order mark or trailing white space does not change,
// the dialects agreeing on plain RFC 8259 text, Chromium's policy dialect
// taking all its manifest dialect takes, and strings read back exactly.
#include <cstdint>
#include <string>

#include "host_name.h"
#include "json_reader.h"
#include "manifest_check.h"

namespace {

using companion_doctor::JsonDialect;
using companion_doctor::JsonValue;
using companion_doctor::kHostName;

constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

// RFC 8259 and nothing more, within what both browsers take: text this reads,
// Chromium's and Firefox's dialects must read alike.
const JsonDialect kStrict = {"RFC 8259", false, false, false, false, false, false, true, 199};

bool sameKept(const JsonValue& a, const JsonValue& b) {
  if (a.kind != b.kind || a.boolean != b.boolean || a.text != b.text || a.items.size() != b.items.size() ||
      a.members.size() != b.members.size()) {
    return false;
  }
  for (size_t i = 0; i < a.items.size(); ++i) {
    if (!sameKept(a.items[i], b.items[i])) return false;
  }
  for (auto left = a.members.begin(), right = b.members.begin(); left != a.members.end(); ++left, ++right) {
    if (left->first != right->first || !sameKept(left->second, right->second)) return false;
  }
  return true;
}

bool isUtf8(const std::string& text) {
  for (size_t at = 0; at < text.size();) {
    const size_t length = companion_doctor::utf8SequenceLength(text, at);
    if (length == 0) return false;
    at += length;
  }
  return true;
}

// The code point of the UTF-8 sequence of length bytes at text[at].
uint32_t codePointAt(const std::string& text, size_t at, size_t length) {
  static constexpr unsigned kLeadBits[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  uint32_t code = static_cast<unsigned char>(text[at]) & kLeadBits[length];
  for (size_t i = 1; i < length; ++i) code = (code << 6) | (static_cast<unsigned char>(text[at + i]) & 0x3F);
  return code;
}

void appendEscape(std::string& out, uint32_t unit) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out.push_back(kHex[(unit >> shift) & 0xF]);
}

// UTF-8 text as a JSON string: each character raw or escaped as the next bit
// of choice says (the ones JSON requires always escaped).
std::string quoted(const std::string& text, uint32_t choice) {
  std::string out = "\"";
  for (size_t at = 0, bit = 0; at < text.size(); ++bit) {
    const size_t length = companion_doctor::utf8SequenceLength(text, at);
    const uint32_t code = codePointAt(text, at, length);
    const bool escape = code < 0x20 || code == '"' || code == '\\' || ((choice >> (bit % 32)) & 1) != 0;
    if (!escape) {
      out.append(text, at, length);
    } else if (code < 0x10000) {
      appendEscape(out, code);
    } else {
      appendEscape(out, 0xD800 + ((code - 0x10000) >> 10));
      appendEscape(out, 0xDC00 + ((code - 0x10000) & 0x3FF));
    }
    at += length;
  }
  return out + "\"";
}

bool sameVerdict(const companion_doctor::ManifestCheck& a, const companion_doctor::ManifestCheck& b) {
  return a.refusals.empty() == b.refusals.empty() && a.program == b.program && a.notes == b.notes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  for (const char* family : {"chrome", "firefox"}) {
    const auto check = companion_doctor::checkManifest("/m.json", text, family, kHostName);
    if (text.compare(0, 3, kByteOrderMark) != 0 &&
        (!sameVerdict(check, companion_doctor::checkManifest("/m.json", kByteOrderMark + text, family, kHostName)) ||
         !sameVerdict(check, companion_doctor::checkManifest("/m.json", text + " \n", family, kHostName)))) {
      __builtin_trap();
    }
  }

  std::string error;
  if (const auto strict = companion_doctor::parseJson(text, kStrict, error)) {
    const auto chromium = companion_doctor::parseJson(text, companion_doctor::kChromiumJson, error);
    const auto firefox = companion_doctor::parseJson(text, companion_doctor::kFirefoxJson, error);
    if (!chromium || !firefox || !sameKept(*strict, *chromium) || !sameKept(*strict, *firefox)) __builtin_trap();
  }

  // Chromium's policy files take all that its manifests take, and read it alike.
  if (const auto manifest = companion_doctor::parseJson(text, companion_doctor::kChromiumJson, error)) {
    const auto policy = companion_doctor::parseJson(text, companion_doctor::kChromiumPolicyJson, error);
    if (!policy || !sameKept(*manifest, *policy)) __builtin_trap();
  }

  // The bytes as a description: read back exactly, and taken when not empty.
  if (!isUtf8(text)) return 0;
  const uint32_t choice = size >= 4 ? static_cast<uint32_t>(data[0] | data[1] << 8 | data[2] << 16 | data[3] << 24) : 0;
  const std::string manifest = std::string("{\"name\": \"") + kHostName +
                               "\", \"description\": " + quoted(text, choice) +
                               ", \"path\": \"/bin/companion\", \"type\": \"stdio\", \"allowed_origins\": "
                               "[\"chrome-extension://abcdefghijklmnopabcdefghijklmnop/\"]}";
  for (const JsonDialect* dialect : {&companion_doctor::kChromiumJson, &companion_doctor::kFirefoxJson}) {
    const auto parsed = companion_doctor::parseJson(manifest, *dialect, error);
    const JsonValue* description = parsed ? parsed->member("description") : nullptr;
    if (description == nullptr || description->text != text) __builtin_trap();
  }
  if (companion_doctor::checkManifest("/m.json", manifest, "chrome", kHostName).refusals.empty() == text.empty()) {
    __builtin_trap();
  }
  return 0;
}

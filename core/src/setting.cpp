#include "quarnel/setting.hpp"

#include <cstdlib>
#include <string>

namespace quarnel {
namespace {

// Decodes UTF-8 into code points; nothing when the bytes are not valid UTF-8 (overlong
// forms, surrogates and values beyond U+10FFFF included).
std::optional<std::u32string> decode_utf8(std::string_view text) {
  std::u32string out;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const auto lead = static_cast<unsigned char>(text[pos]);
    std::size_t length = 0;
    char32_t point = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
      length = 1, point = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2, point = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, point = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, point = lead & 0x07, minimum = 0x10000;
    } else {
      return std::nullopt;
    }
    if (pos + length > text.size()) return std::nullopt;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[pos + k]);
      if ((next & 0xC0) != 0x80) return std::nullopt;
      point = (point << 6) | (next & 0x3F);
    }
    if (point < minimum || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
      return std::nullopt;
    }
    out.push_back(point);
    pos += length;
  }
  return out;
}

// The characters with the Unicode White_Space property.
bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

}  // namespace

std::optional<bool> parse_parallel_setting(std::string_view text) {
  const std::optional<std::u32string> decoded = decode_utf8(text);
  if (!decoded) return std::nullopt;
  const std::u32string& points = *decoded;
  std::size_t begin = 0;
  std::size_t end = points.size();
  while (begin < end && is_white_space(points[begin])) ++begin;
  while (end > begin && is_white_space(points[end - 1])) --end;

  // Every recognised word is ASCII, so anything else left after trimming names no mode.
  std::string word;
  for (std::size_t k = begin; k < end; ++k) {
    const char32_t c = points[k];
    if (c >= 0x80) return std::nullopt;
    const char ascii = static_cast<char>(c);
    word.push_back(ascii >= 'A' && ascii <= 'Z' ? static_cast<char>(ascii - 'A' + 'a') : ascii);
  }
  if (word == "1" || word == "on" || word == "true" || word == "parallel") return true;
  if (word == "0" || word == "off" || word == "false" || word == "serial") return false;
  return std::nullopt;
}

std::optional<bool> parallel_setting() {
  const char* setting = std::getenv("QUARNEL_PARALLEL");
  if (setting == nullptr) return std::nullopt;
  return parse_parallel_setting(setting);
}

}  // namespace quarnel

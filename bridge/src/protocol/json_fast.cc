#include "protocol/json_fast.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "base/utf8.h"

namespace velkor::protocol::json::fast {
namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHigh = 0x8080808080808080ULL;

std::uint64_t load8(const char* p) {
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
  if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
  return w;
}

// High bit set in each byte of `w` that is a quote, a backslash or a control
// character. Borrows can only mark bytes above a true one, so the lowest mark
// is always exact.
std::uint64_t escape_marks(std::uint64_t w) {
  std::uint64_t quote = w ^ (kOnes * '"');
  std::uint64_t backslash = w ^ (kOnes * '\\');
  return (((w - kOnes * 0x20) & ~w) | ((quote - kOnes) & ~quote) |
          ((backslash - kOnes) & ~backslash)) &
         kHigh;
}

// The first byte at or after `p` that ends a plain run of string content:
// `end` when there is none. With `stop_at_non_ascii`, bytes from 0x80 up end
// a run too.
template <bool stop_at_non_ascii>
const char* find_special(const char* p, const char* end) {
  while (end - p >= 8) {
    std::uint64_t w = load8(p);
    std::uint64_t marks = escape_marks(w);
    if constexpr (stop_at_non_ascii) marks |= w & kHigh;
    if (marks != 0) return p + (std::countr_zero(marks) >> 3);
    p += 8;
  }
  for (; p < end; ++p) {
    auto c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c == '"' || c == '\\' || (stop_at_non_ascii && c >= 0x80)) return p;
  }
  return end;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Recursive descent over one text. Every method returns false to hand the
// whole text back to the general parser; nothing it built is used then.
class Parser {
 public:
  explicit Parser(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

  bool run(Parsed& out) {
    skip_space();
    if (!value(out.value, 0, &out.duplicate_top_keys)) return false;
    skip_space();
    return p_ == end_;
  }

 private:
  void skip_space() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  }

  bool literal(std::string_view word) {
    if (static_cast<std::size_t>(end_ - p_) < word.size() ||
        std::memcmp(p_, word.data(), word.size()) != 0) {
      return false;
    }
    p_ += word.size();
    return true;
  }

  // `duplicates` is set for the outermost value only.
  bool value(Json& out, std::size_t depth, std::vector<std::string>* duplicates) {
    if (p_ == end_) return false;
    switch (*p_) {
      case '{':
        return object(out, depth + 1, duplicates);
      case '[':
        return array(out, depth + 1);
      case '"': {
        out = Json::string_t();
        return string(*out.get_ptr<Json::string_t*>());
      }
      case 't':
        out = true;
        return literal("true");
      case 'f':
        out = false;
        return literal("false");
      case 'n':
        out = nullptr;
        return literal("null");
      default:
        return number(out);
    }
  }

  bool object(Json& out, std::size_t depth, std::vector<std::string>* duplicates) {
    if (depth > kMaxDepth) return false;
    ++p_;
    out = Json::object();
    auto& members = *out.get_ptr<Json::object_t*>();
    skip_space();
    if (p_ < end_ && *p_ == '}') {
      ++p_;
      return true;
    }
    for (;;) {
      if (p_ == end_ || *p_ != '"') return false;
      std::string key;
      if (!string(key)) return false;
      skip_space();
      if (p_ == end_ || *p_ != ':') return false;
      ++p_;
      skip_space();
      Json member;
      if (!value(member, depth, nullptr)) return false;
      // Keys mostly arrive sorted (every writer of ours sorts them), so the
      // usual insertion is at the end without a search.
      if (members.empty() || members.rbegin()->first < key) {
        members.emplace_hint(members.end(), std::move(key), std::move(member));
      } else {
        auto [it, inserted] = members.try_emplace(std::move(key));
        if (!inserted && duplicates != nullptr &&
            std::find(duplicates->begin(), duplicates->end(), it->first) == duplicates->end()) {
          duplicates->push_back(it->first);
        }
        // A repeated key keeps its last value.
        it->second = std::move(member);
      }
      skip_space();
      if (p_ == end_) return false;
      if (*p_ == '}') {
        ++p_;
        return true;
      }
      if (*p_ != ',') return false;
      ++p_;
      skip_space();
    }
  }

  bool array(Json& out, std::size_t depth) {
    if (depth > kMaxDepth) return false;
    ++p_;
    out = Json::array();
    auto& items = *out.get_ptr<Json::array_t*>();
    skip_space();
    if (p_ < end_ && *p_ == ']') {
      ++p_;
      return true;
    }
    for (;;) {
      items.emplace_back();
      if (!value(items.back(), depth, nullptr)) return false;
      skip_space();
      if (p_ == end_) return false;
      if (*p_ == ']') {
        ++p_;
        return true;
      }
      if (*p_ != ',') return false;
      ++p_;
      skip_space();
    }
  }

  // Starts on the opening quote; leaves `p_` past the closing one.
  bool string(std::string& out) {
    ++p_;
    const char* run = p_;
    for (;;) {
      const char* q = find_special<true>(p_, end_);
      if (q == end_) return false;
      auto c = static_cast<unsigned char>(*q);
      if (c >= 0x80) {
        std::size_t len =
            utf8_sequence_length(std::string_view(q, static_cast<std::size_t>(end_ - q)));
        if (len == 0) return false;
        p_ = q + len;
        continue;
      }
      if (c < 0x20) return false;
      out.append(run, q);
      p_ = q + 1;
      if (c == '"') return true;
      if (!escape(out)) return false;
      run = p_;
    }
  }

  // Starts past the backslash.
  bool escape(std::string& out) {
    if (p_ == end_) return false;
    char c = *p_++;
    switch (c) {
      case '"':
      case '\\':
      case '/':
        out += c;
        return true;
      case 'b':
        out += '\b';
        return true;
      case 'f':
        out += '\f';
        return true;
      case 'n':
        out += '\n';
        return true;
      case 'r':
        out += '\r';
        return true;
      case 't':
        out += '\t';
        return true;
      case 'u': {
        int unit = hex4();
        if (unit < 0) return false;
        char32_t cp = static_cast<char32_t>(unit);
        if (unit >= 0xDC00 && unit <= 0xDFFF) return false;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
          if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') return false;
          p_ += 2;
          int low = hex4();
          if (low < 0xDC00 || low > 0xDFFF) return false;
          cp = 0x10000 + ((cp - 0xD800) << 10) + static_cast<char32_t>(low - 0xDC00);
        }
        append_utf8(out, cp);
        return true;
      }
      default:
        return false;
    }
  }

  int hex4() {
    if (end_ - p_ < 4) return -1;
    int v = 0;
    for (int i = 0; i < 4; ++i) {
      int d = hex_digit(p_[i]);
      if (d < 0) return -1;
      v = v << 4 | d;
    }
    p_ += 4;
    return v;
  }

  // Integers only; nlohmann's float reading is left to nlohmann.
  bool number(Json& out) {
    const char* start = p_;
    bool negative = p_ < end_ && *p_ == '-';
    if (negative) ++p_;
    if (p_ == end_) return false;
    if (*p_ == '0') {
      ++p_;
    } else if (*p_ >= '1' && *p_ <= '9') {
      while (p_ < end_ && *p_ >= '0' && *p_ <= '9') ++p_;
    } else {
      return false;
    }
    if (p_ < end_ && (*p_ == '.' || *p_ == 'e' || *p_ == 'E')) return false;
    if (negative) {
      if (p_ - start == 2 && start[1] == '0') return false;
      std::int64_t v = 0;
      auto [ptr, ec] = std::from_chars(start, p_, v);
      if (ec != std::errc() || ptr != p_) return false;
      out = v;
    } else {
      std::uint64_t v = 0;
      auto [ptr, ec] = std::from_chars(start, p_, v);
      if (ec != std::errc() || ptr != p_) return false;
      out = v;
    }
    return true;
  }

  const char* p_;
  const char* const end_;
};

// Recognises text that dump writes: no white space, keys in order and
// distinct, strings escaped as little as dump escapes them, integers in
// their shortest form. Each method returns the end of what it recognised,
// or nullptr.
class Written {
 public:
  explicit Written(const char* end) : end_(end) {}

  const char* value(const char* p, std::size_t depth) const {
    if (p == end_) return nullptr;
    switch (*p) {
      case '{':
        return object(p, depth + 1);
      case '[':
        return array(p, depth + 1);
      case '"':
        return string(p, nullptr);
      case 't':
        return word(p, "true");
      case 'f':
        return word(p, "false");
      case 'n':
        return word(p, "null");
      default:
        return number(p);
    }
  }

  // Sets `plain` when the string holds no escape, which keeps its key
  // order that of its bytes.
  const char* string(const char* p, bool* plain) const {
    ++p;
    if (plain != nullptr) *plain = true;
    for (;;) {
      const char* q = find_special<true>(p, end_);
      if (q == end_) return nullptr;
      auto c = static_cast<unsigned char>(*q);
      if (c == '"') return q + 1;
      if (c >= 0x80) {
        std::size_t len =
            utf8_sequence_length(std::string_view(q, static_cast<std::size_t>(end_ - q)));
        if (len == 0) return nullptr;
        p = q + len;
        continue;
      }
      if (c < 0x20 || end_ - q < 2) return nullptr;
      if (plain != nullptr) *plain = false;
      p = escape(q + 1);
      if (p == nullptr) return nullptr;
    }
  }

 private:
  const char* word(const char* p, std::string_view w) const {
    if (static_cast<std::size_t>(end_ - p) < w.size() || std::memcmp(p, w.data(), w.size()) != 0) {
      return nullptr;
    }
    return p + w.size();
  }

  // Starts past the backslash: the escapes dump writes, and no other.
  const char* escape(const char* p) const {
    switch (*p) {
      case '"':
      case '\\':
      case 'b':
      case 'f':
      case 'n':
      case 'r':
      case 't':
        return p + 1;
      case 'u':
        break;
      default:
        return nullptr;
    }
    if (end_ - p < 5 || p[1] != '0' || p[2] != '0' || (p[3] != '0' && p[3] != '1')) return nullptr;
    int low = p[4] >= '0' && p[4] <= '9'   ? p[4] - '0'
              : p[4] >= 'a' && p[4] <= 'f' ? p[4] - 'a' + 10
                                           : -1;
    if (low < 0) return nullptr;
    int unit = (p[3] - '0') * 16 + low;
    // These five have short forms, which dump uses.
    if (unit == '\b' || unit == '\f' || unit == '\n' || unit == '\r' || unit == '\t')
      return nullptr;
    return p + 5;
  }

  const char* number(const char* p) const {
    const char* start = p;
    bool negative = *p == '-';
    if (negative) ++p;
    if (p == end_ || *p < '0' || *p > '9') return nullptr;
    if (*p == '0') {
      // "0" alone; "-0" reads as 0 and "01" not at all.
      if (negative) return nullptr;
      ++p;
    } else {
      while (p < end_ && *p >= '0' && *p <= '9') ++p;
    }
    if (p < end_ && (*p == '.' || *p == 'e' || *p == 'E')) return nullptr;
    // Beyond 64 bits nlohmann reads a float, which dump writes otherwise.
    std::from_chars_result r;
    if (negative) {
      std::int64_t v;
      r = std::from_chars(start, p, v);
    } else {
      std::uint64_t v;
      r = std::from_chars(start, p, v);
    }
    if (r.ec != std::errc() || r.ptr != p) return nullptr;
    return p;
  }

  const char* object(const char* p, std::size_t depth) const {
    if (depth > kMaxDepth) return nullptr;
    ++p;
    if (p < end_ && *p == '}') return p + 1;
    std::string_view previous;
    bool first = true;
    for (;;) {
      if (p == end_ || *p != '"') return nullptr;
      bool plain = false;
      const char* key_end = string(p, &plain);
      if (key_end == nullptr || !plain) return nullptr;
      std::string_view key(p + 1, static_cast<std::size_t>(key_end - p - 2));
      if (!first && !(previous < key)) return nullptr;
      previous = key;
      first = false;
      p = key_end;
      if (p == end_ || *p != ':') return nullptr;
      p = value(p + 1, depth);
      if (p == nullptr || p == end_) return nullptr;
      if (*p == '}') return p + 1;
      if (*p != ',') return nullptr;
      ++p;
    }
  }

  const char* array(const char* p, std::size_t depth) const {
    if (depth > kMaxDepth) return nullptr;
    ++p;
    if (p < end_ && *p == ']') return p + 1;
    for (;;) {
      p = value(p, depth);
      if (p == nullptr || p == end_) return nullptr;
      if (*p == ']') return p + 1;
      if (*p != ',') return nullptr;
      ++p;
    }
  }

  const char* const end_;
};

void dump_string(std::string& out, const std::string& s) {
  if (!is_valid_utf8(s)) {
    // Replacement of broken sequences follows nlohmann's own decoder.
    out += Json(s).dump(-1, ' ', false, Json::error_handler_t::replace);
    return;
  }
  out += '"';
  const char* p = s.data();
  const char* end = p + s.size();
  while (p < end) {
    const char* q = find_special<false>(p, end);
    out.append(p, q);
    if (q == end) break;
    auto c = static_cast<unsigned char>(*q);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default: {
        static constexpr char kHex[] = "0123456789abcdef";
        char escaped[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0x0F]};
        out.append(escaped, sizeof escaped);
      }
    }
    p = q + 1;
  }
  out += '"';
}

template <typename Int>
void dump_integer(std::string& out, Int v) {
  char digits[24];
  auto [end, ec] = std::to_chars(digits, digits + sizeof digits, v);
  out.append(digits, end);
}

}  // namespace

std::optional<Parsed> parse(std::string_view text) {
  Parsed out;
  if (!Parser(text).run(out)) return std::nullopt;
  return out;
}

std::optional<std::vector<Member>> written_members(std::string_view text) {
  const char* p = text.data();
  const char* const end = p + text.size();
  if (p == end || *p != '{') return std::nullopt;
  Written written(end);
  std::vector<Member> members;
  ++p;
  if (p < end && *p == '}') return p + 1 == end ? std::optional(std::move(members)) : std::nullopt;
  for (;;) {
    if (p == end || *p != '"') return std::nullopt;
    bool plain = false;
    const char* key_end = written.string(p, &plain);
    if (key_end == nullptr || !plain || key_end == end || *key_end != ':') return std::nullopt;
    const char* value_end = written.value(key_end + 1, 1);
    if (value_end == nullptr || value_end == end) return std::nullopt;
    members.push_back(
        {std::string_view(p + 1, static_cast<std::size_t>(key_end - p - 2)),
         std::string_view(key_end + 1, static_cast<std::size_t>(value_end - key_end - 1))});
    p = value_end;
    if (*p == '}') return p + 1 == end ? std::optional(std::move(members)) : std::nullopt;
    if (*p != ',') return std::nullopt;
    ++p;
  }
}

std::optional<std::string> sorted_object(std::string_view text) {
  auto members = written_members(text);
  if (!members) return std::nullopt;
  std::sort(members->begin(), members->end(),
            [](const Member& a, const Member& b) { return a.key < b.key; });
  std::size_t size = 2;
  for (std::size_t i = 0; i < members->size(); ++i) {
    // A repeated key keeps only its last value, which the order lost.
    if (i > 0 && (*members)[i - 1].key == (*members)[i].key) return std::nullopt;
    size += (*members)[i].key.size() + (*members)[i].value.size() + 4;
  }
  std::string out;
  out.reserve(size + 1);
  out += '{';
  for (std::size_t i = 0; i < members->size(); ++i) {
    if (i > 0) out += ',';
    out += '"';
    out += (*members)[i].key;
    out += "\":";
    out += (*members)[i].value;
  }
  out += '}';
  return out;
}

void dump_to(std::string& out, const Json& value) {
  switch (value.type()) {
    case Json::value_t::null:
      out += "null";
      return;
    case Json::value_t::boolean:
      out += *value.get_ptr<const bool*>() ? "true" : "false";
      return;
    case Json::value_t::number_integer:
      dump_integer(out, *value.get_ptr<const Json::number_integer_t*>());
      return;
    case Json::value_t::number_unsigned:
      dump_integer(out, *value.get_ptr<const Json::number_unsigned_t*>());
      return;
    case Json::value_t::string:
      dump_string(out, *value.get_ptr<const Json::string_t*>());
      return;
    case Json::value_t::array: {
      out += '[';
      bool first = true;
      for (const Json& item : *value.get_ptr<const Json::array_t*>()) {
        if (!first) out += ',';
        first = false;
        dump_to(out, item);
      }
      out += ']';
      return;
    }
    case Json::value_t::object: {
      out += '{';
      bool first = true;
      for (const auto& [key, member] : *value.get_ptr<const Json::object_t*>()) {
        if (!first) out += ',';
        first = false;
        dump_string(out, key);
        out += ':';
        dump_to(out, member);
      }
      out += '}';
      return;
    }
    case Json::value_t::number_float:
    case Json::value_t::binary:
    case Json::value_t::discarded:
      // Float formatting (shortest round trip) is nlohmann's own.
      out += value.dump(-1, ' ', false, Json::error_handler_t::replace);
      return;
  }
}

std::size_t size_hint(const Json& value) {
  switch (value.type()) {
    case Json::value_t::string:
      return value.get_ptr<const Json::string_t*>()->size() + 2;
    case Json::value_t::array: {
      std::size_t n = 2;
      for (const Json& item : *value.get_ptr<const Json::array_t*>()) n += size_hint(item) + 1;
      return n;
    }
    case Json::value_t::object: {
      std::size_t n = 2;
      for (const auto& [key, member] : *value.get_ptr<const Json::object_t*>()) {
        n += key.size() + 4 + size_hint(member);
      }
      return n;
    }
    default:
      return 24;
  }
}

}  // namespace velkor::protocol::json::fast

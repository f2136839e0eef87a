// JSON reading and writing for the driver's protocol (see json.h).
#include "json.h"

#include <cmath>
#include <cstdio>
#include <cerrno>
#include <cstdlib>

namespace uidriver {

const Json* Json::Find(const std::string& key) const {
  if (type_ != Type::kObject) return nullptr;
  for (const Member& member : object_) {
    if (member.first == key) return &member.second;
  }
  return nullptr;
}

Json& Json::Set(const std::string& key, Json value) {
  for (Member& member : object_) {
    if (member.first == key) {
      member.second = std::move(value);
      return member.second;
    }
  }
  object_.emplace_back(key, std::move(value));
  return object_.back().second;
}

void AppendJsonString(const std::string& text, std::string* out) {
  out->push_back('"');
  for (unsigned char c : text) {
    switch (c) {
      case '"': *out += "\\\""; break;
      case '\\': *out += "\\\\"; break;
      case '\n': *out += "\\n"; break;
      case '\r': *out += "\\r"; break;
      case '\t': *out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buffer[8];
          std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
          *out += buffer;
        } else {
          out->push_back(static_cast<char>(c));
        }
    }
  }
  out->push_back('"');
}

std::string Json::Dump() const {
  std::string out;
  DumpTo(&out);
  return out;
}

void Json::DumpTo(std::string* out) const {
  switch (type_) {
    case Type::kNull: *out += "null"; break;
    case Type::kBool: *out += int_ ? "true" : "false"; break;
    case Type::kInt: *out += std::to_string(int_); break;
    case Type::kDouble: {
      if (!std::isfinite(double_)) {
        *out += "null";
        break;
      }
      char buffer[32];
      std::snprintf(buffer, sizeof buffer, "%.17g", double_);
      *out += buffer;
      break;
    }
    case Type::kString: AppendJsonString(string_, out); break;
    case Type::kArray: {
      out->push_back('[');
      for (size_t i = 0; i < array_.size(); ++i) {
        if (i) out->push_back(',');
        array_[i].DumpTo(out);
      }
      out->push_back(']');
      break;
    }
    case Type::kObject: {
      out->push_back('{');
      for (size_t i = 0; i < object_.size(); ++i) {
        if (i) out->push_back(',');
        AppendJsonString(object_[i].first, out);
        out->push_back(':');
        object_[i].second.DumpTo(out);
      }
      out->push_back('}');
      break;
    }
  }
}

namespace {

// Recursive-descent reader over one text; positions in errors are byte offsets.
class Reader {
 public:
  explicit Reader(const std::string& text) : text_(text) {}

  bool ReadDocument(Json* out, std::string* error) {
    SkipSpace();
    if (!ReadValue(out, 0)) {
      *error = error_;
      return false;
    }
    SkipSpace();
    if (pos_ != text_.size()) {
      *error = Where("unexpected text after the value");
      return false;
    }
    return true;
  }

 private:
  static constexpr int kMaxDepth = 64;

  std::string Where(const std::string& what) const { return what + " at offset " + std::to_string(pos_); }
  bool Fail(const std::string& what) {
    error_ = Where(what);
    return false;
  }
  void SkipSpace() {
    while (pos_ < text_.size() &&
           (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\n' || text_[pos_] == '\r')) {
      ++pos_;
    }
  }
  bool Consume(const char* word) {
    size_t length = std::char_traits<char>::length(word);
    if (text_.compare(pos_, length, word) != 0) return false;
    pos_ += length;
    return true;
  }

  bool ReadValue(Json* out, int depth) {
    if (depth > kMaxDepth) return Fail("nesting too deep");
    if (pos_ >= text_.size()) return Fail("expected a value, found the end");
    char c = text_[pos_];
    if (c == '{') return ReadObject(out, depth);
    if (c == '[') return ReadArray(out, depth);
    if (c == '"') {
      std::string text;
      if (!ReadString(&text)) return false;
      *out = Json(std::move(text));
      return true;
    }
    if (Consume("true")) {
      *out = Json(true);
      return true;
    }
    if (Consume("false")) {
      *out = Json(false);
      return true;
    }
    if (Consume("null")) {
      *out = Json();
      return true;
    }
    if (c == '-' || (c >= '0' && c <= '9')) return ReadNumber(out);
    return Fail(std::string("unexpected character '") + c + "'");
  }

  bool ReadObject(Json* out, int depth) {
    ++pos_;  // '{'
    Json object = Json::MakeObject();
    SkipSpace();
    if (pos_ < text_.size() && text_[pos_] == '}') {
      ++pos_;
      *out = std::move(object);
      return true;
    }
    for (;;) {
      SkipSpace();
      if (pos_ >= text_.size() || text_[pos_] != '"') return Fail("expected a member name");
      std::string key;
      if (!ReadString(&key)) return false;
      SkipSpace();
      if (pos_ >= text_.size() || text_[pos_] != ':') return Fail("expected ':'");
      ++pos_;
      SkipSpace();
      Json value;
      if (!ReadValue(&value, depth + 1)) return false;
      object.Set(key, std::move(value));
      SkipSpace();
      if (pos_ < text_.size() && text_[pos_] == ',') {
        ++pos_;
        continue;
      }
      if (pos_ < text_.size() && text_[pos_] == '}') {
        ++pos_;
        break;
      }
      return Fail("expected ',' or '}'");
    }
    *out = std::move(object);
    return true;
  }

  bool ReadArray(Json* out, int depth) {
    ++pos_;  // '['
    Json array = Json::MakeArray();
    SkipSpace();
    if (pos_ < text_.size() && text_[pos_] == ']') {
      ++pos_;
      *out = std::move(array);
      return true;
    }
    for (;;) {
      SkipSpace();
      Json value;
      if (!ReadValue(&value, depth + 1)) return false;
      array.Push(std::move(value));
      SkipSpace();
      if (pos_ < text_.size() && text_[pos_] == ',') {
        ++pos_;
        continue;
      }
      if (pos_ < text_.size() && text_[pos_] == ']') {
        ++pos_;
        break;
      }
      return Fail("expected ',' or ']'");
    }
    *out = std::move(array);
    return true;
  }

  bool ReadHex4(unsigned* value) {
    if (pos_ + 4 > text_.size()) return Fail("short \\u escape");
    unsigned result = 0;
    for (int i = 0; i < 4; ++i) {
      char c = text_[pos_++];
      result <<= 4;
      if (c >= '0' && c <= '9')
        result |= c - '0';
      else if (c >= 'a' && c <= 'f')
        result |= c - 'a' + 10;
      else if (c >= 'A' && c <= 'F')
        result |= c - 'A' + 10;
      else
        return Fail("bad hex digit in \\u escape");
    }
    *value = result;
    return true;
  }

  static void AppendUtf8(unsigned code, std::string* out) {
    if (code < 0x80) {
      out->push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      out->push_back(static_cast<char>(0xC0 | (code >> 6)));
      out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | (code >> 12)));
      out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xF0 | (code >> 18)));
      out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }

  bool ReadString(std::string* out) {
    ++pos_;  // opening quote
    for (;;) {
      if (pos_ >= text_.size()) return Fail("unterminated string");
      char c = text_[pos_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return Fail("control character in string");
      if (c != '\\') {
        out->push_back(c);
        continue;
      }
      if (pos_ >= text_.size()) return Fail("unterminated escape");
      char e = text_[pos_++];
      switch (e) {
        case '"': out->push_back('"'); break;
        case '\\': out->push_back('\\'); break;
        case '/': out->push_back('/'); break;
        case 'b': out->push_back('\b'); break;
        case 'f': out->push_back('\f'); break;
        case 'n': out->push_back('\n'); break;
        case 'r': out->push_back('\r'); break;
        case 't': out->push_back('\t'); break;
        case 'u': {
          unsigned code = 0;
          if (!ReadHex4(&code)) return false;
          if (code >= 0xD800 && code <= 0xDBFF) {
            unsigned low = 0;
            if (!Consume("\\u") || !ReadHex4(&low) || low < 0xDC00 || low > 0xDFFF) {
              return Fail("unpaired surrogate in \\u escape");
            }
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
          } else if (code >= 0xDC00 && code <= 0xDFFF) {
            return Fail("unpaired surrogate in \\u escape");
          }
          AppendUtf8(code, out);
          break;
        }
        default: return Fail(std::string("unknown escape '\\") + e + "'");
      }
    }
  }

  bool ReadNumber(Json* out) {
    size_t start = pos_;
    bool integral = true;
    if (text_[pos_] == '-') ++pos_;
    if (pos_ >= text_.size() || text_[pos_] < '0' || text_[pos_] > '9') return Fail("bad number");
    while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
    if (pos_ < text_.size() && text_[pos_] == '.') {
      integral = false;
      ++pos_;
      while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
    }
    if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
      integral = false;
      ++pos_;
      if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
      while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
    }
    std::string number = text_.substr(start, pos_ - start);
    if (integral) {
      errno = 0;
      char* end = nullptr;
      long long value = std::strtoll(number.c_str(), &end, 10);
      if (errno == 0 && end && *end == '\0') {
        *out = Json(value);
        return true;
      }
    }
    *out = Json(std::strtod(number.c_str(), nullptr));
    return true;
  }

  const std::string& text_;
  size_t pos_ = 0;
  std::string error_;
};

}  // namespace

bool Json::Parse(const std::string& text, Json* out, std::string* error) {
  Reader reader(text);
  return reader.ReadDocument(out, error);
}

}  // namespace uidriver

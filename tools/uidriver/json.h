// A small JSON value for the driver's line protocol: one request object per
// input line, one answer object per output line. Strings are UTF-8; numbers
// are kept as 64-bit integers when they have no fraction or exponent, because
// window handles, process ids and styles must round-trip exactly.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace uidriver {

class Json {
 public:
  enum class Type { kNull, kBool, kInt, kDouble, kString, kArray, kObject };
  using Array = std::vector<Json>;
  using Member = std::pair<std::string, Json>;
  using Object = std::vector<Member>;  // keeps insertion order for readable answers

  Json() = default;
  Json(std::nullptr_t) {}
  Json(bool value) : type_(Type::kBool), int_(value ? 1 : 0) {}
  Json(int value) : type_(Type::kInt), int_(value) {}
  Json(unsigned value) : type_(Type::kInt), int_(value) {}
  Json(long value) : type_(Type::kInt), int_(value) {}
  Json(unsigned long value) : type_(Type::kInt), int_(static_cast<int64_t>(value)) {}
  Json(long long value) : type_(Type::kInt), int_(value) {}
  Json(unsigned long long value) : type_(Type::kInt), int_(static_cast<int64_t>(value)) {}
  Json(double value) : type_(Type::kDouble), double_(value) {}
  Json(const char* value) : type_(Type::kString), string_(value) {}
  Json(std::string value) : type_(Type::kString), string_(std::move(value)) {}
  Json(Array value) : type_(Type::kArray), array_(std::move(value)) {}
  Json(Object value) : type_(Type::kObject), object_(std::move(value)) {}

  static Json MakeObject() { return Json(Object{}); }
  static Json MakeArray() { return Json(Array{}); }

  Type type() const { return type_; }
  bool is_null() const { return type_ == Type::kNull; }
  bool is_bool() const { return type_ == Type::kBool; }
  bool is_number() const { return type_ == Type::kInt || type_ == Type::kDouble; }
  bool is_int() const { return type_ == Type::kInt; }
  bool is_string() const { return type_ == Type::kString; }
  bool is_array() const { return type_ == Type::kArray; }
  bool is_object() const { return type_ == Type::kObject; }

  bool as_bool() const { return int_ != 0; }
  int64_t as_int() const { return type_ == Type::kDouble ? static_cast<int64_t>(double_) : int_; }
  const std::string& as_string() const { return string_; }
  const Array& as_array() const { return array_; }
  Array& as_array() { return array_; }
  const Object& as_object() const { return object_; }

  // Object access. Find returns null when the key is missing or this is not
  // an object; Set replaces an existing key or appends a new one.
  const Json* Find(const std::string& key) const;
  Json& Set(const std::string& key, Json value);
  void Push(Json value) { array_.push_back(std::move(value)); }

  // Compact text on one line; non-ASCII stays raw UTF-8, control characters
  // are escaped, so the text never contains a line break.
  std::string Dump() const;

  // Parses one complete JSON text. On failure returns false and says where
  // and why in *error.
  static bool Parse(const std::string& text, Json* out, std::string* error);

 private:
  void DumpTo(std::string* out) const;

  Type type_ = Type::kNull;
  int64_t int_ = 0;
  double double_ = 0;
  std::string string_;
  Array array_;
  Object object_;
};

// Appends the JSON string literal for a UTF-8 text to *out.
void AppendJsonString(const std::string& text, std::string* out);

}  // namespace uidriver

/// @file
/// The library's dynamic value: what manifests, payloads, parameters, settings
/// and server answers are made of.
#pragma once

#include <compare>
#include <concepts>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "orvo/Export.h"

namespace orvo {

class Value;
class Dictionary;

/// An ordered list of values.
using Array = std::vector<Value>;
/// Raw bytes (device tokens, cipher text, file data).
using Bytes = std::vector<std::uint8_t>;

/// A point in time, as seconds since 1970-01-01 00:00:00 UTC.
struct ORVO_PUSH_API Date {
  /// The instant, with fractions of a second.
  double secondsSince1970 = 0.0;
  /// Dates order by their instant.
  friend auto operator<=>(const Date&, const Date&) = default;
};

/// Value semantics for the recursive alternatives: copying a Value copies
/// the whole tree, so no two owners ever share a mutable container.
template <class T>
class Boxed {
 public:
  /// An empty T, a copy of value, or a deep copy of other.
  /// @{
  Boxed() : ptr_(std::make_unique<T>()) {}
  explicit Boxed(T value) : ptr_(std::make_unique<T>(std::move(value))) {}
  Boxed(const Boxed& other) : ptr_(std::make_unique<T>(*other.ptr_)) {}
  Boxed(Boxed&&) noexcept = default;
  Boxed& operator=(const Boxed& other) {
    if (this != &other) ptr_ = std::make_unique<T>(*other.ptr_);
    return *this;
  }
  Boxed& operator=(Boxed&&) noexcept = default;
  ~Boxed() = default;
  /// @}

  /// The boxed value.
  /// @{
  T& operator*() { return *ptr_; }
  const T& operator*() const { return *ptr_; }
  T* operator->() { return ptr_.get(); }
  const T* operator->() const { return ptr_.get(); }
  /// @}

  /// Equal when the boxed values are.
  friend bool operator==(const Boxed& a, const Boxed& b) { return *a.ptr_ == *b.ptr_; }

 private:
  std::unique_ptr<T> ptr_;
};

/// The dynamic value: absent (null), boolean, integer (int64), real (double),
/// string, date, bytes, array or Dictionary. Booleans and numbers stay
/// distinct; copies are deep. It converts to and from JSON without loss for
/// JSON's types (parseJson, writeJson).
class ORVO_PUSH_API Value {
 public:
  /// What a value holds, in the order of the alternatives.
  enum class Type { Null, Bool, Int, Real, String, Date, Bytes, Array, Dictionary };

  /// A value of each type: null (the default), a boolean, an integer of any
  /// width (not bool or char), a real, a string, a date, bytes, an array or a
  /// Dictionary.
  /// @{
  Value() = default;
  Value(std::nullptr_t) {}
  Value(bool b) : data_(b) {}
  template <std::integral T>
  requires(!std::same_as<T, bool> && !std::same_as<T, char>) Value(T i)
      : data_(static_cast<std::int64_t>(i)) {}
  Value(double d) : data_(d) {}
  Value(const char* s) : data_(std::string(s)) {}
  Value(std::string s) : data_(std::move(s)) {}
  Value(std::string_view s) : data_(std::string(s)) {}
  Value(Date d) : data_(d) {}
  Value(Bytes b) : data_(std::move(b)) {}
  Value(Array a);
  Value(Dictionary d);
  /// @}

  /// What the value holds, and one test per type (isNumber: an integer or a
  /// real).
  /// @{
  Type type() const { return static_cast<Type>(data_.index()); }
  bool isNull() const { return type() == Type::Null; }
  bool isBool() const { return type() == Type::Bool; }
  bool isInt() const { return type() == Type::Int; }
  bool isReal() const { return type() == Type::Real; }
  bool isNumber() const { return isInt() || isReal(); }
  bool isString() const { return type() == Type::String; }
  bool isDate() const { return type() == Type::Date; }
  bool isBytes() const { return type() == Type::Bytes; }
  bool isArray() const { return type() == Type::Array; }
  bool isDictionary() const { return type() == Type::Dictionary; }
  /// @}

  /// Typed access: a pointer to the held alternative, or null when the value
  /// holds another type. Never converts.
  /// @{
  const bool* asBool() const { return std::get_if<bool>(&data_); }
  const std::int64_t* asInt() const { return std::get_if<std::int64_t>(&data_); }
  const double* asReal() const { return std::get_if<double>(&data_); }
  const std::string* asString() const { return std::get_if<std::string>(&data_); }
  std::string* asString() { return std::get_if<std::string>(&data_); }
  const Date* asDate() const { return std::get_if<Date>(&data_); }
  const Bytes* asBytes() const { return std::get_if<Bytes>(&data_); }
  const Array* asArray() const;
  Array* asArray();
  const Dictionary* asDictionary() const;
  Dictionary* asDictionary();
  /// @}

  /// The string when this is one, else the fallback.
  std::string stringOr(std::string_view fallback) const;

  /// Equal when of the same type and equal content; an integer never equals
  /// a real.
  friend bool operator==(const Value& a, const Value& b) { return a.data_ == b.data_; }

 private:
  std::variant<std::monostate, bool, std::int64_t, double, std::string, Date, Bytes, Boxed<Array>,
               Boxed<Dictionary>>
      data_;
};

/// String-keyed map of values. Iteration order is the keys' byte order, but no
/// behaviour of the library may rely on it.
class ORVO_PUSH_API Dictionary {
 public:
  /// The storage, ordered by key, and its iterators.
  /// @{
  using Map = std::map<std::string, Value, std::less<>>;
  using const_iterator = Map::const_iterator;
  using iterator = Map::iterator;
  /// @}

  /// An empty dictionary, or one with the entries given.
  /// @{
  Dictionary() = default;
  Dictionary(std::initializer_list<std::pair<const std::string, Value>> entries)
      : entries_(entries) {}
  /// @}

  /// Absent key: null pointer.
  /// @{
  const Value* find(std::string_view key) const;
  Value* find(std::string_view key);
  bool contains(std::string_view key) const { return find(key) != nullptr; }
  /// @}

  /// The value under key, or a null Value when absent.
  /// @{
  Value get(std::string_view key) const;
  const std::string* getString(std::string_view key) const;
  const Dictionary* getDictionary(std::string_view key) const;
  const Array* getArray(std::string_view key) const;
  /// @}

  /// Storing a null Value stores a null; use erase to remove a key.
  /// @{
  void set(std::string key, Value value);
  Value& operator[](const std::string& key) { return entries_[key]; }
  bool erase(std::string_view key);
  void clear() { entries_.clear(); }
  /// @}

  /// The number of entries, whether there are none, and the keys in order.
  /// @{
  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  std::vector<std::string> keys() const;
  /// @}

  /// Iteration over the entries, in key order.
  /// @{
  const_iterator begin() const { return entries_.begin(); }
  const_iterator end() const { return entries_.end(); }
  iterator begin() { return entries_.begin(); }
  iterator end() { return entries_.end(); }
  /// @}

  /// Equal when the keys and their values are.
  friend bool operator==(const Dictionary& a, const Dictionary& b) {
    return a.entries_ == b.entries_;
  }

 private:
  Map entries_;
};

inline Value::Value(Array a) : data_(Boxed<Array>(std::move(a))) {}
inline Value::Value(Dictionary d) : data_(Boxed<Dictionary>(std::move(d))) {}

inline const Array* Value::asArray() const {
  auto* box = std::get_if<Boxed<Array>>(&data_);
  return box ? &**box : nullptr;
}
inline Array* Value::asArray() {
  auto* box = std::get_if<Boxed<Array>>(&data_);
  return box ? &**box : nullptr;
}
inline const Dictionary* Value::asDictionary() const {
  auto* box = std::get_if<Boxed<Dictionary>>(&data_);
  return box ? &**box : nullptr;
}
inline Dictionary* Value::asDictionary() {
  auto* box = std::get_if<Boxed<Dictionary>>(&data_);
  return box ? &**box : nullptr;
}

/// The "%@" text of a value: a string as is, numbers in decimal, booleans as 1
/// or 0, null as "(null)", dates, bytes and collections in a readable form.
/// @{
ORVO_PUSH_API std::string describe(const Value& value);
ORVO_PUSH_API std::string describe(const Dictionary& value);
/// @}

/// UTF-8 view of a string's bytes and back.
/// @{
inline std::string toString(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }
inline Bytes toBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }
/// @}

}  // namespace orvo

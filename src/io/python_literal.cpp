#include "io/python_literal.h"

namespace ovk::io {
namespace {

constexpr int kDeepestNesting = 32;

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  Result<PyLiteral> whole() {
    OVK_ASSIGN_OR_RETURN(PyLiteral value, literal(0));
    skip_spaces();
    if (at_ < text_.size()) return fail("text after the literal");
    return value;
  }

 private:
  Error fail(const std::string& why) const {
    return Error(ErrorKind::kInvalidData,
                 "Python literal: " + why + " at character " + std::to_string(at_));
  }

  void skip_spaces() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' ||
                                  text_[at_] == '\r')) {
      ++at_;
    }
  }

  bool take(char c) {
    skip_spaces();
    if (at_ < text_.size() && text_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }

  bool take_word(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) return false;
    at_ += word.size();
    return true;
  }

  Result<PyLiteral> literal(int depth) {
    if (depth > kDeepestNesting) return fail("nesting deeper than 32 levels");
    skip_spaces();
    if (at_ >= text_.size()) return fail("the text ends where a value belongs");
    const char c = text_[at_];
    if (c == '{') return sequence(PyLiteral::Kind::kDict, '}', depth);
    if (c == '[') return sequence(PyLiteral::Kind::kList, ']', depth);
    if (c == '(') return sequence(PyLiteral::Kind::kTuple, ')', depth);
    if (c == '\'' || c == '"') return string();
    if (c == '-' || c == '+' || (c >= '0' && c <= '9')) return integer();
    PyLiteral value;
    if (take_word("None")) return value;
    value.kind = PyLiteral::Kind::kBool;
    if (take_word("True")) {
      value.number = 1;
      return value;
    }
    if (take_word("False")) return value;
    return fail("unexpected character");
  }

  // A dictionary, list or tuple: items separated by commas, one more comma
  // allowed before the end. "(5)" is the number 5, as in Python.
  Result<PyLiteral> sequence(PyLiteral::Kind kind, char end, int depth) {
    ++at_;
    PyLiteral value;
    value.kind = kind;
    bool comma = false;
    while (!take(end)) {
      if (!value.items.empty() && !comma) return fail(std::string("expected , or ") + end);
      if (kind == PyLiteral::Kind::kDict) {
        OVK_ASSIGN_OR_RETURN(PyLiteral key, literal(depth + 1));
        if (key.kind != PyLiteral::Kind::kString) return fail("a dictionary key that is not a string");
        if (!take(':')) return fail("expected :");
        value.keys.push_back(std::move(key.text));
      }
      OVK_ASSIGN_OR_RETURN(PyLiteral item, literal(depth + 1));
      value.items.push_back(std::move(item));
      comma = take(',');
    }
    if (kind == PyLiteral::Kind::kTuple && value.items.size() == 1 && !comma) {
      PyLiteral inner = std::move(value.items.front());
      return inner;
    }
    return value;
  }

  Result<PyLiteral> string() {
    const char quote = text_[at_++];
    PyLiteral value;
    value.kind = PyLiteral::Kind::kString;
    while (at_ < text_.size() && text_[at_] != quote) {
      if (text_[at_] == '\\' && at_ + 1 < text_.size()) ++at_;
      value.text.push_back(text_[at_++]);
    }
    if (at_ >= text_.size()) return fail("a string without its closing quote");
    ++at_;
    return value;
  }

  Result<PyLiteral> integer() {
    const bool negative = text_[at_] == '-';
    if (text_[at_] == '-' || text_[at_] == '+') ++at_;
    const std::size_t start = at_;
    std::uint64_t magnitude = 0;
    for (; at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9'; ++at_) {
      const auto digit = static_cast<std::uint64_t>(text_[at_] - '0');
      if (__builtin_mul_overflow(magnitude, 10, &magnitude) ||
          __builtin_add_overflow(magnitude, digit, &magnitude) ||
          magnitude > std::uint64_t{INT64_MAX} + (negative ? 1 : 0)) {
        return fail("an integer beyond 64 bits");
      }
    }
    if (at_ == start) return fail("a sign without digits");
    if (at_ < text_.size() && text_[at_] == 'L') ++at_;
    PyLiteral value;
    value.kind = PyLiteral::Kind::kInt;
    value.number = negative ? static_cast<std::int64_t>(0 - magnitude)
                            : static_cast<std::int64_t>(magnitude);
    return value;
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

}  // namespace

const PyLiteral* PyLiteral::find(std::string_view key) const noexcept {
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (keys[i] == key) return &items[i];
  }
  return nullptr;
}

Result<PyLiteral> parse_python_literal(std::string_view text) { return Parser(text).whole(); }

}  // namespace ovk::io

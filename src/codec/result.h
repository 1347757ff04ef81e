// Error values and the internal-fault exception: the one error contract of
// the codec, the readers, the module and the tool.
//
// - Errors are values. Expected failures (memory exhaustion for a requested
//   geometry, unreadable or malformed files, refused outputs) travel as
//   Error inside a Result<T> that the compiler refuses to let a caller drop;
//   an operating-system failure carries its errno, so every layer words it
//   the same way.
// - Faults are exceptions. A violated internal invariant throws ovk::Fault
//   with its file and line; so does taking the wrong alternative of a
//   Result. Faults are caught at exactly two boundaries, each catching every
//   exception type: the module's entry points (which raise InternalFault)
//   and the tool's main and worker threads (which print "internal error at
//   FILE:LINE" and exit with status 3). No other layer catches them, so a
//   fault can never pass silently as a value.
#pragma once

#include <cstdint>
#include <new>
#include <source_location>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

namespace ovk {

enum class ErrorKind : std::uint8_t {
  kOutOfMemory,   // a buffer of our own could not be allocated
  kInvalidInput,  // the caller's request itself is unusable (NUL in a path, unknown extension)
  kInvalidData,   // the bytes of a file do not follow their format
  kOsError,       // the operating system refused an open or a read
};

class [[nodiscard]] Error {
 public:
  Error(ErrorKind kind, std::string message, int os_errno = 0)
      : kind_(kind), message_(std::move(message)), os_errno_(os_errno) {}

  static Error out_of_memory() { return {ErrorKind::kOutOfMemory, "out of memory"}; }
  static Error invalid_data(std::string message) {
    return {ErrorKind::kInvalidData, std::move(message)};
  }

  ErrorKind kind() const noexcept { return kind_; }
  const std::string& message() const noexcept { return message_; }
  // The errno of a kOsError, 0 for any other error.
  int os_errno() const noexcept { return os_errno_; }

 private:
  ErrorKind kind_;
  std::string message_;
  int os_errno_;
};

// An internal invariant was violated. Carries the source location so the
// report written at the boundary says where.
class Fault : public std::logic_error {
 public:
  Fault(const std::string& what, const char* file, int line)
      : std::logic_error(what), file_(file), line_(line) {}
  const char* file() const noexcept { return file_; }
  int line() const noexcept { return line_; }

 private:
  const char* file_;
  int line_;
};

// Value or error (an Error unless a layer with failures of its own names
// another type). Access to the wrong alternative is a Fault naming the
// caller's file and line, not UB.
template <class T, class E = Error>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const noexcept { return v_.index() == 0; }

  const T& value(std::source_location at = std::source_location::current()) const& {
    return *expect<0>(at);
  }
  T& value(std::source_location at = std::source_location::current()) & {
    return *expect<0>(at);
  }
  T&& value(std::source_location at = std::source_location::current()) && {
    return std::move(*expect<0>(at));
  }

  const E& error(std::source_location at = std::source_location::current()) const& {
    return *expect<1>(at);
  }
  E&& error(std::source_location at = std::source_location::current()) && {
    return std::move(*expect<1>(at));
  }

 private:
  template <std::size_t I>
  auto* expect(const std::source_location& at) const {
    if (v_.index() != I) {
      throw Fault(I == 0 ? "value() of a Result holding an error" : "error() of a Result holding a value",
                  at.file_name(), static_cast<int>(at.line()));
    }
    return const_cast<std::variant_alternative_t<I, std::variant<T, E>>*>(std::get_if<I>(&v_));
  }

  std::variant<T, E> v_;
};

struct Ok {};
using Status = Result<Ok>;

}  // namespace ovk

#define OVK_FAULT(text) throw ::ovk::Fault((text), __FILE__, __LINE__)

#define OVK_CONCAT_INNER(a, b) a##b
#define OVK_CONCAT(a, b) OVK_CONCAT_INNER(a, b)

// Evaluates a Result-returning expression; on error returns the error from the
// enclosing function, otherwise moves the value into `lhs`.
#define OVK_ASSIGN_OR_RETURN(lhs, expr) \
  OVK_ASSIGN_OR_RETURN_IMPL(OVK_CONCAT(ovk_result_, __LINE__), lhs, expr)
#define OVK_ASSIGN_OR_RETURN_IMPL(tmp, lhs, expr) \
  auto tmp = (expr);                              \
  if (!tmp.ok()) return std::move(tmp).error();   \
  lhs = std::move(tmp).value()

// Evaluates a Status- or Result-returning expression and returns its error
// from the enclosing function.
#define OVK_RETURN_IF_ERROR(expr) \
  OVK_RETURN_IF_ERROR_IMPL(OVK_CONCAT(ovk_status_, __LINE__), expr)
#define OVK_RETURN_IF_ERROR_IMPL(tmp, expr) \
  do {                                      \
    auto tmp = (expr);                      \
    if (!tmp.ok()) return std::move(tmp).error(); \
  } while (false)

namespace ovk {

// Runs `body` (returning a Result) and turns a failed allocation inside it
// (std::bad_alloc, or std::length_error from a container asked for more than
// it can hold) into the "out of memory" error value.
template <class Body>
auto catching_out_of_memory(Body&& body) -> decltype(body()) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return Error::out_of_memory();
  } catch (const std::length_error&) {
    return Error::out_of_memory();
  }
}

}  // namespace ovk

// Error values and the one fault type of the core.
// Expected failures (bad files, missing paths) travel as `Error` inside `Result<T>`; a broken
// invariant throws `InternalFault`, which only the Python boundary in src/lib catches.
#pragma once

#include <cstdint>
#include <exception>
#include <expected>
#include <memory>
#include <string>
#include <utility>

namespace quillfen {

class [[nodiscard]] Error {
public:
    explicit Error(std::string message) : message_(std::move(message)) {}

    // A new error saying `outer`, with this one kept beneath it as its cause.
    Error wrap(std::string outer) && {
        Error e(std::move(outer));
        e.cause_ = std::make_shared<const Error>(std::move(*this));
        return e;
    }

    const std::string& message() const { return message_; }  // top level only
    const Error* cause() const { return cause_.get(); }

private:
    std::string message_;
    std::shared_ptr<const Error> cause_;  // shared: Error stays copyable and cheap to move
};

template <class T>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> fail(std::string message) { return std::unexpected(Error(std::move(message))); }

// The operating system's description of `errnum` followed by " (os error N)".
Error os_error(int errnum);

// An exact read that met the end of the file first.
Error eof_error();

class InternalFault : public std::exception {
public:
    explicit InternalFault(std::string text) : text_(std::move(text)) {}
    const char* what() const noexcept override { return text_.c_str(); }

private:
    std::string text_;
};

[[noreturn]] inline void fault(std::string text) { throw InternalFault(std::move(text)); }

// Checked arithmetic for sizes that come from files: nothing read from disk may wrap silently.
inline bool mul_overflows(uint64_t a, uint64_t b, uint64_t* out) { return __builtin_mul_overflow(a, b, out); }
inline bool add_overflows(uint64_t a, uint64_t b, uint64_t* out) { return __builtin_add_overflow(a, b, out); }
// The same sums for tallies that only compare against a bound: past 64 bits they stick at the maximum.
inline uint64_t saturating_mul(uint64_t a, uint64_t b) {
    uint64_t out;
    return mul_overflows(a, b, &out) ? UINT64_MAX : out;
}
inline uint64_t saturating_add(uint64_t a, uint64_t b) {
    uint64_t out;
    return add_overflows(a, b, &out) ? UINT64_MAX : out;
}

}  // namespace quillfen

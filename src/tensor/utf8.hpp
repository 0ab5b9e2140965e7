// UTF-8 validation with the position of the first bad sequence.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillfen {

struct Utf8Error {
    uint64_t valid_up_to;       // bytes before the bad sequence
    std::optional<uint8_t> error_len;  // length of the invalid sequence; empty: input ended inside one

    // "invalid utf-8 sequence of N bytes from index I" or "incomplete utf-8 byte sequence from index I".
    std::string message() const;
};

// The first invalid sequence of `bytes`, or nothing when they are all valid UTF-8.
std::optional<Utf8Error> utf8_error(std::string_view bytes);

// Text for display: bytes that are not UTF-8 become U+FFFD.
std::string lossy_utf8(std::string_view bytes);

}  // namespace quillfen

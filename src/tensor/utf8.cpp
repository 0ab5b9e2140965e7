#include "tensor/utf8.hpp"

namespace quillfen {

namespace {

// Width of a UTF-8 sequence by its first byte; 0 for bytes that can never start one.
int sequence_width(uint8_t b) {
    if (b < 0x80) return 1;
    if (b >= 0xC2 && b <= 0xDF) return 2;
    if (b >= 0xE0 && b <= 0xEF) return 3;
    if (b >= 0xF0 && b <= 0xF4) return 4;
    return 0;
}

bool is_continuation(uint8_t b) { return (b & 0xC0) == 0x80; }

// Validity of the second byte, which also rules out overlong forms, surrogates and code points past U+10FFFF.
bool second_byte_ok(uint8_t first, uint8_t second) {
    switch (first) {
        case 0xE0: return second >= 0xA0 && second <= 0xBF;
        case 0xED: return second >= 0x80 && second <= 0x9F;
        case 0xF0: return second >= 0x90 && second <= 0xBF;
        case 0xF4: return second >= 0x80 && second <= 0x8F;
        default: return is_continuation(second);
    }
}

}  // namespace

std::string Utf8Error::message() const {
    if (error_len)
        return "invalid utf-8 sequence of " + std::to_string(*error_len) + " bytes from index " +
               std::to_string(valid_up_to);
    return "incomplete utf-8 byte sequence from index " + std::to_string(valid_up_to);
}

std::optional<Utf8Error> utf8_error(std::string_view text) {
    const auto* s = reinterpret_cast<const uint8_t*>(text.data());
    const uint64_t n = text.size();
    uint64_t i = 0;
    while (i < n) {
        const uint8_t first = s[i];
        const int width = sequence_width(first);
        if (width == 1) {
            ++i;
            continue;
        }
        if (width == 0) return Utf8Error{i, 1};
        // Check continuation bytes one at a time, so the reported length is the maximal bad prefix.
        for (int k = 1; k < width; ++k) {
            if (i + k >= n) return Utf8Error{i, std::nullopt};
            const bool ok = k == 1 ? second_byte_ok(first, s[i + 1]) : is_continuation(s[i + k]);
            if (!ok) return Utf8Error{i, static_cast<uint8_t>(k)};
        }
        i += width;
    }
    return std::nullopt;
}

std::string lossy_utf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        auto err = utf8_error(text);
        if (!err) {
            out.append(text);
            break;
        }
        out.append(text.substr(0, err->valid_up_to));
        out.append("\xEF\xBF\xBD");
        if (!err->error_len) break;
        text.remove_prefix(err->valid_up_to + *err->error_len);
    }
    return out;
}

}  // namespace quillfen

#include <gtest/gtest.h>

#include "tensor/tensor.hpp"
#include "tensor/utf8.hpp"

using namespace quillfen;

TEST(Tensor, ByteSizeFollowsBitsPerElementAndReportsOverflow) {
    EXPECT_EQ(Tensor::zeros({}, DType::Float32).data.size(), 4u);
    EXPECT_EQ(Tensor::zeros({3}, DType::Int4).data.size(), 2u);
    EXPECT_EQ(Tensor::zeros({0, 5}, DType::Float16).data.size(), 0u);
    EXPECT_FALSE(tensor_byte_size({1ull << 40, 1ull << 40}, DType::Float32));
    EXPECT_FALSE(tensor_byte_size({1ull << 62}, DType::Float32));  // elements fit, bits do not
    EXPECT_EQ(tensor_byte_size({1ull << 61}, DType::Int4), 1ull << 60);
}

TEST(Tensor, FromBytesRejectsWrongLength) {
    auto t = Tensor::from_bytes(std::vector<uint8_t>(6), {2}, DType::Float32);
    ASSERT_FALSE(t);
    EXPECT_EQ(t.error().message(), "Buffer size mismatch: expected 8 bytes, got 6");
}

TEST(Utf8, ValidationReportsTheFirstBadSequenceAndLossyReplacesEach) {
    const std::pair<std::string, std::string> cases[] = {  // bytes, message ("" when valid)
        {"plain ascii", ""},
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", ""},
        {"ab\xFF", "invalid utf-8 sequence of 1 bytes from index 2"},
        {"\xC3", "incomplete utf-8 byte sequence from index 0"},
        {"x\xE2\x82", "incomplete utf-8 byte sequence from index 1"},
        {"\xE2\x82x", "invalid utf-8 sequence of 2 bytes from index 0"},
        {"\xED\xA0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},  // surrogate
        {"\xC0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},      // overlong
        {"\xF0\x9F\x98x", "invalid utf-8 sequence of 3 bytes from index 0"},
    };
    for (const auto& [bytes, message] : cases) {
        auto err = utf8_error(bytes);
        EXPECT_EQ(err ? err->message() : "", message) << bytes;
    }
    EXPECT_EQ(lossy_utf8("a\xFF" "b\xE2\x82"), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
}

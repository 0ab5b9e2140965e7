// Helpers the format readers share: paths in messages, bounded reads, and the tensor a layer
// iterator yields when a file's bytes do not fit the declared shape. Not part of the loader interface.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tensor/error.hpp"
#include "tensor/file.hpp"
#include "tensor/tensor.hpp"

namespace quillfen {

// A path as messages print it: bytes that are not UTF-8 become U+FFFD.
std::string display_path(std::string_view path);

// The text of a config.json (`config_path` names the file itself). A real one is a few kilobytes; one
// past 16 MiB fails unread, as an unreadable file does, and so does anything but a regular file.
constexpr uint64_t kMaxConfigJsonBytes = 16ull << 20;
Result<std::string> read_config_json_text(const std::string& config_path);

// `file.read_bytes(n)` (a length past the end fails as "failed to fill whole buffer" without
// allocating), where a length the file does hold but memory cannot is an error naming `what`
// instead of the end of the process.
Result<std::vector<uint8_t>> read_owned_bytes(File& file, uint64_t n, std::string_view what);

// The item tensor of a layer iterator: the bytes as read when their count is the tensor byte size of
// `shape` and `dtype`, otherwise zeros of that shape and dtype. Zeros stand in for data the file was
// meant to hold, so they may not outgrow it: a zero tensor larger than both the file and four times
// the bytes read (the widest honest expansion, 4-bit data taken as 16-bit) is an error naming the
// tensor, as is a shape whose size 64 bits cannot count.
Result<Tensor> tensor_or_zeros(const std::string& name, std::vector<uint8_t> bytes, std::vector<uint64_t> shape,
                               DType dtype, uint64_t file_size);

// The absolute position of `offset` within a data section starting at `data_start`; a sum that
// 64 bits cannot hold fails like a seek past what the platform can address.
Result<uint64_t> data_position(uint64_t data_start, uint64_t offset);

}  // namespace quillfen

// Read-only file access for the format readers: exact reads, seeks, sizes, whole text files.
// Every failure is an `Error` carrying the OS text; an early end of file is "failed to fill whole buffer".
// Only regular files are read: a FIFO would block or stream forever, a device (/dev/zero) never ends.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tensor/error.hpp"

namespace quillfen {

class File {
public:
    // Opening never waits (a FIFO without a writer would block the open itself). A path that names
    // anything but a regular file still opens, like a directory always has, but holds no descriptor:
    // every later operation fails with its refusal, "Is a directory (os error 21)" for a directory and
    // "Not a regular file ({kind}): {path}" for the rest, so each reader reports it where it would
    // report a failed read.
    static Result<File> open(const std::string& path);

    File(File&& other) noexcept
        : fd_(std::exchange(other.fd_, -1)), pos_(other.pos_), refusal_(std::move(other.refusal_)) {}
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File();

    Result<void> read_exact(void* buf, uint64_t n);
    Result<uint64_t> read_some(void* buf, uint64_t n);  // 0 at the end of the file
    Result<void> seek(uint64_t absolute);
    uint64_t position() const { return pos_; }
    // The descriptor, for mapping the file this handle has judged regular (-1 for a refused path).
    // Mapping by path instead would open again, and might map a file swapped in meanwhile.
    int native_handle() const { return fd_; }
    Result<uint64_t> size() const;  // asks the OS each time: the file may change between calls

    // Bytes left between the position and the end (0 when the position is past the end).
    // Lengths read from a file are checked against this before anything is allocated for them.
    Result<uint64_t> remaining() const;

    // Reads `n` bytes into a new buffer, refusing (as a short read) any `n` beyond what the file holds.
    Result<std::vector<uint8_t>> read_bytes(uint64_t n);

    template <class T>
    Result<T> read_le() {  // the build targets little-endian hosts only
        T value;
        if (auto r = read_exact(&value, sizeof(T)); !r) return std::unexpected(std::move(r).error());
        return value;
    }

private:
    explicit File(int fd) : fd_(fd) {}
    explicit File(Error refusal) : refusal_(std::make_shared<const Error>(std::move(refusal))) {}
    std::unexpected<Error> refused() const { return std::unexpected(*refusal_); }

    int fd_ = -1;
    uint64_t pos_ = 0;
    std::shared_ptr<const Error> refusal_;  // set when the path is not a regular file; fd_ is then -1
};

// Buffered little-endian reads over an open file. GGUF metadata is tens of thousands of small fields
// (a tokenizer's strings); one system call each costs far more than the parsing. The file's size is
// taken once, so lengths are checked against it without asking the OS again.
class FileReader {
public:
    static Result<FileReader> over(File& file);

    Result<void> read_exact(void* out, uint64_t n);
    template <class T>
    Result<T> read_le() {  // the build targets little-endian hosts only
        T value;
        if (auto r = read_exact(&value, sizeof(T)); !r) return std::unexpected(std::move(r).error());
        return value;
    }
    // `n` bytes into a new buffer; `n` past the end of the file fails as a short read before anything
    // is allocated, and a length the file holds but memory cannot is an error naming `what`.
    Result<std::vector<uint8_t>> read_bytes(uint64_t n, std::string_view what = "Data");

    // Moves forward without reading. Landing past the end is allowed and leaves the position at the
    // end, where the next read fails as a short read: nothing after a skip can tell the two apart.
    Result<void> skip(uint64_t n);

    uint64_t position() const { return position_; }
    uint64_t remaining() const { return size_ > position_ ? size_ - position_ : 0; }
    // Moves the file to the position this reader has consumed up to (it reads ahead).
    Result<void> sync() { return file_->seek(position_); }

private:
    FileReader(File& file, uint64_t size) : file_(&file), size_(size), position_(file.position()) {}
    Result<void> refill();

    static constexpr uint64_t kBufferBytes = 64 * 1024;
    File* file_;
    uint64_t size_;
    uint64_t position_;  // logical: what the caller has consumed
    std::vector<uint8_t> buffer_;
    uint64_t head_ = 0, tail_ = 0;  // unread bytes are buffer_[head_, tail_)
};

// Size in bytes by path (a size query separate from any open handle).
Result<uint64_t> file_size(const std::string& path);

// Whether information about `path` can be obtained (it exists and is reachable).
bool path_exists(const std::string& path);

// The whole file as text; text that is not UTF-8 fails with "stream did not contain valid UTF-8".
// A file of more than `max_bytes` fails without being read past that many bytes (it may still be
// growing): "File larger than {max_bytes} bytes: {path}".
Result<std::string> read_text_file(const std::string& path, uint64_t max_bytes);

// The parent of `path` in the ordinary path sense, or false when it has none (empty, or a root).
// A bare file name has the empty parent.
bool parent_path(std::string_view path, std::string* parent);

// Joins a parent (possibly empty) and a file name.
std::string join_path(std::string_view parent, std::string_view name);

}  // namespace quillfen

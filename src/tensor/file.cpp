#include "tensor/file.hpp"

#include <algorithm>
#include <cerrno>
#include <new>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tensor/tensor.hpp"
#include "tensor/utf8.hpp"

namespace quillfen {

Error os_error(int errnum) {
    char buf[256];
    // GNU strerror_r returns the text, which may or may not live in `buf`.
    const char* text = strerror_r(errnum, buf, sizeof buf);
    return Error(std::string(text) + " (os error " + std::to_string(errnum) + ")");
}

Error eof_error() { return Error("failed to fill whole buffer"); }

namespace {

const char* file_kind(mode_t mode) {
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";  // cannot be opened; listed for completeness
    return "of an unknown kind";
}

}  // namespace

Result<File> File::open(const std::string& path) {
    // The OS would stop at an embedded NUL and open a different file than the one named.
    if (path.find('\0') != std::string::npos) return std::unexpected(os_error(EINVAL));
    int fd;
    do {
        // Non-blocking so a FIFO opens at once instead of waiting for a writer; no terminal is adopted.
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return std::unexpected(os_error(errno));
    // Judged by the descriptor, not by the path: the path may be swapped between a check and the open.
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        return std::unexpected(os_error(err));
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        if (S_ISDIR(st.st_mode)) return File(os_error(EISDIR));  // what reading a directory says
        return File(Error("Not a regular file (" + std::string(file_kind(st.st_mode)) + "): " + lossy_utf8(path)));
    }
    // Reads of a regular file block as usual (for one on a network file system, until the data is there).
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        const int err = errno;
        ::close(fd);
        return std::unexpected(os_error(err));
    }
    return File(fd);
}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        pos_ = other.pos_;
        refusal_ = std::move(other.refusal_);
    }
    return *this;
}

File::~File() {
    if (fd_ >= 0) ::close(fd_);
}

Result<void> File::read_exact(void* buf, uint64_t n) {
    if (refusal_) return refused();
    auto* out = static_cast<uint8_t*>(buf);
    while (n > 0) {
        const size_t chunk = n > (1u << 30) ? (1u << 30) : static_cast<size_t>(n);
        const ssize_t got = ::read(fd_, out, chunk);
        if (got < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(os_error(errno));
        }
        if (got == 0) return std::unexpected(eof_error());
        out += got;
        n -= static_cast<uint64_t>(got);
        pos_ += static_cast<uint64_t>(got);
    }
    return {};
}

Result<uint64_t> File::read_some(void* buf, uint64_t n) {
    if (refusal_) return refused();
    for (;;) {
        const ssize_t got = ::read(fd_, buf, static_cast<size_t>(n));
        if (got >= 0) {
            pos_ += static_cast<uint64_t>(got);
            return static_cast<uint64_t>(got);
        }
        if (errno != EINTR) return std::unexpected(os_error(errno));
    }
}

Result<void> File::seek(uint64_t absolute) {
    if (refusal_) return refused();
    if (absolute > static_cast<uint64_t>(INT64_MAX)) return std::unexpected(os_error(EINVAL));
    if (::lseek(fd_, static_cast<off_t>(absolute), SEEK_SET) < 0) return std::unexpected(os_error(errno));
    pos_ = absolute;
    return {};
}

Result<uint64_t> File::size() const {
    if (refusal_) return refused();
    struct stat st;
    if (::fstat(fd_, &st) != 0) return std::unexpected(os_error(errno));
    return static_cast<uint64_t>(st.st_size);
}

Result<uint64_t> File::remaining() const {
    auto total = size();
    if (!total) return total;
    return *total > pos_ ? *total - pos_ : 0;
}

Result<std::vector<uint8_t>> File::read_bytes(uint64_t n) {
    auto left = remaining();
    if (!left) return std::unexpected(std::move(left).error());
    if (n > *left) {
        // A length past the end can only end in a short read: say so without allocating for it.
        // A one-byte probe keeps the OS error of handles that cannot be read at all (directories).
        uint8_t probe;
        if (auto r = read_exact(&probe, 1); !r) return std::unexpected(std::move(r).error());
        return std::unexpected(eof_error());
    }
    std::vector<uint8_t> bytes = huge_page_vector<uint8_t>(n);  // tensor data: weights, streamed whole
    if (auto r = read_exact(bytes.data(), n); !r) return std::unexpected(std::move(r).error());
    return bytes;
}

Result<FileReader> FileReader::over(File& file) {
    auto size = file.size();
    if (!size) return std::unexpected(std::move(size).error());
    return FileReader(file, *size);
}

Result<void> FileReader::refill() {
    if (buffer_.empty()) buffer_.resize(kBufferBytes);
    auto got = file_->read_some(buffer_.data(), kBufferBytes);
    if (!got) return std::unexpected(std::move(got).error());
    if (*got == 0) return std::unexpected(eof_error());
    head_ = 0;
    tail_ = *got;
    return {};
}

Result<void> FileReader::read_exact(void* out, uint64_t n) {
    auto* dst = static_cast<uint8_t*>(out);
    while (n > 0) {
        if (head_ == tail_) {
            if (n >= kBufferBytes) {  // large reads go straight to the destination
                if (auto r = file_->read_exact(dst, n); !r) return r;
                position_ += n;
                return {};
            }
            if (auto r = refill(); !r) return r;
        }
        const uint64_t take = std::min(n, tail_ - head_);
        std::memcpy(dst, buffer_.data() + head_, take);
        head_ += take;
        position_ += take;
        dst += take;
        n -= take;
    }
    return {};
}

Result<std::vector<uint8_t>> FileReader::read_bytes(uint64_t n, std::string_view what) {
    if (n > remaining()) {
        // Only a short read can follow; one byte still surfaces the OS error of unreadable handles.
        uint8_t probe;
        if (auto r = read_exact(&probe, 1); !r) return std::unexpected(std::move(r).error());
        return std::unexpected(eof_error());
    }
    std::vector<uint8_t> bytes;
    try {
        bytes.resize(n);
    } catch (const std::bad_alloc&) {
        return fail(std::string(what) + " of " + std::to_string(n) + " bytes is too large to hold in memory");
    }
    if (auto r = read_exact(bytes.data(), n); !r) return std::unexpected(std::move(r).error());
    return bytes;
}

Result<void> FileReader::skip(uint64_t n) {
    if (n <= tail_ - head_) {
        head_ += n;
        position_ += n;
        return {};
    }
    uint64_t target;
    if (add_overflows(position_, n, &target) || target > size_) target = std::max(size_, position_);
    if (auto r = file_->seek(target); !r) return r;
    position_ = target;
    head_ = tail_ = 0;
    return {};
}

Result<uint64_t> file_size(const std::string& path) {
    if (path.find('\0') != std::string::npos) return std::unexpected(os_error(EINVAL));
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return std::unexpected(os_error(errno));
    return static_cast<uint64_t>(st.st_size);
}

bool path_exists(const std::string& path) {
    if (path.find('\0') != std::string::npos) return false;
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

Result<std::string> read_text_file(const std::string& path, uint64_t max_bytes) {
    auto file = File::open(path);
    if (!file) return std::unexpected(std::move(file).error());
    auto too_large = [&] {
        return fail("File larger than " + std::to_string(max_bytes) + " bytes: " + lossy_utf8(path));
    };
    auto size = file->size();
    if (!size) return std::unexpected(std::move(size).error());
    if (*size > max_bytes) return too_large();
    std::string text;
    char buf[65536];
    for (;;) {
        auto got = file->read_some(buf, sizeof buf);
        if (!got) return std::unexpected(std::move(got).error());
        if (*got == 0) break;
        // The size was asked before reading; a file still growing is cut off at the same limit.
        if (*got > max_bytes - text.size()) return too_large();
        text.append(buf, static_cast<size_t>(*got));
    }
    if (utf8_error(text)) return fail("stream did not contain valid UTF-8");
    return text;
}

bool parent_path(std::string_view path, std::string* parent) {
    // Trailing separators do not make a component; "a/b/" has the parent "a".
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    if (path.empty() || path == "/") return false;
    const auto slash = path.rfind('/');
    if (slash == std::string_view::npos) {
        parent->clear();
        return true;
    }
    std::string_view head = path.substr(0, slash);
    while (head.size() > 1 && head.back() == '/') head.remove_suffix(1);
    *parent = head.empty() ? "/" : std::string(head);
    return true;
}

std::string join_path(std::string_view parent, std::string_view name) {
    if (parent.empty()) return std::string(name);
    std::string out(parent);
    if (out.back() != '/') out.push_back('/');
    out.append(name);
    return out;
}

}  // namespace quillfen

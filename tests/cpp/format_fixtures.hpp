// Small writers for the format tests: a temporary directory, a GGUF byte builder and a safetensors
// file builder. Files are built byte by byte so damaged variants are one edit away.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace quillfen::testing {

class TempDir {
public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "quillfen-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    std::string file(std::string_view name) const { return (path_ / name).string(); }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

inline void write_file(const std::string& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// `head`, then zeros up to `size` bytes, as a sparse file. False where the test should be skipped:
// no sparse files here, or "always overcommit" (mode 1), under which an allocation as large as the
// file would succeed and its zero fill really take the memory.
inline bool write_sparse_file(const std::string& path, std::string_view head, uint64_t size) {
    std::ifstream mode("/proc/sys/vm/overcommit_memory");
    int overcommit = 1;
    if (!(mode >> overcommit) || overcommit == 1) return false;
    write_file(path, head);
    return truncate(path.c_str(), static_cast<off_t>(size)) == 0;
}

// GGUF value type codes.
enum : uint32_t { kU8 = 0, kI8, kU16, kI16, kU32, kI32, kF32, kBool, kString, kArray, kU64, kI64, kF64 };

// Little-endian byte appenders.
struct Bytes {
    std::string buf;

    template <class T>
    Bytes& le(T v) {
        char raw[sizeof(T)];
        std::memcpy(raw, &v, sizeof(T));
        buf.append(raw, sizeof(T));
        return *this;
    }
    Bytes& u8(uint8_t v) { return le(v); }
    Bytes& u32(uint32_t v) { return le(v); }
    Bytes& u64(uint64_t v) { return le(v); }
    Bytes& str(std::string_view s) { return u64(s.size()).raw(s); }  // GGUF string: u64 length, bytes
    Bytes& raw(std::string_view s) {
        buf.append(s);
        return *this;
    }
    Bytes& f32s(const std::vector<float>& v) { return raw({reinterpret_cast<const char*>(v.data()), v.size() * 4}); }
    Bytes& pad32() {
        buf.resize((buf.size() + 31) / 32 * 32, '\0');
        return *this;
    }

    // GGUF pieces, for files damaged in ways GGUFBuilder cannot express.
    Bytes& gguf_header(uint64_t tensors, uint64_t kvs, uint32_t magic = 0x46554747, uint32_t version = 3) {
        return u32(magic).u32(version).u64(tensors).u64(kvs);
    }
    template <class T>
    Bytes& kv(std::string_view key, uint32_t type, T value) { return str(key).u32(type).le(value); }
    Bytes& kv_str(std::string_view key, std::string_view value) { return str(key).u32(kString).str(value); }
    Bytes& tensor_info(std::string_view name, const std::vector<uint64_t>& dims, uint32_t type, uint64_t offset) {
        str(name).u32(static_cast<uint32_t>(dims.size()));
        for (uint64_t d : dims) u64(d);
        return u32(type).u64(offset);
    }
};

// Builds a GGUF file: header, metadata entries, tensor-info records, padding to 32, data.
class GGUFBuilder {
public:
    // An entry whose value bytes are given as written (`value` holds the encoding of `type`).
    GGUFBuilder& kv(std::string_view key, uint32_t type, std::string_view value) {
        kv_.append(Bytes().str(key).u32(type).raw(value).buf);
        ++kv_count_;
        return *this;
    }
    GGUFBuilder& kv_u32(std::string_view key, uint32_t v) { return kv(key, kU32, Bytes().u32(v).buf); }
    GGUFBuilder& kv_u64(std::string_view key, uint64_t v) { return kv(key, kU64, Bytes().u64(v).buf); }
    GGUFBuilder& kv_str(std::string_view key, std::string_view v) { return kv(key, kString, Bytes().str(v).buf); }

    // A tensor whose data follows the previous one's, each aligned to 32 inside the data section.
    GGUFBuilder& tensor(std::string_view name, std::vector<uint64_t> dims, uint32_t type, std::string_view data) {
        const uint64_t offset = (data_.size() + 31) / 32 * 32;
        data_.resize(offset, '\0');
        data_.append(data);
        return tensor_at(name, std::move(dims), type, offset);
    }
    // A tensor-info record only; its offset may point anywhere.
    GGUFBuilder& tensor_at(std::string_view name, std::vector<uint64_t> dims, uint32_t type, uint64_t offset) {
        infos_.append(Bytes().tensor_info(name, dims, type, offset).buf);
        ++tensor_count_;
        return *this;
    }

    uint64_t metadata_end() const { return 24 + kv_.size(); }
    uint64_t infos_end() const { return metadata_end() + infos_.size(); }

    std::string build() const {
        return Bytes().gguf_header(tensor_count_, kv_count_).raw(kv_).raw(infos_).pad32().raw(data_).buf;
    }

private:
    std::string kv_, infos_, data_;
    uint64_t kv_count_ = 0, tensor_count_ = 0;
};

// A safetensors file from its header text and data section.
inline std::string safetensors_bytes(std::string_view header, std::string_view data = {}) {
    return Bytes().u64(header.size()).raw(header).raw(data).buf;
}

// One member of a safetensors header, in the object form.
inline std::string st_entry(std::string_view name, std::string_view dtype, std::string_view shape, uint64_t begin = 0,
                            uint64_t end = 0) {
    return "\"" + std::string(name) + "\":{\"dtype\":\"" + std::string(dtype) + "\",\"shape\":" + std::string(shape) +
           ",\"data_offsets\":[" + std::to_string(begin) + "," + std::to_string(end) + "]}";
}

// A safetensors header object holding `members`.
inline std::string st_header(std::initializer_list<std::string> members) {
    std::string out = "{";
    for (const auto& m : members) out += (out.size() > 1 ? "," : "") + m;
    return out + "}";
}

inline std::string f32_bytes(const std::vector<float>& values) {
    std::string out(values.size() * 4, '\0');
    std::memcpy(out.data(), values.data(), out.size());
    return out;
}

}  // namespace quillfen::testing

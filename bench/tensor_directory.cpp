// Times the LLaMA runtime's tensor directory with every tensor decoded to float32 from its stored
// bytes, or prints a CRC-32 of each decoded tensor so bench/tensor_directory.py can compare them with
// the gguf package.
//   bench_tensor_directory time PATH RUNS   -> "run=i seconds=S" per run
//   bench_tensor_directory crc PATH         -> "crc name=NAME elements=N crc32=C" per tensor
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unordered_map>
#include <vector>

#include "inference/dequant.hpp"
#include "inference/tensor_directory.hpp"

using namespace quillfen;

namespace {

std::array<uint32_t, 256> crc_table() {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[i] = c;
    }
    return t;
}

// The zlib CRC-32, so Python's zlib.crc32 gives the same number for the same bytes.
uint32_t crc32(const void* data, size_t n) {
    static const auto table = crc_table();
    const auto* p = static_cast<const uint8_t*>(data);
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) c = table[(c ^ p[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

// Every tensor of the file decoded to float32 (zeros where its data is absent), by name.
Result<std::unordered_map<std::string, std::vector<float>>> decode_all(const std::string& path) {
    auto dir = StoredDirectory::open(path);
    if (!dir) return std::unexpected(std::move(dir).error());
    std::unordered_map<std::string, std::vector<float>> out;
    for (const auto& [name, t] : dir->tensors())
        out[name] = t.in_file ? dequantize_gguf(t.bytes, t.dtype, t.n_elements) : std::vector<float>(t.n_elements);
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s time PATH RUNS | crc PATH\n", argv[0]);
        return 2;
    }
    const std::string mode = argv[1], path = argv[2];
    if (mode == "time") {
        const int runs = argc > 3 ? std::atoi(argv[3]) : 3;
        for (int r = 0; r < runs; ++r) {
            const auto t0 = std::chrono::steady_clock::now();
            auto session = decode_all(path);
            const auto t1 = std::chrono::steady_clock::now();
            if (!session) {
                std::fprintf(stderr, "%s\n", session.error().message().c_str());
                return 1;
            }
            std::printf("run=%d seconds=%.6f tensors=%zu\n", r, std::chrono::duration<double>(t1 - t0).count(),
                        session->size());
        }
        return 0;
    }
    auto session = decode_all(path);
    if (!session) {
        std::fprintf(stderr, "%s\n", session.error().message().c_str());
        return 1;
    }
    for (const auto& [name, values] : *session)
        std::printf("crc name=%s elements=%zu crc32=%u\n", name.c_str(), values.size(),
                    crc32(values.data(), values.size() * sizeof(float)));
    return 0;
}

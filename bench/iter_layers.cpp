// Streams every tensor of a checkpoint through auto_detect_format + iter_layers and reports the
// process's peak resident memory next to the file's size, one "key value" per line for bench/*.py.
//
//   bench_iter_layers <model file>

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "formats/loader.hpp"
#include "tensor/file.hpp"

using namespace quillfen;

// getrusage's peak survives execve on Linux, so a child of a large process (a Python driver) starts with
// its parent's peak. The kernel's per-address-space figures start afresh at exec: those are the ones to compare.
static uint64_t peak_rss_bytes() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<uint64_t>(usage.ru_maxrss) * 1024;  // Linux reports KiB
}

// A "VmRSS"/"VmHWM" line of /proc/self/status in bytes; 0 where there is no such file.
static uint64_t proc_status_bytes(const std::string& key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(key + ":", 0) == 0) return std::stoull(line.substr(key.size() + 1)) * 1024;
    return 0;
}

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <model file>\n", argv[0]);
        return 2;
    }
    const std::string path = argv[1];
    auto size = file_size(path);
    auto loader = auto_detect_format(path);
    if (!size || !loader) {
        std::fprintf(stderr, "%s\n", (!size ? size.error() : loader.error()).message().c_str());
        return 1;
    }
    const uint64_t rss_before = proc_status_bytes("VmRSS");
    const auto start = std::chrono::steady_clock::now();

    uint64_t tensors = 0, errors = 0, item_bytes = 0, largest_item = 0;
    auto it = (*loader)->iter_layers(path);
    while (auto item = it->next()) {
        if (!*item) {
            ++errors;
            continue;
        }
        ++tensors;
        const uint64_t bytes = (*item)->tensor.data.size();
        item_bytes += bytes;
        if (bytes > largest_item) largest_item = bytes;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    std::printf("format %.*s\n", static_cast<int>((*loader)->format_name().size()), (*loader)->format_name().data());
    std::printf("file_bytes %llu\n", static_cast<unsigned long long>(*size));
    std::printf("tensors %llu\n", static_cast<unsigned long long>(tensors));
    std::printf("error_items %llu\n", static_cast<unsigned long long>(errors));
    std::printf("item_bytes_total %llu\n", static_cast<unsigned long long>(item_bytes));
    std::printf("largest_item_bytes %llu\n", static_cast<unsigned long long>(largest_item));
    std::printf("rss_before_bytes %llu\n", static_cast<unsigned long long>(rss_before));
    std::printf("peak_rss_bytes %llu\n", static_cast<unsigned long long>(proc_status_bytes("VmHWM")));
    std::printf("getrusage_maxrss_bytes %llu\n", static_cast<unsigned long long>(peak_rss_bytes()));
    std::printf("seconds %.3f\n", seconds);
    return 0;
}

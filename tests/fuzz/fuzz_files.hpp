// What every fuzz target shares. The core reads models from paths, so each input is written to a
// folder of this process under /dev/shm (memory, no disk traffic) and the entry point is given that
// path; an input may carry the config.json that sits beside the model. Knows nothing of any format.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

#include <tbb/global_control.h>

namespace quillfen::fuzz {

// Everything after the first separator is config.json; an input without one has no config.json.
// A text line, so the dictionaries can offer it and the seeds stay readable.
inline constexpr std::string_view kConfigSeparator = "\n#config.json#\n";

struct Split {
    std::string_view model;
    std::optional<std::string_view> config;
};

inline Split split_input(const uint8_t* data, size_t size) {
    const std::string_view all(reinterpret_cast<const char*>(data), size);
    const size_t at = all.find(kConfigSeparator);
    if (at == std::string_view::npos) return {all, std::nullopt};
    return {all.substr(0, at), all.substr(at + kConfigSeparator.size())};
}

// The per-process folder, removed when the fuzzer exits normally. libFuzzer's forked jobs each get
// their own, by process id.
class Folder {
public:
    static Folder& get() {
        static Folder folder;
        return folder;
    }

    // Writes `model` (and `config` as config.json, or removes a previous one) and returns the model's path.
    const std::string& write(std::string_view model, std::optional<std::string_view> config) {
        write_file(model_path_, model);
        if (config) {
            write_file(config_path_, *config);
        } else {
            ::unlink(config_path_.c_str());
        }
        return model_path_;
    }

    ~Folder() {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

private:
    Folder() {
        const char* base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
        dir_ = std::string(base) + "/quillfen-fuzz-" + std::to_string(::getpid());
        std::filesystem::create_directories(dir_);
        model_path_ = dir_ + "/model.bin";
        config_path_ = dir_ + "/config.json";
    }

    static void write_file(const std::string& path, std::string_view bytes) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        if (!out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())).flush()) {
            std::perror(path.c_str());
            std::abort();  // the harness, not the input, is broken
        }
    }

    std::string dir_, model_path_, config_path_;
};

// One thread for the parallel loops: the fuzzers share the machine's cores with each other, and a
// single thread makes every run of an input the same.
inline void single_threaded() {
    static tbb::global_control one(tbb::global_control::max_allowed_parallelism, 1);
}

}  // namespace quillfen::fuzz

// Encoding speed of the tokenizer straight through the core, for builds without the Python module.
// Usage: bench_tokenizer MODEL TEXT_FILE [RUNS]
// Prints the load time, then per run the seconds and MB/s to encode the whole file (parse_special on).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "inference/tokenizer.hpp"

using namespace quillfen;

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s MODEL TEXT_FILE [RUNS]\n", argv[0]);
        return 2;
    }
    const int runs = argc > 3 ? std::atoi(argv[3]) : 3;
    std::ifstream in(argv[2], std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    const std::string s = text.str();

    using Clock = std::chrono::steady_clock;
    const auto t0 = Clock::now();
    auto tok = Tokenizer::load(argv[1]);
    if (!tok) {
        std::fprintf(stderr, "load failed: %s\n", tok.error().message().c_str());
        return 1;
    }
    std::printf("load %.3f s, vocabulary %llu (%.*s, pre %.*s)\n", std::chrono::duration<double>(Clock::now() - t0).count(),
                static_cast<unsigned long long>(tok->vocab_size()), int(tok->kind_name().size()),
                tok->kind_name().data(), int(tok->pre().size()), tok->pre().data());
    for (int r = 0; r < runs; ++r) {
        const auto t1 = Clock::now();
        const auto ids = tok->encode(s, false, true);
        const double sec = std::chrono::duration<double>(Clock::now() - t1).count();
        std::printf("encode %.2f MB: %.3f s, %.2f MB/s, %zu tokens\n", s.size() / 1e6, sec, s.size() / 1e6 / sec,
                    ids.size());
    }
    return 0;
}

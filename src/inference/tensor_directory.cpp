#include "inference/tensor_directory.hpp"

#include <sys/mman.h>

#include <cstring>
#include <string_view>
#include <utility>

#include "formats/gguf.hpp"
#include "tensor/utf8.hpp"

namespace quillfen {

namespace {

template <class E>
std::unexpected<Error> pass(E&& r) { return std::unexpected(std::forward<E>(r).error()); }

// Metadata suffixes the runtime honours, after "{architecture}"; the architecture's own key.
constexpr std::string_view kHeadCountSuffix = ".attention.head_count";
constexpr std::string_view kHeadCountKVSuffix = ".attention.head_count_kv";
constexpr std::string_view kRopeFreqBaseSuffix = ".rope.freq_base";
constexpr std::string_view kRmsEpsilonSuffix = ".attention.layer_norm_rms_epsilon";
constexpr std::string_view kArchitectureKey = "general.architecture";

bool is_kept_key(std::string_view key) {
    return key == kArchitectureKey || key.ends_with(kHeadCountSuffix) || key.ends_with(kHeadCountKVSuffix) ||
           key.ends_with(kRopeFreqBaseSuffix) || key.ends_with(kRmsEpsilonSuffix);
}

std::optional<float> float32_value(const GGUFValue* v) {
    if (const auto* f = v ? std::get_if<float>(&v->value) : nullptr) return *f;
    return std::nullopt;
}

LlamaHints resolve_hints(const GGUFMetadata& kv) {
    // A head count is a positive 32- or 64-bit integer; zero heads, or a negative number, is none.
    constexpr IntegerRule kHeadCount{.types = gguf_type_bit(GGUFValueType::U32) | gguf_type_bit(GGUFValueType::I32) |
                                              gguf_type_bit(GGUFValueType::U64) | gguf_type_bit(GGUFValueType::I64),
                                     .zero = false};
    LlamaHints hints;
    hints.head_count = read_integer(find_arch_value(kv, kHeadCountSuffix), kHeadCount);
    hints.head_count_kv = read_integer(find_arch_value(kv, kHeadCountKVSuffix), kHeadCount);
    hints.rope_freq_base = float32_value(find_arch_value(kv, kRopeFreqBaseSuffix));
    hints.rms_epsilon = float32_value(find_arch_value(kv, kRmsEpsilonSuffix));
    return hints;
}

Error tensor_read_error(Error cause, const GGUFTensorInfo& info, uint64_t n_elements, uint64_t size,
                        uint64_t position) {
    return std::move(cause).wrap("Failed reading tensor '" + info.name + "' (dtype=" + std::to_string(info.type_code) +
                                 ", elements=" + std::to_string(n_elements) + ", offset=" + std::to_string(position) +
                                 ", size=" + std::to_string(size) + ")");
}

}  // namespace

struct StoredDirectory::Backing {
    void* map = nullptr;  // the whole file, read-only, when mapping worked
    uint64_t map_len = 0;
    std::vector<std::vector<uint8_t>> owned;  // otherwise each tensor's bytes, read one by one

    Backing() = default;
    Backing(const Backing&) = delete;
    Backing& operator=(const Backing&) = delete;
    ~Backing() {
        if (map) ::munmap(map, map_len);
    }
};

GGUFReadOptions read_options_with_metadata() {
    GGUFReadOptions options;
    options.keep_arrays = true;
    options.lossy_names = true;
    return options;
}

Result<StoredDirectory> StoredDirectory::open(const std::string& path) {
    auto file = File::open(path);
    if (!file) return fail("Failed to open: " + lossy_utf8(path));
    GGUFReadOptions options;
    options.require_magic = false;
    options.lossy_text = true;
    options.lossy_names = true;
    options.decode_values = false;
    options.keep_key = is_kept_key;
    auto header = read_gguf(*file, options);
    if (!header) return pass(std::move(header));
    return from(*file, std::move(*header));
}

void release_pages(const StoredTensor& t) {
    if (!t.mapped || t.bytes.empty()) return;
    static const uint64_t page = uint64_t(::sysconf(_SC_PAGESIZE));
    const auto begin = reinterpret_cast<uintptr_t>(t.bytes.data());
    const uintptr_t first = (begin + page - 1) / page * page, last = (begin + t.bytes.size()) / page * page;
    // A hint on a read-only private mapping: failure changes nothing.
    if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
}

Result<StoredDirectory> StoredDirectory::from(File& file, GGUFContents header) {
    StoredDirectory dir;
    dir.hints_ = resolve_hints(header.metadata);
    dir.notes_.gguf_magic = header.has_magic();
    if (const std::string* arch = gguf_architecture(header.metadata)) dir.notes_.architecture = *arch;
    dir.file_size_ = header.file_size;
    dir.backing_ = std::make_shared<Backing>();
    Backing& backing = *dir.backing_;
    // Mapping shares the page cache instead of copying the file; where it is refused, the tensors
    // are read instead. The mapping is of the file already opened and judged regular, not a second
    // open of the path, which could meet another file.
    if (header.file_size > 0) {
        void* p = ::mmap(nullptr, header.file_size, PROT_READ, MAP_PRIVATE, file.native_handle(), 0);
        if (p != MAP_FAILED) {
            backing.map = p;
            backing.map_len = header.file_size;
            ::madvise(p, header.file_size, MADV_WILLNEED);  // a hint: failure changes nothing
        }
    }

    dir.tensors_.reserve(header.tensors.size());
    for (GGUFTensorInfo& info : header.tensors) {
        // A wrapped count would silently decode the wrong number of weights.
        const auto n = info.n_elements();
        if (!n) return fail("Tensor '" + info.name + "' has more elements than a 64-bit count can hold");
        StoredTensor t;
        t.dtype = info.type_code;
        t.n_elements = *n;
        if (const auto position = header.position_in_file(info)) {
            const uint64_t size = *info.byte_size();  // known: the position check needs it
            t.in_file = true;
            if (backing.map) {
                t.bytes = std::span<const uint8_t>(static_cast<const uint8_t*>(backing.map) + *position, size);
                t.mapped = true;
            } else {
                std::vector<uint8_t> raw(size);  // inside the file: bounded by its length
                auto r = file.seek(*position);
                if (r) r = file.read_exact(raw.data(), size);
                if (!r) return std::unexpected(tensor_read_error(std::move(r).error(), info, *n, size, *position));
                t.bytes = std::span<const uint8_t>(raw);
                backing.owned.push_back(std::move(raw));  // moving keeps the buffer where the span points
            }
        } else if (dir.notes_.past_end++ == 0) {
            dir.notes_.first_past_end = info.name;
        }
        t.dims = std::move(info.dims);
        dir.tensors_.insert_or_assign(std::move(info.name), std::move(t));  // the later record of a name wins
    }
    return dir;
}

}  // namespace quillfen

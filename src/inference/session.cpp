#include "inference/session.hpp"

#include <sys/mman.h>
#include <sys/sysinfo.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "formats/gguf_types.hpp"
#include "inference/dequant.hpp"
#include "tensor/utf8.hpp"

namespace quillfen {

namespace {

constexpr uint64_t kDataAlignment = 32;  // fixed for this reader: an alignment key is never consulted

// Metadata value type codes.
constexpr uint32_t kU32 = 4, kI32 = 5, kF32 = 6, kString = 8, kU64 = 10, kI64 = 11;
constexpr uint32_t kLastValueType = 12;

// Bytes of one metadata value, by value type code; 0 for strings (8) and arrays (9), whose size is
// read from the file.
constexpr uint8_t kValueBytes[] = {
    /* 0 u8 */ 1, /* 1 i8 */ 1, /* 2 u16 */ 2, /* 3 i16 */ 2, /* 4 u32 */ 4, /* 5 i32 */ 4, /* 6 f32 */ 4,
    /* 7 bool */ 1, /* 8 string */ 0, /* 9 array */ 0, /* 10 u64 */ 8, /* 11 i64 */ 8, /* 12 f64 */ 8,
};
static_assert(sizeof(kValueBytes) == kLastValueType + 1, "one row per metadata value type");

uint64_t fixed_value_bytes(uint32_t type) { return type <= kLastValueType ? kValueBytes[type] : 0; }

Error unknown_value_type(uint32_t type) { return Error("Unknown GGUF value type: " + std::to_string(type)); }

template <class E>
std::unexpected<Error> pass(E&& r) { return std::unexpected(std::forward<E>(r).error()); }

// One GGUF string (u64 length, then the bytes), invalid UTF-8 shown as U+FFFD.
Result<std::string> read_gguf_string(FileReader& in) {
    auto len = in.read_le<uint64_t>();
    if (!len) return pass(std::move(len));
    auto bytes = in.read_bytes(*len);
    if (!bytes) return pass(std::move(bytes));
    return lossy_utf8(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
}

// Moves past one metadata value of value type `type`, arrays element by element.
Result<void> skip_gguf_value(FileReader& in, uint32_t type) {
    // Arrays nest without limit, so the pending values live on an explicit stack (it grows by one
    // frame per 12 bytes of file read, never by a count): a deep file cannot exhaust the call stack.
    struct Pending {
        uint32_t type;
        uint64_t count;
    };
    std::vector<Pending> pending{{type, 1}};
    while (!pending.empty()) {
        Pending& top = pending.back();
        if (top.count == 0) {
            pending.pop_back();
            continue;
        }
        const uint32_t t = top.type;
        if (t > kLastValueType) return std::unexpected(unknown_value_type(t));
        if (const uint64_t width = fixed_value_bytes(t); width != 0) {
            uint64_t bytes;  // a run of fixed-size values is skipped in one move
            if (mul_overflows(width, top.count, &bytes)) bytes = UINT64_MAX;  // past any end all the same
            top.count = 0;
            if (auto r = in.skip(bytes); !r) return r;
            continue;
        }
        --top.count;
        if (t == kString) {
            auto len = in.read_le<uint64_t>();
            if (!len) return pass(std::move(len));
            if (auto r = in.skip(*len); !r) return r;
        } else {  // array
            auto elem_type = in.read_le<uint32_t>();
            if (!elem_type) return pass(std::move(elem_type));
            auto count = in.read_le<uint64_t>();
            if (!count) return pass(std::move(count));
            pending.push_back({*elem_type, *count});  // `top` is not used past this point
        }
    }
    return {};
}

// Metadata suffixes the runtime honours, after "{architecture}".
constexpr std::string_view kHeadCountSuffix = ".attention.head_count";
constexpr std::string_view kHeadCountKVSuffix = ".attention.head_count_kv";
constexpr std::string_view kRopeFreqBaseSuffix = ".rope.freq_base";
constexpr std::string_view kRmsEpsilonSuffix = ".attention.layer_norm_rms_epsilon";

bool is_hint_key(std::string_view key) {
    return key.ends_with(kHeadCountSuffix) || key.ends_with(kHeadCountKVSuffix) ||
           key.ends_with(kRopeFreqBaseSuffix) || key.ends_with(kRmsEpsilonSuffix);
}

// The last value seen under a hint key: its type code and raw little-endian bits (0 when the type
// is not a scalar number; such an entry still replaces an earlier one).
struct RawScalar {
    uint32_t type = 0;
    uint64_t bits = 0;
};

struct MetadataScan {
    std::optional<std::string> architecture;  // "general.architecture" when its last value is a string
    std::unordered_map<std::string, RawScalar> hint_values;
};

// A positive head count from any 32- or 64-bit integer type; zero and negatives are no head count.
std::optional<uint64_t> positive_count(const RawScalar& v) {
    switch (v.type) {
        case kU32: case kU64: return v.bits != 0 ? std::optional<uint64_t>(v.bits) : std::nullopt;
        case kI32: {
            const auto s = static_cast<int32_t>(static_cast<uint32_t>(v.bits));
            return s > 0 ? std::optional<uint64_t>(static_cast<uint64_t>(s)) : std::nullopt;
        }
        case kI64: {
            const auto s = static_cast<int64_t>(v.bits);
            return s > 0 ? std::optional<uint64_t>(static_cast<uint64_t>(s)) : std::nullopt;
        }
        default: return std::nullopt;
    }
}

std::optional<float> float32_value(const RawScalar& v) {
    if (v.type != kF32) return std::nullopt;
    const auto bits = static_cast<uint32_t>(v.bits);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

LlamaHints resolve_hints(const MetadataScan& scan) {
    LlamaHints hints;
    if (!scan.architecture) return hints;
    const auto lookup = [&](std::string_view suffix) -> const RawScalar* {
        auto it = scan.hint_values.find(*scan.architecture + std::string(suffix));
        return it == scan.hint_values.end() ? nullptr : &it->second;
    };
    if (const RawScalar* v = lookup(kHeadCountSuffix)) hints.head_count = positive_count(*v);
    if (const RawScalar* v = lookup(kHeadCountKVSuffix)) hints.head_count_kv = positive_count(*v);
    if (const RawScalar* v = lookup(kRopeFreqBaseSuffix)) hints.rope_freq_base = float32_value(*v);
    if (const RawScalar* v = lookup(kRmsEpsilonSuffix)) hints.rms_epsilon = float32_value(*v);
    return hints;
}

// One metadata entry: skipped, except the architecture string and scalars under hint keys, which
// are captured when their bytes are all in the file (otherwise skipped like any value, so the
// outcome of a truncated file does not depend on its keys).
Result<void> scan_metadata_entry(FileReader& in, MetadataScan& scan) {
    auto key_len = in.read_le<uint64_t>();
    if (!key_len) return pass(std::move(key_len));
    auto key = in.read_bytes(*key_len);
    if (!key) return pass(std::move(key));
    auto type = in.read_le<uint32_t>();
    if (!type) return pass(std::move(type));
    const std::string_view key_text(reinterpret_cast<const char*>(key->data()), key->size());

    if (key_text == "general.architecture") {
        if (*type != kString) {
            scan.architecture.reset();
            return skip_gguf_value(in, *type);
        }
        auto len = in.read_le<uint64_t>();
        if (!len) return pass(std::move(len));
        if (*len > in.remaining()) {  // cannot be captured: step over it as any string
            scan.architecture.reset();
            return in.skip(*len);
        }
        auto text = in.read_bytes(*len);
        if (!text) return pass(std::move(text));
        scan.architecture = std::string(text->begin(), text->end());
        return {};
    }
    if (!is_hint_key(key_text)) return skip_gguf_value(in, *type);

    RawScalar& slot = scan.hint_values[std::string(key_text)];
    slot = RawScalar{*type, 0};
    const uint64_t width = fixed_value_bytes(*type);
    if (width == 0) return skip_gguf_value(in, *type);
    if (width > in.remaining()) {
        slot = RawScalar{};
        return skip_gguf_value(in, *type);
    }
    if (auto r = in.read_exact(&slot.bits, width); !r) return r;  // little-endian host
    return {};
}

// The whole element count, refusing products that wrap: a wrapped count would silently decode
// the wrong number of weights.
Result<uint64_t> element_count(const std::string& name, const std::vector<uint64_t>& dims) {
    uint64_t n = 1;
    for (uint64_t d : dims)
        if (mul_overflows(n, d, &n))
            return fail("Tensor '" + name + "' has more elements than a 64-bit count can hold");
    return n;
}

Result<GGUFTensorEntry> read_tensor_entry(FileReader& in) {
    GGUFTensorEntry entry;
    auto name = read_gguf_string(in);
    if (!name) return pass(std::move(name));
    entry.name = std::move(*name);
    auto n_dims = in.read_le<uint32_t>();
    if (!n_dims) return pass(std::move(n_dims));
    if (uint64_t{*n_dims} * 8 > in.remaining()) return std::unexpected(eof_error());  // refuse before reserving
    entry.dims.resize(*n_dims);
    if (*n_dims > 0)
        if (auto r = in.read_exact(entry.dims.data(), uint64_t{*n_dims} * 8); !r) return pass(std::move(r));
    auto dtype = in.read_le<uint32_t>();
    if (!dtype) return pass(std::move(dtype));
    auto offset = in.read_le<uint64_t>();
    if (!offset) return pass(std::move(offset));
    auto n = element_count(entry.name, entry.dims);
    if (!n) return pass(std::move(n));
    entry.dtype = *dtype;
    entry.offset = *offset;
    entry.n_elements = *n;
    entry.size = compute_data_size(entry.dtype, entry.n_elements);
    return entry;
}

// Keeps the float32 copies of all tensors together within what the machine can hold, so a count
// read from a damaged file is refused before its vector is allocated.
class FloatBudget {
public:
    explicit FloatBudget(uint64_t limit_bytes) : limit_(limit_bytes) {}

    Result<void> take(const GGUFTensorEntry& entry) {
        uint64_t bytes, total;
        if (mul_overflows(entry.n_elements, sizeof(float), &bytes) || add_overflows(used_, bytes, &total) ||
            total > limit_)
            return fail("Tensor '" + entry.name + "' (" + std::to_string(entry.n_elements) +
                        " elements) does not fit in memory as float32: the tensors would need more than " +
                        std::to_string(limit_) + " bytes");
        used_ = total;
        return {};
    }
    void give_back(uint64_t n_floats) { used_ -= n_floats * sizeof(float); }

private:
    uint64_t limit_;
    uint64_t used_ = 0;
};

}  // namespace

uint64_t compute_data_size(uint32_t dtype, uint64_t n_elements) {
    // Saturates where the count is beyond 64 bits: such a tensor lies past any file's end.
    return gguf_data_size(dtype, n_elements).value_or(UINT64_MAX);
}

uint64_t machine_memory_bytes() {
    struct sysinfo info;
    if (::sysinfo(&info) != 0) return UINT64_MAX;  // unknown: let the allocator decide
    const uint64_t unit = info.mem_unit ? info.mem_unit : 1;
    uint64_t ram, swap, total;
    if (mul_overflows(uint64_t{info.totalram}, unit, &ram) || mul_overflows(uint64_t{info.totalswap}, unit, &swap) ||
        add_overflows(ram, swap, &total))
        return UINT64_MAX;
    return total;
}

Result<InferenceSession> InferenceSession::open(const std::string& path) {
    return open_with_budget(path, machine_memory_bytes());
}

namespace {

// What the header, metadata and tensor records say: the entries in file order and where data starts.
struct ParsedHeader {
    std::vector<GGUFTensorEntry> entries;
    uint64_t data_start = 0;
    uint64_t file_len = 0;
    LlamaHints hints;
};

Result<ParsedHeader> parse_header(File& file) {
    auto file_len = file.size();
    if (!file_len) return pass(std::move(file_len));
    auto reader = FileReader::over(file);
    if (!reader) return pass(std::move(reader));
    FileReader& in = *reader;

    uint8_t magic_and_version[8];  // neither is checked: any values are read the same way
    if (auto r = in.read_exact(magic_and_version, sizeof magic_and_version); !r) return pass(std::move(r));
    auto tensor_count = in.read_le<uint64_t>();
    if (!tensor_count) return pass(std::move(tensor_count));
    auto kv_count = in.read_le<uint64_t>();
    if (!kv_count) return pass(std::move(kv_count));

    // Every entry reads at least 12 bytes, so a hostile count ends in a short read, not a long loop.
    MetadataScan scan;
    for (uint64_t i = 0; i < *kv_count; ++i)
        if (auto r = scan_metadata_entry(in, scan); !r) return pass(std::move(r));

    // Records are read one by one (each takes at least 24 bytes), so no count is trusted for a reservation.
    ParsedHeader h;
    for (uint64_t i = 0; i < *tensor_count; ++i) {
        auto entry = read_tensor_entry(in);
        if (!entry) return pass(std::move(entry));
        h.entries.push_back(std::move(*entry));
    }

    // No field stores the padding before the data section: compute it.
    h.data_start = (in.position() + kDataAlignment - 1) / kDataAlignment * kDataAlignment;
    h.file_len = *file_len;
    h.hints = resolve_hints(scan);
    return h;
}

// The absolute position of a tensor's bytes when they lie wholly inside the file.
std::optional<uint64_t> position_in_file(const ParsedHeader& h, const GGUFTensorEntry& entry) {
    uint64_t position, end;  // u64: offsets pass 4 GiB in large files
    if (add_overflows(h.data_start, entry.offset, &position) || add_overflows(position, entry.size, &end) ||
        end > h.file_len)
        return std::nullopt;
    return position;
}

Error tensor_read_error(Error cause, const GGUFTensorEntry& entry, uint64_t position) {
    return std::move(cause).wrap("Failed reading tensor '" + entry.name + "' (dtype=" + std::to_string(entry.dtype) +
                                 ", elements=" + std::to_string(entry.n_elements) +
                                 ", offset=" + std::to_string(position) + ", size=" + std::to_string(entry.size) +
                                 ")");
}

Result<void> read_tensor(File& file, const GGUFTensorEntry& entry, uint64_t position, uint8_t* out) {
    auto r = file.seek(position);
    if (r) r = file.read_exact(out, entry.size);
    if (!r) return std::unexpected(tensor_read_error(std::move(r).error(), entry, position));
    return {};
}

}  // namespace

Result<InferenceSession> InferenceSession::open_with_budget(const std::string& path, uint64_t float_budget_bytes) {
    auto opened = File::open(path);
    if (!opened) return fail("Failed to open: " + lossy_utf8(path));
    File& file = *opened;
    auto header = parse_header(file);
    if (!header) return pass(std::move(header));

    InferenceSession session;
    session.hints_ = header->hints;
    session.tensors_.reserve(header->entries.size());
    FloatBudget budget(float_budget_bytes);
    std::vector<uint8_t> raw;  // one tensor's bytes at a time; reused so each tensor costs no fresh pages
    for (const GGUFTensorEntry& entry : header->entries) {
        if (auto r = budget.take(entry); !r) return pass(std::move(r));
        const auto position = position_in_file(*header, entry);
        std::vector<float> values;
        if (!position) {
            values.assign(entry.n_elements, 0.0f);
        } else {
            raw.resize(entry.size);  // bounded by the file's length, checked above
            if (auto r = read_tensor(file, entry, *position, raw.data()); !r) return pass(std::move(r));
            values = dequantize_gguf(raw, entry.dtype, entry.n_elements);
        }
        // A later record of the same name replaces the earlier one.
        auto [it, inserted] = session.tensors_.try_emplace(entry.name);
        if (!inserted) budget.give_back(it->second.size());
        it->second = std::move(values);
    }
    return session;
}

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

Result<StoredDirectory> StoredDirectory::open(const std::string& path) {
    return open_with_budget(path, machine_memory_bytes());
}

Result<StoredDirectory> StoredDirectory::open_with_budget(const std::string& path, uint64_t float_budget_bytes) {
    auto opened = File::open(path);
    if (!opened) return fail("Failed to open: " + lossy_utf8(path));
    File& file = *opened;
    auto header = parse_header(file);
    if (!header) return pass(std::move(header));

    StoredDirectory dir;
    dir.hints_ = header->hints;
    dir.backing_ = std::make_shared<Backing>();
    Backing& backing = *dir.backing_;
    // Mapping shares the page cache instead of copying the file; where it is refused, the tensors
    // are read as before. The mapping is of the file already opened and judged regular.
    if (header->file_len > 0) {
        void* p = ::mmap(nullptr, header->file_len, PROT_READ, MAP_PRIVATE, file.native_handle(), 0);
        if (p != MAP_FAILED) {
            backing.map = p;
            backing.map_len = header->file_len;
            ::madvise(p, header->file_len, MADV_WILLNEED);  // a hint: failure changes nothing
        }
    }

    dir.tensors_.reserve(header->entries.size());
    // Refusals as for the float32 directory: a hostile count is refused at the same tensor with the
    // same text, whatever the weights are later kept as.
    FloatBudget budget(float_budget_bytes);
    for (const GGUFTensorEntry& entry : header->entries) {
        if (auto r = budget.take(entry); !r) return pass(std::move(r));
        StoredTensor t;
        t.dtype = entry.dtype;
        t.n_elements = entry.n_elements;
        if (const auto position = position_in_file(*header, entry)) {
            t.in_file = true;
            if (backing.map) {
                t.bytes = std::span<const uint8_t>(static_cast<const uint8_t*>(backing.map) + *position, entry.size);
            } else {
                std::vector<uint8_t> raw(entry.size);  // bounded by the file's length, checked above
                if (auto r = read_tensor(file, entry, *position, raw.data()); !r) return pass(std::move(r));
                t.bytes = std::span<const uint8_t>(raw);
                backing.owned.push_back(std::move(raw));  // moving keeps the buffer where the span points
            }
        }
        auto [it, inserted] = dir.tensors_.try_emplace(entry.name);
        if (!inserted) budget.give_back(it->second.n_elements);
        it->second = t;
    }
    return dir;
}

std::vector<float> InferenceSession::get_tensor(std::string_view name, uint64_t expected_len) const {
    if (auto it = tensors_.find(std::string(name)); it != tensors_.end()) return it->second;
    return std::vector<float>(expected_len, name.find("norm") != std::string_view::npos ? 1.0f : 0.0f);
}

std::vector<float> InferenceSession::get_tensor_any(std::string_view name) const {
    if (auto it = tensors_.find(std::string(name)); it != tensors_.end()) return it->second;
    return {};
}

}  // namespace quillfen

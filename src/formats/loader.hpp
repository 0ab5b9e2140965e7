// The loader interface every checkpoint format implements, the item its layer iterators yield,
// and format detection. Knows the tensor types only; the Python classes live in src/lib.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "tensor/error.hpp"
#include "tensor/tensor.hpp"

namespace quillfen {

// One tensor of a checkpoint, as a layer iterator yields it.
struct LayerTensor {
    std::string name;    // as the file writes it
    Tensor tensor;       // the file's bytes, or zeros where the bytes do not fit the declared shape
    uint64_t index = 0;  // items this iterator produced successfully before this one
    uint64_t layer = 0;  // extract_layer_number(name), 0 when the name holds no number
};

// Streams a checkpoint one tensor at a time.
//
// A virtual `next()` returning `std::optional<Result<LayerTensor>>` rather than a C++20 input range:
// the iterators are handed out through `FormatLoader` behind one owning pointer, and the standard
// library has no type-erased view to put a range behind an interface. Each step can also fail on
// its own and iteration goes on afterwards, which reads directly as "an item, an error item, or the
// end" here, while a range would need the error folded into its value type and a sentinel besides.
class LayerIterator {
public:
    virtual ~LayerIterator() = default;

    // The next item or error item; nullopt once every tensor has been visited (and on every later call).
    virtual std::optional<Result<LayerTensor>> next() = 0;
};

// One per checkpoint format. Loaders hold no state: every operation works from the path it is given
// and opens and closes the file itself.
class FormatLoader {
public:
    virtual ~FormatLoader() = default;

    virtual Result<ModelMetadata> load_metadata(const std::string& path) const = 0;

    // Never fails: a file whose header cannot be read gives an iterator that yields nothing.
    virtual std::unique_ptr<LayerIterator> iter_layers(const std::string& path) const = 0;

    virtual std::string_view format_name() const = 0;

    // The `moe` part of `load_metadata`'s record; its error unchanged.
    virtual Result<std::optional<MoeMetadata>> moe_metadata(const std::string& path) const;
};

// Picks the loader by the file's first 16 bytes and, when those do not decide, by the text of a
// `config.json` beside it. A fresh loader on every call.
Result<std::unique_ptr<FormatLoader>> auto_detect_format(const std::string& path);

}  // namespace quillfen

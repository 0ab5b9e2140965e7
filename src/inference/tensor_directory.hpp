// The LLaMA runtime's view of a GGUF file: `StoredDirectory` reads the container through the one GGUF
// reader (any magic, names decoded lossily), maps the file and hands out each tensor's stored bytes,
// for weights kept in their stored form. It lives only while a session is built.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "formats/gguf.hpp"
#include "tensor/error.hpp"
#include "tensor/file.hpp"

namespace quillfen {

// The few metadata values the runtime honours when a file carries them: real LLaMA files store
// their head counts, rotary base and norm epsilon here, and tensor lengths cannot reveal them.
struct LlamaHints {
    std::optional<uint64_t> head_count;     // "{arch}.attention.head_count", non-zero
    std::optional<uint64_t> head_count_kv;  // "{arch}.attention.head_count_kv"
    std::optional<float> rope_freq_base;    // "{arch}.rope.freq_base"
    std::optional<float> rms_epsilon;       // "{arch}.attention.layer_norm_rms_epsilon"
};

// One tensor as the file stores it.
struct StoredTensor {
    uint32_t dtype = 0;
    uint64_t n_elements = 0;
    std::vector<uint64_t> dims;      // file order, for messages
    bool in_file = false;            // false: its bytes would run past the end, so it is all zeros
    std::span<const uint8_t> bytes;  // the tensor's bytes, valid while its directory lives
    bool mapped = false;             // `bytes` lie in the directory's mapping of the file
    // The length the full dequantisation gives: a tensor inside the file has all its blocks.
    uint64_t size() const { return n_elements; }
};

// Gives the pages that lie wholly inside a mapped tensor's `bytes` back to the page cache: a loader
// that has copied a tensor into its own form no longer holds both copies resident at once. Reading
// them again pages them back in from the file, so this is safe whoever still reads them. Does nothing
// for a tensor read into memory.
void release_pages(const StoredTensor& t);

// What a file that loads anyway should still tell its user.
struct DirectoryNotes {
    bool gguf_magic = true;           // the file starts with "GGUF"
    uint64_t past_end = 0;            // records whose data runs past the end of the file
    std::string first_past_end;       // the first of them, in file order
    std::optional<std::string> architecture;  // "general.architecture", when the file names one
};

// The read that serves a directory and a reader of the whole metadata at once (a text model's
// vocabulary): the metadata strictly (the GGUF magic, UTF-8 text, arrays kept), the tensor names as
// the runtime takes them.
GGUFReadOptions read_options_with_metadata();

class StoredDirectory {
public:
    // Reads `path` as the runtime does: any magic and version, names and text that are not UTF-8
    // shown with U+FFFD, and of the metadata only the architecture and the values it honours.
    static Result<StoredDirectory> open(const std::string& path);
    // The directory of a container already read from `file` with its tensor records (a reader that
    // needs more of the metadata reads the file once for both). `file` must stay open while this runs.
    static Result<StoredDirectory> from(File& file, GGUFContents header);

    const std::unordered_map<std::string, StoredTensor>& tensors() const { return tensors_; }
    const LlamaHints& hints() const { return hints_; }
    const DirectoryNotes& notes() const { return notes_; }
    uint64_t file_size() const { return file_size_; }

    struct Backing;  // the mapped file, or the tensors' bytes read into memory

private:
    std::shared_ptr<Backing> backing_;
    std::unordered_map<std::string, StoredTensor> tensors_;
    LlamaHints hints_;
    DirectoryNotes notes_;
    uint64_t file_size_ = 0;
};

}  // namespace quillfen

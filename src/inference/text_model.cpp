#include "inference/text_model.hpp"

#include <algorithm>
#include <utility>

#include "formats/gguf.hpp"
#include "compute/pool.hpp"
#include "inference/forward.hpp"
#include "inference/sampler.hpp"
#include "tensor/file.hpp"

namespace quillfen {

namespace {

// Used when the file does not say how long a context its model was trained for.
constexpr uint64_t kDefaultContextLength = 2048;

}  // namespace

TextModel::TextModel(LlamaSession session, std::shared_ptr<const Tokenizer> tokenizer, uint64_t context_length,
                     std::optional<std::string> chat_template, uint64_t threads)
    : arena_(threads > 0 ? std::make_unique<tbb::task_arena>(int(threads)) : nullptr),
      session_(std::move(session)),
      tokenizer_(std::move(tokenizer)),
      context_length_(context_length),
      chat_template_(std::move(chat_template)) {
    session_.arena = arena_.get();
}

uint64_t TextModel::threads() const {
    if (arena_) return uint64_t(arena_->max_concurrency());
    const Result<int>& n = chosen_threads();
    return n ? uint64_t(*n) : 1;
}

Result<std::unique_ptr<TextModel>> TextModel::load(const std::string& path, std::vector<std::string>* warnings,
                                                   LoadProgress* progress, uint64_t threads) {
    if (threads > kMaxThreads)
        return fail("threads=" + std::to_string(threads) + " is more than " + std::to_string(kMaxThreads) + " workers");
    auto file = File::open(path);
    if (!file) return std::unexpected(std::move(file).error());
    // One read serves the vocabulary and the weights.
    auto contents = read_gguf(*file, read_options_with_metadata());
    if (!contents) return std::unexpected(std::move(contents).error());
    const GGUFMetadata& metadata = contents->metadata;
    // A file whose architecture has no row, or that holds a part the row lacks, would run without it:
    // refused before anything is built.
    auto shape = read_model_shape(metadata);
    if (!shape) return std::unexpected(std::move(shape).error());

    auto tokenizer = Tokenizer::from_metadata(metadata);
    if (!tokenizer) return std::unexpected(std::move(tokenizer).error());

    // A length of any integer width; zero or a negative number is none.
    constexpr IntegerRule kLength{.zero = false};
    const uint64_t context_length =
        read_integer(find_arch_value(metadata, ".context_length"), kLength).value_or(kDefaultContextLength);
    std::optional<std::string> chat_template;
    if (const GGUFValue* t = find_value(metadata, "tokenizer.chat_template"))
        if (const auto* text = std::get_if<std::string>(&t->value)) chat_template = *text;

    auto dir = StoredDirectory::from(*file, std::move(*contents));  // the metadata is released here
    if (!dir) return std::unexpected(std::move(dir).error());
    auto session = LlamaSession::load(*dir, *shape, path, warnings, progress);
    if (!session) return std::unexpected(std::move(session).error());
    if (tokenizer->vocab_size() > session->vocab_size())
        return fail("the vocabulary has " + std::to_string(tokenizer->vocab_size()) +
                                     " tokens but the model's output has only " +
                                     std::to_string(session->vocab_size()) + " rows");
    return std::unique_ptr<TextModel>(new TextModel(std::move(*session),
                                                    std::make_shared<const Tokenizer>(std::move(*tokenizer)),
                                                    context_length, std::move(chat_template), threads));
}

uint64_t TextModel::vocab_size() const { return tokenizer_->vocab_size(); }

Result<void> TextModel::check_context(std::span<const uint32_t> context) const {
    if (context.empty()) return fail("the context is empty: there is no token to continue from");
    if (context.size() > context_length_)
        return fail("the context holds " + std::to_string(context.size()) +
                                     " tokens, more than the model's context length " +
                                     std::to_string(context_length_));
    const uint64_t n = vocab_size();
    for (uint32_t id : context)
        if (id >= n)
            return fail("token id " + std::to_string(id) + " is outside the vocabulary of " +
                                         std::to_string(n) + " tokens");
    return {};
}

NextToken TextModel::sync(std::span<const uint32_t> context, bool need_logits, std::vector<float>& logits,
                          const StopCheck& stop) {
    const auto mismatch = std::mismatch(cached_.begin(), cached_.end(), context.begin(), context.end());
    uint64_t keep = uint64_t(mismatch.first - cached_.begin());
    // The logits of the last token are not kept, so a context the cache already holds whole runs its
    // last token again.
    if (need_logits && keep == context.size()) --keep;
    session_.rewind(keep);
    cached_.resize(keep);
    NextToken done{0, keep, 0};
    // In batches: each weight is read once per batch instead of once per token, for the same logits.
    // Faults come before any change, so cached_ stays true.
    const auto rest = context.subspan(keep);
    logits = forward_tokens(session_, rest, need_logits, stop);
    // A stopped run leaves the batches that finished, as many tokens as the position moved.
    done.evaluated = session_.state.pos - keep;
    done.stopped = done.evaluated < rest.size();
    cached_.insert(cached_.end(), rest.begin(), rest.begin() + done.evaluated);
    return done;
}

Result<NextToken> TextModel::next_token(std::span<const uint32_t> context, const SamplingParams& params,
                                        uint64_t rng_state, const StopCheck& stop, const MaskSource& mask) {
    if (auto ok = check_context(context); !ok) return std::unexpected(std::move(ok).error());
    std::lock_guard lock(mutex_);
    std::vector<float> logits;
    NextToken done = sync(context, true, logits, stop);
    if (done.stopped) return done;
    logits.resize(vocab_size());  // rows past the vocabulary name no token
    if (mask) {
        auto allowed = mask();
        if (!allowed) return std::unexpected(std::move(allowed).error());
        Result<void> masked;
        (arena_ ? *arena_ : pool()).execute([&] { masked = mask_logits(logits, *allowed); });
        if (!masked) return std::unexpected(std::move(masked).error());
    }
    (arena_ ? *arena_ : pool()).execute([&] {
        done.id = sample_tempered(std::move(logits), params.temperature, params.top_k, params.top_p, rng_state,
                                  params.min_p);
    });
    return done;
}

Result<std::vector<float>> TextModel::logits(std::span<const uint32_t> context, const StopCheck& stop) {
    if (auto ok = check_context(context); !ok) return std::unexpected(std::move(ok).error());
    std::lock_guard lock(mutex_);
    std::vector<float> logits;
    if (sync(context, true, logits, stop).stopped) return fail("stopped before the context was run");
    return logits;
}

Result<void> TextModel::check_sequence(uint64_t k) {
    if (k >= kMaxSequences) return fail("sequence " + std::to_string(k) + " is not below " + std::to_string(kMaxSequences));
    return {};
}

TextModel::Sequence& TextModel::sequence(uint64_t k) {
    if (sequences_.size() < kMaxSequences) sequences_.resize(kMaxSequences);
    auto& seq = sequences_.at(k);
    if (!seq)
        seq = std::make_unique<Sequence>(
            Sequence{SequenceState::create(session_.config.hidden_dim, session_.num_layers()), {}});
    return *seq;
}

uint64_t TextModel::held_prefix(const Sequence& seq, std::span<const uint32_t> context) {
    const auto mismatch = std::mismatch(seq.cached.begin(), seq.cached.end(), context.begin(), context.end());
    return std::min<uint64_t>(uint64_t(mismatch.first - seq.cached.begin()), context.size() - 1);
}

Result<std::vector<TextModel::SequenceLogits>> TextModel::step(std::span<const SequenceContext> work) {
    std::vector<bool> named(kMaxSequences, false);
    for (const SequenceContext& w : work) {
        if (auto ok = check_sequence(w.sequence); !ok) return std::unexpected(std::move(ok).error());
        if (named[w.sequence]) return fail("sequence " + std::to_string(w.sequence) + " appears twice in one step");
        named[w.sequence] = true;
        if (auto ok = check_context(w.context); !ok) return std::unexpected(std::move(ok).error());
    }
    std::lock_guard lock(mutex_);
    std::vector<SequenceWork> runs;
    std::vector<SequenceLogits> out(work.size());
    for (size_t k = 0; k < work.size(); ++k) {
        Sequence& seq = sequence(work[k].sequence);
        const auto context = work[k].context;
        // A context the cache holds whole runs its last token again, for its logits.
        const uint64_t keep = held_prefix(seq, context);
        seq.state.rewind(keep);
        seq.cached.resize(keep);
        out[k].reused = keep;
        out[k].evaluated = context.size() - keep;
        runs.push_back({&seq.state, context.subspan(keep), {}, work[k].want_logits});
    }
    try {
        forward_sequences(session_.config, session_.weights, runs, step_buffers_, arena_.get());
    } catch (...) {
        // A step that failed part way (memory for a cache, say) leaves caches the cached ids may not
        // describe: those sequences start over.
        for (const SequenceContext& w : work) sequences_[w.sequence].reset();
        throw;
    }
    for (size_t k = 0; k < work.size(); ++k) {
        auto& seq = *sequences_[work[k].sequence];
        seq.cached.assign(work[k].context.begin(), work[k].context.end());
        out[k].logits = std::move(runs[k].logits);
        if (work[k].want_logits) out[k].logits.resize(vocab_size());  // rows past the vocabulary name no token
    }
    return out;
}

Result<uint64_t> TextModel::share(uint64_t source, uint64_t target, std::span<const uint32_t> context) {
    for (const uint64_t k : {source, target})
        if (auto ok = check_sequence(k); !ok) return std::unexpected(std::move(ok).error());
    if (source == target) return fail("a sequence cannot share its own cache");
    if (auto ok = check_context(context); !ok) return std::unexpected(std::move(ok).error());
    std::lock_guard lock(mutex_);
    if (source >= sequences_.size() || !sequences_[source]) return 0;
    const Sequence& from = *sequences_[source];
    const uint64_t n = held_prefix(from, context);
    if (n == 0) return 0;
    Sequence& to = sequence(target);
    try {
        for (size_t l = 0; l < to.state.kv_cache.size(); ++l) to.state.kv_cache[l].copy_prefix(from.state.kv_cache[l], n);
    } catch (...) {
        sequences_[target].reset();  // part copied: start over
        throw;
    }
    to.state.pos = n;
    to.cached.assign(context.begin(), context.begin() + n);
    return n;
}

void TextModel::release(uint64_t sequence) {
    std::lock_guard lock(mutex_);
    if (sequence < sequences_.size()) sequences_[sequence].reset();
}

void TextModel::reset() {
    std::lock_guard lock(mutex_);
    session_.rewind(0);
    cached_.clear();
}

Result<NextToken> TextModel::prefill(std::span<const uint32_t> context, const StopCheck& stop) {
    if (auto ok = check_context(context); !ok) return std::unexpected(std::move(ok).error());
    std::lock_guard lock(mutex_);
    std::vector<float> logits;
    return sync(context, false, logits, stop);
}

}  // namespace quillfen

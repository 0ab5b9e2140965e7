// TextModel: weights, vocabulary and cache of one model, for the text API. Loading and every step run
// without the interpreter lock; the model's own lock, taken after the interpreter lock is released,
// makes calls from several threads take turns, and separate models run in parallel.
#include "lib/runtime/runtime.hpp"  // first: Python.h comes before the standard headers

#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "compute/pool.hpp"
#include "inference/sampler.hpp"
#include "inference/text_model.hpp"

namespace quillfen::py {

namespace {

using PyTextModel = Wrapper<TextModel>;
// LoadProgress: two counters another thread may read while a load runs without the interpreter lock.
using PyLoadProgress = Wrapper<LoadProgress>;

TextModel& model(PyObject* self) { return *as_wrapper<TextModel>(self)->core; }
LoadProgress& progress_of(PyObject* self) { return *as_wrapper<LoadProgress>(self)->core; }

// How often a long call takes the interpreter lock back to run the handlers of signals that arrived:
// often enough that Ctrl-C lands within a tenth of a second, rarely enough that a busy Python thread
// (which holds the lock for up to its switch interval) costs the call little.
constexpr auto kSignalInterval = std::chrono::milliseconds(25);

// Runs `fn(stop)` without the interpreter lock. `stop`, asked by the forward pass between layers, runs
// the pending signal handlers with the lock taken back for a moment (at most every kSignalInterval);
// it says true once one raised, KeyboardInterrupt from Ctrl-C say, whose exception is then set (only
// the main thread runs handlers; on another the check finds none). Asked from a thread other than the
// caller (a worker that took the step over) it says false without touching the lock.
template <class Fn>
auto interruptible(Fn&& fn) {
    struct Reacquire {
        PyThreadState* state;
        ~Reacquire() { PyEval_RestoreThread(state); }
    } lock{PyEval_SaveThread()};
    const std::thread::id caller = std::this_thread::get_id();
    auto last = std::chrono::steady_clock::now();
    bool raised = false;
    const StopCheck stop = [&] {
        if (raised) return true;
        if (std::this_thread::get_id() != caller) return false;
        const auto now = std::chrono::steady_clock::now();
        if (now - last < kSignalInterval) return false;
        last = now;
        PyEval_RestoreThread(lock.state);
        raised = PyErr_CheckSignals() < 0;
        lock.state = PyEval_SaveThread();
        return raised;
    };
    return fn(stop);
}

constexpr const char* kNewNames[] = {"path", "progress", "threads"};
constexpr Signature kNewSignature{"TextModel.__new__()", kNewNames, 1};

constexpr Signature kProgressNewSignature{"LoadProgress.__new__()", kNoParams, 0};

PyObject* progress_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        if (!bind_tuple(kProgressNewSignature, args, kwargs, nullptr)) return nullptr;
        return adopt_instance(type, std::make_unique<LoadProgress>());
    });
}
PyObject* get_done(PyObject* self, void*) { return guarded([&] { return to_py(progress_of(self).done.load()); }); }
PyObject* get_total(PyObject* self, void*) { return guarded([&] { return to_py(progress_of(self).total.load()); }); }

PyGetSetDef kProgressGetSet[] = {
    {"done", get_done, nullptr, "Weight-packing jobs finished so far.", nullptr},
    {"total", get_total, nullptr, "Weight-packing jobs of the load (0 until the file's tensors are known).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot kProgressSlots[] = {
    {Py_tp_doc, const_cast<char*>("LoadProgress()\n--\n\nHow far a TextModel load has come; pass it as progress=.")},
    {Py_tp_new, reinterpret_cast<void*>(progress_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(wrapper_dealloc<LoadProgress>)},
    {Py_tp_getset, kProgressGetSet},
    {0, nullptr}};

PyType_Spec kProgressSpec = {"quillfen._runtime.LoadProgress", sizeof(PyLoadProgress), 0, Py_TPFLAGS_DEFAULT,
                             kProgressSlots};
PyTypeObject* g_progress_type = nullptr;
constexpr const char* kNextNames[] = {"context", "temperature", "top_k", "top_p", "min_p", "rng_state", "mask"};
constexpr Signature kNextSignature{"TextModel.next_token()", kNextNames, 1};
constexpr const char* kPrefillNames[] = {"context"};
constexpr Signature kPrefillSignature{"TextModel.prefill()", kPrefillNames, 1};

PyObject* text_model_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[3] = {};
        if (!bind_tuple(kNewSignature, args, kwargs, bound)) return nullptr;
        auto path = arg_str(bound[0], "path");
        if (!path) return nullptr;
        LoadProgress* progress = nullptr;
        if (bound[1] && bound[1] != Py_None) {
            if (!PyObject_TypeCheck(bound[1], load_progress_type()))
                return raise_argument_type("progress", "LoadProgress or None", bound[1]);
            progress = &progress_of(bound[1]);  // the caller's reference keeps it alive for the call
        }
        uint64_t threads = 0;
        if (bound[2] && bound[2] != Py_None) {
            auto n = arg_u64(bound[2], "threads");
            if (!n) return nullptr;
            if (*n == 0 || *n > kMaxThreads) {
                PyErr_Format(PyExc_ValueError, "threads must be from 1 to %llu, or None for the process-wide pool",
                             static_cast<unsigned long long>(kMaxThreads));
                return nullptr;
            }
            threads = *n;
        }
        std::vector<std::string> warnings;
        auto loaded = without_gil([&] { return TextModel::load(*path, &warnings, progress, threads); });
        if (!loaded) return raise_runtime("Failed to load model: " + loaded.error().message());
        for (const std::string& text : warnings)
            if (PyErr_WarnEx(PyExc_RuntimeWarning, text.c_str(), 1) < 0) return nullptr;
        return adopt_instance(type, std::move(*loaded));
    });
}

// True with a Python error set when the call failed: a signal handler raised while it ran, or the model
// refused the context (too long, an id outside the vocabulary), which is a ValueError.
template <class T>
bool failed(const Result<T>& result) {
    if (PyErr_Occurred()) return true;
    if (result) return false;
    PyErr_SetString(PyExc_ValueError, result.error().message().c_str());
    return true;
}

PyObject* step_result(const Result<NextToken>& done) {
    if (failed(done)) return nullptr;
    return build_tuple({to_py(uint64_t{done->id}), to_py(done->reused), to_py(done->evaluated)});
}

// The one argument of prefill, logits and check_context: the token ids. Empty with the error set.
std::optional<std::vector<uint32_t>> bind_context(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                                                  PyObject* kwnames) {
    PyObject* bound[1] = {};
    if (!bind_fastcall(sig, args, nargs, kwnames, bound)) return std::nullopt;
    return arg_u32_list(bound[0], "context");
}

// A token mask given as any C-contiguous buffer of 32-bit words (bytes, an int32 or uint32 array: what
// grammar matchers write), read in place and held until the call returns. Released with the
// interpreter lock held, as the binding's scope ends.
class MaskBuffer {
public:
    MaskBuffer() = default;
    MaskBuffer(const MaskBuffer&) = delete;
    MaskBuffer& operator=(const MaskBuffer&) = delete;
    ~MaskBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }

    // False with a Python error set. Needs the interpreter lock.
    bool take(PyObject* object) {
        if (held_) PyBuffer_Release(&view_);
        held_ = false;
        if (PyObject_GetBuffer(object, &view_, PyBUF_C_CONTIGUOUS) < 0) {
            PyErr_Clear();
            raise_argument_type("mask", "a buffer of 32-bit words, a callable returning one, or None", object);
            return false;
        }
        held_ = true;
        if (view_.len % 4 != 0) {
            PyErr_Format(PyExc_ValueError, "the token mask is %zd bytes, not a whole number of 32-bit words", view_.len);
            return false;
        }
        const uint64_t n = uint64_t(view_.len) / 4;
        if (reinterpret_cast<uintptr_t>(view_.buf) % alignof(uint32_t) == 0) {
            words_ = {static_cast<const uint32_t*>(view_.buf), n};
        } else {  // bytes sliced at an odd offset, say: read a copy
            copy_.resize(n);
            std::memcpy(copy_.data(), view_.buf, n * 4);
            words_ = copy_;
        }
        return true;
    }
    std::span<const uint32_t> words() const { return words_; }

private:
    Py_buffer view_{};
    bool held_ = false;
    std::vector<uint32_t> copy_;
    std::span<const uint32_t> words_;
};

// The mask argument as the model asks for it: a buffer is checked now, before the forward pass; a
// callable is called once that pass has run (the interpreter lock taken back for the call), so the
// caller's matcher can compute the mask on another thread meanwhile. Empty for None.
std::optional<MaskSource> mask_source(PyObject* arg, MaskBuffer& buffer, uint64_t vocab, bool& bad) {
    bad = false;
    if (!arg || arg == Py_None) return MaskSource{};
    const auto checked_words = [&buffer, vocab]() -> Result<std::span<const uint32_t>> {
        if (buffer.words().size() != mask_words(vocab))
            return fail("the token mask has " + std::to_string(buffer.words().size()) +
                        " 32-bit words; the vocabulary of " + std::to_string(vocab) + " tokens needs " +
                        std::to_string(mask_words(vocab)));
        return buffer.words();
    };
    if (!PyCallable_Check(arg)) {
        if (!buffer.take(arg) || !checked_words()) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, checked_words().error().message().c_str());
            bad = true;
            return std::nullopt;
        }
        return MaskSource([checked_words] { return checked_words(); });
    }
    return MaskSource([arg, &buffer, checked_words]() -> Result<std::span<const uint32_t>> {
        const PyGILState_STATE state = PyGILState_Ensure();
        PyObject* result = PyObject_CallNoArgs(arg);
        const bool ok = result && buffer.take(result);
        Py_XDECREF(result);
        PyGILState_Release(state);
        if (!ok) return fail("the mask callable failed");  // its Python error is what the caller sees
        return checked_words();
    });
}

PyObject* text_model_next_token(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[7] = {};
        if (!bind_fastcall(kNextSignature, args, nargs, kwnames, bound)) return nullptr;
        auto context = arg_u32_list(bound[0], "context");
        if (!context) return nullptr;
        SamplingParams params;
        double values[3] = {params.temperature, params.top_p, params.min_p};
        const int slots[3] = {1, 3, 4};
        for (int i = 0; i < 3; ++i) {
            if (!bound[slots[i]]) continue;
            auto v = arg_f64(bound[slots[i]], kNextNames[slots[i]]);
            if (!v) return nullptr;
            values[i] = *v;
        }
        params.temperature = float(values[0]);
        params.top_p = float(values[1]);
        params.min_p = float(values[2]);
        uint64_t counts[2] = {0, 0};  // top_k, rng_state
        const char* const count_names[] = {"top_k", "rng_state"};
        PyObject* const count_args[] = {bound[2], bound[5]};
        if (!args_u64_or_zero(count_args, count_names, counts)) return nullptr;
        params.top_k = counts[0];
        TextModel& m = model(self);
        MaskBuffer buffer;  // declared first: released after the source that reads it
        bool bad = false;
        const std::optional<MaskSource> mask = mask_source(bound[6], buffer, m.vocab_size(), bad);
        if (bad) return nullptr;
        auto done = interruptible(
            [&](const StopCheck& stop) { return m.next_token(*context, params, counts[1], stop, *mask); });
        return step_result(done);
    });
}

PyObject* text_model_prefill(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto context = bind_context(kPrefillSignature, args, nargs, kwnames);
        if (!context) return nullptr;
        TextModel& m = model(self);
        auto done = interruptible([&](const StopCheck& stop) { return m.prefill(*context, stop); });
        return step_result(done);
    });
}

PyObject* logits_bytes(const std::vector<float>& logits) {
    return to_py_bytes(std::string_view(reinterpret_cast<const char*>(logits.data()), logits.size() * sizeof(float)));
}

constexpr Signature kLogitsSignature{"TextModel.logits()", kPrefillNames, 1};
constexpr Signature kCheckSignature{"TextModel.check_context()", kPrefillNames, 1};

PyObject* text_model_check_context(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto context = bind_context(kCheckSignature, args, nargs, kwnames);
        if (!context) return nullptr;
        if (failed(model(self).check_context(*context))) return nullptr;
        return none();
    });
}

PyObject* text_model_logits(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto context = bind_context(kLogitsSignature, args, nargs, kwnames);
        if (!context) return nullptr;
        TextModel& m = model(self);
        auto logits = interruptible([&](const StopCheck& stop) { return m.logits(*context, stop); });
        if (failed(logits)) return nullptr;
        return logits_bytes(*logits);
    });
}

constexpr const char* kStepNames[] = {"work"};
constexpr Signature kStepSignature{"TextModel.step()", kStepNames, 1};
constexpr const char* kReleaseNames[] = {"sequence"};
constexpr Signature kReleaseSignature{"TextModel.release()", kReleaseNames, 1};
constexpr const char* kShareNames[] = {"source", "target", "context"};
constexpr Signature kShareSignature{"TextModel.share()", kShareNames, 3};

// work: a list of (sequence, context) or (sequence, context, logits) tuples; a list of (logits bytes,
// reused, evaluated), one per tuple, the bytes empty where `logits` is false.
PyObject* text_model_step(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[1] = {};
        if (!bind_fastcall(kStepSignature, args, nargs, kwnames, bound)) return nullptr;
        PyObject* items = PySequence_Fast(bound[0], "work must be a list of (sequence, context[, logits]) tuples");
        if (!items) return nullptr;
        struct Release {
            PyObject* o;
            ~Release() { Py_DECREF(o); }
        } release{items};
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(items);
        std::vector<uint64_t> numbers;
        std::vector<std::vector<uint32_t>> contexts;
        std::vector<bool> wanted;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* pair = PySequence_Fast_GET_ITEM(items, i);
            if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) < 2 || PyTuple_GET_SIZE(pair) > 3)
                return raise_argument_type("work", "a list of (sequence, context[, logits]) tuples", pair);
            bool want = true;
            if (PyTuple_GET_SIZE(pair) == 3) {
                PyObject* flag = PyTuple_GET_ITEM(pair, 2);
                if (!PyBool_Check(flag)) return raise_argument_type("logits", "a bool", flag);
                want = flag == Py_True;
            }
            wanted.push_back(want);
            auto number = arg_u64(PyTuple_GET_ITEM(pair, 0), "sequence");
            if (!number) return nullptr;
            auto context = arg_u32_list(PyTuple_GET_ITEM(pair, 1), "context");
            if (!context) return nullptr;
            numbers.push_back(*number);
            contexts.push_back(std::move(*context));
        }
        std::vector<TextModel::SequenceContext> work;
        for (size_t i = 0; i < numbers.size(); ++i) work.push_back({numbers[i], contexts[i], wanted[i]});
        TextModel& m = model(self);
        auto done = without_gil([&] { return m.step(work); });
        if (failed(done)) return nullptr;
        PyObject* out = PyList_New(0);
        if (!out) return nullptr;
        for (const TextModel::SequenceLogits& r : *done) {
            PyObject* item = build_tuple({logits_bytes(r.logits), to_py(r.reused), to_py(r.evaluated)});
            if (!item || PyList_Append(out, item) < 0) {
                Py_XDECREF(item);
                Py_DECREF(out);
                return nullptr;
            }
            Py_DECREF(item);
        }
        return out;
    });
}

PyObject* text_model_share(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[3] = {};
        if (!bind_fastcall(kShareSignature, args, nargs, kwnames, bound)) return nullptr;
        auto source = arg_u64(bound[0], "source");
        if (!source) return nullptr;
        auto target = arg_u64(bound[1], "target");
        if (!target) return nullptr;
        auto context = arg_u32_list(bound[2], "context");
        if (!context) return nullptr;
        TextModel& m = model(self);
        auto copied = without_gil([&] { return m.share(*source, *target, *context); });
        if (failed(copied)) return nullptr;
        return to_py(*copied);
    });
}

PyObject* text_model_release(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[1] = {};
        if (!bind_fastcall(kReleaseSignature, args, nargs, kwnames, bound)) return nullptr;
        auto number = arg_u64(bound[0], "sequence");
        if (!number) return nullptr;
        TextModel& m = model(self);
        without_gil([&] { m.release(*number); });
        return none();
    });
}

PyObject* text_model_reset(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        TextModel& m = model(self);
        without_gil([&] { m.reset(); });
        return none();
    });
}

PyObject* get_tokenizer(PyObject* self, void*) { return guarded([&] { return new_tokenizer(model(self).tokenizer()); }); }
PyObject* get_context_length(PyObject* self, void*) {
    return guarded([&] { return to_py(model(self).context_length()); });
}
PyObject* get_threads(PyObject* self, void*) { return guarded([&] { return to_py(model(self).threads()); }); }
PyObject* get_chat_template(PyObject* self, void*) {
    return guarded([&] {
        const auto& t = model(self).chat_template();
        return t ? to_py(*t) : none();
    });
}

PyMethodDef kMethods[] = {
    {"next_token", fastcall_method(text_model_next_token), METH_FASTCALL | METH_KEYWORDS,
     "next_token($self, /, context, temperature=0.0, top_k=0, top_p=1.0, min_p=0.0, rng_state=0, mask=None)\n--\n\n"
     "The token after `context` (a non-empty list of ids) as (id, reused, evaluated): the cache is brought to\n"
     "`context` by running only what follows its longest common prefix with the cached tokens. temperature 0\n"
     "is greedy; rng_state is the sampler's generator state for this draw. `mask`, a buffer of 32-bit words\n"
     "with one bit per id (id i at bit i % 32 of word i / 32) or a callable returning one once the forward\n"
     "pass has run, limits the draw to the ids it sets; ValueError when it has the wrong size or sets none."},
    {"prefill", fastcall_method(text_model_prefill), METH_FASTCALL | METH_KEYWORDS,
     "prefill($self, /, context)\n--\n\nRuns `context` into the cache without drawing a token: (0, reused, evaluated)."},
    {"logits", fastcall_method(text_model_logits), METH_FASTCALL | METH_KEYWORDS,
     "logits($self, /, context)\n--\n\nThe logits after `context` as native float32 bytes, one per output row (the cache\n"
     "brought to `context` as next_token does)."},
    {"check_context", fastcall_method(text_model_check_context), METH_FASTCALL | METH_KEYWORDS,
     "check_context($self, /, context)\n--\n\nRaises ValueError with the reason when next_token, prefill and logits would\n"
     "refuse `context`: empty, longer than the context length, or holding an id outside the vocabulary."},
    {"step", fastcall_method(text_model_step), METH_FASTCALL | METH_KEYWORDS,
     "step($self, /, work)\n--\n\nSeveral sequences at once: `work` is a list of (sequence, context) pairs, sequence a\n"
     "number below 256 naming a cache of its own (apart from the one next_token uses). Each cache is brought\n"
     "to its context and every sequence's new tokens run together, each weight read once per batch for all\n"
     "of them; a list of (logits bytes, reused, evaluated), one per pair, each sequence's logits as logits()\n"
     "gives them for its context alone. A third element False, (sequence, context, False), brings the cache to\n"
     "the context without computing logits (empty bytes): a prompt's chunks before its last."},
    {"share", fastcall_method(text_model_share), METH_FASTCALL | METH_KEYWORDS,
     "share($self, /, source, target, context)\n--\n\nGives sequence `target` the longest prefix of `context` that\n"
     "the cache of sequence `source` holds, short of its last token, in place of its own cache: positions\n"
     "another conversation already ran (a shared system prompt) need not run again. Returns the positions\n"
     "copied; 0 leaves `target` as it was."},
    {"release", fastcall_method(text_model_release), METH_FASTCALL | METH_KEYWORDS,
     "release($self, /, sequence)\n--\n\nFrees the cache of `sequence`: its next step runs its whole context."},
    {"reset", text_model_reset, METH_NOARGS, "reset($self)\n--\n\nEmpties the cache: the next call runs its whole context."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef kGetSet[] = {
    {"tokenizer", get_tokenizer, nullptr, "The model's vocabulary.", nullptr},
    {"context_length", get_context_length, nullptr, "The most tokens a context may hold.", nullptr},
    {"threads", get_threads, nullptr, "The workers this model computes on.", nullptr},
    {"chat_template", get_chat_template, nullptr, "The file's chat template (Jinja), or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("TextModel(path, progress=None, threads=None)\n--\n\nA LLaMA-family GGUF model with its "
                                  "vocabulary and cache; `progress` (a LoadProgress) counts the load's steps; "
                                  "`threads` gives it a pool of its own.")},
    {Py_tp_new, reinterpret_cast<void*>(text_model_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(wrapper_dealloc<TextModel>)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr}};

PyType_Spec kSpec = {"quillfen._runtime.TextModel", sizeof(PyTextModel), 0, Py_TPFLAGS_DEFAULT, kSlots};
PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* load_progress_type() { return cached_type(g_progress_type, &kProgressSpec); }

PyTypeObject* text_model_type() { return cached_type(g_type, &kSpec); }

}  // namespace quillfen::py

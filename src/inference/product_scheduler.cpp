#include "inference/product_scheduler.hpp"

#include "compute/kernels.hpp"

#include <algorithm>
#include <cstdint>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>

namespace quillfen {

std::vector<float> matvec(std::span<const float> weight, std::span<const float> input, uint64_t rows,
                          uint64_t cols) {
    std::vector<float> out(rows, 0.0f);
    uint64_t needed = 0;
    if (input.size() < cols || mul_overflows(rows, cols, &needed) || weight.size() < needed) return out;
    const float* w = weight.data();
    const float* x = input.data();
    float* o = out.data();
    const auto matvec_rows = kernels().matvec_rows;
    if (rows == 1) {
        matvec_rows(w, x, o, 0, 1, cols);
    } else if (rows > 1) {
        tbb::parallel_for(
            tbb::blocked_range<uint64_t>(0, rows, 1),
            [=](const tbb::blocked_range<uint64_t>& r) { matvec_rows(w, x, o, r.begin(), r.end(), cols); },
            tbb::auto_partitioner());
    }
    return out;
}

std::vector<float> matvec(const WeightMatrix& weight, std::span<const float> input, uint64_t rows, uint64_t cols) {
    std::vector<float> out(rows, 0.0f);
    const MatvecTask task{&weight, input, rows, cols, out.data()};
    matvec_batch(std::span(&task, 1));
    return out;
}

namespace {

// Rows a work item covers: four packed groups (what the widest kernels carry side by side) for large
// products, fewer for small ones, so a product of a few dozen groups still splits evenly over the
// workers: a worker left with one item more than another idles for that item's time at every join.
uint64_t item_rows(uint64_t rows) {
    const uint64_t groups = (rows + kPackRows - 1) / kPackRows;
    return (groups >= 64 ? 4 : groups >= 24 ? 2 : 1) * kPackRows;
}

struct WorkItem {
    const MatvecTask* task;
    const MatvecTask* second;    // the paired product, computed over the same rows, or null
    const MatvecTask* finisher;  // whose finish runs on the item's rows afterwards, or null
    uint64_t begin, end;         // rows
};

void run_product(const MatvecTask& t, uint64_t begin, uint64_t end, const KernelTable& k) {
    const PackedStorage& w = *t.weight->storage();
    if (w.format == PackedFormat::Flat) {
        for (uint64_t i = 0; i < t.tokens; ++i)
            k.matvec_rows(w.tail.data(), t.input.data() + i * t.in_stride, t.out + i * t.out_stride, begin, end, t.cols);
    } else if (t.tokens == 1) {
        k.packed_groups(packed_view(w), t.input.data(), t.out, t.rows, begin / kPackRows, (end + kPackRows - 1) / kPackRows);
    } else {
        k.packed_groups_batch(packed_view(w), t.input.data(), t.in_stride, t.tokens, t.out, t.out_stride, t.rows,
                              begin / kPackRows, (end + kPackRows - 1) / kPackRows);
    }
}

void run_item(const WorkItem& item, const KernelTable& k) {
    run_product(*item.task, item.begin, item.end, k);
    if (item.second) run_product(*item.second, item.begin, item.end, k);
    if (item.finisher) item.finisher->finish(item.finisher->finish_ctx, item.begin, item.end);
}

// Whether every input of `t` lies inside its span: the last one ends at (tokens - 1) * in_stride + cols.
bool inputs_fit(const MatvecTask& t) {
    uint64_t last = 0, end = 0;
    return !mul_overflows(t.tokens - 1, t.in_stride, &last) && !add_overflows(last, t.cols, &end) &&
           t.input.size() >= end;
}

}  // namespace

void matvec_batch(std::span<const MatvecTask> tasks) {
    std::vector<WorkItem> items;
    // Products whose weight is packed for another row width walk its decoded values as plain rows;
    // reserved up front so the items' pointers stay valid.
    std::vector<WeightMatrix> flats;
    std::vector<MatvecTask> redirected;
    flats.reserve(2 * tasks.size());
    redirected.reserve(2 * tasks.size());
    // Finishes whose rows some product computed outside the work items: run once the region is over.
    std::vector<const MatvecTask*> finish_after;
    // Zero-fills the outputs of `t`; computes them at once when there is nothing to split; returns the
    // task the work items should run (or null when there is none).
    const auto prepare = [&](const MatvecTask& t) -> const MatvecTask* {
        if (t.tokens == 0) return nullptr;
        for (uint64_t i = 0; i < t.tokens; ++i) std::fill_n(t.out + i * t.out_stride, t.rows, 0.0f);
        uint64_t needed = 0;
        if (!inputs_fit(t) || mul_overflows(t.rows, t.cols, &needed) || t.weight->size() < needed || t.rows == 0)
            return nullptr;
        const PackedFormat format = t.weight->format();
        if (t.cols == 0 || format == PackedFormat::Zeros) {
            // Every row is the same sum (of nothing, or of zero weights): compute it once per input.
            for (uint64_t i = 0; i < t.tokens; ++i) {
                const float* x = t.input.data() + i * t.in_stride;
                float acc = -0.0f;
                for (uint64_t j = 0; j < t.cols; ++j) acc += 0.0f * x[j];
                std::fill_n(t.out + i * t.out_stride, t.rows, acc);
            }
            return nullptr;
        }
        if (format != PackedFormat::Flat && t.weight->storage()->cols != t.cols) {
            flats.push_back(WeightMatrix(t.weight->to_floats()));  // not a shape the forward step asks for
            redirected.push_back(t);
            redirected.back().weight = &flats.back();
            return &redirected.back();
        }
        return &t;
    };
    const auto add_items = [&](const MatvecTask* task, const MatvecTask* second, const MatvecTask* finisher) {
        const uint64_t step = item_rows(task->rows);
        for (uint64_t r = 0; r < task->rows; r += step)
            items.push_back({task, second, finisher, r, std::min(r + step, task->rows)});
    };
    for (const MatvecTask& t : tasks) {
        const MatvecTask* first = prepare(t);
        const MatvecTask* second = t.paired ? prepare(*t.paired) : nullptr;
        const bool together =
            first != nullptr && (!t.paired || (second && t.paired->rows == t.rows && t.paired->tokens == t.tokens));
        const MatvecTask* finisher = t.finish ? &t : nullptr;
        if (together) {
            add_items(first, second, finisher);
            continue;
        }
        if (first) add_items(first, nullptr, nullptr);
        if (second) add_items(second, nullptr, nullptr);
        if (finisher) finish_after.push_back(finisher);
    }
    const KernelTable& k = kernels();
    if (items.size() == 1) {
        run_item(items[0], k);
    } else if (items.size() > 1) {
        tbb::parallel_for(
            tbb::blocked_range<size_t>(0, items.size(), 1),
            [&](const tbb::blocked_range<size_t>& r) {
                for (size_t i = r.begin(); i != r.end(); ++i) run_item(items[i], k);
            },
            tbb::auto_partitioner());
    }
    for (const MatvecTask* t : finish_after)
        if (t->tokens > 0) t->finish(t->finish_ctx, 0, t->rows);
}

}  // namespace quillfen

// Cell scans (cell_scan.hpp): each cell of a wave is scanned on its own, its
// candidates appended in cell order once the wave ends, so the output does
// not depend on the thread count.
#include "lsh/cell_scan.hpp"

#include <algorithm>

#include "lsh/fp_env.hpp"
#include "lsh/parallel.hpp"
#include "lsh/scan/kernels.hpp"

namespace lsh {

namespace {

// Cells per wave: a constant, so that where a budget stops the scan does not depend on the
// thread count either.
constexpr std::size_t kWaveCells = 64;
constexpr std::size_t kRowChunk = 1024;  // rows whose dots one kernel call computes

struct CellOutput {
    std::vector<std::int64_t> query;
    std::vector<std::int64_t> row;
};

struct ScanScratch {
    std::vector<std::int64_t> queries;
    std::vector<std::int64_t> owning;
    std::vector<float> dots;
};

// Appends the candidates of `queries` against `count` rows (picked, or from `first` on).
void scan_rows(const CellScanInput& in, const ScanKernels& kernels, const std::vector<std::int64_t>& queries,
               const std::int64_t* pick, std::int64_t first, std::size_t count, ScanScratch& s, CellOutput& out) {
    if (queries.empty() || count == 0) return;
    const std::size_t m = queries.size();
    // Rows a chunk at a time: the dots of one chunk stay in cache, and the scratch is bounded
    // whatever the cell's size.
    for (std::size_t c0 = 0; c0 < count; c0 += kRowChunk) {
        const std::size_t n = std::min(kRowChunk, count - c0);
        const std::int64_t* chunk_pick = pick != nullptr ? pick + c0 : nullptr;
        const std::int64_t chunk_first = first + static_cast<std::int64_t>(c0);
        s.dots.resize(m * n);
        kernels.dots(in.queries, in.query_stride, queries.data(), m, in.rows, in.row_stride, chunk_pick, chunk_first, n,
                     in.d, s.dots.data());
        for (std::size_t j = 0; j < m; ++j) {
            const float limit = in.limits[queries[j]];
            const float* dots = s.dots.data() + j * n;
            for (std::size_t i = 0; i < n; ++i) {
                if (!(dots[i] >= limit)) continue;
                out.query.push_back(queries[j]);
                out.row.push_back(chunk_pick != nullptr ? chunk_pick[i] : chunk_first + static_cast<std::int64_t>(i));
            }
        }
    }
}

void scan_cell(const CellScanInput& in, const ScanKernels& kernels, std::size_t k, ScanScratch& s, CellOutput& out) {
    const auto cell = static_cast<std::size_t>(in.cells[k]);
    s.queries.assign(in.entry_queries + in.entry_starts[k], in.entry_queries + in.entry_starts[k + 1]);
    s.owning.clear();
    for (std::int64_t e = in.entry_starts[k]; e < in.entry_starts[k + 1]; ++e) {
        if (in.entry_owning[e] != 0) s.owning.push_back(in.entry_queries[e]);
    }
    const std::int64_t lo = in.row_starts[cell];
    scan_rows(in, kernels, s.queries, nullptr, lo, static_cast<std::size_t>(in.row_starts[cell + 1] - lo), s, out);
    const std::int64_t vlo = in.visit_starts[cell];
    scan_rows(in, kernels, s.owning, in.visit_rows + vlo, 0, static_cast<std::size_t>(in.visit_starts[cell + 1] - vlo),
              s, out);
}

}  // namespace

CellScan scan_cells(const CellScanInput& in, std::size_t max_candidates, unsigned threads) {
    const ScanKernels& kernels = scan_kernels();
    const FloatEnvScope fp_env;
    CellScan result;
    const unsigned workers = worker_count(in.scanned, threads);
    std::vector<ScanScratch> scratch(workers);
    std::vector<CellOutput> outputs(kWaveCells);
    std::size_t next = 0;
    while (next < in.scanned && result.query.size() <= max_candidates) {
        const std::size_t wave = std::min(outputs.size(), in.scanned - next);
        parallel_for(wave, workers, [&](std::size_t t, unsigned worker) {
            CellOutput& out = outputs[t];
            out.query.clear();
            out.row.clear();
            scan_cell(in, kernels, next + t, scratch[worker], out);
        });
        for (std::size_t t = 0; t < wave; ++t) {
            result.query.insert(result.query.end(), outputs[t].query.begin(), outputs[t].query.end());
            result.row.insert(result.row.end(), outputs[t].row.begin(), outputs[t].row.end());
        }
        next += wave;
    }
    result.cells_done = next;
    return result;
}

}  // namespace lsh

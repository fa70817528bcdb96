// Cell scans: the candidate pairs between query rows and the rows of an
// index laid out by cell, decided by a float32 product against a limit per
// query (the caller derives the limits from the bound in scan/kernels.hpp
// and decides every candidate on its exact cosine).
//
// The rows own cells (row_starts: the owners of cell c are rows
// row_starts[c] .. row_starts[c + 1] - 1) and visit others (visit_rows
// visit_starts[c] .. visit_starts[c + 1] - 1 are the rows visiting c). For
// each given cell, its queries are compared with its owners, and the
// queries that own the cell also with its visitors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lsh {

struct CellScanInput {
    const float* queries = nullptr;  // query_count rows of d floats, query_stride floats apart
    std::ptrdiff_t query_stride = 0;
    std::size_t query_count = 0;
    const float* limits = nullptr;  // per query: a product below it is ruled out
    const float* rows = nullptr;    // row_count rows of d floats, row_stride floats apart
    std::ptrdiff_t row_stride = 0;
    std::size_t row_count = 0;
    std::size_t d = 0;
    const std::int64_t* row_starts = nullptr;    // cell_count + 1
    const std::int64_t* visit_starts = nullptr;  // cell_count + 1
    const std::int64_t* visit_rows = nullptr;
    std::size_t cell_count = 0;
    // The cells to scan, in order, and their queries: entry_queries[entry_starts[k] ..
    // entry_starts[k + 1] - 1] are the queries of cells[k], entry_owning[...] whether each owns it.
    const std::int64_t* cells = nullptr;
    const std::int64_t* entry_starts = nullptr;
    std::size_t scanned = 0;
    const std::int64_t* entry_queries = nullptr;
    const std::uint8_t* entry_owning = nullptr;
};

struct CellScan {
    std::vector<std::int64_t> query;
    std::vector<std::int64_t> row;
    std::size_t cells_done = 0;  // the first cells_done cells were scanned
};

// The candidates of the cells, cell by cell in the given order (within one:
// its owners, then its visitors, a chunk of rows at a time, by query, then
// row), the same at any thread count. Cells are scanned in waves of a fixed
// number of cells; once a wave ends with more than max_candidates listed,
// the scan stops there (cells_done says where). Every index must be in range
// (checked by the caller).
CellScan scan_cells(const CellScanInput& in, std::size_t max_candidates, unsigned threads);

}  // namespace lsh

#include "lsh/batch.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "lsh/batch/kernels.hpp"
#include "lsh/compare.hpp"
#include "lsh/embedding_hash.hpp"
#include "lsh/fp_env.hpp"
#include "lsh/hex.hpp"
#include "lsh/normalize.hpp"
#include "lsh/panic.hpp"
#include "lsh/parallel.hpp"

namespace lsh {

namespace {

// ------------------------------------------------------- sign matrices ----

// Components per block of the float32 product (the packed rows of a block
// stay in L2 while every panel of the sign matrix passes over them).
constexpr std::size_t kBlockComponents = 128;
// Most rows per tile, and the memory a tile's packed rows may take.
constexpr std::size_t kTileRows = 192;
constexpr std::size_t kTileBytes = std::size_t{8} << 20;
// Largest piece of the sign matrix generated at once, in bytes and columns;
// a configuration that fits in one piece is kept for later calls.
constexpr std::size_t kChunkBytes = std::size_t{64} << 20;
constexpr std::size_t kChunkColumns = 8192;
constexpr std::size_t kCachedConfigurations = 4;
constexpr std::size_t kCachedBytes = std::size_t{128} << 20;

struct SignKey {
    std::uint64_t families;
    std::uint64_t bits;
    std::size_t length;
    std::size_t nr;
    std::uint64_t first_column;
    std::size_t columns;
    bool operator==(const SignKey&) const = default;
};

using SignPanels = std::vector<float>;

// Panels of the sign matrix for columns first .. first + columns - 1 (column
// c = u * B + w is bit w of family u); columns past F * B are zero.
std::shared_ptr<const SignPanels> generate_signs(const SignKey& key, unsigned threads) {
    const std::size_t panels = key.columns / key.nr;
    auto signs = std::make_shared<SignPanels>(panels * key.length * key.nr);
    const std::uint64_t total = key.families * key.bits;
    float* out = signs->data();
    parallel_for(panels, worker_count(panels * key.length * key.nr / 65536, threads), [&](std::size_t p, unsigned) {
        float* panel = out + p * key.length * key.nr;
        for (std::size_t j = 0; j < key.nr; ++j) {
            const std::uint64_t column = key.first_column + p * key.nr + j;
            if (column >= total) {
                for (std::size_t i = 0; i < key.length; ++i) panel[i * key.nr + j] = 0.0f;
                continue;
            }
            const std::uint64_t u = column / key.bits;
            const std::uint64_t w = column % key.bits;
            for (std::size_t i = 0; i < key.length; ++i)
                panel[i * key.nr + j] = projection_sign_positive(u, w, i) ? 1.0f : -1.0f;
        }
    });
    return signs;
}

class SignCache {
public:
    std::shared_ptr<const SignPanels> find(const SignKey& key) {
        const std::lock_guard lock(mutex_);
        for (std::size_t k = 0; k < entries_.size(); ++k) {
            if (entries_[k].key == key) {
                std::rotate(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(k),
                            entries_.begin() + static_cast<std::ptrdiff_t>(k) + 1);
                return entries_.front().signs;
            }
        }
        return nullptr;
    }
    void store(const SignKey& key, std::shared_ptr<const SignPanels> signs) {
        const std::lock_guard lock(mutex_);
        for (const Entry& entry : entries_) {
            if (entry.key == key) return;  // another call stored it meanwhile
        }
        entries_.insert(entries_.begin(), Entry{key, std::move(signs)});
        // The oldest go first, down to the count and the total size kept.
        std::size_t bytes = 0;
        std::size_t keep = 0;
        while (keep < entries_.size() && keep < kCachedConfigurations &&
               bytes + entries_[keep].signs->size() * sizeof(float) <= kCachedBytes) {
            bytes += entries_[keep].signs->size() * sizeof(float);
            ++keep;
        }
        entries_.resize(std::max<std::size_t>(keep, 1));
    }

private:
    struct Entry {
        SignKey key;
        std::shared_ptr<const SignPanels> signs;
    };
    std::mutex mutex_;
    std::vector<Entry> entries_;
};

SignCache& sign_cache() {
    static SignCache* cache = new SignCache();  // never destroyed: calls may run during exit
    return *cache;
}

std::shared_ptr<const SignPanels> signs_for(const SignKey& key, bool whole_matrix, unsigned threads) {
    if (!whole_matrix) return generate_signs(key, threads);
    if (auto cached = sign_cache().find(key)) return cached;
    auto signs = generate_signs(key, threads);
    sign_cache().store(key, signs);
    return signs;
}

// ------------------------------------------------------------ the bound ----

double gamma(double k, double unit) { return k * unit / (1.0 - k * unit); }

// The factor of sum |x_i| below which a float32 sum does not decide a bit.
// The product sums each block of kBlockComponents components from zero in
// order (at most kBlockComponents - 1 roundings per term) and adds the block
// sums one after the other (at most blocks - 1 more): every term is thus
// multiplied by a product of at most k = (kBlockComponents - 1) + (blocks - 1)
// factors (1 + d), |d| <= 2^-24, so the error is at most g(k, 2^-24) * A
// (Higham, lemma 3.3); the ordered double sum adds g(n - 1, 2^-53) * A.
double decision_factor(std::size_t n) {
    const std::size_t blocks = (n + kBlockComponents - 1) / kBlockComponents;
    const std::size_t within = std::min(n, kBlockComponents);
    const double k32 = static_cast<double>((within > 0 ? within - 1 : 0) + (blocks > 0 ? blocks - 1 : 0));
    const double k64 = static_cast<double>(n > 0 ? n - 1 : 0);
    return (gamma(k32, 0x1p-24) + gamma(k64, 0x1p-53)) * (1.0 + 0x1p-20);
}

// Byte b with its bits in reverse order: column bits come least significant
// first, signature bits most significant first.
constexpr auto kReversedBits = [] {
    std::array<std::uint8_t, 256> table{};
    for (unsigned b = 0; b < 256; ++b) {
        unsigned reversed = 0;
        for (unsigned k = 0; k < 8; ++k) reversed |= ((b >> k) & 1u) << (7 - k);
        table[b] = static_cast<std::uint8_t>(reversed);
    }
    return table;
}();

// The smallest float >= value (value finite and positive, below 2^127).
float next_float_up(double value) {
    const float rounded = static_cast<float>(value);
    return static_cast<double>(rounded) >= value ? rounded : std::nextafter(rounded, 0x1.fffffep127f);
}

enum class RowPath : std::uint8_t { fast, zero, exact };

// ------------------------------------------------------------ the tiles ----

void set_bit(std::uint8_t* family_code, std::uint64_t w) {
    family_code[w / 8] = static_cast<std::uint8_t>(family_code[w / 8] | (0x80u >> (w % 8)));
}

struct Scratch {
    std::vector<float> tile;     // packed rows
    std::vector<float> block;    // mr rows as read
    std::vector<float> row;      // one row, for the exact path
    std::vector<double> wide;    // one row widened, for the exact path
    std::vector<float> product;  // float32 sums of the tile
    std::vector<double> limit;   // T per row
    std::vector<RowPath> path;
    std::vector<std::uint32_t> pending_rows;
    std::vector<std::uint32_t> pending_cols;
    std::vector<std::uint8_t> pending_bits;
    std::vector<std::uint8_t> bits;     // one family's bits
    std::vector<std::uint64_t> ones;    // one row's decided ones, by column
    std::vector<std::uint64_t> unsure;  // and its undecided columns
};

struct Plan {
    const RowMatrix& rows;
    const SimhashShape& shape;
    std::uint8_t* codes;
    const SimhashKernel& simhash;  // the per-vector kernel, for whole rows
    const BatchKernels& kernels;
    std::size_t tile_rows;
    double factor;
};

// Every family of one row through the per-vector kernel.
void exact_row(const Plan& plan, std::size_t r, Scratch& s) {
    const std::size_t n = plan.rows.cols;
    s.row.resize(n);
    s.wide.resize(n);
    s.bits.resize(plan.shape.bits);
    read_row(plan.rows, r, s.row.data());
    for (std::size_t i = 0; i < n; ++i) s.wide[i] = widen_to_double(s.row[i]);
    std::uint8_t* code = plan.codes + r * plan.shape.row_bytes;
    for (std::uint64_t u = 0; u < plan.shape.families; ++u) {
        signature_bits(plan.simhash, s.wide, u, plan.shape.bits, s.bits.data());
        std::uint8_t* family_code = code + u * plan.shape.family_bytes;
        for (std::uint64_t w = 0; w < plan.shape.bits; ++w) {
            if (s.bits[w] != 0) set_bit(family_code, w);
        }
    }
}

// Classifies a row: its limit T, or the path it takes instead.
RowPath classify(const BatchKernels& kernels, const float* x, std::size_t n, double factor, double& limit) {
    double magnitude = 0.0;
    const bool special = kernels.measure(x, n, &magnitude);
    if (special || !(magnitude <= 0x1p126)) return RowPath::exact;
    if (magnitude == 0.0) return RowPath::zero;
    limit = factor * magnitude;
    return RowPath::fast;
}

// Reads and packs rows r0 .. r0 + m - 1, mr rows at a time; returns the
// padded row count. Rows that do not take the fast path are packed as zeros.
std::size_t pack_tile(const Plan& plan, std::size_t r0, std::size_t m, Scratch& s) {
    const std::size_t n = plan.rows.cols;
    const std::size_t mr = plan.kernels.mr;
    const std::size_t padded = (m + mr - 1) / mr * mr;
    s.tile.resize(padded * n);
    s.block.resize(mr * n);
    s.limit.resize(m);
    s.path.resize(m);
    for (std::size_t b = 0; b < padded; b += mr) {
        for (std::size_t k = 0; k < mr; ++k) {
            float* row = s.block.data() + k * n;
            const std::size_t r = b + k;
            if (r < m) {
                read_row(plan.rows, r0 + r, row);
                s.path[r] = classify(plan.kernels, row, n, plan.factor, s.limit[r]);
                if (s.path[r] == RowPath::fast) continue;
            }
            std::fill(row, row + n, 0.0f);
        }
        plan.kernels.interleave(s.block.data(), n, s.tile.data() + b * n);
    }
    return padded;
}

void product(const Plan& plan, const float* signs, std::size_t panels, std::size_t m, std::size_t padded, Scratch& s) {
    const std::size_t n = plan.rows.cols;
    const std::size_t mr = plan.kernels.mr;
    const std::size_t nr = plan.kernels.nr;
    const std::size_t ldc = panels * nr;
    s.product.resize(padded * ldc);
    for (std::size_t k0 = 0; k0 < n; k0 += kBlockComponents) {
        const std::size_t kc = std::min(kBlockComponents, n - k0);
        for (std::size_t p = 0; p < panels; ++p) {
            const float* panel = signs + p * n * nr + k0 * nr;
            for (std::size_t r = 0; r < padded; r += mr) {
                plan.kernels.micro(std::min(mr, m - r), s.tile.data() + r * n + k0 * mr, panel,
                                   s.product.data() + r * ldc + p * nr, ldc, kc, k0 != 0);
            }
        }
    }
}

// One tile against one piece of the sign matrix.
void run_tile(const Plan& plan, const SignKey& piece, const float* signs, std::size_t tile, Scratch& s) {
    const std::size_t r0 = tile * plan.tile_rows;
    const std::size_t m = std::min(plan.tile_rows, plan.rows.rows - r0);
    const std::uint64_t total = plan.shape.families * plan.shape.bits;
    const bool first_piece = piece.first_column == 0;
    if (first_piece) std::memset(plan.codes + r0 * plan.shape.row_bytes, 0, m * plan.shape.row_bytes);

    const std::size_t padded = pack_tile(plan, r0, m, s);
    const std::size_t panels = piece.columns / plan.kernels.nr;
    const std::size_t ldc = piece.columns;
    const std::size_t live =
        static_cast<std::size_t>(std::min<std::uint64_t>(piece.columns, total - piece.first_column));
    product(plan, signs, panels, m, padded, s);

    s.pending_rows.clear();
    s.pending_cols.clear();
    const std::uint64_t first_family = piece.first_column / plan.shape.bits;
    const std::uint64_t first_bit = piece.first_column % plan.shape.bits;
    const std::size_t words = (live + 63) / 64;
    s.ones.resize(words);
    s.unsure.resize(words);
    const bool byte_aligned = plan.shape.bits % 8 == 0 && first_bit % 8 == 0;
    for (std::size_t r = 0; r < m; ++r) {
        if (s.path[r] != RowPath::fast) continue;
        // The float32 limit is T rounded up, so comparing with it decides a
        // bit only where comparing with T would.
        const float limit = next_float_up(s.limit[r]);
        const std::size_t unsure =
            plan.kernels.decide(s.product.data() + r * ldc, live, limit, s.ones.data(), s.unsure.data());
        for (std::size_t k = 0; unsure != 0 && k < words; ++k) {
            for (std::uint64_t bits = s.unsure[k]; bits != 0; bits &= bits - 1) {
                s.pending_rows.push_back(static_cast<std::uint32_t>(r));
                s.pending_cols.push_back(
                    static_cast<std::uint32_t>(64 * k + static_cast<std::size_t>(std::countr_zero(bits))));
            }
        }
        std::uint8_t* family_code =
            plan.codes + (r0 + r) * plan.shape.row_bytes + first_family * plan.shape.family_bytes;
        if (byte_aligned) {
            // Columns run on through the families' bytes without gaps.
            std::uint8_t* out = family_code + first_bit / 8;
            for (std::size_t t = 0; t < live / 8; ++t) out[t] = kReversedBits[(s.ones[t / 8] >> (8 * (t % 8))) & 0xFFu];
            continue;
        }
        std::uint64_t w = first_bit;
        for (std::size_t c = 0; c < live; ++c) {
            const unsigned one = static_cast<unsigned>(s.ones[c / 64] >> (c % 64)) & 1u;
            family_code[w / 8] = static_cast<std::uint8_t>(family_code[w / 8] | (one << (7 - w % 8)));
            if (++w == plan.shape.bits) {
                w = 0;
                family_code += plan.shape.family_bytes;
            }
        }
    }
    if (!s.pending_rows.empty()) {
        s.pending_bits.resize(s.pending_rows.size());
        plan.kernels.exact(s.tile.data(), plan.kernels.mr, signs, plan.kernels.nr, plan.rows.cols,
                           s.pending_rows.data(), s.pending_cols.data(), s.pending_rows.size(), s.pending_bits.data());
        for (std::size_t k = 0; k < s.pending_rows.size(); ++k) {
            if (s.pending_bits[k] == 0) continue;
            const std::uint64_t column = piece.first_column + s.pending_cols[k];
            std::uint8_t* code = plan.codes + (r0 + s.pending_rows[k]) * plan.shape.row_bytes;
            set_bit(code + (column / plan.shape.bits) * plan.shape.family_bytes, column % plan.shape.bits);
        }
    }
    if (first_piece) {
        for (std::size_t r = 0; r < m; ++r) {
            if (s.path[r] == RowPath::exact) exact_row(plan, r0 + r, s);
        }
    }
}

std::size_t round_up(std::size_t value, std::size_t step) { return (value + step - 1) / step * step; }

}  // namespace

SimhashShape simhash_shape(std::uint64_t families, std::uint64_t bits, std::uint64_t bands) {
    SimhashShape shape;
    shape.families = std::max<std::uint64_t>(families, 1);
    shape.bits = std::max<std::uint64_t>(bits, 64);
    const std::uint64_t k = std::max<std::uint64_t>(bands, 1);
    if (shape.families >= (std::uint64_t{1} << 57)) panic(kCapacityOverflow);
    if (shape.bits >= (std::uint64_t{1} << 63)) panic(kCapacityOverflow);
    shape.hex_chars = shape.bits / 4 + (shape.bits % 4 != 0 ? 1 : 0);
    // Bands of one signature all have max(1, L / k) characters; there are
    // k of them, or L when L < k.
    shape.band_width = std::max<std::uint64_t>(1, shape.hex_chars / k);
    shape.band_count = std::min<std::uint64_t>(k, shape.hex_chars / shape.band_width);
    shape.family_bytes = shape.bits / 8 + (shape.bits % 8 != 0 ? 1 : 0);
    shape.row_bytes = checked_product(shape.families, shape.family_bytes);
    checked_product(shape.families, shape.bits);  // the columns of the sign matrix are counted in 64 bits
    return shape;
}

void simhash_batch(const RowMatrix& rows, const SimhashShape& shape, std::uint8_t* codes, unsigned threads) {
    simhash_batch(rows, shape, codes, threads, batch_kernels().isa);
}

void simhash_batch(const RowMatrix& rows, const SimhashShape& shape, std::uint8_t* codes, unsigned threads, Isa isa) {
    const BatchKernels* found = find_batch_kernels(isa);
    const SimhashKernel* simhash = find_simhash_kernel(isa);
    if (found == nullptr || simhash == nullptr) panic(std::string("no kernels for ") + isa_name(isa) + " on this CPU");
    const BatchKernels& kernels = *found;
    if (rows.rows == 0) return;
    const std::size_t n = rows.cols;
    const FloatEnvScope fp_env;

    if (n == 0 || n > kFastPathMaxLength) {
        // Every row exactly, through the per-vector kernels.
        const Plan plan{rows, shape, codes, *simhash, kernels, 1, 0.0};
        std::vector<Scratch> scratch(worker_count(rows.rows, threads));
        parallel_for(rows.rows, static_cast<unsigned>(scratch.size()), [&](std::size_t r, unsigned worker) {
            std::memset(codes + r * shape.row_bytes, 0, shape.row_bytes);
            exact_row(plan, r, scratch[worker]);
        });
        return;
    }

    const std::size_t mr = kernels.mr;
    const std::size_t nr = kernels.nr;
    // Tiles: at most kTileRows rows and kTileBytes of packed rows.
    const std::size_t most_rows = std::min(kTileRows, std::max(mr, kTileBytes / (n * sizeof(float)) / mr * mr));
    // As many tiles of nearly equal size as every thread can take the same
    // number of, so that no thread waits for another at the end.
    const std::size_t workers = worker_count(rows.rows, threads);
    std::size_t tiles = (rows.rows + most_rows - 1) / most_rows;
    if (tiles < rows.rows) tiles = std::min(rows.rows, round_up(tiles, workers));
    const std::size_t tile_rows = (rows.rows + tiles - 1) / tiles;
    tiles = (rows.rows + tile_rows - 1) / tile_rows;

    const std::uint64_t total = shape.families * shape.bits;
    const std::size_t panel_bytes = n * nr * sizeof(float);
    const std::size_t chunk_panels = std::max<std::size_t>(1, std::min(kChunkBytes / panel_bytes, kChunkColumns / nr));
    const std::uint64_t all_panels = total / nr + (total % nr != 0 ? 1 : 0);
    const bool whole = all_panels <= chunk_panels;

    const Plan plan{rows, shape, codes, *simhash, kernels, tile_rows, decision_factor(n)};
    std::vector<Scratch> scratch(worker_count(tiles, threads));
    for (std::uint64_t first_panel = 0; first_panel < all_panels; first_panel += chunk_panels) {
        const std::size_t panels =
            static_cast<std::size_t>(std::min<std::uint64_t>(chunk_panels, all_panels - first_panel));
        const SignKey piece{shape.families, shape.bits, n, nr, first_panel * nr, panels * nr};
        const std::shared_ptr<const SignPanels> signs = signs_for(piece, whole, threads);
        parallel_for(tiles, static_cast<unsigned>(scratch.size()), [&](std::size_t tile, unsigned worker) {
            run_tile(plan, piece, signs->data(), tile, scratch[worker]);
        });
    }
}

namespace {

// Hex digit j of a packed family code: the high half of byte j / 2 for even j.
unsigned hex_digit(const std::uint8_t* code, std::size_t j) {
    return (j % 2 == 0) ? code[j / 2] >> 4 : code[j / 2] & 0xFu;
}

}  // namespace

void band_values(const std::uint8_t* codes, std::size_t n, const SimhashShape& shape, std::uint64_t* out) {
    const std::size_t families = static_cast<std::size_t>(shape.families);
    const std::size_t width = static_cast<std::size_t>(shape.band_width);
    const std::size_t count = static_cast<std::size_t>(shape.band_count);
    for (std::size_t r = 0; r < n; ++r) {
        for (std::size_t u = 0; u < families; ++u) {
            const std::uint8_t* code = codes + r * shape.row_bytes + u * shape.family_bytes;
            for (std::size_t k = 0; k < count; ++k) {
                std::uint64_t value = 0;
                for (std::size_t j = k * width; j < (k + 1) * width; ++j) value = (value << 4) | hex_digit(code, j);
                *out++ = value;
            }
        }
    }
}

void band_texts(const std::uint8_t* codes, std::size_t n, const SimhashShape& shape, char* out) {
    const std::size_t families = static_cast<std::size_t>(shape.families);
    const std::size_t chars = static_cast<std::size_t>(shape.band_width * shape.band_count);
    for (std::size_t r = 0; r < n; ++r) {
        for (std::size_t u = 0; u < families; ++u) {
            const std::uint8_t* code = codes + r * shape.row_bytes + u * shape.family_bytes;
            for (std::size_t j = 0; j < chars; ++j) *out++ = kHexDigits[hex_digit(code, j)];
        }
    }
}

namespace {

// Rows per task for the row-by-row functions.
constexpr std::size_t kRowsPerTask = 64;

std::size_t row_tasks(std::size_t n) { return (n + kRowsPerTask - 1) / kRowsPerTask; }

// body(r, worker) for every row r < n, kRowsPerTask rows per task, on at most
// `workers` threads.
template <class Body>
void for_rows(std::size_t n, unsigned workers, Body&& body) {
    parallel_for(row_tasks(n), workers, [&](std::size_t task, unsigned worker) {
        const std::size_t end = std::min(n, (task + 1) * kRowsPerTask);
        for (std::size_t r = task * kRowsPerTask; r < end; ++r) body(r, worker);
    });
}

std::int64_t differing_bits(const std::uint8_t* a, const std::uint8_t* b, std::size_t bytes) {
    std::int64_t count = 0;
    std::size_t i = 0;
    for (; i + 8 <= bytes; i += 8) {
        std::uint64_t x, y;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        count += std::popcount(x ^ y);
    }
    for (; i < bytes; ++i) count += std::popcount(static_cast<unsigned>(a[i] ^ b[i]));
    return count;
}

}  // namespace

void normalize_batch(const RowMatrix& rows, float* out, unsigned threads) {
    const std::size_t n = rows.cols;
    const FloatEnvScope fp_env;
    for_rows(rows.rows, threads, [&](std::size_t r, unsigned) {
        float* row = out + r * n;
        read_row(rows, r, row);
        normalize_vector_into(std::span<const float>(row, n), row);
    });
}

void sha256_batch(const RowMatrix& rows, char* out, unsigned threads) {
    const FloatEnvScope fp_env;
    std::vector<std::vector<float>> buffers(worker_count(row_tasks(rows.rows), threads));
    for (std::vector<float>& row : buffers) row.resize(rows.cols);
    for_rows(rows.rows, static_cast<unsigned>(buffers.size()), [&](std::size_t r, unsigned worker) {
        std::vector<float>& row = buffers[worker];
        read_row(rows, r, row.data());
        const std::string digest = compute_embedding_sha256(row);
        std::memcpy(out + r * 64, digest.data(), 64);
    });
}

void hamming_one_to_many(const std::uint8_t* code, const std::uint8_t* codes, std::size_t n, std::size_t bytes,
                         std::int64_t* out, unsigned threads) {
    for_rows(n, threads, [&](std::size_t r, unsigned) { out[r] = differing_bits(code, codes + r * bytes, bytes); });
}

void hamming_pairs(const std::uint8_t* a, const std::uint8_t* b, std::size_t n, std::size_t bytes, std::int64_t* out,
                   unsigned threads) {
    for_rows(n, threads,
             [&](std::size_t r, unsigned) { out[r] = differing_bits(a + r * bytes, b + r * bytes, bytes); });
}

void cosine_batch(const std::uint8_t* distances, std::size_t n, std::uint64_t total_bits, double* out) {
    for (std::size_t i = 0; i < n; ++i) {
        std::uint64_t distance;
        std::memcpy(&distance, distances + i * sizeof distance, sizeof distance);
        out[i] = cosine_from_hamming(distance, total_bits);
    }
}

const char* batch_kernels_name() noexcept { return isa_name(batch_kernels().isa); }

}  // namespace lsh

// Times the signature core on the package's typical request -- 1,536
// components, 3 families x 256 bits x 16 bands -- once per signature kernel
// the CPU supports, the portable loop included, in one process; rounds
// alternate between the kernels so that clock drift affects them alike.
//
// Usage: simhash_kernels ROUNDS TARGET_MS
// Prints one JSON object per line: the dispatched kernel, then for each
// kernel its median time per call and whether its signatures equal those of
// the portable loop.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "lsh/simhash.hpp"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<float> test_vector(std::size_t n) {
    // A deterministic pseudo-random unit vector (xorshift, Box-Muller free).
    std::uint64_t state = 0x243F6A8885A308D3ull;
    std::vector<float> v(n);
    double norm = 0.0;
    for (float& x : v) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        x = static_cast<float>(static_cast<double>(state >> 11) * 0x1p-53 - 0.5);
        norm += static_cast<double>(x) * static_cast<double>(x);
    }
    for (float& x : v) x = static_cast<float>(static_cast<double>(x) / std::sqrt(norm));
    return v;
}

std::string signatures(const std::vector<lsh::FamilySignature>& records) {
    std::string all;
    for (const auto& r : records) all += r.signature + "/";
    return all;
}

double seconds_per_call(const lsh::SimhashKernel& kernel, const std::vector<float>& v, long calls) {
    const auto start = Clock::now();
    std::size_t sink = 0;
    for (long c = 0; c < calls; ++c) {
        const auto records = lsh::simhash_lsh_multi(v, 3, 256, 16, kernel);
        sink += static_cast<unsigned char>(records[0].signature[0]);
    }
    const auto stop = Clock::now();
    if (sink == 1) std::puts("");  // keeps the calls observable
    return std::chrono::duration<double>(stop - start).count() / static_cast<double>(calls);
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    const double target_ms = argc > 2 ? std::max(0.1, std::atof(argv[2])) : 100.0;

    const std::vector<float> v = test_vector(1536);
    std::vector<const lsh::SimhashKernel*> kernels;
    for (lsh::Isa isa : {lsh::Isa::scalar, lsh::Isa::avx2, lsh::Isa::avx512, lsh::Isa::neon}) {
        if (const lsh::SimhashKernel* kernel = lsh::find_simhash_kernel(isa)) kernels.push_back(kernel);
    }
    std::printf("{\"dispatched\": \"%s\"}\n", lsh::isa_name(lsh::simhash_kernel().isa));

    const std::string expected = signatures(lsh::simhash_lsh_multi(v, 3, 256, 16, lsh::detail::kSimhashScalar));
    std::vector<long> calls(kernels.size());
    std::vector<bool> identical(kernels.size());
    for (std::size_t k = 0; k < kernels.size(); ++k) {
        identical[k] = signatures(lsh::simhash_lsh_multi(v, 3, 256, 16, *kernels[k])) == expected;
        const double once = seconds_per_call(*kernels[k], v, 1);  // also warms up
        calls[k] = std::max(1L, static_cast<long>(target_ms * 1e-3 / once));
    }
    std::vector<std::vector<double>> samples(kernels.size());
    for (int r = 0; r < rounds; ++r) {
        for (std::size_t k = 0; k < kernels.size(); ++k) {
            samples[k].push_back(seconds_per_call(*kernels[k], v, calls[k]));
        }
    }
    for (std::size_t k = 0; k < kernels.size(); ++k) {
        auto& s = samples[k];
        std::sort(s.begin(), s.end());
        const double median = s.size() % 2 == 1 ? s[s.size() / 2] : 0.5 * (s[s.size() / 2 - 1] + s[s.size() / 2]);
        std::printf(
            "{\"kernel\": \"%s\", \"median_ns\": %.1f, \"calls_per_round\": %ld, \"rounds\": %d, "
            "\"identical_to_scalar\": %s}\n",
            lsh::isa_name(kernels[k]->isa), median * 1e9, calls[k], rounds, identical[k] ? "true" : "false");
    }
    return 0;
}

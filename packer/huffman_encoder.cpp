// Huffman side of the archiver.
//
// Code lengths come from package-merge, which gives the optimal code under a
// length limit; with at most 288 symbols and 16 levels its cost is a few
// thousand steps, small next to the work of filling a block.
//
// The code-length transmission is planned as a list of pre-code symbols
// first, so that its cost can be known exactly before anything is written:
// the pre-code is then built from the plan's own statistics. A few ways of
// using repeat runs are planned and the cheapest one is sent.
#include "packer/huffman_encoder.h"

#include <algorithm>
#include <numeric>

namespace packer {

namespace {

enum {
    PRECODE_SYMBOLS = 21,
    PRECODE_MAX_LENGTH = 7,  // keeps the decoder's 6-bit lookup nearly always direct
    PRE_ZERO_ONE = 17,       // zero run digit 1
    PRE_ZERO_TWO = 18,       // zero run digit 2
    PRE_REPEAT_ONE = 19,
    PRE_REPEAT_TWO = 20,
    LENGTH_MODULUS = 17,
};

// Digits of n >= 1 in bijective base 2, least significant first: each digit
// is 1 or 2, which is exactly how the decoder accumulates run fields.
template <typename F>
void for_each_bijective_digit(uint32_t n, F&& emit)
{
    while (n > 0) {
        if (n & 1) {
            emit(1u);
            n = (n - 1) >> 1;
        } else {
            emit(2u);
            n = (n - 2) >> 1;
        }
    }
}

// Plans the pre-code symbols of a transmission. Runs of unchanged lengths
// shorter than repeat_threshold are sent as difference 0 symbols instead of
// repeat symbols; zeros always go as zero runs, since those leave the
// running length alone.
void plan_symbols(const std::vector<uint8_t>& rows, unsigned W, unsigned R, unsigned repeat_threshold,
                  std::vector<uint8_t>& plan)
{
    plan.clear();
    const size_t total = (size_t)W * R;
    unsigned running = 0;
    size_t p = 0;
    while (p < total) {
        if (rows[p] == 0) {
            size_t q = p;
            while (q < total && rows[q] == 0)
                q++;
            for_each_bijective_digit((uint32_t)(q - p), [&](unsigned d) {
                plan.push_back((uint8_t)(d == 1 ? PRE_ZERO_ONE : PRE_ZERO_TWO));
            });
            p = q;
            continue;
        }
        // Count the positions from p on that a repeat would reproduce.
        size_t q = p;
        unsigned r = running;
        while (q < total && rows[q] != 0) {
            unsigned base = (q >= W && rows[q - W] != 0) ? rows[q - W] : r;
            if (base != rows[q])
                break;
            r = base;
            q++;
        }
        if (q > p && q - p >= repeat_threshold) {
            for_each_bijective_digit((uint32_t)(q - p), [&](unsigned d) {
                plan.push_back((uint8_t)(d == 1 ? PRE_REPEAT_ONE : PRE_REPEAT_TWO));
            });
            running = r;
            p = q;
            continue;
        }
        if (q > p) {
            for (size_t i = p; i < q; i++)
                plan.push_back(0);
            running = r;
            p = q;
            continue;
        }
        unsigned base = (p >= W && rows[p - W] != 0) ? rows[p - W] : running;
        plan.push_back((uint8_t)((rows[p] + LENGTH_MODULUS - base) % LENGTH_MODULUS));
        running = rows[p];
        p++;
    }
}

// The pre-code's own lengths as 5-bit fields: length + 1, or a run of
// bijective base-2 digits (field 0 = digit 1, field 1 = digit 2) that skips
// symbols without a code.
template <typename Sink>
void put_precode_lengths(const uint8_t* lengths, Sink&& put)
{
    unsigned i = 0;
    while (i < PRECODE_SYMBOLS) {
        if (lengths[i] != 0) {
            put(lengths[i] + 1u, 5);
            i++;
            continue;
        }
        unsigned j = i;
        while (j < PRECODE_SYMBOLS && lengths[j] == 0)
            j++;
        for_each_bijective_digit(j - i, [&](unsigned d) { put(d - 1, 5); });
        i = j;
    }
}

struct PlannedTransmission {
    std::vector<uint8_t> plan;
    std::vector<uint8_t> precode_lengths;
    uint64_t bits = 0;
};

PlannedTransmission plan_transmission(const std::vector<uint8_t>& rows, unsigned W, unsigned R)
{
    static const unsigned thresholds[] = {1, 2, 3, 5, 0xFFFFFFFFu};
    PlannedTransmission best;
    std::vector<uint8_t> plan;
    for (unsigned threshold : thresholds) {
        plan_symbols(rows, W, R, threshold, plan);
        std::vector<uint32_t> freqs(PRECODE_SYMBOLS, 0);
        for (uint8_t s : plan)
            freqs[s]++;
        std::vector<uint8_t> lengths = huffman_lengths(freqs, PRECODE_MAX_LENGTH);
        uint64_t bits = 0;
        put_precode_lengths(lengths.data(), [&](unsigned, unsigned n) { bits += n; });
        for (uint8_t s : plan)
            bits += lengths[s];
        if (best.precode_lengths.empty() || bits < best.bits) {
            best.plan = plan;
            best.precode_lengths = lengths;
            best.bits = bits;
        }
    }
    return best;
}

}  // namespace

std::vector<uint8_t> huffman_lengths(const std::vector<uint32_t>& freqs, unsigned max_length)
{
    const size_t n = freqs.size();
    std::vector<uint8_t> lengths(n, 0);
    if (max_length > 16)
        max_length = 16;
    if (max_length == 0)
        max_length = 1;

    std::vector<uint32_t> used;  // symbols by increasing frequency
    for (size_t s = 0; s < n; s++)
        if (freqs[s] != 0)
            used.push_back((uint32_t)s);
    if (used.empty())
        return lengths;
    if (used.size() == 1) {
        lengths[used[0]] = 1;
        return lengths;
    }
    // A limit too small for the alphabet cannot be met; widen it rather than
    // produce an over-full code.
    while (((size_t)1 << max_length) < used.size())
        max_length++;
    std::stable_sort(used.begin(), used.end(), [&](uint32_t a, uint32_t b) { return freqs[a] < freqs[b]; });

    // Package-merge. Level j's list merges the leaves with the packages of
    // level j - 1; only whether an item is a leaf needs to be remembered,
    // since the leaves inside any prefix of a list are a prefix of `used`.
    const size_t m = used.size();
    std::vector<std::vector<uint8_t>> is_leaf(max_length);
    std::vector<uint64_t> prev_weight, weight;
    for (unsigned level = 0; level < max_length; level++) {
        std::vector<uint64_t> packages;
        for (size_t i = 0; i + 1 < prev_weight.size(); i += 2)
            packages.push_back(prev_weight[i] + prev_weight[i + 1]);
        weight.clear();
        std::vector<uint8_t>& flags = is_leaf[level];
        flags.clear();
        size_t a = 0, b = 0;
        while (a < m || b < packages.size()) {
            if (b >= packages.size() || (a < m && freqs[used[a]] <= packages[b])) {
                weight.push_back(freqs[used[a++]]);
                flags.push_back(1);
            } else {
                weight.push_back(packages[b++]);
                flags.push_back(0);
            }
        }
        prev_weight.swap(weight);
    }
    // Take 2m - 2 items from the last list and follow the packages down.
    size_t take = 2 * m - 2;
    for (int level = (int)max_length - 1; level >= 0 && take > 0; level--) {
        const std::vector<uint8_t>& flags = is_leaf[level];
        size_t leaves = 0;
        for (size_t i = 0; i < take; i++)
            leaves += flags[i];
        for (size_t i = 0; i < leaves; i++)
            lengths[used[i]]++;
        take = 2 * (take - leaves);
    }
    return lengths;
}

std::vector<uint32_t> canonical_codes(const std::vector<uint8_t>& lengths)
{
    // The decoder's assign_codes: the procedure of RFC 1951, codes stored
    // with their bits reversed over the code length.
    uint32_t count[17] = {0};
    for (uint8_t len : lengths)
        if (len <= 16)
            count[len]++;
    count[0] = 0;
    uint32_t next[17] = {0};
    uint32_t code = 0;
    for (unsigned len = 1; len <= 16; len++) {
        code = (code + count[len - 1]) << 1;
        next[len] = code;
    }
    std::vector<uint32_t> codes(lengths.size(), 0);
    for (size_t s = 0; s < lengths.size(); s++) {
        unsigned len = lengths[s];
        if (len == 0 || len > 16)
            continue;
        uint32_t c = next[len]++;
        uint32_t reversed = 0;
        for (unsigned i = 0; i < len; i++)
            reversed |= ((c >> i) & 1) << (len - 1 - i);
        codes[s] = reversed;
    }
    return codes;
}

void write_code_lengths(BitWriter& out, const std::vector<uint8_t>& rows, unsigned W, unsigned R)
{
    PlannedTransmission t = plan_transmission(rows, W, R);
    put_precode_lengths(t.precode_lengths.data(), [&](unsigned v, unsigned n) { out.put(v, n); });
    std::vector<uint32_t> codes = canonical_codes(t.precode_lengths);
    for (uint8_t s : t.plan)
        out.put_code(codes[s], t.precode_lengths[s]);
}

uint64_t code_lengths_cost(const std::vector<uint8_t>& rows, unsigned W, unsigned R)
{
    return plan_transmission(rows, W, R).bits;
}

}  // namespace packer

// BWT block encoder.
//
// The block's bytes, shifted by the alphabet offset, are extended by an end
// marker that sorts before every byte. Because the marker is unique and
// smallest, sorting the rotations of t + marker is the same as sorting the
// suffixes of t (a suffix that is a prefix of another sorts first), so one
// suffix array gives the whole transform: row 0 is the rotation that starts
// with the marker and ends with t[n - 1]; row k >= 1 starts at SA[k - 1] and
// its last column holds the byte before it, or the marker for the rotation
// that starts at 0.
//
// The last column goes through move-to-front; the front byte is never coded
// on its own but as runs in bijective base 2 (SYM_RUN1 = digit 1, SYM_RUN2 =
// digit 2, least significant first), the marker as SYM_ORIGIN. The symbols
// are cut into groups of 50, each coded with one of up to six Huffman tables.
// The tables are fitted by a few rounds of assigning every group to the table
// that codes it cheapest and rebuilding each table from the groups it got.
#include <divsufsort.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "codec/bwt_decoder.h"
#include "codec/input_stream.h"
#include "packer/block_writer.h"
#include "packer/huffman_encoder.h"

namespace packer {

namespace {

enum {
    // Code lengths that stand in for "in this table's share" and "not in
    // it" in the first assignment round, before any table has been built.
    SEED_SHORT_LENGTH = 0,
    SEED_LONG_LENGTH = 15,
};

using Symbols = std::vector<uint16_t>;

struct TableFit {
    unsigned count = 0;
    std::vector<std::vector<uint8_t>> lengths;  // count rows of BWT_SYMBOLS
    std::vector<uint8_t> selectors;             // one table number per group
    uint64_t bits = 0;                          // tables, selectors, symbols
};

void emit_run(Symbols& symbols, uint32_t run)
{
    while (run > 0) {
        if (run & 1) {
            symbols.push_back(SYM_RUN1);
            run = (run - 1) >> 1;
        } else {
            symbols.push_back(SYM_RUN2);
            run = (run - 2) >> 1;
        }
    }
}

// Suffix sort, last column, move-to-front and run coding in one pass over
// the rows.
Symbols transform(const uint8_t* data, uint32_t n, uint8_t offset)
{
    Symbols symbols;
    std::vector<uint8_t> t(n);
    for (uint32_t i = 0; i < n; i++)
        t[i] = (uint8_t)(data[i] - offset);
    std::vector<saidx_t> sa(n);
    if (n > 0 && divsufsort(t.data(), sa.data(), (saidx_t)n) != 0)
        throw std::runtime_error("suffix sorting failed");

    uint8_t order[256];
    for (int i = 0; i < 256; i++)
        order[i] = (uint8_t)i;
    symbols.reserve(n / 2 + 16);
    uint32_t run = 0;
    for (uint32_t row = 0; row <= n; row++) {
        uint32_t start = row == 0 ? n : (uint32_t)sa[row - 1];
        if (start == 0) {
            // The rotation that starts at the text's first byte ends with
            // the marker; its symbol also ends any run in progress.
            emit_run(symbols, run);
            run = 0;
            symbols.push_back(SYM_ORIGIN);
            continue;
        }
        uint8_t c = t[start - 1];
        if (order[0] == c) {
            run++;
            continue;
        }
        emit_run(symbols, run);
        run = 0;
        unsigned pos = 1;
        while (order[pos] != c)
            pos++;
        std::memmove(order + 1, order, pos);
        order[0] = c;
        symbols.push_back((uint16_t)(pos + 1));
    }
    emit_run(symbols, run);
    return symbols;
}

unsigned default_table_count(size_t symbol_count)
{
    if (symbol_count < 100)
        return 1;
    if (symbol_count < 200)
        return 2;
    if (symbol_count < 600)
        return 3;
    if (symbol_count < 1200)
        return 4;
    if (symbol_count < 2400)
        return 5;
    return BWT_MAX_TABLES;
}

// Every table gets a code for every symbol the block uses, so any group can
// go to any table; a table that saw a symbol rarely pays only a long code.
std::vector<uint8_t> fit_lengths(const std::vector<uint32_t>& freqs, const std::vector<bool>& used)
{
    std::vector<uint32_t> f(BWT_SYMBOLS, 0);
    for (unsigned s = 0; s < BWT_SYMBOLS; s++)
        if (used[s])
            f[s] = freqs[s] + 1;
    return huffman_lengths(f, 16);
}

// Unary selector through the table move-to-front list.
template <typename Sink>
void for_each_selector(const std::vector<uint8_t>& selectors, Sink&& put)
{
    uint8_t order[BWT_MAX_TABLES] = {0, 1, 2, 3, 4, 5};
    for (uint8_t table : selectors) {
        unsigned k = 0;
        while (order[k] != table)
            k++;
        std::memmove(order + 1, order, k);
        order[0] = table;
        put(k);
    }
}

TableFit fit_tables(const Symbols& symbols, const std::vector<bool>& used, const std::vector<uint32_t>& totals,
                    unsigned count, unsigned passes)
{
    size_t groups = (symbols.size() + BWT_GROUP_SIZE - 1) / BWT_GROUP_SIZE;
    count = std::max(1u, std::min<unsigned>(count, (unsigned)groups));
    std::vector<std::vector<uint8_t>> lengths(count, std::vector<uint8_t>(BWT_SYMBOLS, SEED_LONG_LENGTH));

    // Seed: cut the used symbols into count ranges of about equal frequency.
    uint64_t left = symbols.size();
    unsigned s = 0;
    for (unsigned t = 0; t < count; t++) {
        uint64_t share = left / (count - t), taken = 0;
        unsigned begin = s;
        while (s < BWT_SYMBOLS && (taken < share || s == begin)) {
            taken += totals[s];
            s++;
        }
        if (t == count - 1)
            s = BWT_SYMBOLS;
        for (unsigned k = begin; k < s; k++)
            lengths[t][k] = SEED_SHORT_LENGTH;
        left -= std::min(left, taken);
    }

    std::vector<uint8_t> selectors(groups, 0);
    for (unsigned pass = 0; pass < passes; pass++) {
        std::vector<std::vector<uint32_t>> freqs(count, std::vector<uint32_t>(BWT_SYMBOLS, 0));
        for (size_t g = 0; g < groups; g++) {
            size_t begin = g * BWT_GROUP_SIZE, end = std::min(symbols.size(), begin + BWT_GROUP_SIZE);
            unsigned best = 0;
            uint32_t best_cost = std::numeric_limits<uint32_t>::max();
            for (unsigned t = 0; t < count; t++) {
                const uint8_t* len = lengths[t].data();
                uint32_t cost = 0;
                for (size_t i = begin; i < end; i++)
                    cost += len[symbols[i]];
                if (cost < best_cost) {
                    best_cost = cost;
                    best = t;
                }
            }
            selectors[g] = (uint8_t)best;
            for (size_t i = begin; i < end; i++)
                freqs[best][symbols[i]]++;
        }
        for (unsigned t = 0; t < count; t++)
            lengths[t] = fit_lengths(freqs[t], used);
    }

    // Drop tables no group chose; they would cost their transmission only.
    std::vector<int> renumber(count, -1);
    TableFit fit;
    for (uint8_t sel : selectors)
        renumber[sel] = 0;
    for (unsigned t = 0; t < count; t++) {
        if (renumber[t] < 0)
            continue;
        renumber[t] = (int)fit.count++;
        fit.lengths.push_back(lengths[t]);
    }
    fit.selectors.resize(groups);
    for (size_t g = 0; g < groups; g++)
        fit.selectors[g] = (uint8_t)renumber[selectors[g]];

    fit.bits = 8 + 3;
    for (const auto& row : fit.lengths)
        fit.bits += code_lengths_cost(row, BWT_SYMBOLS, 1);
    for_each_selector(fit.selectors, [&](unsigned k) { fit.bits += k + 1; });
    for (size_t i = 0; i < symbols.size(); i++)
        fit.bits += fit.lengths[fit.selectors[i / BWT_GROUP_SIZE]][symbols[i]];
    return fit;
}

}  // namespace

void encode_bwt_block(BitWriter& out, const uint8_t* data, uint32_t length, bool last, const BwtOptions& options)
{
    if (length > MAX_BLOCK_OUTPUT)
        throw std::invalid_argument("BWT block longer than a block may be");
    // The alphabet offset rotates the byte order cyclically, which changes
    // the sort order at one cut only; on English text the best offset saved
    // about 0.1% and others lost as much, too little to pay for a second
    // transform, so the offset stays 0.
    const uint8_t offset = 0;
    Symbols symbols = transform(data, length, offset);

    std::vector<uint32_t> totals(BWT_SYMBOLS, 0);
    std::vector<bool> used(BWT_SYMBOLS, false);
    for (uint16_t s : symbols) {
        totals[s]++;
        used[s] = true;
    }

    unsigned passes = options.level <= 3 ? 3 : options.level <= 6 ? 6 : 8;
    unsigned preferred = default_table_count(symbols.size());
    TableFit fit = fit_tables(symbols, used, totals, preferred, passes);
    if (options.level >= 8) {
        // Table count by measurement: fewer tables can win on blocks whose
        // statistics change little.
        for (unsigned count = 1; count <= BWT_MAX_TABLES; count++) {
            if (count == preferred)
                continue;
            TableFit other = fit_tables(symbols, used, totals, count, passes);
            if (other.bits < fit.bits)
                fit = std::move(other);
        }
    }

    size_t start = begin_block(out, METHOD_BWT, last, length);
    out.put(offset, 8);
    out.put(fit.count, 3);
    for (const auto& row : fit.lengths)
        write_code_lengths(out, row, BWT_SYMBOLS, 1);
    out.align();

    std::vector<std::vector<uint32_t>> codes;
    for (const auto& row : fit.lengths)
        codes.push_back(canonical_codes(row));
    size_t group = 0;
    for_each_selector(fit.selectors, [&](unsigned k) {
        // k one-bits then a zero-bit; k is at most 5.
        out.put((1u << k) - 1, k + 1);
        size_t begin = group * BWT_GROUP_SIZE, end = std::min(symbols.size(), begin + BWT_GROUP_SIZE);
        unsigned table = fit.selectors[group];
        for (size_t i = begin; i < end; i++) {
            uint16_t s = symbols[i];
            out.put_code(codes[table][s], fit.lengths[table][s]);
        }
        group++;
    });
    finish_block(out, start);
}

}  // namespace packer

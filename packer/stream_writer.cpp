// Solid data stream writer.
//
// The decoded stream is the members' records back to back: LocalHeader, name,
// the stored bytes (after the call filter when the member has one) and the
// CRC-32 of the original bytes. It is produced piece by piece from the
// members, never held whole, and cut into blocks of at most
// MAX_BLOCK_OUTPUT bytes, which from level 5 on also end where a large
// member starts or ends. Each block is coded by every method the level
// allows and the smallest result is kept.
//
// LZ blocks refer to earlier output, so the writer keeps its own copy of the
// bytes the extractor will hold in front of each block. The count comes from
// HistoryModel, which replays the extractor's keep rules; the bytes are kept
// in the form the extractor keeps them, which for the delta regions of LZ
// blocks is the difference form the LZ encoder leaves in its window (the
// extractor turns those regions back into that form before it keeps them).
#include "packer/stream_writer.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <future>
#include <memory>
#include <stdexcept>

#include "archive/records.h"
#include "codec/crc32.h"
#include "codec/input_stream.h"
#include "codec/solid_stream.h"
#include "packer/block_writer.h"
#include "packer/call_filter.h"
#include "packer/history_model.h"
#include "packer/lz_delta.h"
#include "packer/lz_parse.h"
#include "packer/lz_symbols.h"
#include "packer/thread_pool.h"

namespace packer {

namespace {

enum : uint32_t {
    MEMBER_CRC_SIZE = 4,
    MAX_NAME_LENGTH = 0xFFFF,
    // A block's stored length is a 20-bit field, header included, so a
    // stored block holds at most this many bytes.
    MAX_STORED_OUTPUT = MAX_BLOCK_OUTPUT - 6,
    // A block shorter than this is still read as 8 bytes by the extractor,
    // which would take the next block's first bytes with it.
    MIN_INNER_BLOCK_BYTES = 8,
    // Blocks end at the start and the end of a member at least this large,
    // unless the piece in front would be shorter than MIN_CUT_PIECE: mixed
    // data codes worse than each kind in a block of its own.
    LARGE_MEMBER = 256 * 1024,
    MIN_CUT_PIECE = 16 * 1024,
    // A run of already compressed members at least this long gets stored
    // blocks of its own.
    MIN_STORED_RUN = 4096,
};

uint8_t applied_filter(const StreamMember& m)
{
    if (m.filter & ENTRY_FILTER16)
        return ENTRY_FILTER16;
    if ((m.filter & ENTRY_FILTER32) && call_filter_reversible(m.size, 4))
        return ENTRY_FILTER32;
    return 0;
}

// Produces the decoded stream in order, one member record after another.
// Member bytes come in pieces of at most PIECE_SIZE, through the call
// filter when the member has one; the CRC-32 of each member's original
// bytes is taken on the way.
class RecordSource {
public:
    explicit RecordSource(const std::vector<StreamMember>& members) : members_(members), crcs_(members.size(), 0) {}

    // Copies the next count bytes (or fewer at the end, or where a member's
    // read failed) to dst.
    size_t read(uint8_t* dst, size_t count)
    {
        size_t done = 0;
        while (done < count && index_ < members_.size() && !failed_) {
            if (part_pos_ == part_ready_ && !next_part())
                continue;
            size_t n = std::min(count - done, part_ready_ - part_pos_);
            if (n == 0)
                continue;  // an empty part: next_part moves on
            std::memcpy(dst + done, part_.data() + part_pos_, n);
            part_pos_ += n;
            done += n;
        }
        return done;
    }

    uint32_t crc(size_t index) const { return crcs_[index]; }
    // A member's read returned false: the stream ends there.
    bool failed() const { return failed_; }

private:
    enum : size_t { PIECE_SIZE = 1 << 20 };

    // Steps to the next piece; false when it moved to the next member, so
    // the caller checks for the end again.
    bool next_part()
    {
        const StreamMember& m = members_[index_];
        if (stage_ == 0) {
            part_.assign(LOCAL_HEADER_SIZE + m.name.size(), 0);
            LocalHeader header{};
            header.member_length = m.size;
            header.name_length = (u16)m.name.size();
            write_local_header(part_.data(), &header);
            std::memcpy(part_.data() + LOCAL_HEADER_SIZE, m.name.data(), m.name.size());
            set_ready(part_.size());
            stage_ = 1;
            uint8_t filter = applied_filter(m);
            filter_ = CallFilterStream(m.size, filter == ENTRY_FILTER16 ? 2 : filter == ENTRY_FILTER32 ? 4 : 0);
            read_ = 0;
            crc_ = 0xFFFFFFFFu;
            return true;
        }
        if (stage_ == 1 && read_ < m.size) {
            // Bytes the filter could not finish yet start the next piece.
            size_t tail = part_.size() - part_ready_;
            std::memmove(part_.data(), part_.data() + part_ready_, tail);
            size_t n = (size_t)std::min<uint64_t>(PIECE_SIZE, m.size - read_);
            part_.resize(tail + n);
            if (m.data != nullptr) {
                std::memcpy(part_.data() + tail, m.data + read_, n);
            } else if (!m.read(part_.data() + tail, n)) {
                failed_ = true;
                set_ready(0);
                return true;
            }
            crc_ = crc32_update(part_.data() + tail, (u32)n, crc_);
            uint64_t position = read_ - tail;
            read_ += n;
            set_ready(filter_.convert(part_.data(), part_.size(), position));
            return true;
        }
        if (stage_ == 1) {
            crcs_[index_] = m.size ? crc_ ^ 0xFFFFFFFFu : 0;
            part_.assign(MEMBER_CRC_SIZE, 0);
            store_le32(part_.data(), crcs_[index_]);
            set_ready(part_.size());
            stage_ = 2;
            return true;
        }
        part_.clear();
        set_ready(0);
        stage_ = 0;
        index_++;
        return false;
    }

    void set_ready(size_t ready)
    {
        part_ready_ = ready;
        part_pos_ = 0;
    }

    const std::vector<StreamMember>& members_;
    std::vector<uint32_t> crcs_;
    size_t index_ = 0;
    int stage_ = 0;  // 0 header and name, 1 data, 2 CRC written
    std::vector<uint8_t> part_;
    size_t part_ready_ = 0;  // part_[0, part_ready_) may go out
    size_t part_pos_ = 0;
    CallFilterStream filter_{0, 0};
    uint64_t read_ = 0;  // member bytes read so far
    u32 crc_ = 0;
    bool failed_ = false;
};

struct Candidate {
    unsigned method = METHOD_STORED;
    std::vector<uint8_t> bytes;
    unsigned selector = 0;
    std::vector<uint8_t> coded;  // LZ: the block's bytes as the window holds them
};

std::vector<uint8_t> encode_stored(const uint8_t* data, uint32_t length, bool last)
{
    std::vector<uint8_t> bytes;
    BitWriter w(bytes);
    // Its callers cut it to a length that fits.
    if (!encode_stored_block(w, data, length, last))
        throw std::logic_error("stored block longer than its frame");
    return bytes;
}

// BWT blocks decode slower than LZ blocks: the inverse transform takes about
// 13 ns per byte on the host against about 4 for LZ (bench/bwt_bench,
// bench/decode_bench), 9 ns more per byte. A block goes BWT only when it
// saves more bytes than that extra time is worth, at 60 bytes per
// millisecond of decoding: about 560 bytes (0.2%) on a full block of text.
// (When the inverse took 100 ns per byte, the same rate asked for 2%.) On
// the corpus nearly every block that is not machine code goes BWT.
uint64_t bwt_decode_penalty(uint32_t length)
{
    const uint64_t extra_ns_per_byte = 9, bytes_per_ms = 60;
    return (uint64_t)length * extra_ns_per_byte * bytes_per_ms / 1000000;
}

bool usable(const std::vector<uint8_t>& block, bool last)
{
    return block.size() <= MAX_BLOCK_OUTPUT && (last || block.size() >= MIN_INNER_BLOCK_BYTES);
}

// ---------------------------------------------------------------------------
// Coding one block

// The LZ encoder's delta pass over a block's window: the window with the
// block's delta regions in their difference form, and their markers.
struct DeltaForm {
    std::vector<uint8_t> window;
    std::vector<Marker> markers;
};

// What a block is coded from. The codings are functions of these fields
// alone, so a block coded on another thread, ahead of the writer, is the
// block the writer would code once its inputs are found equal.
struct BlockInput {
    uint64_t start = 0;  // in the decoded stream
    uint32_t length = 0;
    bool last = false;
    bool store = false;           // already compressed: stored without trying a coding
    bool machine_code = false;    // mostly members with a call filter
    unsigned selector = 0;
    uint32_t kept = 0;            // history bytes in front of the block
    std::vector<uint8_t> window;  // the kept history, then the block's bytes
    // The delta pass over window, when the forecast of the history after
    // the block has made it: the LZ coding then takes it rather than
    // making it again. Follows from window, so it takes no part in ==.
    std::shared_ptr<const DeltaForm> delta;

    const uint8_t* bytes() const { return window.data() + kept; }
    bool operator==(const BlockInput& o) const
    {
        return start == o.start && length == o.length && last == o.last && store == o.store &&
               machine_code == o.machine_code &&
               selector == o.selector &&
               kept == o.kept && window == o.window;
    }
};

// One method's coding of a block; framed is false when it did not fit the
// block's 20-bit frame (the block writer refuses it), and stored then takes
// the bytes.
struct Coding {
    Candidate candidate;
    bool framed = false;
    std::vector<lz::Item> parse;  // level 9's LZ parse, to go on from
    std::unique_ptr<Coding> again;  // level 9: the second parse, when made with the first
};

// `from`: level 9's parse of the same block, to parse once more from;
// `matches`: the match searches of a first coding, left or read (lz_parse.h).
Coding code_lz(const BlockInput& in, int level, const std::vector<lz::Item>* from = nullptr,
               lz::MatchCache* matches = nullptr)
{
    Coding c;
    c.candidate.method = METHOD_LZ;
    c.candidate.selector = in.selector;
    // The encoder rewrites delta regions in place, unless the delta pass
    // was made already: then it only reads the window.
    std::vector<uint8_t> own;
    uint8_t* window;
    BitWriter w(c.candidate.bytes);
    LzOptions lz_options;
    lz_options.level = level;
    if (in.delta) {
        lz_options.delta_markers = &in.delta->markers;
        window = const_cast<uint8_t*>(in.delta->window.data());
    } else {
        own = in.window;
        window = own.data();
    }
    if (from != nullptr)
        c.parse = *from;
    if (level >= 9)
        lz_options.parse = &c.parse;
    lz_options.matches = matches;
    c.framed = encode_lz_block(w, window, in.kept, in.length, in.last, in.selector, lz_options);
    c.candidate.coded.assign(window + in.kept, window + in.kept + in.length);
    return c;
}

// A block's LZ coding. At level 9 a block that goes LZ is parsed a second
// time, priced by the first parse's own code lengths; machine code nearly
// always goes LZ, so its second parse is made here at once, reading the
// first one's match searches instead of walking the chains again (the
// searches are most of a parse's time; the result is the same as a second
// parse made alone). The delta pass is made once for both.
Coding code_lz_first(const BlockInput& in, int level)
{
    if (level < 9 || !in.machine_code)
        return code_lz(in, level);
    if (!in.delta) {
        BlockInput with_delta = in;
        auto form = std::make_shared<DeltaForm>();
        form->window = in.window;
        if (in.length > 0)
            form->markers = delta_transform(form->window.data(), in.kept, in.length);
        with_delta.delta = std::move(form);
        return code_lz_first(with_delta, level);
    }
    lz::MatchCache matches;
    Coding c = code_lz(in, level, nullptr, &matches);
    c.again.reset(new Coding(code_lz(in, level, &c.parse, &matches)));
    return c;
}

Coding code_bwt(const BlockInput& in, int level)
{
    Coding c;
    c.candidate.method = METHOD_BWT;
    BitWriter w(c.candidate.bytes);
    BwtOptions bwt_options;
    // Machine code goes LZ: the finer table fits of levels 8 and 9 (most
    // of their time) are spent on the blocks BWT can win, text and data.
    bwt_options.level = in.machine_code ? std::min(level, 6) : level;
    c.framed = encode_bwt_block(w, in.bytes(), in.length, in.last, bwt_options);
    return c;
}

// Codes blocks on worker threads, ahead of the writer. start() is given the
// blocks the writer is expected to reach, in stream order; take() hands over
// the codings of the block the writer has reached: a job's when the job was
// started for exactly the same inputs, otherwise coded now. An LZ coding
// depends on the history in front of the block, a BWT coding only on the
// block's own bytes, so when a forecast fails (the history came out other
// than foreseen) the LZ jobs are dropped and the BWT jobs kept.
// With one thread nothing runs ahead and every block is coded in take().
class BlockCoder {
public:
    BlockCoder(int level, unsigned threads) : level_(level)
    {
        if (threads > 1)
            pool_.reset(new ThreadPool(threads));
    }
    ~BlockCoder()
    {
        drop(lz_jobs_);
        drop(bwt_jobs_);
    }

    // Blocks started ahead (their LZ codings).
    size_t started() const { return lz_jobs_.size(); }
    bool started_for(const BlockInput& in) const { return !lz_jobs_.empty() && *lz_jobs_.front().in == in; }
    // The forecast failed: the LZ codings started ahead are of no use.
    void drop_lz() { drop(lz_jobs_); }

    void start(BlockInput in)
    {
        if (!pool_)
            return;
        auto input = std::make_shared<const BlockInput>(std::move(in));
        if (input->store) {
            lz_jobs_.push_back(ready(input));
            return;
        }
        const int level = level_;
        if (level >= 1)
            lz_jobs_.push_back(submit(input, [input, level] { return code_lz_first(*input, level); }));
        if (level >= 5 && std::none_of(bwt_jobs_.begin(), bwt_jobs_.end(),
                                       [&](const Job& j) { return same_block(*j.in, *input); }))
            bwt_jobs_.push_back(submit(input, [input, level] { return code_bwt(*input, level); }));
    }

    void take(const BlockInput& in, Coding& lz, Coding& bwt)
    {
        if (in.store) {
            if (started_for(in))
                lz_jobs_.pop_front();
            return;
        }
        if (level_ >= 1) {
            if (!started_for(in)) {
                drop(lz_jobs_);
                start(in);
            }
            lz = take_front(lz_jobs_, [&] { return code_lz_first(in, level_); });
        }
        if (level_ >= 5) {
            while (!bwt_jobs_.empty() && bwt_jobs_.front().in->start < in.start)
                drop_front(bwt_jobs_);
            if (bwt_jobs_.empty() || !same_block(*bwt_jobs_.front().in, in)) {
                drop(bwt_jobs_);
                start_bwt(in);
            }
            bwt = take_front(bwt_jobs_, [&] { return code_bwt(in, level_); });
        }
    }

private:
    struct Job {
        std::shared_ptr<const BlockInput> in;
        std::shared_ptr<std::atomic<bool>> dropped;
        std::future<Coding> coding;
    };

    static bool same_block(const BlockInput& a, const BlockInput& b)
    {
        return a.start == b.start && a.length == b.length && a.last == b.last &&
               std::memcmp(a.bytes(), b.bytes(), a.length) == 0;
    }

    // A job with nothing to do: a block stored as it is.
    static Job ready(const std::shared_ptr<const BlockInput>& input)
    {
        Job job;
        job.in = input;
        job.dropped = std::make_shared<std::atomic<bool>>(false);
        std::promise<Coding> done;
        job.coding = done.get_future();
        done.set_value(Coding());
        return job;
    }

    template <typename F>
    Job submit(const std::shared_ptr<const BlockInput>& input, F code)
    {
        Job job;
        job.in = input;
        job.dropped = std::make_shared<std::atomic<bool>>(false);
        std::shared_ptr<std::atomic<bool>> dropped = job.dropped;
        // A dropped job that no worker has begun ends at once.
        job.coding = pool_->submit([dropped, code] { return *dropped ? Coding() : code(); });
        return job;
    }

    void start_bwt(const BlockInput& in)
    {
        if (!pool_)
            return;
        auto input = std::make_shared<const BlockInput>(in);
        const int level = level_;
        bwt_jobs_.push_back(submit(input, [input, level] { return code_bwt(*input, level); }));
    }

    // The front job's coding, or code() run here when there is no pool.
    template <typename F>
    static Coding take_front(std::deque<Job>& jobs, F code)
    {
        if (jobs.empty())
            return code();
        Coding c = jobs.front().coding.get();
        jobs.pop_front();
        return c;
    }

    static void drop_front(std::deque<Job>& jobs)
    {
        *jobs.front().dropped = true;
        jobs.pop_front();
    }

    static void drop(std::deque<Job>& jobs)
    {
        while (!jobs.empty())
            drop_front(jobs);
    }

    const int level_;
    std::unique_ptr<ThreadPool> pool_;
    std::deque<Job> lz_jobs_, bwt_jobs_;
};

// ---------------------------------------------------------------------------
// The decoded stream and the history

// The decoded stream from some position on, read from the members as far
// as asked for: the writer's block and the blocks coded ahead of it.
class StreamBytes {
public:
    explicit StreamBytes(const std::vector<StreamMember>& members) : source_(members) {}

    // [pos, pos + n) of the stream; pos must not lie before what was
    // released. Null when a member could not be read.
    const uint8_t* at(uint64_t pos, uint32_t n)
    {
        uint64_t want = pos + n - base_;
        if (want > bytes_.size()) {
            size_t have = bytes_.size();
            bytes_.resize(want);
            if (source_.read(bytes_.data() + have, want - have) != want - have) {
                if (source_.failed()) {
                    bytes_.resize(have);
                    return nullptr;
                }
                throw std::logic_error("member records shorter than counted");
            }
        }
        return bytes_.data() + (pos - base_);
    }

    // Bytes before pos are no longer needed.
    void release(uint64_t pos)
    {
        size_t n = (size_t)(pos - base_);
        // Moved down only once the dead part outweighs the live one.
        if (n < bytes_.size() - n)
            return;
        bytes_.erase(bytes_.begin(), bytes_.begin() + n);
        base_ = pos;
    }

    uint32_t crc(size_t index) const { return source_.crc(index); }

private:
    RecordSource source_;
    uint64_t base_ = 0;
    std::vector<uint8_t> bytes_;
};

// The extractor's history after a block: kept bytes of what it held, then
// the block's bytes, at most MAX_KEPT_HISTORY of them.
void keep_history(std::vector<uint8_t>& history, uint32_t kept, const uint8_t* coded, uint32_t length)
{
    history.erase(history.begin(), history.end() - kept);
    history.insert(history.end(), coded, coded + length);
    if (history.size() > MAX_KEPT_HISTORY)
        history.erase(history.begin(), history.end() - MAX_KEPT_HISTORY);
}

// How much of [begin, end) the runs (start, end, start, end, ...) cover.
uint64_t covered(const std::vector<uint64_t>& runs, uint64_t begin, uint64_t end)
{
    uint64_t sum = 0;
    for (ptrdiff_t r = (std::upper_bound(runs.begin(), runs.end(), begin) - runs.begin()) & ~(ptrdiff_t)1;
         r < (ptrdiff_t)runs.size() && runs[r] < end; r += 2)
        sum += std::min(end, runs[r + 1]) - std::max(begin, runs[r]);
    return sum;
}

// The writer's state in front of a block: enough to form the block's input.
struct StreamState {
    uint64_t done = 0;
    HistoryModel model;
    std::vector<uint8_t> history;  // the last kept bytes, in the form the extractor keeps them

    // False when a member could not be read.
    bool input(BlockInput& in, StreamBytes& stream, uint64_t total, int level, const std::vector<uint64_t>& cuts,
               const std::vector<uint64_t>& stored_runs, const std::vector<uint64_t>& code_runs) const
    {
        in = BlockInput();
        in.start = done;
        in.length = (uint32_t)std::min<uint64_t>(total - done, MAX_BLOCK_OUTPUT);
        // A block ends where a large member starts or ends, so that its
        // method and tables fit one kind of data.
        auto cut = std::upper_bound(cuts.begin(), cuts.end(), done + MIN_CUT_PIECE);
        if (cut != cuts.end() && *cut < done + in.length)
            in.length = (uint32_t)(*cut - done);
        // Runs of already compressed members (start, end, start, end, ...)
        // are blocks of their own, stored.
        auto run = std::upper_bound(stored_runs.begin(), stored_runs.end(), done);
        if (run != stored_runs.end() && *run < done + in.length)
            in.length = (uint32_t)(*run - done);
        if (level >= 1 && (run - stored_runs.begin()) % 2 == 1) {
            in.store = true;
            in.length = std::min<uint32_t>(in.length, MAX_STORED_OUTPUT);
        }
        in.machine_code = 2 * covered(code_runs, in.start, in.start + in.length) > in.length;
        in.last = done + in.length == total;
        if (level >= 1) {
            in.selector = lz_selector_for(std::min<uint64_t>(model.valid, MAX_KEPT_HISTORY));
            in.kept = model.kept_before(METHOD_LZ, in.last, in.length, in.selector);
        }
        const uint8_t* bytes = stream.at(done, in.length);
        if (bytes == nullptr)
            return false;
        in.window.reserve((size_t)in.kept + in.length);
        in.window.assign(history.end() - in.kept, history.end());
        in.window.insert(in.window.end(), bytes, bytes + in.length);
        return true;
    }
};

// How a block turned out, as far as the blocks after it care: the method
// (an LZ block leaves its delta regions in the history) and whether it was
// stored and cut short.
struct Outcome {
    unsigned method = METHOD_LZ;
    bool cut = false;
};

// The state after a block of input `in` that turns out as `outcome`: the
// writer's forecast of where the next blocks start and what they see. An LZ
// block leaves the history in the difference form its delta regions take,
// which the encoder's own delta pass gives; that pass is left in `in` for
// its LZ coding, so no thread makes it twice.
void forecast_after(StreamState& state, BlockInput& in, const Outcome& outcome)
{
    uint32_t length = in.length;
    bool last = in.last;
    if (outcome.method == METHOD_STORED && outcome.cut && length > MAX_STORED_OUTPUT) {
        length = MAX_STORED_OUTPUT;
        last = false;
    }
    if (outcome.method == METHOD_LZ) {
        if (!in.delta) {
            auto form = std::make_shared<DeltaForm>();
            form->window = in.window;
            if (length > 0)
                form->markers = delta_transform(form->window.data(), in.kept, length);
            in.delta = std::move(form);
        }
        uint32_t kept = state.model.advance(METHOD_LZ, last, length, in.selector);
        keep_history(state.history, kept, in.delta->window.data() + in.kept, length);
    } else {
        uint32_t kept = state.model.advance(outcome.method, last, length, 0);
        keep_history(state.history, kept, in.bytes(), length);
    }
    state.done += length;
}

}  // namespace

std::vector<uint8_t> write_data_stream(const std::vector<StreamMember>& members, const StreamOptions& options,
                                       std::vector<StreamPlacement>& placements)
{
    std::vector<uint8_t> stream;
    std::string error;
    if (!write_data_stream(
            members, options, placements,
            [&stream](const uint8_t* p, size_t n) {
                stream.insert(stream.end(), p, p + n);
                return true;
            },
            error))
        stream.clear();
    return stream;
}

bool write_data_stream(const std::vector<StreamMember>& members, const StreamOptions& options,
                       std::vector<StreamPlacement>& placements,
                       const std::function<bool(const uint8_t*, size_t)>& out, std::string& error)
{
    placements.clear();
    uint64_t total = 0;
    for (const StreamMember& m : members) {
        if (m.name.size() > MAX_NAME_LENGTH) {
            error = "member name longer than 65,535 bytes: " + m.name.substr(0, 80);
            return false;
        }
        StreamPlacement p{};
        p.member_offset = (uint32_t)total;
        p.filter = applied_filter(m);
        placements.push_back(p);
        total += LOCAL_HEADER_SIZE + m.name.size() + (uint64_t)m.size + MEMBER_CRC_SIZE;
        // Stream positions are 32-bit everywhere in the format.
        if (total > 0xFFFFFFFFull) {
            error = "data stream longer than 4 GiB";
            return false;
        }
    }

    // Block cuts: the record boundaries next to a large member, at the
    // levels that choose between LZ and BWT.
    std::vector<uint64_t> stored_runs, code_runs;
    if (options.level >= 1) {
        uint64_t at = 0;
        for (const StreamMember& m : members) {
            uint64_t record = LOCAL_HEADER_SIZE + m.name.size() + (uint64_t)m.size + MEMBER_CRC_SIZE;
            if (applied_filter(m) != 0) {
                if (!code_runs.empty() && code_runs.back() == at)
                    code_runs.back() = at + record;
                else
                    code_runs.insert(code_runs.end(), {at, at + record});
            }
            if (m.store) {
                if (!stored_runs.empty() && stored_runs.back() == at)
                    stored_runs.back() = at + record;  // the run goes on
                else
                    stored_runs.insert(stored_runs.end(), {at, at + record});
            }
            at += record;
        }
        // Short runs are coded with what surrounds them.
        std::vector<uint64_t> long_runs;
        for (size_t i = 0; i < stored_runs.size(); i += 2)
            if (stored_runs[i + 1] - stored_runs[i] >= MIN_STORED_RUN)
                long_runs.insert(long_runs.end(), {stored_runs[i], stored_runs[i + 1]});
        stored_runs.swap(long_runs);
    }
    std::vector<uint64_t> cuts;
    if (options.level >= 5) {
        uint64_t at = 0, previous = 0;
        for (const StreamMember& m : members) {
            uint64_t record = LOCAL_HEADER_SIZE + m.name.size() + (uint64_t)m.size + MEMBER_CRC_SIZE;
            if (at > 0 && (previous >= LARGE_MEMBER || record >= LARGE_MEMBER))
                cuts.push_back(at);
            previous = record;
            at += record;
        }
    }

    if (!out(stream_signature, STREAM_SIGNATURE_SIZE))
        return false;
    if (total == 0) {
        // A stream holds at least its last block.
        std::vector<uint8_t> empty = encode_stored(nullptr, 0, true);
        return out(empty.data(), empty.size());
    }

    StreamBytes bytes(members);
    StreamState state;
    const int level = options.level;
    // Level 0 codes nothing, so there is nothing to do ahead.
    const unsigned threads = level >= 1 ? std::max(1u, options.threads) : 1;
    BlockCoder coder(level, threads);
    // The forecast: the state in front of the next block not yet started,
    // and how blocks are expected to turn out (as the last one did).
    StreamState next;
    Outcome expected;
    if (options.progress)
        options.progress(0, total);

    while (state.done < total) {
        BlockInput in;
        if (!state.input(in, bytes, total, level, cuts, stored_runs, code_runs))
            return false;
        const uint32_t full_length = in.length;
        if (threads > 1 && !coder.started_for(in)) {
            // Nothing ahead, or the forecast went wrong: start again from
            // this block.
            coder.drop_lz();
            next = state;
            forecast_after(next, in, expected);
            coder.start(in);
        }
        // Enough blocks ahead to keep every thread busy, and no more than
        // that many blocks' bytes read ahead (stored blocks cost no work).
        while (threads > 1 && coder.started() < threads && next.done < total &&
               next.done - state.done < (uint64_t)(threads + 1) * MAX_BLOCK_OUTPUT) {
            BlockInput ahead;
            if (!next.input(ahead, bytes, total, level, cuts, stored_runs, code_runs))
                return false;
            forecast_after(next, ahead, expected);
            coder.start(std::move(ahead));
        }
        uint32_t length = in.length;
        bool last = in.last;
        const uint8_t* block = bytes.at(state.done, length);
        Coding lz_coding, bwt_coding;
        coder.take(in, lz_coding, bwt_coding);

        Candidate best;
        best.method = METHOD_STORED;
        if (level >= 1) {
            Candidate& lz = lz_coding.candidate;
            bool framed = lz_coding.framed;
            if (framed && usable(lz.bytes, last))
                best = std::move(lz);
        }
        if (level >= 5) {
            Candidate& bwt = bwt_coding.candidate;
            bool framed = bwt_coding.framed;
            if (framed && usable(bwt.bytes, last) &&
                (best.method == METHOD_STORED ||
                 bwt.bytes.size() + bwt_decode_penalty(length) < best.bytes.size()))
                best = std::move(bwt);
        }
        // At level 9 a block that goes LZ is parsed again, priced by the
        // first parse's own code lengths (the first is priced by a lazy
        // parse's): about 0.2% smaller on machine code, spent only where LZ
        // wins (code_lz_first made it already for machine code). The second
        // parse goes on from the first one's.
        if (level >= 9 && best.method == METHOD_LZ) {
            Coding again = lz_coding.again ? std::move(*lz_coding.again) : code_lz(in, level, &lz_coding.parse);
            if (again.framed && usable(again.candidate.bytes, last) &&
                again.candidate.bytes.size() < best.bytes.size())
                best = std::move(again.candidate);
        }
        // Stored when nothing compresses; a stored block of a full block's
        // length would not fit its 20-bit stored length, so it is cut.
        if (best.method == METHOD_STORED || best.bytes.size() >= (uint64_t)length + 6) {
            if (length > MAX_STORED_OUTPUT) {
                length = MAX_STORED_OUTPUT;
                last = false;
            }
            best = Candidate();
            best.method = METHOD_STORED;
            best.bytes = encode_stored(block, length, last);
        }
        expected.method = best.method;
        expected.cut = length < full_length;

        uint32_t kept = state.model.advance(best.method, last, length, best.selector);
        const uint8_t* coded = best.method == METHOD_STORED || best.method == METHOD_BWT ? block : best.coded.data();
        keep_history(state.history, kept, coded, length);

        if (!out(best.bytes.data(), best.bytes.size()))
            return false;
        // Bytes cut off a stored block start the next one.
        state.done += length;
        bytes.release(state.done);
        if (options.progress)
            options.progress(state.done, total);
    }
    for (size_t i = 0; i < members.size(); i++)
        placements[i].crc = bytes.crc(i);
    return true;
}

}  // namespace packer

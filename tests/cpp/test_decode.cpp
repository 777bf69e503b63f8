// Proves entry data decoding as extraction runs it (the plan locates the
// data through the local header, the bytes are read from the archive, then
// decoded whole or streamed): stored and DEFLATE entries come back exactly,
// each libdeflate outcome maps to its Decompression text on both paths, a
// stored entry whose length differs from its declared size either way is
// refused, and the CRC check names the expected value first, also where
// reading, decoding and checking are one step; and that both paths give one
// verdict on streams that end early or carry bytes after their final block
// (which both leave unread).

#include "archive/archive.hpp"
#include "archive_builder.hpp"
#include "common/crc32.hpp"
#include "extract/chunked_inflate.hpp"
#include "extract/decode.hpp"
#include "extract/large_entry.hpp"
#include "extract/plan.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

using namespace quastor;
using namespace quastor::testing;

namespace {

class Decode : public ::testing::Test {
protected:
    // Builds a one-entry archive and decodes it whole.
    Result<DecodedData> decode(TestEntry entry)
    {
        archive_ = build_archive({std::move(entry)});
        return decode_built();
    }

    // The one entry of archive_, planned, read and decoded whole.
    Result<DecodedData> decode_built()
    {
        ArchiveBytes const archive(as_bytes(archive_));
        ExtractionPlanEntry const planned = QUASTOR_TRY(plan_one(archive));
        entry_ = planned.entry;
        Bytes const compressed
            = QUASTOR_TRY(archive.read(planned.data_offset, static_cast<size_t>(entry_.compressed_size), compressed_));
        return decode_entry_data(entry_, compressed, decompressor_, buffer_);
    }

    // The same entry read, decoded and checked in one step, as every reader
    // of whole members does; the decoded text, or the error's display.
    std::string checked_built(bool read_ahead)
    {
        ArchiveBytes const archive(as_bytes(archive_));
        auto planned = plan_one(archive);
        if (!planned)
            return planned.error().display();
        EntryDecoder decoder(archive, read_ahead);
        auto out = decoder.decode(planned->entry, planned->data_offset);
        return out ? text(*out) : out.error().display();
    }

    // The same entry streamed, as a large member is: its pieces joined.
    Result<std::string> stream_built()
    {
        ArchiveBytes const archive(as_bytes(archive_));
        ExtractionPlanEntry const planned = QUASTOR_TRY(plan_one(archive));
        std::string joined;
        uint64_t const zero_tail = QUASTOR_TRY(decode_in_pieces(archive, planned, large_, [&](Bytes piece) -> Result<void> {
            joined.append(reinterpret_cast<char const*>(piece.data()), piece.size());
            return {};
        }));
        return joined + std::string(zero_tail, '\0');
    }

    static Result<ExtractionPlanEntry> plan_one(ArchiveBytes const& archive)
    {
        std::vector<ZipEntry> entries = QUASTOR_TRY(ZipArchive::parse_entries(archive));
        return QUASTOR_TRY(build_extraction_plan(std::move(entries), archive)).at(0);
    }

    // The CRC-32 check of decoded data, as every reader of whole members makes it.
    Result<void> checked(DecodedData const& d) const { return check_crc(entry_, crc32(d.written()), d.zero_tail); }

    static std::string text(DecodedData const& d) { return {reinterpret_cast<char const*>(d.bytes.data()), d.bytes.size()}; }

    Decompressor decompressor_ = make_decompressor().value();
    ReusableBuffer compressed_;
    ReusableBuffer buffer_;
    LargeEntryState large_;
    std::string archive_;
    ZipEntry entry_;
};

std::string sample(size_t n)
{
    std::string s;
    for (size_t i = 0; i < n; ++i)
        s.push_back(static_cast<char>("quastor\n"[i % 8] + (i / 97) % 3));
    return s;
}

// Raw DEFLATE written block by block, so that a test decides where blocks
// begin, which codes they use and which distances they reach back.
class BlockWriter {
public:
    struct Symbol {
        uint8_t literal = 0;
        unsigned length = 0; // a copy when not zero
        unsigned distance = 0;
    };

    void stored(std::string const& bytes, bool final)
    {
        header(final, 0);
        if (used_ != 0)
            bits(0, 8 - used_);
        bits(bytes.size(), 16);
        bits(~bytes.size() & 0xFFFF, 16);
        out_ += bytes;
    }

    void fixed(std::vector<Symbol> const& symbols, bool final)
    {
        std::vector<unsigned> literals(288, 8);
        std::fill(literals.begin() + 144, literals.begin() + 256, 9);
        std::fill(literals.begin() + 256, literals.begin() + 280, 7);
        header(final, 1);
        coded(symbols, literals, std::vector<unsigned>(30, 5));
    }

    // Dynamic codes that fill their space exactly: 9 bits for each byte,
    // 3 to 7 for the end and the lengths, 4 or 5 for each distance.
    void dynamic(std::vector<Symbol> const& symbols, bool final)
    {
        std::vector<unsigned> literals(286, 9);
        literals[256] = 3;
        literals[257] = 5;
        std::fill(literals.begin() + 258, literals.begin() + 274, 6);
        std::fill(literals.begin() + 274, literals.end(), 7);
        std::vector<unsigned> distances(30, 5);
        distances[0] = distances[1] = 4;
        std::vector<unsigned> code_lengths(19, 4);
        std::fill(code_lengths.begin() + 13, code_lengths.end(), 5);
        header(final, 2);
        bits(286 - 257, 5);
        bits(30 - 1, 5);
        bits(19 - 4, 4);
        for (unsigned symbol : {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15})
            bits(code_lengths[symbol], 3);
        auto const cl = canonical(code_lengths);
        for (auto const* set : {&literals, &distances})
            for (unsigned length : *set)
                code(cl, code_lengths, length);
        coded(symbols, literals, distances);
    }

    std::string finish()
    {
        if (used_ != 0)
            out_.push_back(static_cast<char>(pending_));
        used_ = 0;
        pending_ = 0;
        return out_;
    }

private:
    void bits(uint64_t value, unsigned count)
    {
        for (unsigned i = 0; i < count; ++i) {
            pending_ |= ((value >> i) & 1) << used_;
            if (++used_ == 8) {
                out_.push_back(static_cast<char>(pending_));
                used_ = 0;
                pending_ = 0;
            }
        }
    }

    void header(bool final, unsigned type)
    {
        bits(final ? 1 : 0, 1);
        bits(type, 2);
    }

    static std::vector<unsigned> canonical(std::vector<unsigned> const& lengths)
    {
        std::vector<unsigned> codes(lengths.size());
        unsigned code = 0;
        for (unsigned length = 1; length <= 15; ++length, code <<= 1)
            for (size_t symbol = 0; symbol < lengths.size(); ++symbol)
                if (lengths[symbol] == length)
                    codes[symbol] = code++;
        return codes;
    }

    // Huffman codes go out first bit first.
    void code(std::vector<unsigned> const& codes, std::vector<unsigned> const& lengths, unsigned symbol)
    {
        for (unsigned i = lengths[symbol]; i-- > 0;)
            bits((codes[symbol] >> i) & 1, 1);
    }

    void coded(std::vector<Symbol> const& symbols, std::vector<unsigned> const& literals,
        std::vector<unsigned> const& distances)
    {
        static constexpr unsigned length_base[] = {3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 17, 19, 23, 27, 31, 35, 43, 51,
            59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
        static constexpr unsigned length_extra[] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4,
            4, 4, 5, 5, 5, 5, 0};
        static constexpr unsigned distance_base[] = {1, 2, 3, 4, 5, 7, 9, 13, 17, 25, 33, 49, 65, 97, 129, 193, 257,
            385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
        auto const literal_codes = canonical(literals);
        auto const distance_codes = canonical(distances);
        for (Symbol const& s : symbols) {
            if (s.length == 0) {
                code(literal_codes, literals, s.literal);
                continue;
            }
            unsigned l = 28;
            while (length_base[l] > s.length)
                --l;
            code(literal_codes, literals, 257 + l);
            bits(s.length - length_base[l], length_extra[l]);
            unsigned d = 29;
            while (distance_base[d] > s.distance)
                --d;
            code(distance_codes, distances, d);
            bits(s.distance - distance_base[d], d < 4 ? 0 : d / 2 - 1);
        }
        code(literal_codes, literals, 256);
    }

    std::string out_;
    unsigned pending_ = 0;
    unsigned used_ = 0;
};

// `count` symbols: random bytes, and copies from up to `reach` back.
std::vector<BlockWriter::Symbol> symbols(std::mt19937& random, size_t count, unsigned reach, size_t made)
{
    std::vector<BlockWriter::Symbol> out;
    for (size_t i = 0; i < count; ++i) {
        if (made > 300 && random() % 3 == 0) {
            unsigned const distance = 1 + static_cast<unsigned>(random() % std::min<size_t>(reach, made));
            unsigned const length = 3 + random() % 256;
            out.push_back({.literal = 0, .length = length, .distance = distance});
            made += length;
        } else {
            out.push_back({.literal = static_cast<uint8_t>(random() % 26 + 'a'), .length = 0, .distance = 0});
            ++made;
        }
    }
    return out;
}

// Runs `owner` while two other threads help with the chunks of `board`.
template <typename Owner> auto with_helpers(ChunkBoard& board, Owner owner)
{
    board.expect(1);
    std::atomic<bool> done{false};
    std::thread helpers[2];
    for (auto& helper : helpers)
        helper = std::thread([&] { board.help([&] { return !done.load(); }); });
    auto result = owner();
    done = true;
    board.ended();
    for (auto& helper : helpers)
        helper.join();
    return result;
}

} // namespace

TEST_F(Decode, StoredAndDeflatedComeBackExactly)
{
    for (uint16_t method : {0, 8}) {
        for (size_t n : {0, 1, 100, 70000}) {
            std::string data = sample(n);
            auto out = decode({.name = "f", .data = data, .method = method});
            ASSERT_TRUE(out.has_value()) << out.error().display();
            EXPECT_EQ(text(*out), data);
            EXPECT_TRUE(checked(*out).has_value());
            EXPECT_EQ(stream_built().value_or("<failed>"), data);
        }
    }
}

TEST_F(Decode, DirectoryIsEmptyWithoutLookingAtItsHeader)
{
    ZipEntry dir;
    dir.name = "d/";
    dir.is_dir = true;
    dir.local_header_offset = 0xFFFFFFFF;
    dir.method = 99;
    auto out = decode_entry_data(dir, Bytes(), decompressor_, buffer_);
    ASSERT_TRUE(out.has_value());
    EXPECT_EQ(out->bytes.size(), 0u);
}

TEST_F(Decode, FailuresAndTheirTexts)
{
    std::string const data = sample(1000);
    struct Case {
        char const* what;
        TestEntry entry;
        char const* display;
    } const cases[] = {
        {"stored data shorter than declared", {.name = "f", .data = "abc", .method = 0, .size_override = 4},
            "Decompression error: Stored data length mismatch"},
        {"stored data longer than declared", {.name = "f", .data = "abc", .method = 0, .size_override = 2},
            "Decompression error: Stored data length mismatch"},
        {"declared size one byte short", {.name = "f", .data = data, .method = 8, .size_override = 999},
            "Decompression error: InsufficientSpace"},
        {"unsupported method", {.name = "f", .data = "abc", .method = 12},
            "Unsupported compression method: 12"},
    };
    for (auto const& c : cases) {
        auto out = decode(c.entry);
        ASSERT_FALSE(out.has_value()) << c.what;
        EXPECT_EQ(out.error().display(), c.display) << c.what;
        auto streamed = stream_built();
        ASSERT_FALSE(streamed.has_value()) << c.what;
        EXPECT_EQ(streamed.error().display(), c.display) << c.what;
    }
}

TEST_F(Decode, CorruptStreamIsBadData)
{
    // A block header with the reserved type 3 is invalid in every stream.
    archive_ = build_archive({{.name = "f", .data = "abc", .method = 8}});
    archive_[30 + 1] = '\x07'; // first data byte: final block, type 3
    auto out = decode_built();
    ASSERT_FALSE(out.has_value());
    EXPECT_EQ(out.error().display(), "Decompression error: BadData");
}

TEST_F(Decode, DeclaredSizeOneByteLongEndsInZeroAndFailsTheCrc)
{
    std::string const data = sample(500);
    auto out = decode({.name = "f", .data = data, .method = 8, .size_override = 501});
    ASSERT_TRUE(out.has_value());
    EXPECT_EQ(text(*out), data + std::string(1, '\0'));
    auto check = checked(*out);
    ASSERT_FALSE(check.has_value());
    char expected[80];
    std::snprintf(expected, sizeof expected, "CRC32 mismatch (expected %08x, got %08x)", crc_of(data),
        crc_of(data + std::string(1, '\0')));
    EXPECT_EQ(check.error().display(), expected);
    // A CRC-32 that covers the zero byte does not make the short stream pass,
    // whole or streamed: the zeros are no data of the archive's.
    TestEntry covered{.name = "f", .data = data, .method = 8, .crc_override = crc_of(data + std::string(1, '\0')),
        .size_override = 501};
    auto padded = decode(covered);
    ASSERT_TRUE(padded.has_value());
    EXPECT_EQ(checked(*padded).error().display(), "Decompression error: BadData");
    EXPECT_EQ(stream_built().error().display(), "Decompression error: BadData");
}

TEST_F(Decode, ShortStreamsEndInZerosThatCostNothing)
{
    // The zero tail's CRC is computed, not read: it must agree with
    // libdeflate over real zeros, for lengths across many powers of two.
    std::string const zeros(70000, '\0');
    for (size_t n : {0, 1, 7, 64, 4096, 65537, 70000})
        EXPECT_EQ(crc32_zero_extend(crc_of("ab"), n), crc_of("ab" + zeros.substr(0, n))) << n;
    // A buffer dirtied by a longer entry comes back zeroed past the stream.
    ASSERT_TRUE(decode({.name = "f", .data = sample(9000), .method = 8}).has_value());
    auto out = decode({.name = "f", .data = "abc", .method = 8, .size_override = 8000});
    ASSERT_TRUE(out.has_value());
    EXPECT_EQ(text(*out), "abc" + std::string(7997, '\0'));
    EXPECT_EQ(out->zero_tail, 7997u);
    // Declaring 4 GiB - 1 over an empty stream costs address space only;
    // zero-length reservations are never a null pointer.
    auto huge = decode({.name = "f", .data = "", .method = 8, .crc_override = 0xFFFFFFFF, .size_override = 0xFFFFFFFF});
    ASSERT_TRUE(huge.has_value());
    EXPECT_EQ(huge->zero_tail, 0xFFFFFFFFu);
    EXPECT_EQ(checked(*huge).error().display().substr(0, 24), "CRC32 mismatch (expected");
    EXPECT_NE(buffer_.reserve(0)->data(), nullptr);
}

TEST_F(Decode, LocalHeaderIsJudgedBeforeTheData)
{
    archive_ = build_archive({{.name = "f", .data = "abc", .method = 8, .size_override = 1}});
    archive_[0] = 'X';
    auto out = decode_built();
    ASSERT_FALSE(out.has_value());
    EXPECT_EQ(out.error().display(), "Invalid ZIP format: Invalid Local File Header signature");
}

TEST_F(Decode, WrongRecordedCrcNamesExpectedFirst)
{
    auto out = decode({.name = "f", .data = "abc", .method = 0, .crc_override = 0x0000abcd});
    ASSERT_TRUE(out.has_value());
    auto check = checked(*out);
    ASSERT_FALSE(check.has_value());
    EXPECT_EQ(check.error().display(), "CRC32 mismatch (expected 0000abcd, got 352441c2)");
    // Read, decoded and checked in one step, with or without reading ahead.
    for (bool read_ahead : {false, true})
        EXPECT_EQ(checked_built(read_ahead), "CRC32 mismatch (expected 0000abcd, got 352441c2)") << read_ahead;
    // Streamed, the member is checked as it goes by.
    auto streamed = stream_built();
    ASSERT_FALSE(streamed.has_value());
    EXPECT_EQ(streamed.error().display(), "CRC32 mismatch (expected 0000abcd, got 352441c2)");
    archive_ = build_archive({{.name = "f", .data = "abc", .method = 8}});
    EXPECT_EQ(checked_built(true), "abc");
}

TEST_F(Decode, OneDecompressorServesManyEntries)
{
    // A failed stream must not leave state behind for the next entry.
    std::string const data = sample(3000);
    for (int round = 0; round < 3; ++round) {
        auto bad = decode({.name = "f", .data = data, .method = 8, .size_override = 10});
        ASSERT_FALSE(bad.has_value());
        auto good = decode({.name = "f", .data = data, .method = 8});
        ASSERT_TRUE(good.has_value());
        EXPECT_EQ(text(*good), data);
    }
}

// Members over the whole-member limit are inflated piece by piece by another
// library, and the largest in chunks that other threads inflate ahead; driven
// here directly on small streams (in chunks of a few KiB), all three must give
// one verdict and the same bytes, and all end at the final block, whatever
// bytes follow it.
TEST(StreamedAndWhole, GiveOneVerdict)
{
    std::string const data = sample(3000);
    std::string const good = deflate_raw(data);
    std::string const stored_bad_length = std::string("\x01\x03\x00\xfd\xff", 5) + "abc"; // NLEN is not ~LEN
    struct Case {
        std::string what;
        std::string stream;
        uint64_t declared;
        char const* verdict; // nullptr: accepted
        uint64_t chunk = 64; // compressed bytes per chunk
        bool ahead = false;  // chunks inflated ahead must be taken
    };
    std::vector<Case> cases = {
        {"valid", good, data.size(), nullptr},
        {"declared one byte short", good, data.size() - 1, "Decompression error: InsufficientSpace"},
        {"cut in half", good.substr(0, good.size() / 2), data.size(), "Decompression error: BadData"},
        {"bytes after the final block", good + "trailing", data.size(), nullptr},
        {"one byte after the final block", good + '\0', data.size(), nullptr},
        {"a second stream after the final block", good + good, data.size(), nullptr},
        {"reserved block type", std::string(1, '\x07') + good, data.size(), "Decompression error: BadData"},
        {"stored length check", stored_bad_length, 3, "Decompression error: BadData"},
        {"empty input", "", data.size(), "Decompression error: BadData"},
    };

    // Streams of many blocks for the chunks: stored, fixed and dynamic
    // blocks in turn, copies reaching across the blocks (and so across the
    // chunks), each dynamic block opening with a copy from the farthest
    // place a window allows, and an empty final block.
    std::mt19937 random(7);
    BlockWriter writer;
    std::string plain;
    size_t made = 0;
    for (int block = 0; block < 60; ++block) {
        std::vector<BlockWriter::Symbol> run;
        if (block % 3 == 2 && made > 32768)
            run.push_back({.literal = 0, .length = 258, .distance = 32768});
        auto const more = symbols(random, 1500, 32768, made + (run.empty() ? 0 : 258));
        run.insert(run.end(), more.begin(), more.end());
        if (block % 3 == 0) {
            // Now and then longer than a window: the window is then out
            // of reach of all that follows.
            std::string bytes;
            for (int i = 0; i < (block == 27 || block == 54 ? 40000 : 700); ++i)
                bytes.push_back(static_cast<char>(random()));
            writer.stored(bytes, false);
            made += bytes.size();
            continue;
        }
        for (auto const& symbol : run)
            made += symbol.length == 0 ? 1 : symbol.length;
        if (block % 3 == 1)
            writer.fixed(run, false);
        else
            writer.dynamic(run, false);
    }
    writer.fixed({}, true);
    std::string const blocks = writer.finish();
    // Its bytes, from the one-pass inflation all others are compared with.
    {
        ZipEntry entry;
        entry.method = 8;
        entry.compressed_size = blocks.size();
        entry.uncompressed_size = 1u << 30;
        Decompressor decompressor = make_decompressor().value();
        ReusableBuffer buffer;
        auto whole = decode_entry_data(entry, as_bytes(blocks), decompressor, buffer);
        ASSERT_TRUE(whole.has_value());
        plain.assign(reinterpret_cast<char const*>(whole->written().data()), whole->written().size());
    }
    uint64_t const chunk = 2048;
    cases.push_back({"stored, fixed and dynamic blocks", blocks, plain.size(), nullptr, chunk, true});
    cases.push_back({"a last chunk of a few bytes", blocks, plain.size(), nullptr, (blocks.size() - 3) / 20, true});
    cases.push_back({"chunks longer than a window", blocks, plain.size(), nullptr, 32768, true});
    cases.push_back({"declared one byte short, in chunks", blocks, plain.size() - 1,
        "Decompression error: InsufficientSpace", chunk});
    cases.push_back({"declared far too short, in chunks", blocks, plain.size() / 3,
        "Decompression error: InsufficientSpace", chunk});
    cases.push_back({"cut short, in chunks", blocks.substr(0, blocks.size() - 100), plain.size(),
        "Decompression error: BadData", chunk});
    // A copy from farther back than the stream has come, in a block that
    // begins a chunk: the window a helper made up must not fill it in.
    {
        BlockWriter early;
        std::string bytes;
        for (int i = 0; i < 3000; ++i)
            bytes.push_back(static_cast<char>(random()));
        early.stored(bytes, false);
        std::vector<BlockWriter::Symbol> run = {{.literal = 0, .length = 258, .distance = 30000}};
        auto const more = symbols(random, 3000, 3000, 3258);
        run.insert(run.end(), more.begin(), more.end());
        early.dynamic(run, false);
        early.fixed({}, true);
        cases.push_back({"a copy from before the start, in a chunk", early.finish(), 9000,
            "Decompression error: BadData", 1024});
    }
    // A byte changed in each chunk in turn: whatever it does to the stream,
    // every way of inflating it says the same.
    for (uint64_t at = chunk / 2; at < blocks.size(); at += chunk) {
        std::string bad = blocks;
        bad[at] = static_cast<char>(bad[at] ^ 0x5A);
        cases.push_back({"byte changed at " + std::to_string(at), bad, plain.size(), "?", chunk});
    }

    Decompressor decompressor = make_decompressor().value();
    ReusableBuffer buffer;
    LargeEntryState state;
    for (auto const& c : cases) {
        ZipEntry entry;
        entry.method = 8;
        entry.compressed_size = c.stream.size();
        entry.uncompressed_size = c.declared;
        Bytes const stream = as_bytes(c.stream);
        auto whole = decode_entry_data(entry, stream, decompressor, buffer);
        ExtractionPlanEntry planned;
        planned.entry = entry;
        if (whole)
            planned.entry.crc32 = crc32_zero_extend(crc32(whole->written()), whole->zero_tail);
        ArchiveBytes const archive(stream);
        std::string handed[2];
        Result<uint64_t> outcomes[2];
        ChunkBoard board(c.chunk);
        for (int chunked = 0; chunked < 2; ++chunked) {
            state.board = chunked ? &board : nullptr;
            auto run = [&] {
                return decode_in_pieces(archive, planned, state, [&](Bytes piece) -> Result<void> {
                    // A slow first piece lets the helpers get ahead.
                    for (int wait = 0; chunked && c.chunk >= 1024 && handed[1].empty() && wait < 300; ++wait) {
                        if (board.counts().made_ahead >= 2)
                            break;
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    }
                    handed[chunked].append(reinterpret_cast<char const*>(piece.data()), piece.size());
                    return {};
                });
            };
            outcomes[chunked] = chunked ? with_helpers(board, run) : run();
        }
        state.board = nullptr;
        if (std::string(c.verdict != nullptr ? c.verdict : "") == "?") {
            // Libraries may differ on a damaged stream; inflating in chunks
            // must say what inflating it in one pass says.
            ASSERT_EQ(outcomes[1].has_value(), outcomes[0].has_value()) << c.what;
            if (outcomes[0].has_value()) {
                EXPECT_EQ(*outcomes[1], *outcomes[0]) << c.what;
                EXPECT_TRUE(handed[0] == handed[1]) << c.what;
            } else {
                EXPECT_EQ(outcomes[1].error().display(), outcomes[0].error().display()) << c.what;
            }
        } else if (c.verdict == nullptr) {
            ASSERT_TRUE(whole.has_value()) << c.what << ": " << whole.error().display();
            for (auto const& outcome : outcomes) {
                ASSERT_TRUE(outcome.has_value()) << c.what << ": " << outcome.error().display();
                EXPECT_EQ(handed[0].size() + *outcome, c.declared) << c.what;
            }
            EXPECT_TRUE(handed[0] == handed[1]) << c.what;
            if (c.declared == plain.size() && c.stream == blocks) {
                EXPECT_TRUE(handed[1] == plain) << c.what;
            }
        } else {
            ASSERT_FALSE(whole.has_value()) << c.what;
            EXPECT_EQ(whole.error().display(), c.verdict) << c.what;
            for (auto const& outcome : outcomes) {
                ASSERT_FALSE(outcome.has_value()) << c.what;
                EXPECT_EQ(outcome.error().display(), c.verdict) << c.what;
            }
        }
        if (c.ahead) {
            EXPECT_GE(board.counts().taken, 1u) << c.what;
        }
    }
}

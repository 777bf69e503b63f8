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
#include "extract/decode.hpp"
#include "extract/large_entry.hpp"
#include "extract/plan.hpp"

#include <gtest/gtest.h>

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
        uint64_t const zero_tail = QUASTOR_TRY(stream_entry(archive, planned, large_, [&](Bytes piece) -> Result<void> {
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
// library; driven here directly on small streams, both must give one verdict,
// and both end at the final block, whatever bytes follow it.
TEST(StreamedAndWhole, GiveOneVerdict)
{
    std::string const data = sample(3000);
    std::string const good = deflate_raw(data);
    std::string const stored_bad_length = std::string("\x01\x03\x00\xfd\xff", 5) + "abc"; // NLEN is not ~LEN
    struct Case {
        char const* what;
        std::string stream;
        uint64_t declared;
        char const* verdict; // nullptr: accepted
    } const cases[] = {
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
        uint64_t handed = 0;
        auto streamed = stream_entry(archive, planned, state, [&](Bytes piece) -> Result<void> {
            handed += piece.size();
            return {};
        });
        if (c.verdict == nullptr) {
            ASSERT_TRUE(whole.has_value()) << c.what << ": " << whole.error().display();
            ASSERT_TRUE(streamed.has_value()) << c.what << ": " << streamed.error().display();
            EXPECT_EQ(handed + *streamed, c.declared) << c.what;
        } else {
            ASSERT_FALSE(whole.has_value()) << c.what;
            ASSERT_FALSE(streamed.has_value()) << c.what;
            EXPECT_EQ(whole.error().display(), c.verdict) << c.what;
            EXPECT_EQ(streamed.error().display(), c.verdict) << c.what;
        }
    }
}

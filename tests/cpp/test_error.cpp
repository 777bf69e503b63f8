// Proves that every QuastorError variant renders its display text exactly,
// including the fixed I/O texts and the zero-padded CRC values.

#include "error.hpp"

#include <cerrno>
#include <gtest/gtest.h>

using quastor::QuastorError;

TEST(ErrorDisplay, EveryVariant)
{
    struct Case {
        QuastorError error;
        char const* text;
    } const cases[] = {
        {QuastorError::io(ENOENT), "I/O error: No such file or directory (os error 2)"},
        {QuastorError::io(EACCES), "I/O error: Permission denied (os error 13)"},
        {QuastorError::io_unexpected_eof(), "I/O error: failed to fill whole buffer"},
        {QuastorError::io_write_zero(), "I/O error: failed to write whole buffer"},
        {QuastorError::io_nul_in_path(), "I/O error: file name contained an unexpected NUL byte"},
        {QuastorError::invalid_input("Source path and archive path must be different"),
            "Invalid input: Source path and archive path must be different"},
        {QuastorError::invalid_zip("EOCD signature not found"), "Invalid ZIP format: EOCD signature not found"},
        {QuastorError::archive_too_large("ZIP entry count exceeds ZIP32 limits"),
            "Archive is too large: ZIP entry count exceeds ZIP32 limits"},
        {QuastorError::unsupported_compression(99), "Unsupported compression method: 99"},
        {QuastorError::unsupported_compression(65535), "Unsupported compression method: 65535"},
        {QuastorError::compression("x"), "Compression error: x"},
        {QuastorError::decompression("BadData"), "Decompression error: BadData"},
        {QuastorError::crc_mismatch(0xabcd, 0xff0000), "CRC32 mismatch (expected 0000abcd, got 00ff0000)"},
        {QuastorError::crc_mismatch(0xFFFFFFFF, 0), "CRC32 mismatch (expected ffffffff, got 00000000)"},
        {QuastorError::unsafe_path("\"../evil\" contains a parent-directory segment"),
            "Unsafe archive entry path: \"../evil\" contains a parent-directory segment"},
        {QuastorError::entry_conflict("\"a/\" maps to \"a\", which is already reserved as directory"),
            "Archive entry conflict: \"a/\" maps to \"a\", which is already reserved as directory"},
    };
    for (auto const& c : cases)
        EXPECT_EQ(c.error.display(), c.text);
}

TEST(ErrorDisplay, IoPayloadHasNoPrefix)
{
    // A failed pool start carries the I/O text inside Compression.
    EXPECT_EQ(QuastorError::io(EAGAIN).payload_text(), "Resource temporarily unavailable (os error 11)");
    EXPECT_EQ(QuastorError::io(EAGAIN).os_error(), EAGAIN);
    EXPECT_EQ(QuastorError::invalid_zip("x").os_error(), 0);
}

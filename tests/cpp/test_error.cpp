// Proves the display texts that no operation in the suites can be made to
// give (a write that moves nothing, a compressor that fails), and that an
// I/O payload reads without its prefix.

#include "error.hpp"

#include <cerrno>
#include <gtest/gtest.h>

using quastor::QuastorError;

TEST(ErrorDisplay, TextsNoOperationInTheSuitesReaches)
{
    // The other texts are met whole through the operations that give them.
    EXPECT_EQ(QuastorError::io_write_zero().display(), "I/O error: failed to write whole buffer");
    EXPECT_EQ(QuastorError::compression("x").display(), "Compression error: x");
}

TEST(ErrorDisplay, IoPayloadHasNoPrefix)
{
    // A failed pool start carries the I/O text inside Compression.
    EXPECT_EQ(QuastorError::io(EAGAIN).payload_text(), "Resource temporarily unavailable (os error 11)");
    EXPECT_EQ(QuastorError::io(EAGAIN).os_error(), EAGAIN);
    EXPECT_EQ(QuastorError::invalid_zip("x").os_error(), 0);
}

#include "error.hpp"

#include <cstdio>
#include <cstring>

namespace quastor {

QuastorError QuastorError::fixed(ErrorKind kind, char const* text)
{
    QuastorError error(kind);
    error.fixed_ = text;
    return error;
}

QuastorError QuastorError::owned(ErrorKind kind, std::string text)
{
    QuastorError error(kind);
    error.text_ = std::move(text);
    return error;
}

QuastorError QuastorError::io(int errno_value)
{
    QuastorError error(ErrorKind::Io);
    error.errno_ = errno_value;
    return error;
}

QuastorError QuastorError::unsupported_compression(uint16_t method)
{
    QuastorError error(ErrorKind::UnsupportedCompression);
    error.expected_ = method;
    return error;
}

QuastorError QuastorError::crc_mismatch(uint32_t expected, uint32_t actual)
{
    QuastorError error(ErrorKind::CrcMismatch);
    error.expected_ = expected;
    error.actual_ = actual;
    return error;
}

std::string QuastorError::payload_text() const
{
    if (fixed_ != nullptr)
        return fixed_;
    if (kind_ == ErrorKind::Io) {
        char buffer[256];
        // GNU strerror_r: returns either buffer or a static string.
        char const* description = strerror_r(errno_, buffer, sizeof buffer);
        return std::string(description) + " (os error " + std::to_string(errno_) + ")";
    }
    if (kind_ == ErrorKind::UnsupportedCompression)
        return std::to_string(expected_);
    if (kind_ == ErrorKind::CrcMismatch) {
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "expected %08x, got %08x", expected_, actual_);
        return buffer;
    }
    return text_;
}

std::string QuastorError::display() const
{
    switch (kind_) {
    case ErrorKind::Io:
        return "I/O error: " + payload_text();
    case ErrorKind::InvalidInput:
        return "Invalid input: " + payload_text();
    case ErrorKind::InvalidZip:
        return "Invalid ZIP format: " + payload_text();
    case ErrorKind::ArchiveTooLarge:
        return "Archive is too large: " + payload_text();
    case ErrorKind::UnsupportedCompression:
        return "Unsupported compression method: " + payload_text();
    case ErrorKind::Compression:
        return "Compression error: " + payload_text();
    case ErrorKind::Decompression:
        return "Decompression error: " + payload_text();
    case ErrorKind::CrcMismatch:
        return "CRC32 mismatch (" + payload_text() + ")";
    case ErrorKind::UnsafePath:
        return "Unsafe archive entry path: " + payload_text();
    case ErrorKind::EntryConflict:
        return "Archive entry conflict: " + payload_text();
    }
    return "unknown error";
}

} // namespace quastor

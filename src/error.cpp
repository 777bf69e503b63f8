// QuastorError's constructors and display texts.

#include "error.hpp"

#include <cstdio>
#include <cstring>

namespace quastor {

QuastorError QuastorError::io(int errno_value) { return {ErrorKind::Io, OsError{errno_value}}; }

QuastorError QuastorError::unsupported_compression(uint16_t method)
{
    return {ErrorKind::UnsupportedCompression, Method{method}};
}

QuastorError QuastorError::crc_mismatch(uint32_t expected, uint32_t actual)
{
    return {ErrorKind::CrcMismatch, Checksums{expected, actual}};
}

int QuastorError::os_error() const
{
    OsError const* os = std::get_if<OsError>(&payload_);
    return os != nullptr ? os->number : 0;
}

namespace {

template <typename... Cases>
struct Overloaded : Cases... {
    using Cases::operator()...;
};
// Spelled out for compilers without deduction for aggregates (clang 16).
template <typename... Cases>
Overloaded(Cases...) -> Overloaded<Cases...>;

// strerror_r comes in two kinds: glibc's returns the text, in the buffer or
// a static string; the POSIX one (musl's) fills the buffer and returns 0.
[[maybe_unused]] char const* error_text(char const* text, char const*) { return text; }
[[maybe_unused]] char const* error_text(int status, char const* buffer) { return status == 0 ? buffer : "Unknown error"; }

} // namespace

std::string QuastorError::payload_text() const
{
    return std::visit(Overloaded{
                          [](OsError const& os) {
                              char buffer[256];
                              char const* description = error_text(strerror_r(os.number, buffer, sizeof buffer), buffer);
                              return std::string(description) + " (os error " + std::to_string(os.number) + ")";
                          },
                          [](FixedText const& fixed) { return std::string(fixed.text); },
                          [](OwnedText const& owned) { return owned.text; },
                          [](Method const& method) { return std::to_string(method.number); },
                          [](Checksums const& crc) {
                              char buffer[64];
                              std::snprintf(buffer, sizeof buffer, "expected %08x, got %08x", crc.expected, crc.actual);
                              return std::string(buffer);
                          },
                      },
        payload_);
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

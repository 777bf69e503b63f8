#pragma once

// QuastorError: the one error type below the module boundary. Every fallible
// function returns Result<T>; errors are values that move up to the boundary,
// where display() becomes the text of a RuntimeError.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace quastor {

// Tag order is part of the contract: 0 to 9.
enum class ErrorKind : uint8_t {
    Io,
    InvalidInput,
    InvalidZip,
    ArchiveTooLarge,
    UnsupportedCompression,
    Compression,
    Decompression,
    CrcMismatch,
    UnsafePath,
    EntryConflict,
};

class [[nodiscard]] QuastorError {
public:
    // Io from an operating-system error number; renders strerror_r's text
    // followed by " (os error N)".
    static QuastorError io(int errno_value);
    // Io kinds raised by our own I/O layer, rendered as the bare text.
    static QuastorError io_unexpected_eof() { return fixed(ErrorKind::Io, "failed to fill whole buffer"); }
    static QuastorError io_write_zero() { return fixed(ErrorKind::Io, "failed to write whole buffer"); }
    static QuastorError io_nul_in_path() { return fixed(ErrorKind::Io, "file name contained an unexpected NUL byte"); }

    // Format and limit texts are fixed: only string literals are accepted.
    template <size_t N>
    static QuastorError invalid_zip(char const (&text)[N]) { return fixed(ErrorKind::InvalidZip, text); }
    template <size_t N>
    static QuastorError archive_too_large(char const (&text)[N]) { return fixed(ErrorKind::ArchiveTooLarge, text); }

    static QuastorError invalid_input(std::string text) { return owned(ErrorKind::InvalidInput, std::move(text)); }
    static QuastorError compression(std::string text) { return owned(ErrorKind::Compression, std::move(text)); }
    static QuastorError decompression(std::string text) { return owned(ErrorKind::Decompression, std::move(text)); }
    static QuastorError unsafe_path(std::string text) { return owned(ErrorKind::UnsafePath, std::move(text)); }
    static QuastorError entry_conflict(std::string text) { return owned(ErrorKind::EntryConflict, std::move(text)); }
    static QuastorError unsupported_compression(uint16_t method);
    static QuastorError crc_mismatch(uint32_t expected, uint32_t actual);

    ErrorKind kind() const { return kind_; }
    // The operating-system error number of an Io error, 0 for every other.
    int os_error() const;
    // The payload text alone: for Io the I/O error's text, for the others
    // what follows the variant's prefix. Used where the same text is carried
    // by another variant (a failed pool start becomes Compression).
    std::string payload_text() const;
    // The full display text, e.g. "Invalid ZIP format: EOCD signature not found".
    std::string display() const;

    // What the error is about where the text does not say it: the archive
    // entry's name or the source path being worked on. Kept as data beside
    // the text, never part of display(), so the module's texts stay as they
    // are while the command can name the item. The innermost subject wins.
    QuastorError about(std::string_view subject) &&
    {
        if (subject_.empty())
            subject_.assign(subject);
        return std::move(*this);
    }
    std::string const& subject() const { return subject_; }

private:
    // One payload per meaning; each kind carries exactly one of them.
    struct OsError {
        int number;
    };
    struct FixedText {
        char const* text; // static, never freed
    };
    struct OwnedText {
        std::string text;
    };
    struct Method {
        uint16_t number;
    };
    struct Checksums {
        uint32_t expected;
        uint32_t actual;
    };
    using Payload = std::variant<OsError, FixedText, OwnedText, Method, Checksums>;

    QuastorError(ErrorKind kind, Payload payload) : kind_(kind), payload_(std::move(payload)) {}
    static QuastorError fixed(ErrorKind kind, char const* text) { return {kind, FixedText{text}}; }
    static QuastorError owned(ErrorKind kind, std::string text) { return {kind, OwnedText{std::move(text)}}; }

    ErrorKind kind_;
    Payload payload_;
    std::string subject_;
};

// A value or a QuastorError. Derived rather than aliased so that the result
// of every fallible call must be looked at.
template <typename T>
class [[nodiscard]] Result : public std::expected<T, QuastorError> {
public:
    using std::expected<T, QuastorError>::expected;
    Result(std::expected<T, QuastorError>&& other) : std::expected<T, QuastorError>(std::move(other)) {}
};

inline std::unexpected<QuastorError> fail(QuastorError error) { return std::unexpected(std::move(error)); }

} // namespace quastor

// Evaluates a Result; on error returns it from the enclosing function,
// otherwise yields the value.
#define QUASTOR_TRY(expression)                                            \
    ({                                                                     \
        auto _quastor_result = (expression);                               \
        if (!_quastor_result.has_value()) [[unlikely]]                     \
            return std::unexpected(std::move(_quastor_result).error());    \
        std::move(_quastor_result).value();                                \
    })

// QUASTOR_TRY, recording on an error what it is about (see about()).
#define QUASTOR_TRY_ABOUT(expression, subject)                                        \
    ({                                                                                \
        auto _quastor_result = (expression);                                          \
        if (!_quastor_result.has_value()) [[unlikely]]                                \
            return std::unexpected(std::move(_quastor_result).error().about(subject)); \
        std::move(_quastor_result).value();                                           \
    })

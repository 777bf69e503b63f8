#include "targets.hpp"

#include "archive/archive.hpp"
#include "common/text.hpp"
#include "extract/chunked_inflate.hpp"
#include "extract/extract.hpp"
#include "extract/large_entry.hpp"
#include "extract/path_rules.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace quastor::fuzz {

namespace {

void require(bool holds, char const* promise)
{
    if (holds)
        return;
    std::fprintf(stderr, "broken: %s\n", promise);
    std::abort();
}

// Larger entries cost time and disk without reaching new code; the size
// hazards have tests of their own. The entry limit lies just above the size
// from which members are streamed rather than held whole.
bool small_enough(std::vector<ZipEntry> const& entries)
{
    constexpr uint64_t entry_limit = uint64_t{20} << 20;
    constexpr uint64_t total_limit = uint64_t{40} << 20;
    uint64_t total = 0;
    for (ZipEntry const& entry : entries) {
        if (entry.uncompressed_size > entry_limit)
            return false;
        total += entry.uncompressed_size;
    }
    return total <= total_limit;
}

bool is_real_directory(std::string const& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(std::string const& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

} // namespace

void preflight_one(uint8_t const* data, size_t size)
{
    Result<std::vector<PreflightEntry>> report = preflight_bytes(Bytes(data, size));
    if (!report) {
        require(is_valid_utf8(report.error().display()), "an error text is valid UTF-8");
        return;
    }
    for (PreflightEntry const& planned : *report) {
        require(is_valid_utf8(planned.entry.name), "a reported name is valid UTF-8");
        require(!planned.path.empty() && planned.path.front() != '/', "a planned path is relative");
    }
}

void extract_one(uint8_t const* data, size_t size)
{
    Bytes const archive(data, size);
    Result<std::vector<ZipEntry>> entries = ZipArchive::parse_entries(archive);
    if (!entries || !small_enough(*entries))
        return;
    Result<std::vector<PreflightEntry>> plan = preflight_bytes(archive);

    // The destination sits beside a sentinel in a private parent; after the
    // call the parent must hold nothing else and the sentinel be untouched.
    std::string pattern = (std::filesystem::temp_directory_path() / "quastor-fuzz-XXXXXX").string();
    require(::mkdtemp(pattern.data()) != nullptr, "a scratch directory can be made");
    std::string const parent = pattern;
    std::string const dest = parent + "/dest";
    std::string const sentinel = parent + "/sentinel";
    require(::mkdir(sentinel.c_str(), 0700) == 0, "the sentinel can be made");

    Result<void> extracted = extract_from_bytes(archive, dest);
    if (!plan) {
        require(!extracted && extracted.error().display() == plan.error().display(),
            "an archive refused by planning is refused by extraction alike");
        require(!exists(dest), "a refused archive writes nothing");
    }

    std::error_code error;
    for (auto const& item : std::filesystem::directory_iterator(parent, error)) {
        std::string const name = item.path().filename().string();
        require(name == "dest" || name == "sentinel", "nothing appears beside the destination");
    }
    require(!error && is_real_directory(sentinel), "the sentinel stays a directory");
    require(std::filesystem::is_empty(sentinel, error), "nothing is written into the sentinel");
    if (plan) {
        // Every existing ancestor of a planned entry is a real directory:
        // no entry was written through a link.
        for (PreflightEntry const& entry : *plan) {
            for (size_t slash = entry.path.find('/'); slash != std::string::npos;
                 slash = entry.path.find('/', slash + 1)) {
                std::string const ancestor = dest + "/" + entry.path.substr(0, slash);
                require(!exists(ancestor) || is_real_directory(ancestor), "no entry is written through a link");
            }
        }
    }
    std::filesystem::remove_all(parent, error);
}

void path_rules_one(uint8_t const* data, size_t size)
{
    // The reader hands the rules names already decoded with replacement.
    std::string const name = decode_utf8_lossy(std::string_view(reinterpret_cast<char const*>(data), size));
    require(is_valid_utf8(name), "a decoded name is valid UTF-8");
    for (std::string const& quoted : {quoted_name(name), quoted_path(name)}) {
        require(is_valid_utf8(quoted), "a quoted form is valid UTF-8");
        require(quoted.size() >= 2 && quoted.front() == '"' && quoted.back() == '"', "a quoted form is quoted");
        for (unsigned char c : quoted)
            require(c >= 0x20 && c != 0x7f, "a quoted form holds no control character");
    }

    Result<std::string> normalised = normalise_entry_name(name);
    if (!normalised) {
        require(normalised.error().kind() == ErrorKind::UnsafePath, "a refused name is an unsafe path");
        require(is_valid_utf8(normalised.error().display()), "a refusal's text is valid UTF-8");
        return;
    }
    std::string const& path = *normalised;
    require(path.find('\\') == std::string::npos && path.find('\0') == std::string::npos,
        "a kept path has no backslash or NUL");
    std::string_view rest = path;
    for (;;) {
        size_t const slash = rest.find('/');
        std::string_view const segment = rest.substr(0, slash);
        require(!segment.empty() && segment != "." && segment != "..", "every kept segment is a name");
        if (slash == std::string_view::npos)
            break;
        rest.remove_prefix(slash + 1);
    }
    Result<std::string> again = normalise_entry_name(path);
    require(again && *again == path, "a kept path is kept unchanged");
}

void chunked_one(uint8_t const* data, size_t size)
{
    if (size < 3)
        return;
    ExtractionPlanEntry planned;
    planned.entry.method = 8;
    planned.entry.uncompressed_size = (uint64_t{data[0]} | uint64_t{data[1]} << 8) << 6; // up to 4 MiB
    uint64_t const chunk = 16 + uint64_t{data[2]};
    Bytes const stream(data + 3, size - 3);
    planned.entry.compressed_size = stream.size();
    ArchiveBytes const archive(stream);
    std::string handed[2];
    std::string verdict[2];
    for (int chunked = 0; chunked < 2; ++chunked) {
        LargeEntryState state;
        ChunkBoard board(chunk);
        state.board = chunked ? &board : nullptr;
        board.expect(1);
        std::atomic<bool> done{false};
        std::thread helper;
        if (chunked)
            helper = std::thread([&] { board.help([&] { return !done.load(); }); });
        // The recorded CRC-32 is 0: most verdicts name the computed one.
        auto outcome = decode_in_pieces(archive, planned, state, [&](Bytes piece) -> Result<void> {
            handed[chunked].append(reinterpret_cast<char const*>(piece.data()), piece.size());
            return {};
        });
        done = true;
        board.ended();
        if (helper.joinable())
            helper.join();
        verdict[chunked] = outcome ? std::to_string(*outcome) : outcome.error().display();
    }
    // A stream both malformed and longer than its size may be found so in
    // the other order: one pass meets the bad block first, the chunks their
    // size first. Either way a decompression error, and nothing kept.
    auto const kind = [](std::string const& text) {
        return text.starts_with("Decompression error: ") ? std::string("Decompression error") : text;
    };
    require(kind(verdict[0]) == kind(verdict[1]), "inflating in chunks gives the verdict of one pass");
    // A failed entry may have handed on more or less of its bytes before
    // the failure (the chunked decode hands whole outputs on), never others.
    std::string_view const shorter = handed[0].size() <= handed[1].size() ? handed[0] : handed[1];
    std::string_view const longer = handed[0].size() <= handed[1].size() ? handed[1] : handed[0];
    require(longer.starts_with(shorter), "inflating in chunks hands on no bytes one pass does not");
    require(!verdict[0].empty() && (verdict[0][0] < '0' || verdict[0][0] > '9' || handed[0] == handed[1]),
        "inflating in chunks hands on the bytes of one pass");
}

} // namespace quastor::fuzz

// Extracting one plan entry: directories, files, links and large entries.

#include "extract/extract_entry.hpp"

#include "common/fd.hpp"
#include "common/file_copy.hpp"
#include "common/held_directory.hpp"
#include "common/path.hpp"
#include "common/pending_file.hpp"
#include "extract/piece_writer.hpp"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace quastor {

namespace {

// The mode a file this call creates is made with. The final mode itself when
// whoever may open the file meanwhile could open it as well once it has
// that mode; 0600 for a set-ID or sticky one, so that nobody can hold it
// open for writing once it has those bits. The archived mode, or else 0666,
// less the umask in both cases: a mode the umask narrows is widened later.
mode_t creation_mode(ExtractionPlanEntry const& planned)
{
    if (planned.entry.unix_mode() == 0)
        return 0666;
    mode_t const archived = static_cast<mode_t>(planned.entry.unix_mode() & 07777);
    return (archived & 07000) != 0 ? 0600 : archived;
}

// Zeros no stream wrote are not written: the file is extended, which reads
// as the same bytes. Then the mode, through the descriptor written, so that
// a link swapped in at the path meanwhile cannot pass it on to another file:
// the archived one, or for a file this call created 0666 less the umask.
// `created` is the mode a file this call made was given (the umask
// applied), none for one that was there: when it is already the final
// mode, nothing is left to set.
Result<void> finish_file(
    int fd, std::optional<mode_t> created, ExtractionPlanEntry const& planned, uint64_t zero_tail, mode_t umask)
{
    if (zero_tail != 0 && ::ftruncate(fd, static_cast<off_t>(planned.entry.uncompressed_size)) != 0)
        return fail(QuastorError::io(errno));
    std::optional<mode_t> mode;
    if (planned.entry.unix_mode() != 0)
        mode = static_cast<mode_t>(planned.entry.unix_mode() & 07777);
    else if (created)
        mode = 0666 & ~umask;
    if (mode && mode != created && ::fchmod(fd, *mode) != 0)
        return fail(QuastorError::io(errno));
    return {};
}

// The mode open_file_target gave the file, if it made it with `fresh_mode`.
std::optional<mode_t> created_mode(FileTarget const& target, mode_t fresh_mode, mode_t umask)
{
    if (!target.fresh)
        return std::nullopt;
    return fresh_mode & ~umask;
}

Result<void> write_file(HeldDirectory const& directory, std::string const& name, ExtractionPlanEntry const& planned,
    DecodedData const& data, mode_t umask)
{
    mode_t const fresh_mode = creation_mode(planned);
    FileTarget const target = QUASTOR_TRY(open_file_target(directory.fd.get(), directory.created, name, true, fresh_mode));
    QUASTOR_TRY(write_all(target.fd.get(), data.written()));
    // Closing happens as `target` goes; its error changes nothing written.
    return finish_file(target.fd.get(), created_mode(target, fresh_mode, umask), planned, data.zero_tail, umask);
}

// An entry too large to hold whole is streamed into a pending file beside its
// target (unnamed, or under a temporary name), and given the target's name
// only once its CRC-32 has matched: as with any file, an entry whose data is
// bad leaves nothing, and memory does not follow the entry's size.
Result<void> write_large_file(ArchiveBytes const& archive, HeldDirectory const& directory, std::string const& name,
    ExtractionPlanEntry const& planned, ExtractionWorker& worker, mode_t umask)
{
    PendingFile pending = QUASTOR_TRY(PendingFile::create(directory.fd.get()));
    uint64_t zero_tail = 0;
    {
        std::atomic<unsigned> const* idle = worker.idle_workers;
        PieceWriter writer(pending.fd(), [idle] { return idle != nullptr && idle->load(std::memory_order_relaxed) != 0; });
        zero_tail = QUASTOR_TRY(decode_in_pieces(archive, planned, worker.large, [&](Bytes piece) { return writer.submit(piece); }));
        QUASTOR_TRY(writer.finish());
    }
    QUASTOR_TRY(finish_file(pending.fd(), mode_t{0600} & ~umask, planned, zero_tail, umask));
    if (QUASTOR_TRY(pending.name_as(name)))
        return {};
    // Something already has the name: it is overwritten in place, as a
    // smaller entry's target would be, from the complete file, and cut to
    // size only once all of it is through. In a directory this call made,
    // open_file_target refuses whatever is there.
    mode_t const fresh_mode = creation_mode(planned);
    FileTarget const target = QUASTOR_TRY(open_file_target(directory.fd.get(), directory.created, name, false, fresh_mode));
    std::span<uint8_t> const scratch = QUASTOR_TRY(worker.large.compressed[0].reserve(entry_piece));
    uint64_t const size = planned.entry.uncompressed_size;
    QUASTOR_TRY(copy_contents(pending.fd(), target.fd.get(), size, scratch));
    if (::ftruncate(target.fd.get(), static_cast<off_t>(size)) != 0)
        return fail(QuastorError::io(errno));
    return finish_file(target.fd.get(), created_mode(target, fresh_mode, umask), planned, 0, umask);
}

// The target is the one planning decoded and checked; a NUL in it (zeros no
// stream wrote among them) is refused, as no link target may hold one.
Result<void> create_symlink(HeldDirectory const& directory, std::string const& name, std::string const& link_target)
{
    char const* c_link_target = QUASTOR_TRY(os_path(link_target));
    // Never replaces: whatever already sits at the path makes this fail.
    if (::symlinkat(c_link_target, directory.fd.get(), QUASTOR_TRY(os_path(name))) != 0)
        return fail(QuastorError::io(errno));
    return {};
}

} // namespace

Result<void> extract_entry(ArchiveBytes const& archive, ExtractionPlanEntry const& planned, ExtractionWorker& worker)
{
    if (!worker.directories) {
        // Verifying: the plan has already decoded and checked every link
        // target, and directories hold no data.
        if (is_large_entry(planned))
            (void)QUASTOR_TRY(decode_in_pieces(archive, planned, worker.large, [](Bytes) { return Result<void>(); }));
        else if (!planned.entry.is_dir && !planned.is_symlink)
            (void)QUASTOR_TRY(worker.decoder.decode(planned.entry, planned.data_offset));
        return {};
    }
    std::string_view const path = planned.path;
    if (planned.entry.is_dir) {
        (void)QUASTOR_TRY(worker.directories->reach(path));
        return {};
    }
    // Parents first, so that they exist even when the data turns out bad.
    auto const [parent, leaf] = split_parent(path);
    HeldDirectory const& directory = *QUASTOR_TRY(worker.directories->reach(parent));
    std::string const name(leaf);
    mode_t const umask = worker.directories->umask();
    if (is_large_entry(planned))
        return write_large_file(archive, directory, name, planned, worker, umask);
    if (planned.is_symlink)
        return create_symlink(directory, name, planned.link_target);
    DecodedData const data = QUASTOR_TRY(worker.decoder.decode(planned.entry, planned.data_offset));
    return write_file(directory, name, planned, data, umask);
}

} // namespace quastor

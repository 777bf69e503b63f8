#pragma once

// Names a call has made that must not outlive the process: the scratch
// directory and the temporary names of pending files. Each is noted while it
// exists (the scratch directory from just before it is made), so that a
// process ended at once by a signal (a second Ctrl-C, the group-wide SIGTERM
// of timeout(1)) can still remove it from the handler, before it dies.
// Everything here is async-signal-safe: a fixed table of slots claimed by
// atomic exchange, descriptors of the table's own, and only system calls
// that a handler may make.

#include <cstddef>

namespace quastor {

// Empties the directory open at `fd` (read from its start; every name but
// "." and ".." unlinked relative to it), again and again while names keep
// going, so that a file made meanwhile goes too. Async-signal-safe; `fd`
// must be readable (not O_PATH).
void empty_directory(int fd) noexcept;

// One noted name, from reserve() until dropped or forgotten. Movable, one
// owner; a table full (more names at once than any call makes) notes
// nothing, and the name is then removed only by its owner.
class Leftover {
public:
    enum class Kind { file, directory };

    Leftover() = default;
    // `name` in the directory open at `directory` (the descriptor is
    // duplicated), noted before the file or directory it is to name is
    // made there, so that no moment passes with it made and not noted.
    // Until made(), a removal takes at `name` only a regular file or an
    // empty directory of this user's, and first waits for a maker on
    // another thread to finish its step. The maker asks may_make_new()
    // after this and makes nothing once it says no.
    static Leftover reserve(int directory, char const* name, Kind kind) noexcept;
    // The name reserved is made: a file made exclusively, or a directory
    // then open at `contents`, which is from now on emptied first and
    // removed only while `name` still leads to it. False only where a
    // removal has already taken the name (the process is ending): the
    // owner removes what it made itself then.
    bool made(int contents = -1) noexcept;
    Leftover(Leftover&& other) noexcept;
    Leftover& operator=(Leftover&& other) noexcept;
    Leftover(Leftover const&) = delete;
    Leftover& operator=(Leftover const&) = delete;
    ~Leftover() { forget(); }

    // The owner has removed the name itself, or given it to something that
    // stays: nothing is left to do for it. Until then a removal may still
    // take it, so an owner removing the name itself forgets it afterwards.
    void forget() noexcept;

private:
    explicit Leftover(int slot) : slot_(slot) {}
    int slot_ = -1;
};

// Removes every name still noted, from any thread or a signal handler, once
// per name; from then on may_make_new() says no, so that workers stop
// making files that could escape the removal. A later call waits (up to two
// seconds) for the first one's removal to end. For a process about to end.
void remove_leftovers() noexcept;

// False once remove_leftovers() has begun: a new scratch file or pending
// file made now might be made after the removal passed.
bool may_make_new() noexcept;

} // namespace quastor

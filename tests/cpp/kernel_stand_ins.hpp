#pragma once

// Stand-ins for a few C library calls, linked into the test programs that
// need them: each passes straight to the kernel until a test arms it, and
// then plays what another user or another file system would do.

#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace quastor::testing {

// Run after each directory mkdirat makes, with the parent and the name: a
// test plants or swaps things there before the call can look.
extern std::function<void(int parent, char const* name)> after_mkdirat;

// Run after each file openat makes exclusively (O_CREAT | O_EXCL), with the
// directory and the name: a test learns the names a call makes.
extern std::function<void(int directory, char const* name)> after_exclusive_create;

// A file system without unnamed files (FUSE, NFS): O_TMPFILE opens fail
// with EOPNOTSUPP.
extern std::atomic<bool> refuse_unnamed_files;

// A kernel or file system without RENAME_NOREPLACE: renameat2 fails with
// EINVAL.
extern std::atomic<bool> refuse_rename_noreplace;

// While one is alive, every fstat, fstatat and fchmod looks at the process's
// descriptors: each one opened since the watch began must be closed on
// exec, or a process started at that moment (from another thread, a signal
// handler) would inherit it. Descriptors open before are not the call's and
// are left out.
class InheritanceWatch {
public:
    InheritanceWatch();
    ~InheritanceWatch();
    InheritanceWatch(InheritanceWatch const&) = delete;
    InheritanceWatch& operator=(InheritanceWatch const&) = delete;

    // How many times the descriptors were looked at: none means the calls
    // above never reached the stand-ins, and the watch proves nothing.
    unsigned looks() const;
    // What each inheritable descriptor found was open on.
    std::vector<std::string> inheritable() const;
};

} // namespace quastor::testing

#pragma once

// Files without a lasting name of their own: unnamed where the file system
// makes them, otherwise under a fresh temporary name; and the temporary
// directory, where files that are only scratch go. Every function here runs
// on the caller's thread and returns Io errors carrying the operating
// system's error number.

#include "common/fd.hpp"
#include "common/leftovers.hpp"
#include "error.hpp"

#include <string>
#include <sys/types.h>

namespace quastor {

// Temporary names tried after the first one found taken.
inline constexpr int max_temporary_attempts = 16;

// A fresh temporary name: ".quastor-" and 16 random hexadecimal digits.
// `attempt` varies it where no random bytes can be had.
std::string temporary_name(int attempt);

// A new file in `directory`, with `mode` (less the umask): unnamed where the
// file system makes them (`name` left empty), one that may later be linked
// under a name only when `may_be_named`; otherwise made under a fresh
// temporary name, put in `name`, with O_EXCL | O_NOFOLLOW, and noted in
// `leftover` from before it is made. Io with the directory's errno where no
// file can be made there.
Result<UniqueFd> make_temporary(int directory, mode_t mode, bool may_be_named, std::string& name, Leftover& leftover);

// The directory TMPDIR names, /tmp where it is unset or empty ("" names no
// directory at all): where the call's scratch directory and temporary
// files go.
std::string temporary_directory();

// A file only this process can reach, gone once closed, in the temporary
// directory, with mode 0600: unnamed where the file system makes them (and
// never linkable under a name), otherwise made under a fresh name as
// PendingFile makes one and unlinked at once. Io where none can be made.
Result<UniqueFd> temporary_file();

} // namespace quastor

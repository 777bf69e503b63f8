#pragma once

// Overwrite policies a caller may ask for before extraction writes: checked
// on the destination as it is, before the first byte goes out. Calling
// thread; nothing is created or changed.

#include "error.hpp"
#include "extract/plan.hpp"

#include <string>
#include <vector>

namespace quastor {

// The indexes, in plan order, of the entries of `plan` that meet something
// already at their target in `dest_path`: a file or link entry anything
// there, a link counted as itself whether or not it leads anywhere; a
// directory entry anything but a directory or a link to one, where the
// writing would fail (a dangling link counts). Links on the way to a
// target are followed, as extraction follows those it did not make. A
// destination that does not exist yet holds nothing. Io about the entry
// whose target cannot be looked at.
Result<std::vector<size_t>> existing_targets(std::vector<ExtractionPlanEntry> const& plan, std::string const& dest_path);

// Refuses a destination where an entry of `plan` meets something already
// there (existing_targets): the Io error EEXIST, about the first such
// entry.
Result<void> refuse_existing(std::vector<ExtractionPlanEntry> const& plan, std::string const& dest_path);

// Drops from `plan` every file and link entry that meets something already
// there, so that what is there is kept and never written through; the
// number dropped. A directory entry that meets something cannot be left
// out (what it holds would go there), so it refuses the call as
// refuse_existing does.
Result<size_t> skip_existing(std::vector<ExtractionPlanEntry>& plan, std::string const& dest_path);

// Refuses a destination that exists and is not an empty directory: Io
// ENOTEMPTY, or ENOTDIR when it is no directory.
Result<void> require_empty_destination(std::string const& dest_path);

} // namespace quastor

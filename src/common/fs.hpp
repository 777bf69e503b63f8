#pragma once

// The face of the four file-system units: directories by descriptor,
// pending files, temporary files and whole-file copies.

#include "common/file_copy.hpp"
#include "common/file_identity.hpp"
#include "common/held_directory.hpp"
#include "common/pending_file.hpp"
#include "common/temporary_file.hpp"

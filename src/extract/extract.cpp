#include "extract/extract.hpp"
// placeholder until extraction lands
namespace quastor {
Result<void> extract(std::string const&, std::string const&) { return fail(QuastorError::invalid_input("not implemented")); }
Result<void> extract_from_bytes(Bytes, std::string const&) { return fail(QuastorError::invalid_input("not implemented")); }
}

#include "extract/extract.hpp"
// placeholder until preflight lands
namespace quastor {
Result<std::vector<PreflightEntry>> preflight(std::string const&) { return fail(QuastorError::invalid_input("not implemented")); }
Result<std::vector<PreflightEntry>> preflight_bytes(Bytes) { return fail(QuastorError::invalid_input("not implemented")); }
}

#include "compress/compress.hpp"
// placeholder until creation lands
namespace quastor {
Result<void> create_zip(std::string const&, std::string const&) { return fail(QuastorError::invalid_input("not implemented")); }
}

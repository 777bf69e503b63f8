#include "extract/plan.hpp"
// placeholder until the plan lands
namespace quastor {
Result<NormalisedPath> normalise_entry_name(std::string_view) { return fail(QuastorError::invalid_input("not implemented")); }
Result<std::vector<ExtractionPlanEntry>> build_extraction_plan(std::vector<ZipEntry>, Bytes) { return fail(QuastorError::invalid_input("not implemented")); }
}

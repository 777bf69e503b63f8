// One libFuzzer target; the build picks its body with QUASTOR_FUZZ_TARGET.

#include "targets.hpp"

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size)
{
    quastor::fuzz::QUASTOR_FUZZ_TARGET(data, size);
    return 0;
}

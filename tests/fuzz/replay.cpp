// Replays every kept input that once broke a fuzz target through the same
// target body, so a regression fails `make test` without clang. A broken
// promise aborts, which fails the test and names the input last printed;
// so does memory use beyond what libFuzzer allows a target.

#include "targets.hpp"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/resource.h>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s REGRESSIONS_DIR\n", argv[0]);
        return 2;
    }
    size_t replayed = 0;
    for (quastor::fuzz::Target const& target : quastor::fuzz::targets) {
        std::filesystem::path const dir = std::filesystem::path(argv[1]) / target.name;
        std::vector<std::filesystem::path> inputs;
        std::error_code error;
        for (auto const& item : std::filesystem::directory_iterator(dir, error))
            if (item.is_regular_file() && item.path().filename().string().front() != '.')
                inputs.push_back(item.path());
        std::sort(inputs.begin(), inputs.end());
        for (std::filesystem::path const& input : inputs) {
            std::printf("%s %s\n", target.name, input.filename().c_str());
            std::fflush(stdout);
            std::ifstream in(input, std::ios::binary);
            std::string const bytes{std::istreambuf_iterator<char>(in), {}};
            target.run(reinterpret_cast<uint8_t const*>(bytes.data()), bytes.size());
            ++replayed;
            rusage usage{};
            ::getrusage(RUSAGE_SELF, &usage);
            if (usage.ru_maxrss > 2048 * 1024) {
                std::fprintf(stderr, "broken: memory use stays within 2 GiB (%ld KiB)\n", usage.ru_maxrss);
                return 1;
            }
        }
    }
    std::printf("%zu inputs replayed\n", replayed);
    return 0;
}

// Runs a fuzz target's entry function over saved inputs, without libFuzzer: every file
// named on the command line, or found (sorted) in a folder named there. A fault aborts
// the run as it would abort the fuzzer, so each kept input is a regression test.
//
//   replay_walk fuzz/regressions/walk
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size);

namespace fs = std::filesystem;

int main(int argc, char** argv)
{
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        std::error_code ec;
        if (fs::is_directory(argv[i], ec)) {
            for (const auto& e : fs::directory_iterator(argv[i], ec))
                if (e.is_regular_file() && e.path().filename().string()[0] != '.')
                    inputs.push_back(e.path());
        } else if (fs::exists(argv[i], ec)) {
            inputs.push_back(argv[i]);
        }
    }
    std::sort(inputs.begin(), inputs.end());
    // The empty input first: every target takes it.
    static const uint8_t none = 0;
    LLVMFuzzerTestOneInput(&none, 0);
    for (const auto& p : inputs) {
        std::ifstream f(p, std::ios::binary);
        const std::vector<char> bytes{std::istreambuf_iterator<char>(f), {}};
        std::printf("%s (%zu bytes)\n", p.filename().string().c_str(), bytes.size());
        std::fflush(stdout);
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    std::printf("%zu inputs replayed\n", inputs.size());
    return 0;
}

// Runs a fuzz target over saved inputs without libFuzzer, so that the committed corpora and
// regression inputs are ordinary tests in every build. Arguments are files or folders (each
// file directly inside a folder is one input). Fails when nothing at all was found, so that a
// moved corpus cannot turn the test into one that checks nothing.

#include "FuzzSupport.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

bool ReadWhole(const fs::path& path, std::vector<uint8_t>& out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        const fs::path arg(argv[i]);
        std::error_code ec;
        if (fs::is_directory(arg, ec)) {
            std::vector<fs::path> found;
            for (const auto& entry : fs::directory_iterator(arg, ec)) {
                // Notes kept beside the inputs are not inputs.
                if (entry.is_regular_file() && entry.path().extension() != ".md")
                    found.push_back(entry.path());
            }
            std::sort(found.begin(), found.end());
            inputs.insert(inputs.end(), found.begin(), found.end());
        } else if (fs::is_regular_file(arg, ec)) {
            inputs.push_back(arg);
        } else {
            // A target with no crash yet has no regression folder; the other arguments carry it.
            std::fprintf(stderr, "skipping %s: no such file or folder\n", argv[i]);
        }
    }
    if (inputs.empty()) {
        std::fprintf(stderr, "no inputs found\n");
        return 1;
    }

    std::vector<uint8_t> data;
    for (const fs::path& path : inputs) {
        if (!ReadWhole(path, data)) {
            std::fprintf(stderr, "cannot read %s\n", path.c_str());
            return 1;
        }
        // A crash names the input it happened on.
        std::fprintf(stderr, "%s\n", path.c_str());
        LLVMFuzzerTestOneInput(data.data(), data.size());
    }
    std::fprintf(stderr, "%zu inputs replayed%s\n", inputs.size(),
                 AllocationWatch::Active() ? ", allocations watched" : "");
    return 0;
}

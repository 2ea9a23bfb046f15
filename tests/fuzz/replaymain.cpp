// Runs a fuzz target without libFuzzer: every file named on the command line, and every file in
// every directory named there, goes through LLVMFuzzerTestOneInput once. A crash or a sanitizer
// report fails the run, so the corpus doubles as a set of regression inputs.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

std::vector<std::filesystem::path> inputsOf(const std::filesystem::path &path) {
    std::vector<std::filesystem::path> inputs;
    if (!std::filesystem::is_directory(path)) return {path};
    for (const auto &entry : std::filesystem::recursive_directory_iterator(path))
        if (entry.is_regular_file()) inputs.push_back(entry.path());
    // Sorted, so that a failing run names the same input every time.
    std::sort(inputs.begin(), inputs.end());
    return inputs;
}

}  // namespace

int main(int argc, char **argv) {
    size_t count = 0;
    for (int i = 1; i < argc; ++i) {
        for (const auto &input : inputsOf(argv[i])) {
            std::ifstream file(input, std::ios::binary);
            if (!file) {
                std::fprintf(stderr, "cannot read %s\n", input.c_str());
                return 1;
            }
            const std::vector<char> bytes((std::istreambuf_iterator<char>(file)),
                                          std::istreambuf_iterator<char>());
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
            ++count;
        }
    }
    std::printf("replayed %zu inputs\n", count);
    // An empty or missing corpus would make the test pass without testing anything.
    return count > 0 ? 0 : 1;
}

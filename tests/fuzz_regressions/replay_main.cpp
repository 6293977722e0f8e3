// Runs a fuzz target's inputs without libFuzzer: every file named, or found in a
// folder named, goes once through LLVMFuzzerTestOneInput. A target that finds a
// fault aborts, so the test fails; a clean pass prints how many inputs ran.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) __attribute__((weak));

namespace fs = std::filesystem;

static void replay(const fs::path &file)
{
    std::ifstream in(file, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    fprintf(stderr, "replay %s (%zu bytes)\n", file.c_str(), bytes.size());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
}

int main(int argc, char **argv)
{
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    int count = 0;
    for (int i = 1; i < argc; i++) {
        fs::path arg = argv[i];
        std::vector<fs::path> files;
        if (fs::is_directory(arg)) {
            for (const auto &entry : fs::directory_iterator(arg))
                if (entry.is_regular_file())
                    files.push_back(entry.path());
        } else {
            files.push_back(arg);
        }
        std::sort(files.begin(), files.end());
        for (const fs::path &file : files) {
            replay(file);
            count++;
        }
    }
    fprintf(stderr, "%d inputs replayed\n", count);
    return count > 0 ? 0 : 1;
}

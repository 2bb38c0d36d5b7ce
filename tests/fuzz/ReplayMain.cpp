// Runs the fuzz entry over every file of a corpus folder, for plain builds.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <ranges>
#include <set>

#include "../support/TestFiles.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    std::error_code error;
    std::set<std::filesystem::path> files;  // sorted, so runs are repeatable
    for (const auto& entry : std::filesystem::directory_iterator(argc == 2 ? argv[1] : "", error))
        if (entry.is_regular_file()) files.insert(entry.path());
    if (argc != 2 || error || files.empty()) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR (a folder with corpus files)\n", argv[0]);
        return 1;
    }
    for (const std::string bytes : files | std::views::transform(testing_support::readFile))
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    std::printf("%zu corpus files replayed\n", files.size());
    return 0;
}

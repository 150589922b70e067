// Feeds every file named on the command line (or found in a folder named there) to the fuzz
// target's entry point once: the corpus replay of a build without libFuzzer.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

bool replay(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", file.c_str());
        return false;
    }
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in),
                                  std::istreambuf_iterator<char>()};
    (void)LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return true;
}

} // namespace

int main(int argc, char** argv) {
    int files = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path arg(argv[i]);
        std::vector<std::filesystem::path> paths;
        if (std::filesystem::is_directory(arg)) {
            for (const auto& entry : std::filesystem::directory_iterator(arg)) {
                if (entry.is_regular_file()) {
                    paths.push_back(entry.path());
                }
            }
        } else {
            paths.push_back(arg);
        }
        std::sort(paths.begin(), paths.end());
        for (const auto& p : paths) {
            if (!replay(p)) {
                return 1;
            }
            ++files;
        }
    }
    std::printf("%d inputs replayed\n", files);
    // An empty corpus would make the replay test prove nothing.
    return files > 0 ? 0 : 1;
}

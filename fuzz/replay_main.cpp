// Replays fuzz inputs through a fuzz target's entry point without the
// fuzzing engine, so that a corpus runs as an ordinary test in every build.
// Linked with one target and its seed writer:
//
//   <target>_replay PATH...           each file, or each file of a folder
//   <target>_replay --write-seeds DIR writes the seed inputs of the corpus
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/replay.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace fs = std::filesystem;

namespace {

// --- Replay ----------------------------------------------------------------

bool replayFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--write-seeds") == 0)
        return writeSeeds(argv[2]);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PATH... | --write-seeds DIR\n", argv[0]);
        return 2;
    }
    // The target works in a folder of its own: list every input first.
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        const fs::path arg = fs::absolute(argv[i]);
        if (fs::is_directory(arg)) {
            std::vector<fs::path> inDir;
            for (const auto& e : fs::directory_iterator(arg))
                if (e.is_regular_file())
                    inDir.push_back(e.path());
            std::sort(inDir.begin(), inDir.end());
            files.insert(files.end(), inDir.begin(), inDir.end());
        } else {
            files.push_back(arg);
        }
    }
    int replayed = 0;
    bool ok = true;
    for (const fs::path& f : files) {
        ok = replayFile(f) && ok;
        ++replayed;
    }
    std::printf("replayed %d inputs\n", replayed);
    // An empty corpus would pass without testing anything.
    return ok && replayed > 0 ? 0 : 1;
}

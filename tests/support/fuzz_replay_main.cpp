// Driver for a fuzz target where libFuzzer is not available: runs every file of the corpus
// folders given, then a fixed number of inputs generated from the corpus (mutated copies and
// random bytes, from a fixed seed so a failure can be replayed). Linked with the target's
// LLVMFuzzerTestOneInput.
//   TARGET [-runs=N] [-seed=S] CORPUS_DIR...
#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

std::vector<std::vector<uint8_t>> LoadCorpus(const std::string& dir) {
    std::vector<std::vector<uint8_t>> out;
    DIR* d = opendir(dir.c_str());
    if (!d) return out;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream in(dir + "/" + e->d_name, std::ios::binary);
        out.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    closedir(d);
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    long runs = 100000;
    unsigned seed = 1;
    std::vector<std::vector<uint8_t>> corpus;
    for (int i = 1; i < argc; ++i) {
        if (strncmp(argv[i], "-runs=", 6) == 0) runs = atol(argv[i] + 6);
        else if (strncmp(argv[i], "-seed=", 6) == 0) seed = static_cast<unsigned>(atol(argv[i] + 6));
        else {
            auto files = LoadCorpus(argv[i]);
            corpus.insert(corpus.end(), files.begin(), files.end());
        }
    }
    for (const auto& input : corpus) LLVMFuzzerTestOneInput(input.data(), input.size());
    std::mt19937 rng(seed);
    std::vector<uint8_t> input;
    for (long run = 0; run < runs; ++run) {
        if (!corpus.empty() && rng() % 4 != 0) {
            input = corpus[rng() % corpus.size()];
            const int edits = 1 + static_cast<int>(rng() % 8);
            for (int e = 0; e < edits; ++e) {
                const unsigned op = rng() % 4;
                if (op == 0 && !input.empty()) input[rng() % input.size()] = static_cast<uint8_t>(rng());
                else if (op == 1 && !input.empty()) input.resize(rng() % input.size());
                else if (op == 2) input.insert(input.begin() + (input.empty() ? 0 : rng() % input.size()),
                                               static_cast<uint8_t>(rng()));
                else if (!input.empty()) input[rng() % input.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
            }
        } else {
            input.resize(rng() % 512);
            for (auto& b : input) b = static_cast<uint8_t>(rng());
        }
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    const char* slash = strrchr(argv[0], '/');
    printf("%s: %zu corpus inputs and %ld generated inputs, no crash\n", slash ? slash + 1 : argv[0], corpus.size(),
           runs);
    return 0;
}

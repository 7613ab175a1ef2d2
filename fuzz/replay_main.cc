// Replays fuzz inputs without libFuzzer: every file named on the command line
// goes once through LLVMFuzzerTestOneInput. A target that finds a fault
// aborts, so the replay fails.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::ifstream file(argv[i], std::ios::binary);
        if (!file) {
            fprintf(stderr, "replay: cannot open %s\n", argv[i]);
            return 1;
        }
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(file), {}};
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    printf("replay: %d inputs ran clean\n", argc - 1);
    return argc > 1 ? 0 : 1;
}

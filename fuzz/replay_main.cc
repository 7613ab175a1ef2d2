// Replays fuzz inputs without libFuzzer: every file named on the command
// line, or found in a directory named there, goes once through
// LLVMFuzzerTestOneInput. A target that finds a fault aborts, so the replay
// fails; otherwise it prints how many inputs it ran and exits 0.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool run_file(const std::string& path) {
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) {
        fprintf(stderr, "replay: cannot open %s\n", path.c_str());
        return false;
    }
    std::vector<uint8_t> bytes;
    uint8_t chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, file)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + n);
    fclose(file);
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int ran = 0;
    for (int i = 1; i < argc; ++i) {
        struct stat info;
        if (stat(argv[i], &info) != 0) {
            fprintf(stderr, "replay: no such input: %s\n", argv[i]);
            return 1;
        }
        if (!S_ISDIR(info.st_mode)) {
            if (!run_file(argv[i]))
                return 1;
            ++ran;
            continue;
        }
        DIR* dir = opendir(argv[i]);
        while (dirent* entry = dir ? readdir(dir) : nullptr) {
            if (entry->d_name[0] == '.')
                continue;
            if (!run_file(std::string(argv[i]) + "/" + entry->d_name))
                return 1;
            ++ran;
        }
        if (dir)
            closedir(dir);
    }
    if (ran == 0) {
        fprintf(stderr, "replay: no inputs found\n");
        return 1;
    }
    printf("replay: %d inputs ran clean\n", ran);
    return 0;
}

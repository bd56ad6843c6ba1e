// Runs a fuzz target once on each given file, or on every file of each given
// directory, in builds without libFuzzer: the regression inputs then replay
// under any compiler, sanitizer or valgrind. Options (arguments starting
// with '-', as libFuzzer takes them) are ignored.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <dirent.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

namespace {

bool isDirectory(const std::string &path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::vector<std::string> filesOf(const std::string &directory) {
    std::vector<std::string> files;
    if (DIR *dir = opendir(directory.c_str())) {
        while (const dirent *entry = readdir(dir)) {
            const std::string path = directory + "/" + entry->d_name;
            struct stat info;
            if (entry->d_name[0] != '.' && stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode))
                files.push_back(path);
        }
        closedir(dir);
    }
    std::sort(files.begin(), files.end());
    return files;
}

bool replay(const std::string &path) {
    std::ifstream stream(path, std::ios::binary);
    if (!stream) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    // A copy of exactly the input's size, so a read past its end shows.
    std::vector<uint8_t> input(bytes);
    LLVMFuzzerTestOneInput(input.empty() ? nullptr : input.data(), input.size());
    return true;
}

// The path made absolute, since a target may change the working directory
// when it initialises.
std::string absolute(const std::string &path) {
    if (char *resolved = realpath(path.c_str(), nullptr)) {
        const std::string result = resolved;
        std::free(resolved);
        return result;
    }
    return path;
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<std::string> inputs;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = absolute(argv[i]);
        if (!argument.empty() && argv[i][0] == '-')
            continue;
        if (isDirectory(argument)) {
            const std::vector<std::string> files = filesOf(argument);
            inputs.insert(inputs.end(), files.begin(), files.end());
        } else {
            inputs.push_back(argument);
        }
    }
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    size_t replayed = 0;
    for (const std::string &path : inputs) {
        if (!replay(path))
            return 1;
        ++replayed;
    }
    std::printf("replayed %zu inputs\n", replayed);
    return 0;
}

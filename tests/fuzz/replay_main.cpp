// Replays fuzz inputs (files or folders of files) through the fuzz target,
// for builds without libFuzzer: the seed corpus runs as an ordinary test.
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int*, char***);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size);

namespace {
int replay_file(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
        return 1;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    return 0;
}

int replay(const std::string& path, int& count)
{
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        std::fprintf(stderr, "replay: no such file or folder %s\n", path.c_str());
        return 1;
    }
    if (!S_ISDIR(info.st_mode)) {
        ++count;
        return replay_file(path);
    }
    DIR* dir = opendir(path.c_str());
    int failures = 0;
    while (dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.') failures += replay(path + "/" + entry->d_name, count);
    closedir(dir);
    return failures;
}
}  // namespace

int main(int argc, char** argv)
{
    LLVMFuzzerInitialize(&argc, &argv);
    int count = 0;
    int failures = 0;
    for (int i = 1; i < argc; ++i) failures += replay(argv[i], count);
    std::printf("replayed %d inputs\n", count);
    return failures == 0 && count > 0 ? 0 : 1;
}

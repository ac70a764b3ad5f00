// Replays a corpus without libFuzzer: every file of the directories (or the
// files) named on the command line goes once through LLVMFuzzerTestOneInput.
// Built into the plain test build, so the sanitizers of that build watch
// each committed input, crashes found earlier included.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

bool readFile(const std::string& path, std::vector<uint8_t>& out) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    out.clear();
    uint8_t chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), f)) > 0)
        out.insert(out.end(), chunk, chunk + n);
    fclose(f);
    return true;
}

void collect(const std::string& path, std::vector<std::string>& files) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return;
    if (!S_ISDIR(st.st_mode)) {
        files.push_back(path);
        return;
    }
    DIR* d = opendir(path.c_str());
    if (!d) return;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        collect(path + "/" + name, files);
    }
    closedir(d);
}

}  // namespace

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i)
        collect(argv[i], files);
    std::sort(files.begin(), files.end());
    if (files.empty()) {
        fprintf(stderr, "no corpus files found\n");
        return 1;  // an empty corpus is a packaging fault, not a pass
    }
    std::vector<uint8_t> data;
    for (const std::string& f : files) {
        if (!readFile(f, data)) {
            fprintf(stderr, "cannot read %s\n", f.c_str());
            return 1;
        }
        // A copy of exactly the file's size, so a read past the input is caught.
        std::vector<uint8_t> exact(data);
        static const uint8_t kNone = 0;
        LLVMFuzzerTestOneInput(exact.empty() ? &kNone : exact.data(), exact.size());
    }
    printf("replayed %zu inputs\n", files.size());
    return 0;
}

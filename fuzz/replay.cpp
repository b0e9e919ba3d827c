// Runs a fuzz target's LLVMFuzzerTestOneInput once on every file it is given, without
// libFuzzer: the regression replay of the corpora under the ordinary compilers and the
// sanitizer build. Usage: <target>_replay FILE_OR_DIRECTORY...
//
// Every input is copied into a heap block of exactly its size, so that AddressSanitizer
// sees a read past the end. A directory contributes its regular files (not recursively),
// in name order; a path that does not exist contributes nothing. The program fails when
// it finds no input at all (a replay of nothing proves nothing), when a path cannot be
// read, or when the target aborts; the file being run is named on the standard error
// stream first.

#include <unistd.h>
#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

// The file being run, for the abort handler (kept as a C string: the handler may only
// call async-signal-safe functions).
const char* g_current = nullptr;

void write_text(const char* s) {
    std::size_t n = std::strlen(s);
    while (n > 0) {
        ssize_t w = ::write(STDERR_FILENO, s, n);
        if (w <= 0) return;
        s += w;
        n -= static_cast<std::size_t>(w);
    }
}

extern "C" void on_fatal_signal(int sig) {
    if (g_current != nullptr) {
        write_text("replay: failed on ");
        write_text(g_current);
        write_text("\n");
    }
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

bool collect(const fs::path& path, std::vector<fs::path>& out) {
    std::error_code ec;
    if (!fs::exists(path, ec) && !ec) return true;  // a target may have no seeds, or no corpus yet
    if (fs::is_directory(path, ec)) {
        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator(path, ec)) {
            if (entry.is_regular_file()) files.push_back(entry.path());
        }
        if (ec) return false;
        std::sort(files.begin(), files.end());
        out.insert(out.end(), files.begin(), files.end());
        return true;
    }
    if (fs::is_regular_file(path, ec)) {
        out.push_back(path);
        return true;
    }
    return false;
}

bool read_file(const fs::path& path, std::vector<char>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        if (!collect(argv[i], inputs)) {
            std::fprintf(stderr, "replay: cannot read %s\n", argv[i]);
            return 2;
        }
    }
    if (inputs.empty()) {
        std::fprintf(stderr, "replay: no input files (usage: %s FILE_OR_DIRECTORY...)\n", argv[0]);
        return 2;
    }
    std::signal(SIGABRT, on_fatal_signal);
    std::signal(SIGSEGV, on_fatal_signal);
    std::signal(SIGFPE, on_fatal_signal);

    std::vector<char> bytes;
    for (const auto& path : inputs) {
        if (!read_file(path, bytes)) {
            std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
            return 2;
        }
        // An exact-size block (none to spare, also for an empty file) so that a read past
        // the input is a heap overflow, not a read of the vector's spare capacity.
        std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[bytes.size()]);
        if (!bytes.empty()) std::memcpy(block.get(), bytes.data(), bytes.size());
        const std::string name = path.string();
        g_current = name.c_str();
        LLVMFuzzerTestOneInput(block.get(), bytes.size());
        g_current = nullptr;
    }
    std::printf("replay: %zu inputs, no failure\n", inputs.size());
    return 0;
}

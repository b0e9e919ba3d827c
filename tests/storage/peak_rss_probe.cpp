// Measures the peak resident memory of one upload from an address: a loopback server sends
// a generated body of the given size (never held whole by the server), the manager stores
// it in the S3-compatible peer, and the program prints the process's peak RSS before and
// after. Not a test: run it by hand.
//
//   storage_peak_rss <MiB> [chunked]

#include "http_server.hpp"
#include "s3_peer.hpp"

#include "quillmere/Brastow/brastow.hpp"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>

namespace {

long peak_rss_kib() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
    namespace qt = quillmere::testing;
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <MiB> [chunked]\n", argv[0]);
        return 2;
    }
    const std::uint64_t size = std::strtoull(argv[1], nullptr, 10) * 1024 * 1024;
    const bool chunked = argc > 2 && std::string(argv[2]) == "chunked";
    try {
        qt::S3PeerProcess peer("ap-south-1", {"media"});
        qt::HttpServer web;
        qt::HttpReply reply;
        reply.generated = size;
        reply.chunked = chunked;
        web.serve("/video.mp4", {reply});
        quillmere::brastow::Brastow manager("S3RVER", "S3RVER", "production", "ap-south-1", peer.endpoint(),
                                            {std::chrono::minutes(10), size});
        const long before = peak_rss_kib();
        const auto started = std::chrono::steady_clock::now();
        manager.upload_file(web.url("/video.mp4"), "media", "probe/video.mp4");
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        const long after = peak_rss_kib();
        const auto stored =
            std::filesystem::file_size(peer.data_directory() / "media" / "probe" / "video.mp4._S3rver_object");
        std::printf("body %llu bytes%s, stored %llu bytes, %.2f s; peak RSS before %ld KiB, after %ld KiB (+%ld KiB)\n",
                    static_cast<unsigned long long>(size), chunked ? " (chunked)" : "",
                    static_cast<unsigned long long>(stored), seconds, before, after, after - before);
        return stored == size ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}

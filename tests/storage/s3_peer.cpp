#include "s3_peer.hpp"

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace quillmere::testing {

namespace fs = std::filesystem;

S3PeerProcess::S3PeerProcess(const std::string& region, const std::vector<std::string>& buckets) {
    const fs::path peers = QUILLMERE_PEERS_DIR;
    if (!fs::exists(peers / "node_modules" / "s3rver" / "package.json")) {
        throw std::runtime_error("s3rver is not installed: run tests/peers/install.sh");
    }
    if (find_executable("node").empty()) throw std::runtime_error("node is not installed");
    dir_ = std::make_unique<TempDir>("quillmere-s3");
    fs::create_directories(data_directory());
    port_ = free_loopback_port();
    std::vector<std::string> argv{
        "node", QUILLMERE_S3_PEER_SCRIPT, peers.string(), data_directory().string(), std::to_string(port_), region};
    argv.insert(argv.end(), buckets.begin(), buckets.end());
    process_ = std::make_unique<ChildProcess>(argv, dir_->path() / "peer.log");
    if (!wait_for_port(port_, std::chrono::seconds(30))) {
        const std::string text = log();
        process_.reset();
        throw std::runtime_error("s3rver did not start:\n" + text);
    }
}

S3PeerProcess::~S3PeerProcess() { process_.reset(); }

fs::path S3PeerProcess::data_directory() const { return dir_->path() / "data"; }

std::string S3PeerProcess::log() const {
    std::ifstream in(dir_->path() / "peer.log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace quillmere::testing

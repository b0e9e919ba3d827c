#pragma once
// The S3-compatible peer of the storage tests: s3rver behind s3_peer.js (which checks AWS
// Signature Version 4 the way Amazon S3 does), on a free loopback port with a throw-away
// data directory. Stopped when the object is destroyed.

#include "support/process.hpp"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace quillmere::testing {

class S3PeerProcess {
public:
    // Throws std::runtime_error (with the peer's log) when it does not start within 30 s.
    S3PeerProcess(const std::string& region, const std::vector<std::string>& buckets);
    ~S3PeerProcess();
    S3PeerProcess(const S3PeerProcess&) = delete;
    S3PeerProcess& operator=(const S3PeerProcess&) = delete;

    int port() const { return port_; }
    std::string endpoint() const { return "http://127.0.0.1:" + std::to_string(port_); }
    // Where s3rver keeps its buckets.
    std::filesystem::path data_directory() const;
    // Everything the peer has written so far: one line per request it answered,
    // "<method> <path and query> <status>".
    std::string log() const;

private:
    std::unique_ptr<TempDir> dir_;
    std::unique_ptr<ChildProcess> process_;
    int port_ = 0;
};

}  // namespace quillmere::testing

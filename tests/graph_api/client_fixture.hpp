#pragma once
// One fake Graph API per test program and the process-wide client pointed at it (the
// client is configured once per process), with waits recorded and scaled down.

#include "fake_graph_api/fake_graph_api.hpp"
#include "quillmere/graviel/instagram_api.hpp"
#include "support/recording_logger.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace quillmere::testing {

inline constexpr const char* kApiVersion = "v19.0";

struct ClientSuite {
    FakeGraphApi fake;
    RecordedWaits waits;
    graviel::InstagramAPI* api = nullptr;

    ClientSuite() {
        graviel::InstagramApiOptions options;
        options.sleep = waits.sleep_function();
        api = &graviel::InstagramAPI::instance(fake.base_url(), kApiVersion, options);
    }
};

inline ClientSuite& client_suite() {
    static ClientSuite suite;
    return suite;
}

class ClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake().reset();
        waits().clear();
        waits().set_scale(std::chrono::microseconds(10));
    }
    FakeGraphApi& fake() { return client_suite().fake; }
    RecordedWaits& waits() { return client_suite().waits; }
    graviel::InstagramAPI& api() { return *client_suite().api; }
};

}  // namespace quillmere::testing

// A test case run once for each SHA-256 path, that path forced for its duration; cases on
// paths this CPU cannot run are skipped.
#pragma once

#include "hash/sha256_lanes.h"

#include <gtest/gtest.h>

#include <string>

namespace harness {

class forced_sha256_path : public ::testing::TestWithParam<sha256_path> {
  protected:
    void SetUp() override {
        saved_ = active_sha256_path();
        if (!sha256_path_supported(GetParam())) {
            GTEST_SKIP() << "this CPU cannot run the " << sha256_path_name(GetParam()) << " path";
        }
        force_sha256_path(GetParam());
    }
    void TearDown() override { force_sha256_path(saved_); }

  private:
    sha256_path saved_ = sha256_path::openssl;
};

inline const auto every_sha256_path = ::testing::Values(sha256_path::openssl, sha256_path::shani,
                                                        sha256_path::avx2, sha256_path::avx512);

inline std::string sha256_path_case_name(const ::testing::TestParamInfo<sha256_path> &info) {
    return sha256_path_name(info.param);
}

} // namespace harness

// The store servers scripts/storeservers.sh starts on loopback: an S3 server
// (LUMORA_TEST_S3, its keys) and nginx serving LUMORA_TEST_HTTP_ROOT at LUMORA_TEST_HTTP.
// A test without them skips, unless LUMORA_REQUIRE_STORES=1 (scripts/test.sh) makes
// that a failure.
#pragma once

#include <gtest/gtest.h>

#include <QString>

namespace testsupport {

inline bool StoresRequired() {
    return qEnvironmentVariable("LUMORA_REQUIRE_STORES") == QStringLiteral("1");
}

// The rclone remote "lumoras3:" for the S3 server, through rclone's environment
// variables (objects public-read, so that HTTP readers get them too); false when the
// server is not running.
inline bool UseS3Remote() {
    const QString endpoint = qEnvironmentVariable("LUMORA_TEST_S3");
    if (endpoint.isEmpty()) return false;
    qunsetenv("AWS_CA_BUNDLE");  // rclone 1.60 fails with LoadCustomCABundleError when it is set
    qputenv("RCLONE_CONFIG_LUMORAS3_TYPE", "s3");
    qputenv("RCLONE_CONFIG_LUMORAS3_PROVIDER", "Ceph");
    qputenv("RCLONE_CONFIG_LUMORAS3_ENDPOINT", endpoint.toUtf8());
    qputenv("RCLONE_CONFIG_LUMORAS3_ACCESS_KEY_ID", qgetenv("LUMORA_TEST_S3_KEY"));
    qputenv("RCLONE_CONFIG_LUMORAS3_SECRET_ACCESS_KEY", qgetenv("LUMORA_TEST_S3_SECRET"));
    qputenv("RCLONE_CONFIG_LUMORAS3_ACL", "public-read");
    return true;
}

}  // namespace testsupport

// Skips the test (fails it when the servers are required) unless `present`.
#define LUMORA_NEED_SERVER(present, what)                                                     \
    do {                                                                                      \
        if (!(present)) {                                                                     \
            if (testsupport::StoresRequired()) FAIL() << what " is required but not running"; \
            GTEST_SKIP() << what " is not running (start it with scripts/storeservers.sh)";   \
        }                                                                                     \
    } while (0)

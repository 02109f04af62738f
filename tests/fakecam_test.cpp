// The simulator is the other side of every protocol test, so its own arithmetic is checked against the
// published vectors.
#include <gtest/gtest.h>

#include "Soap.h"

TEST(FakecamDigest, MatchesTheRfc2617Example) {
    EXPECT_EQ(
        fakecam::DigestResponse("Mufasa", "testrealm@host.com", "Circle Of Life", "GET", "/dir/index.html",
                                "dcd98b7102dd2f0e8b11d0f600bfb0c093", "00000001", "0a4f113b", "auth"),
        "6629fae49393a05397450978507c4ef1");
}

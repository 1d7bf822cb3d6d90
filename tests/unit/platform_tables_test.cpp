#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/aDefs.h"
#include "common/aError.h"

TEST(ErrorText, NamesDescriptionsAndFallback) {
    EXPECT_STREQ(aError_GetErrorText(aErrNone), "aErrNone");
    EXPECT_STREQ(aError_GetErrorText(aErrTimeout), "aErrTimeout");
    EXPECT_STREQ(aError_GetErrorText(static_cast<aErr>(35)), "aErrUnknown");
    EXPECT_STREQ(aError_GetErrorText(static_cast<aErr>(0xFFFFFFFF)), "aErrUnknown");
    EXPECT_STREQ(aError_GetErrorDescription(aErrShortCommand), "Quillarex command to short");
    EXPECT_STREQ(aError_GetErrorDescription(static_cast<aErr>(99)), "Unknown error");
}

TEST(ModelTable, KnownKeysHaveShortNamesAndOthersAreUnknown) {
    for (unsigned type = 0; type < 64; ++type) {
        const bool known = type == 4 || type == 5 || (type >= 13 && type <= 27);
        const std::string name = aDefs_GetModelName(type);
        if (known) {
            EXPECT_NE(name, "Unknown") << type;
            EXPECT_LE(name.size(), 13u) << type;
        } else {
            EXPECT_EQ(name, "Unknown") << type;
        }
    }
}

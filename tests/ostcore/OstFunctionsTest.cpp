#include "OstFunctions.h"

#include <QUuid>

#include <gtest/gtest.h>

TEST(OstFunctionsTest, CreateUuidWithAndWithoutBraces)
{
    const QString bare = OstFunctions::createUuid(true);
    const QString braced = OstFunctions::createUuid(false);
    EXPECT_EQ(bare.size(), 36);
    EXPECT_FALSE(QUuid::fromString(bare).isNull());
    EXPECT_TRUE(braced.startsWith('{') && braced.endsWith('}'));
    EXPECT_FALSE(QUuid::fromString(braced).isNull());
    EXPECT_NE(bare, OstFunctions::createUuid(true));
}

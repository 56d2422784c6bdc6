#include "OstFunctions.h"

#include <QRegularExpression>
#include <QSet>
#include <QUuid>

#include <gtest/gtest.h>

TEST(OstFunctionsTest, CreateUuidFormsAndUniqueness)
{
    const QRegularExpression bare(QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$"));
    QSet<QString> seen;
    for (bool withoutBraces : {true, false}) {
        for (int i = 0; i < 200; ++i) {
            const QString id = OstFunctions::createUuid(withoutBraces);
            QString inner = id;
            if (!withoutBraces) {
                ASSERT_TRUE(id.startsWith('{') && id.endsWith('}')) << id.toStdString();
                inner = id.mid(1, id.size() - 2);
            }
            ASSERT_TRUE(bare.match(inner).hasMatch()) << id.toStdString();
            EXPECT_FALSE(QUuid::fromString(id).isNull());
            seen.insert(inner);
        }
    }
    EXPECT_EQ(seen.size(), 400);
}

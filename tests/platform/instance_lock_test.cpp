#include "platform/instance_lock.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace cvx;

TEST(NamedInstanceLock, SecondHolderIsRefusedUntilRelease)
{
    QTemporaryDir dir;
    NamedInstanceLock::setLockFolder(dir.path());
    NamedInstanceLock first(QStringLiteral("Corvalux for Windows"));
    NamedInstanceLock second(QStringLiteral("Corvalux for Windows"));
    NamedInstanceLock other(QStringLiteral("Corvalux klímafelügyelő program"));
    EXPECT_TRUE(first.tryAcquire());
    EXPECT_FALSE(second.tryAcquire());
    EXPECT_TRUE(other.tryAcquire());
    first.release();
    EXPECT_TRUE(second.tryAcquire());
    NamedInstanceLock::setLockFolder(QString());
}

// A second window on one config.ini hands over to the first; other settings files open their own.
#include "app/single_window.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using veltrano::SingleWindow;

TEST(SingleWindow, ASecondStartOnOneConfigRaisesTheFirstAndEndsWithIt)
{
    QTemporaryDir dir;
    const QString config = dir.filePath("config.ini");
    {
        SingleWindow first(config);
        ASSERT_FALSE(first.handedOver());
        QSignalSpy raised(&first, &SingleWindow::raiseRequested);
        SingleWindow second(dir.path() + "/./config.ini"); // the same file, however it is named
        EXPECT_TRUE(second.handedOver());
        EXPECT_TRUE(raised.count() > 0 || raised.wait(5000));
        SingleWindow other(dir.filePath("other.ini"));
        EXPECT_FALSE(other.handedOver()) << "another queue, another window";
    }
    SingleWindow afterwards(config);
    EXPECT_FALSE(afterwards.handedOver()) << "a window that has gone does not hold the name";
}

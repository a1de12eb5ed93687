// Where settings, data and the skin are looked for: beside the program, beside --config, or in the
// user's folders for an installation.
#include "core/app_context.h"

#include <QDir>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace veltrano;

namespace {
struct FoldersRestored {
    FoldersRestored() { QStandardPaths::setTestModeEnabled(true); } // never the real home folder
    ~FoldersRestored()
    {
        setApplicationFolder(QString());
        setConfigFile(QString());
        setResourceFolder(QString());
        QStandardPaths::setTestModeEnabled(false);
    }
};
} // namespace

TEST(AppContext, FoldersFollowTheProgramTheConfigOrTheInstallation)
{
    FoldersRestored restore;
    QTemporaryDir dir;
    const QString program = dir.filePath("portable");
    ASSERT_TRUE(QDir().mkpath(program + "/skin"));
    chooseFolders(program);
    EXPECT_EQ(applicationFolder(), program) << "a writable program folder keeps today's layout";
    EXPECT_EQ(configFile(), program + "/config.ini");
    EXPECT_EQ(resourceFolder(), program);

    ASSERT_TRUE(QDir().mkpath(dir.filePath("site")));
    chooseFolders(program, dir.filePath("site/config.ini"));
    EXPECT_EQ(configFile(), dir.filePath("site/config.ini"));
    EXPECT_EQ(applicationFolder(), dir.filePath("site"))
        << "data lives beside the named config.ini";

    const QString prefix = dir.filePath("usr");
    ASSERT_TRUE(QDir().mkpath(prefix + "/bin"));
    ASSERT_TRUE(QDir().mkpath(prefix + "/share/veltrano/skin"));
    chooseFolders(prefix + "/bin");
    EXPECT_EQ(resourceFolder(), prefix + "/share/veltrano");
    EXPECT_EQ(applicationFolder(),
              QStandardPaths::writableLocation(QStandardPaths::AppDataLocation));
    EXPECT_EQ(configFile(),
              QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation) + "/config.ini");
    EXPECT_FALSE(QFileInfo::exists(prefix + "/bin/logs"));
}

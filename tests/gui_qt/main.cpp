// Test runner for the dialog tests: one QApplication for the whole run, on the offscreen
// platform unless the environment chooses another, with the program's settings in a folder of
// the run's own, never the user's, and no upgrade record unless a test names its file.
#include <QApplication>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QStandardPaths::setTestModeEnabled(true);
    ::setenv("SORVEL_RECORD", "", 1);
    ::testing::InitGoogleTest(&argc, argv);
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    const QTemporaryDir settings;
    if (!settings.isValid())
        return 1;
    for (auto format : {QSettings::NativeFormat, QSettings::IniFormat})
        QSettings::setPath(format, QSettings::UserScope, settings.path());
    return RUN_ALL_TESTS();
}

// Entry point of the GUI tests: a QApplication on the offscreen platform, message boxes answered
// only as a test queued it.
#include "core/process_exit.h"
#include "ui/message_box.h"

#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Veltrano"));
    QApplication::setQuitOnLastWindowClosed(false);
    veltrano::ui::testing::setEnabled(true);
    veltrano::ui::testing::onUnansweredQuestion([](const veltrano::ui::ShownMessage &m) {
        ADD_FAILURE() << "a question was shown with no answer queued: " << m.text.toStdString();
    });
    ::testing::InitGoogleTest(&argc, argv);
    // Ends as the program ends: on Windows without the DLLs' detach, which can wait for ever.
    return veltrano::endProcess(RUN_ALL_TESTS());
}

// Entry point of the GUI tests: a QApplication on the offscreen platform, message boxes answered
// only as a test queued it.
#include "ui/message_box.h"

#include <QApplication>
#include <gtest/gtest.h>

#ifdef _WIN32
#include <cstdio>
#include <qt_windows.h>

namespace {

bool underWine()
{
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

} // namespace
#endif

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
    const int result = RUN_ALL_TESTS();
#ifdef _WIN32
    // Under Wine the process can wait for ever in its exit after a window whose start failed (the
    // cases pass; only the libraries' detach at exit waits). The results are in: end here, and say
    // so.
    if (underWine()) {
        std::fputs("gui_tests: under Wine, ending without the libraries' exit handlers\n", stderr);
        std::fflush(nullptr);
        TerminateProcess(GetCurrentProcess(), UINT(result));
    }
#endif
    return result;
}

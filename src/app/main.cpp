// Starts Veltrano: Chinese standard buttons, the application folder, the daily log and Form1.
#include "app/form1.h"
#include "core/app_context.h"
#include "core/logger.h"
#include "core/worker.h"
#include "records/follower_export.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QPointer>
#include <QTranslator>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Veltrano"));
    QApplication::setApplicationVersion(QStringLiteral("1.01"));

    QTranslator qtText;
    if (qtText.load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"),
                    QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(&qtText);

    veltrano::setApplicationFolder(QCoreApplication::applicationDirPath());
    veltrano::DailyLogFile logFile(veltrano::applicationFolder());

    // The program ends once none of its windows is open; a main window that is merely hidden in
    // the background still counts as open, so closing the last dialog must not end the program.
    QApplication::setQuitOnLastWindowClosed(false);
    auto *form1 = new veltrano::Form1;
    form1->setAttribute(Qt::WA_DeleteOnClose);
    const auto quitWhenNoWindowOpen = [&app, mainWindow = QPointer<veltrano::Form1>(form1)] {
        if (mainWindow)
            return; // shown or hidden in the background, the main window is open
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (w->isVisible())
                return;
        }
        app.quit();
    };
    QObject::connect(&app, &QGuiApplication::lastWindowClosed, &app, quitWhenNoWindowOpen);
    QObject::connect(form1, &QObject::destroyed, &app, quitWhenNoWindowOpen, Qt::QueuedConnection);
    form1->show();

    const int code = app.exec();
    // A batch or export under way runs to its end before the program goes.
    veltrano::workerPool().waitForDone();
    veltrano::exportPool().waitForDone();
    return code;
}

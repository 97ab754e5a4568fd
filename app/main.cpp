// Entry point of both processes: the GUI, and with "--worker" a worker that
// answers one request and exits.
#include "app/workermain.h"
#include "gui/batchwindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFont>
#include <QIcon>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

using namespace Qt::StringLiterals;

namespace {

bool hasArgument(int argc, char** argv, std::initializer_list<const char*> names)
{
    for (int i = 1; i < argc; ++i) {
        for (const char* name : names) {
            if (std::strcmp(argv[i], name) == 0)
                return true;
        }
    }
    return false;
}

void preferOffscreenPlatform()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

// Must run before the application object exists: it may open descriptors of
// its own that would take the place of a closed standard stream.
bool standardStreamsOpen()
{
#ifdef Q_OS_WIN
    return _get_osfhandle(0) != -1 && _get_osfhandle(1) != -1;
#else
    return fcntl(0, F_GETFD) != -1 && fcntl(1, F_GETFD) != -1;
#endif
}

// Tesseract's OpenMP runtime reads its thread limit once, when it is loaded, and
// spin-waits badly when it runs more threads than there are free cores. The
// limit must therefore be in the environment before the process starts: a
// worker re-executes itself once with it set.
void limitRecognitionThreads(char** argv)
{
#ifdef Q_OS_LINUX
    if (qEnvironmentVariableIsSet("OMP_THREAD_LIMIT"))
        return;
    qputenv("OMP_THREAD_LIMIT", "1");
    ::execv("/proc/self/exe", argv);
    // Still here: run without the limit rather than not at all.
#else
    Q_UNUSED(argv);
#endif
}

void discardMessages(QtMsgType, const QMessageLogContext&, const QString&) {}

} // namespace

int main(int argc, char** argv)
{
    if (hasArgument(argc, argv, {"--worker"})) {
        if (!standardStreamsOpen())
            return 2;
        limitRecognitionThreads(argv);
#ifdef SIGXFSZ
        // A file-size limit then fails the write with a message instead of killing the worker.
        std::signal(SIGXFSZ, SIG_IGN);
#endif
        // A worker never shows a window, and must run where no display exists.
        preferOffscreenPlatform();
        qInstallMessageHandler(discardMessages);
    } else if (hasArgument(argc, argv, {"-h", "--help", "--help-all", "-?", "-v", "--version"})) {
        // Printing the usage or the version must not depend on a display.
        preferOffscreenPlatform();
    }

    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(u"Quorvin"_s);
    QCoreApplication::setApplicationName(u"QuorvinPDFBatch.cn"_s);
    QGuiApplication::setApplicationDisplayName(u"Quorvin PDF 批量处理"_s);
    QCoreApplication::setApplicationVersion(u"0.1.0"_s);

    if (QCoreApplication::arguments().contains(u"--worker"_s))
        return batch::workerMain();

    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addVersionOption();
    parser.process(app);

    QGuiApplication::setWindowIcon(QIcon(u":/batch/brand.svg"_s));
    QApplication::setFont(QFont(u"Microsoft YaHei UI"_s, 10));
    app.setStyleSheet(batch::applicationStyleSheet());

    batch::BatchWindow window;
    window.show();
    return app.exec();
}

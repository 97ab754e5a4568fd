// Entry point of both processes: the GUI, and with "--worker" a worker that
// answers one request and exits. Document jobs run here; the window and
// recognition are in the module (module.h).
#include "app/batchcommand.h"
#include "app/console.h"
#include "app/module.h"
#include "engine/platformproc.h"
#include "jobframe/workermain.h"
#include "protocol/catalogue.h"
#include "protocol/protocol.h"
#include "protocol/request.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QLibrary>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

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
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        // Nothing is ever shown: probing OpenGL was a tenth of a small job's time.
        qputenv("QT_QPA_OFFSCREEN_NO_GLX", "1");
    }
}

enum class RequestKind
{
    Unknown,
    Recognition,
    Document
};

// Knowing the operation first lets a document job skip what only recognition
// needs: the thread-limit re-execution and the module.
RequestKind requestKind()
{
    const std::optional<QByteArray> bytes = batch::peekStandardInput(batch::maxRequestLineBytes);
    if (!bytes)
        return RequestKind::Unknown;
    QJsonObject request;
    const qsizetype end = bytes->indexOf('\n');
    if (!batch::parseObjectLine(bytes->left(end < 0 ? batch::maxRequestLineBytes + 1 : end),
                                request))
        return RequestKind::Document; // answered as invalid without any recognition
    return batch::needsModule(batch::parseRequest(request)) ? RequestKind::Recognition
                                                            : RequestKind::Document;
}

void discardMessages(QtMsgType, const QMessageLogContext&, const QString&) {}

// Beside the executable in a build tree, in a private library folder once installed.
batch::ModuleEntry loadModuleEntry(const char* argv0, const char* name, QString& error)
{
    const QString folder = QFileInfo(batch::executablePath(argv0)).absolutePath();
    const QString file = QStringLiteral(QPB_MODULE_FILE);
    const QStringList candidates = {folder + u'/' + file,
                                    folder + QStringLiteral("/" QPB_MODULE_INSTALL_DIR "/") + file};
    for (const QString& path : candidates) {
        if (!QFileInfo::exists(path))
            continue;
        // Never unloaded: its objects live until the process ends.
        QLibrary module(path);
        if (!module.load()) {
            error = module.errorString();
            return nullptr;
        }
        const auto entry = reinterpret_cast<batch::ModuleEntry>(module.resolve(name));
        if (!entry)
            error = module.errorString();
        return entry;
    }
    error = u"%1 not found beside %2"_s.arg(file, folder);
    return nullptr;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 2 && std::strcmp(argv[1], "batch") == 0) {
        // The command-line batch needs neither a display nor the module: its
        // workers are this executable.
        QCoreApplication app(argc, argv);
        batch::setApplicationIdentity();
        const QString worker = qEnvironmentVariable("QPB_WORKER_PROGRAM", batch::workerProgram());
        return batch::runBatchCommand(app.arguments().mid(2), worker);
    }
    const bool worker = hasArgument(argc, argv, {"--worker"});
    RequestKind kind = RequestKind::Unknown;
    if (worker) {
        batch::watchParent();
        if (!batch::standardStreamsOpen())
            return 2;
        kind = requestKind();
        if (kind != RequestKind::Document)
            batch::limitRecognitionThreads(argv);
#ifdef SIGXFSZ
        // A file-size limit then fails the write with a message instead of killing the worker.
        std::signal(SIGXFSZ, SIG_IGN);
#endif
        // A worker never shows a window, and must run where no display exists.
        preferOffscreenPlatform();
        qInstallMessageHandler(discardMessages);
    } else if (hasArgument(argc, argv, {"-h", "--help", "--help-all", "-?", "-v", "--version"})) {
        // Printing the usage or the version must not depend on a display, and
        // goes to the console, not into a message box nobody sees.
        preferOffscreenPlatform();
        qputenv("QT_COMMAND_LINE_PARSER_NO_GUI_MESSAGE_BOXES", "1");
    }

    if (kind == RequestKind::Document) {
        int code = 0;
        {
            QCoreApplication app(argc, argv);
            batch::setApplicationIdentity();
            code = batch::workerMain(nullptr);
        }
        batch::endWorker(code);
    }

    QString error;
    const batch::ModuleEntry entry = loadModuleEntry(
        argv[0], worker ? batch::recognitionWorkerEntryName : batch::windowEntryName, error);
    if (entry && worker)
        batch::endWorker(entry(argc, argv));
    if (entry)
        return entry(argc, argv);
    batch::console::write(stderr, u"quorvin-pdf-batch: "_s + error + u'\n');
    if (!worker)
        return 1;
    QFile output;
    if (!output.open(stdout, QIODevice::WriteOnly, QFileDevice::DontCloseHandle))
        return 2;
    output.write(batch::toLine(batch::failureResult(u"程序组件缺失或损坏，请重新安装。"_s)));
    return 1;
}

// The module's two entry points; see module.h.
#include "app/module.h"
#include "gui/batchwindow.h"
#include "gui/handover.h"
#include "gui/icons.h"
#include "jobframe/workermain.h"
#include "ocr/ocr.h"
#include "ocr/pagetools.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFont>
#include <QIcon>

#include <type_traits>

using namespace Qt::StringLiterals;

extern "C" Q_DECL_EXPORT int qpbRecognitionWorkerMain(int argc, char** argv)
{
    // Fonts and the PDF writer need the GUI application object; widgets are never made.
    QGuiApplication app(argc, argv);
    batch::setApplicationIdentity();
    static const batch::ModuleServices services{&batch::recognize, &batch::findBlankPages,
                                                &batch::writePageImages, &batch::imagesToPdf,
                                                &batch::stampDocument};
    return batch::workerMain(&services);
}

extern "C" Q_DECL_EXPORT int qpbWindowMain(int argc, char** argv)
{
    QApplication app(argc, argv);
    batch::setApplicationIdentity();
    QGuiApplication::setApplicationDisplayName(u"Quorvin PDF 批量处理"_s);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        u"Quorvin PDF 批量处理：不带参数时打开窗口。\n"
        u"Opens the window; for the command-line batch run\n"
        u"  quorvin-pdf-batch batch OPERATION [OPTIONS] --output DIR FILE-OR-FOLDER…\n"
        u"  quorvin-pdf-batch batch --help"_s);
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(
        u"files"_s, u"要添加的 PDF 文件或文件夹 / PDFs or folders to add"_s, u"[文件或文件夹…]"_s);
    parser.process(app);
    const QStringList files = parser.positionalArguments();
    if (batch::WindowHandOver::handToOpenWindow(files))
        return 0;

    QGuiApplication::setWindowIcon(batch::batchIcon(u"brand"_s));
    // Windows before 8 has no YaHei UI, and some Chinese installs only SimSun.
    QFont font(u"Microsoft YaHei UI"_s, 10);
    font.setFamilies({u"Microsoft YaHei UI"_s, u"Microsoft YaHei"_s, u"SimSun"_s});
    QApplication::setFont(font);
    app.setStyleSheet(batch::applicationStyleSheet());
    batch::installQtChinese(app);

    batch::BatchWindow window;
    // Files are added, never started: the user chooses the operation.
    const batch::WindowHandOver handOver(
        [&window](const QStringList& handed) { window.receiveHandedFiles(handed); });
    window.show();
    if (!files.isEmpty())
        window.addPaths(files);
    return app.exec();
}

// The executable calls them through this type.
static_assert(std::is_same_v<decltype(&qpbWindowMain), batch::ModuleEntry>);
static_assert(std::is_same_v<decltype(&qpbRecognitionWorkerMain), batch::ModuleEntry>);

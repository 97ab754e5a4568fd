// Shows the real main window on an X server (Xvfb in the test run), adds a few
// generated PDFs, runs an OCR batch, and saves screenshots of the window idle,
// during the batch and after it, then at 1280×680 (a 1366×768 laptop with a
// panel) and 1920×1080; with --first-start, the window as fresh settings open
// it on the screen and a failed row. Exits non-zero when the window cannot be shown,
// Chinese text would be drawn without real glyphs, or a control is clipped.
#include "gui/batchwindow.h"
#include "gui/icons.h"
#include "gui/messagebox.h"
#include "gui/panels/operationpanel.h"
#include "gui/preview.h"
#include "protocol/catalogue.h"
#include "testsupport.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFontDatabase>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRawFont>
#include <QScreen>
#include <QScrollArea>
#include <QSettings>
#include <QSpinBox>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace batch {

class ScreenshotTour
{
public:
    static int run(const QString& folder);
    // A first start with fresh settings on this screen, then a batch with a
    // failed row: both saved, and a failure when the window or a control is
    // off the screen.
    static int firstStart(const QString& folder);
};

namespace {

bool save(QWidget& window, const QString& path)
{
    QCoreApplication::processEvents();
    const QPixmap shot = window.screen()->grabWindow(window.winId());
    if (shot.isNull() || !shot.save(path))
        return false;
    std::printf("screenshot: %s\n", qPrintable(path));
    return true;
}

// Controls cut off by the window's edge or squeezed below their smallest
// size; those in the settings only across, as the settings scroll down.
QStringList clippedControls(QWidget& window, const QScrollArea* settings)
{
    QStringList clipped;
    for (QWidget* widget : window.findChildren<QWidget*>()) {
        const bool control = qobject_cast<QAbstractButton*>(widget) ||
                             qobject_cast<QLineEdit*>(widget) || qobject_cast<QComboBox*>(widget) ||
                             qobject_cast<QSpinBox*>(widget);
        if (!control || !widget->isVisibleTo(&window))
            continue;
        const QRect area(widget->mapTo(&window, QPoint(0, 0)), widget->size());
        const bool scrolled = settings && settings->widget()->isAncestorOf(widget);
        const bool inside =
            scrolled
                ? area.left() >= 0 && area.right() <= settings->mapTo(&window, QPoint(0, 0)).x() +
                                                          settings->viewport()->width()
                : window.rect().contains(area);
        const QSize smallest = widget->minimumSizeHint();
        if (!inside || widget->width() < smallest.width() || widget->height() < smallest.height())
            clipped << QString(widget->accessibleName() + u'/' +
                               QString::fromLatin1(widget->metaObject()->className()) + u'/' +
                               widget->property("text").toString());
    }
    return clipped;
}

bool hasChineseGlyphs(const QFont& font)
{
    const QRawFont raw = QRawFont::fromFont(font, QFontDatabase::SimplifiedChinese);
    return raw.isValid() && raw.supportsCharacter(U'处') && raw.supportsCharacter(U'批');
}

} // namespace

int ScreenshotTour::run(const QString& folder)
{
    if (QGuiApplication::platformName() == u"offscreen"_s) {
        std::fprintf(stderr, "needs a real display (run under xvfb-run)\n");
        return 1;
    }
    if (!hasChineseGlyphs(QApplication::font())) {
        std::fprintf(stderr, "no font with Chinese glyphs: install fonts-noto-cjk\n");
        return 1;
    }
    QTemporaryDir work;
    const QString output = work.filePath(u"结果"_s);
    QStringList sources;
    for (const QString& name : {u"年度报告.pdf"_s, u"scan-合同.pdf"_s, u"发票 2024.pdf"_s}) {
        const QString path = work.filePath(name);
        testsupport::writeDrawnPdf(path, {{.lines = {u"Quorvin PDF Batch screenshot page"_s,
                                                     u"批量处理文件，保护原始文档安全。"_s},
                                           .family = u"Noto Sans CJK SC"_s}});
        sources << path;
    }

    BatchWindow window;
    window.setWorkerProgram(QStringLiteral(QPB_EXECUTABLE));
    window.m_outputEdit->setText(output);
    const int ocr = int(batch::findOperation(u"ocr"_s) - batch::operations().data());
    window.m_panels.at(ocr)
        ->findChild<QLineEdit*>(u"ocrModels"_s)
        ->setText(u"/usr/share/tesseract-ocr/5/tessdata"_s);
    window.m_navigation->setCurrentRow(ocr);
    window.m_panels.at(ocr)->findChild<QComboBox*>(u"ocrLanguage"_s)->setCurrentIndex(0);
    window.show();
    if (!QTest::qWaitForWindowExposed(&window, 10000)) {
        std::fprintf(stderr, "the window could not be shown\n");
        return 1;
    }
    QDir().mkpath(folder);
    bool ok = save(window, QDir(folder).filePath(u"01-empty.png"_s));
    window.addPaths(sources);
    ok = ok && save(window, QDir(folder).filePath(u"02-idle.png"_s));

    QTest::mouseClick(window.m_startButton, Qt::LeftButton);
    if (!window.m_running) {
        std::fprintf(stderr, "the batch did not start\n");
        return 1;
    }
    const bool progressShown = QTest::qWaitFor(
        [&] { return window.m_statusLine->text().startsWith(u"文字识别"_s); }, 60000);
    ok = ok && progressShown && save(window, QDir(folder).filePath(u"03-running.png"_s));
    if (!QTest::qWaitFor([&] { return !window.m_running; }, 600000)) {
        std::fprintf(stderr, "the batch did not end\n");
        return 1;
    }
    window.m_fileTable->selectRow(0);
    ok = ok && QTest::qWaitFor([&] { return window.m_preview->pageCount() > 0; }, 30000);
    QTest::qWait(300); // drawn before it is taken
    ok = ok && save(window, QDir(folder).filePath(u"04-done.png"_s));
    const QString status = window.m_statusLine->text();
    std::printf("status: %s\n", qPrintable(status));

    for (const QSize size : {QSize(1280, 680), QSize(1920, 1080)}) {
        window.resize(size);
        QTest::qWait(300);
        if (window.size() != size) {
            std::fprintf(stderr, "the window could not be made %dx%d\n", size.width(),
                         size.height());
            return 1;
        }
        const QStringList clipped = clippedControls(window, window.m_settingsScroll);
        if (!clipped.isEmpty()) {
            std::fprintf(stderr, "clipped at %dx%d: %s\n", size.width(), size.height(),
                         qPrintable(clipped.join(u", "_s)));
            ok = false;
        }
        ok = ok && save(window, QDir(folder).filePath(
                                    u"%1-%2x%3.png"_s.arg(size.width() == 1280 ? u"05"_s : u"06"_s)
                                        .arg(size.width())
                                        .arg(size.height())));
    }
    return ok && status.startsWith(u"3 份文件 · 成功 3 · 失败 0 · 待处理 0"_s) ? 0 : 1;
}

int ScreenshotTour::firstStart(const QString& folder)
{
    QTemporaryDir work;
    const QString good = work.filePath(u"年度报告.pdf"_s);
    testsupport::writePdf(good, {.pages = 2, .marker = u"good"_s});
    const QString broken = work.filePath(u"损坏的文件.pdf"_s);
    testsupport::writeBytes(broken, "%PDF-1.7 but nothing more");

    BatchWindow window;
    window.setWorkerProgram(QStringLiteral(QPB_EXECUTABLE));
    window.m_outputEdit->setText(work.filePath(u"结果"_s));
    window.show();
    if (!QTest::qWaitForWindowExposed(&window, 10000)) {
        std::fprintf(stderr, "the window could not be shown\n");
        return 1;
    }
    const QRect screen = window.screen()->availableGeometry();
    const QString size = u"%1x%2"_s.arg(screen.width()).arg(screen.height());
    bool ok = true;
    if (!screen.contains(window.frameGeometry())) {
        std::fprintf(stderr, "the window (%d,%d %dx%d) is off the %s screen\n", window.x(),
                     window.y(), window.width(), window.height(), qPrintable(size));
        ok = false;
    }
    QDir().mkpath(folder);
    ok = save(window, QDir(folder).filePath(u"first-start-%1.png"_s.arg(size))) && ok;
    window.m_navigation->setCurrentRow(3); // rotate
    window.addPaths({good, broken});
    QTest::mouseClick(window.m_startButton, Qt::LeftButton);
    if (!QTest::qWaitFor([&] { return !window.m_running; }, 120000)) {
        std::fprintf(stderr, "the batch did not end\n");
        return 1;
    }
    const QStringList clipped = clippedControls(window, window.m_settingsScroll);
    if (!clipped.isEmpty()) {
        std::fprintf(stderr, "clipped at %s: %s\n", qPrintable(size),
                     qPrintable(clipped.join(u", "_s)));
        ok = false;
    }
    window.m_fileTable->selectRow(1);
    ok = save(window, QDir(folder).filePath(u"failed-row-%1.png"_s.arg(size))) && ok;
    // The good file's pages beside the list; eight rows of it stay in sight.
    window.m_fileTable->selectRow(0);
    if (!QTest::qWaitFor([&] { return window.m_preview->pageCount() == 2; }, 30000)) {
        std::fprintf(stderr, "the preview showed no pages\n");
        ok = false;
    }
    if (window.m_fileTable->viewport()->height() <
        8 * window.m_fileTable->verticalHeader()->defaultSectionSize()) {
        std::fprintf(stderr, "fewer than eight rows of the list in sight at %s\n",
                     qPrintable(size));
        ok = false;
    }
    ok = save(window, QDir(folder).filePath(u"preview-%1.png"_s.arg(size))) && ok;
    // The failed row's details, its reason behind a path as long as people's are.
    const QString deep =
        QString(u"/共享盘/财务部/2024年/第三季度/各分公司提交的原始扫描件"_s).repeated(4);
    MessageBox details(&window, QMessageBox::Information, u"处理详情"_s,
                       deep + u"/"_s + window.m_items.at(1).detail);
    details.addCopyButton();
    details.addButton(u"确定"_s, QDialogButtonBox::AcceptRole);
    details.fitTo(screen);
    details.show();
    ok = QTest::qWaitForWindowExposed(&details, 10000) && ok;
    if (const QStringList cut = details.cutParts(); !cut.isEmpty()) {
        std::fprintf(stderr, "the details box cuts at %s: %s\n", qPrintable(size),
                     qPrintable(cut.join(u", "_s)));
        ok = false;
    }
    ok = save(details, QDir(folder).filePath(u"details-%1.png"_s.arg(size))) && ok;
    details.hide();
    // Read before another operation is chosen, which puts the rows back to waiting.
    ok = ok && window.m_items.at(1).failed;
    // The widest panel, page numbers and watermarks, whole on this screen.
    window.m_navigation->setCurrentRow(
        int(batch::findOperation(u"stamp"_s) - batch::operations().data()));
    QTest::qWait(50);
    if (const QStringList cut = clippedControls(window, window.m_settingsScroll); !cut.isEmpty()) {
        std::fprintf(stderr, "the stamp panel is clipped at %s: %s\n", qPrintable(size),
                     qPrintable(cut.join(u", "_s)));
        ok = false;
    }
    ok = save(window, QDir(folder).filePath(u"stamp-%1.png"_s.arg(size))) && ok;
    // A watched folder: its banner, and a scan that arrived, whole on this screen.
    window.m_navigation->setCurrentRow(3); // rotate
    const QString scans = work.filePath(u"扫描"_s);
    QDir().mkpath(scans);
    QFile::copy(good, scans + u"/合同 2024-031.pdf"_s);
    QSettings().setValue(u"watch/settleSeconds"_s, 1);
    window.beginWatch(scans, false);
    if (!QTest::qWaitFor(
            [&] { return !window.m_items.isEmpty() && window.m_items.first().succeeded; }, 60000)) {
        std::fprintf(stderr, "the watched scan was not done\n");
        ok = false;
    }
    if (const QStringList cut = clippedControls(window, window.m_settingsScroll); !cut.isEmpty()) {
        std::fprintf(stderr, "the watch is clipped at %s: %s\n", qPrintable(size),
                     qPrintable(cut.join(u", "_s)));
        ok = false;
    }
    ok = save(window, QDir(folder).filePath(u"watch-%1.png"_s.arg(size))) && ok;
    return ok ? 0 : 1;
}

} // namespace batch

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(u"Quorvin"_s);
    QCoreApplication::setApplicationName(u"QuorvinPDFBatch.cn"_s);
    QApplication::setFont(QFont(u"Microsoft YaHei UI"_s, 10));
    app.setStyleSheet(batch::applicationStyleSheet());
    QGuiApplication::setWindowIcon(batch::batchIcon(u"brand"_s));
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : u"screenshots"_s;
    if (argc > 2 && QByteArray(argv[2]) == "--first-start")
        return batch::ScreenshotTour::firstStart(folder);
    return batch::ScreenshotTour::run(folder);
}

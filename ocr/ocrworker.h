// The recognition thread: one source in, one output file out, everything
// reported through signals. Every run ends with exactly one of failed,
// succeeded or cancelled, as its last signal.
#pragma once

#include <QImage>
#include <QList>
#include <QString>
#include <QThread>

namespace tesseract {
class TessBaseAPI;
}

namespace batch {

enum OcrOutput
{
    SearchablePdf = 0,
    RebuiltPdf = 1,
    Docx = 2
};

struct OcrOptions
{
    QList<int> pages{}; // 0-based, in output order; empty means all pages
    bool enhanceImage = false;
    bool skipTextPages = true;
    bool deskew = false;
    int outputKind = SearchablePdf;
    // A page not recognised within this time is left without text, so that
    // one pathological page cannot hold a batch: five minutes, twenty times
    // what a dense A4 page takes at 300 DPI on one core.
    int pageTimeLimitMs = 5 * 60 * 1000;
};

class OcrWorker : public QThread
{
    Q_OBJECT
public:
    OcrWorker(QString sourcePath, QString modelsPath, QString language, int dpi, QString outputBase,
              QString fontFamily, OcrOptions options, QObject* parent = nullptr);

    // How many engines at most recognise pages at once; 0 (the default) takes
    // automaticLaneLimit(). One recognises pages strictly one after another,
    // the reference for the others. Never more lanes than pages.
    void setLanes(int lanes) { m_lanes = lanes; }
    // The engines the last run used.
    int lanesUsed() const { return m_lanesUsed; }
    // The lanes this process may use: the cores it may run on (CPU affinity
    // followed), at most QPB_LANES or QPB_OCR_LANES when set (a batch runner shares
    // the cores among its workers), and memory: a lane takes about 200 MiB and
    // the lanes together at most half of the memory available at the start.
    static int automaticLaneLimit();

signals:
    void pageReady(int page, int total, const QString& text);
    void progressReady(int completed, int total);
    void failed(const QString& message);
    void succeeded();
    void cancelled();
    void notice(const QString& message);

protected:
    void run() override;

private:
    // The language list with its one Chinese script swapped for the other;
    // empty unless exactly one is chosen.
    QString otherChineseScript() const;
    void compareChineseScripts(tesseract::TessBaseAPI& engine, const QImage& sample, int dpi);

    const QString m_sourcePath;
    const QString m_modelsPath;
    const QString m_language;
    const QString m_outputBase;
    const QString m_fontFamily;
    const int m_dpi;
    const QList<int> m_pages;
    const bool m_enhanceImage;
    const bool m_skipTextPages;
    const bool m_deskew;
    const int m_outputKind;
    const int m_pageTimeLimitMs;
    int m_lanes = 0;
    int m_lanesUsed = 0;
};

} // namespace batch

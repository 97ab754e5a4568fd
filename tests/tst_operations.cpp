// The document operations end to end through the worker executable.
#include "engine/images/codecs.h"
#include "protocol/protocol.h"
#include "testsupport.h"

#include <cstring>
#include <QImageReader>
#include <QJsonArray>
#include <QPainter>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <set>
#include <tiffio.h>

#include <poppler/qt6/poppler-qt6.h>
#include <qpdf/Buffer.hh>
#include <qpdf/Pl_Buffer.hh>
#include <qpdf/Pl_Flate.hh>
#include <qpdf/Pl_RunLength.hh>
#include <qpdf/Pl_String.hh>

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFAcroFormDocumentHelper.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>
#include <qpdf/QPDFWriter.hh>

using namespace Qt::StringLiterals;
using testsupport::Encryption;
using testsupport::expectedMarkers;
using testsupport::inspectPdf;
using testsupport::PdfRecipe;

namespace {

using testsupport::makeRequest;

// Decoded page contents and the names of their images, page by page, then
// each page as Poppler renders it: what a viewer draws.
QList<QByteArray> decodedPageData(const QString& path, const std::string& password = {})
{
    QList<QByteArray> data;
    QPDF pdf;
    pdf.setSuppressWarnings(true);
    pdf.processFile(QFile::encodeName(path).constData(),
                    password.empty() ? nullptr : password.c_str());
    for (QPDFPageObjectHelper& page : QPDFPageDocumentHelper(pdf).getAllPages()) {
        Pl_Buffer buffer("contents");
        page.pipeContents(&buffer);
        std::unique_ptr<Buffer> contents(buffer.getBuffer());
        data.append(QByteArray(reinterpret_cast<const char*>(contents->getBuffer()),
                               qsizetype(contents->getSize())));
        for (auto& [name, image] : page.getImages())
            data.append(QByteArray::fromStdString(name));
    }
    for (const QImage& page : testsupport::renderPages(path, 144, QString::fromStdString(password)))
        data.append(
            QByteArray(reinterpret_cast<const char*>(page.constBits()), page.sizeInBytes()));
    return data;
}

QPDFObjectHandle scanImage(QPDF& pdf, const QString& path, const std::string& name = "/Scan",
                           size_t page = 0)
{
    pdf.processFile(QFile::encodeName(path).constData());
    return QPDFPageDocumentHelper(pdf)
        .getAllPages()
        .at(page)
        .getObjectHandle()
        .getKey("/Resources")
        .getKey("/XObject")
        .getKey(name);
}

// The scan image of a one-page document: its filter, colour space family and
// bits, and "predicted" or "progressive" where its encoding is.
QString scanFacts(const QString& path, const std::string& name = "/Scan", size_t page = 0)
{
    QPDF pdf;
    QPDFObjectHandle image = scanImage(pdf, path, name, page);
    QPDFObjectHandle dictionary = image.getDict();
    QPDFObjectHandle space = dictionary.getKey("/ColorSpace");
    QString facts = QString::fromStdString(dictionary.getKey("/Filter").unparse()) + u' ' +
                    (space.isArray()  ? QString::fromStdString(space.getArrayItem(0).getName())
                     : space.isName() ? QString::fromStdString(space.getName())
                                      : u"mask"_s) +
                    u' ' +
                    QString::number(dictionary.getKey("/BitsPerComponent").isInteger()
                                        ? dictionary.getKey("/BitsPerComponent").getIntValue()
                                        : 1);
    if (dictionary.getKey("/DecodeParms").isDictionary() &&
        dictionary.getKey("/DecodeParms").hasKey("/Predictor"))
        facts += u" predicted"_s;
    if (dictionary.getKey("/SMask").isStream())
        facts +=
            u" smask"_s +
            QString::number(
                dictionary.getKey("/SMask").getDict().getKey("/BitsPerComponent").getIntValue());
    const std::shared_ptr<Buffer> data = image.getRawStreamData();
    if (QByteArray(reinterpret_cast<const char*>(data->getBuffer()), qsizetype(data->getSize()))
            .contains("\xff\xc2"))
        facts += u" progressive"_s;
    return facts;
}

// The one image of a sampled-image document: its colour space family, and
// whether its /DL, where it has one, is the length its data decodes to.
QString sampledFacts(const QString& path)
{
    QPDF pdf;
    pdf.processFile(QFile::encodeName(path).constData());
    QPDFObjectHandle image = QPDFPageDocumentHelper(pdf)
                                 .getAllPages()
                                 .front()
                                 .getObjectHandle()
                                 .getKey("/Resources")
                                 .getKey("/XObject")
                                 .getKey("/Im");
    QPDFObjectHandle space = image.getDict().getKey("/ColorSpace");
    QString facts =
        QString::fromStdString(space.isArray() ? space.getArrayItem(0).getName() : space.getName());
    QPDFObjectHandle length = image.getDict().getKey("/DL");
    if (length.isInteger() &&
        length.getIntValue() != qint64(image.getStreamData(qpdf_dl_all)->getSize()))
        facts += u" stale /DL"_s;
    return facts;
}

QByteArray rawScanData(const QString& path)
{
    QPDF pdf;
    const std::shared_ptr<Buffer> data = scanImage(pdf, path).getRawStreamData();
    return QByteArray(reinterpret_cast<const char*>(data->getBuffer()), qsizetype(data->getSize()));
}

// Distinct embedded font programs.
int fontProgramCount(const QString& path)
{
    QPDF pdf;
    pdf.processFile(QFile::encodeName(path).constData());
    std::set<QPDFObjGen> programs;
    for (QPDFObjectHandle& object : pdf.getAllObjects()) {
        if (!object.isDictionary() || !object.getKey("/Type").isNameAndEquals("/FontDescriptor"))
            continue;
        for (const char* key : {"/FontFile", "/FontFile2", "/FontFile3"}) {
            if (object.getKey(key).isStream())
                programs.insert(object.getKey(key).getObjGen());
        }
    }
    return int(programs.size());
}

// The same document with every stream decoded: another producer's bytes.
void writeUncompressed(const QString& source, const QString& target)
{
    QPDF pdf;
    pdf.processFile(QFile::encodeName(source).constData());
    const QByteArray file = QFile::encodeName(target);
    QPDFWriter writer(pdf, file.constData());
    writer.setCompressStreams(false);
    writer.setDecodeLevel(qpdf_dl_generalized);
    writer.write();
}

// Two pages sharing one resource dictionary, each naming a different part of
// it, the second through a form with resources of its own; and one entry
// that nothing names.
void writeSharedResources(const QString& path)
{
    QPDF pdf;
    pdf.emptyPDF();
    QPDFObjectHandle form =
        QPDFObjectHandle::newStream(&pdf, "BT /Inner 20 Tf 10 10 Td (form) Tj ET");
    form.replaceDict(QPDFObjectHandle::parse(
        "<< /Type /XObject /Subtype /Form /BBox [0 0 200 100] /Resources << /Font << /Inner << "
        "/Type /Font /Subtype /Type1 /BaseFont /Times-Roman >> >> >> >>"));
    QPDFObjectHandle resources = pdf.makeIndirectObject(QPDFObjectHandle::parse(
        "<< /Font << /F1 << /Type /Font /Subtype /Type1 /BaseFont /Helvetica >> /Unused << "
        "/Type /Font /Subtype /Type1 /BaseFont /Courier >> >> >>"));
    QPDFObjectHandle forms = QPDFObjectHandle::newDictionary();
    forms.replaceKey("/Fm1", form);
    resources.replaceKey("/XObject", forms);
    for (const char* content :
         {"BT /F1 24 Tf 20 100 Td (one) Tj ET", "q 1 0 0 1 20 50 cm /Fm1 Do Q"}) {
        QPDFObjectHandle page = pdf.makeIndirectObject(
            QPDFObjectHandle::parse("<< /Type /Page /MediaBox [0 0 200 200] >>"));
        page.replaceKey("/Resources", resources);
        page.replaceKey("/Contents", QPDFObjectHandle::newStream(&pdf, content));
        QPDFPageDocumentHelper(pdf).addPage(page, false);
    }
    const QByteArray file = QFile::encodeName(path);
    QPDFWriter writer(pdf, file.constData());
    writer.write();
}

QStringList resourceNames(const QString& path)
{
    QPDF pdf;
    pdf.processFile(QFile::encodeName(path).constData());
    QStringList names;
    QPDFObjectHandle resources =
        QPDFPageDocumentHelper(pdf).getAllPages().front().getObjectHandle().getKey("/Resources");
    for (const std::string& category : resources.getKeys()) {
        if (resources.getKey(category).isDictionary())
            for (const std::string& name : resources.getKey(category).getKeys())
                names << QString::fromStdString(category + name);
    }
    return names;
}

// Pictures for the optimiser: what a scanner or a chart program stores.
QImage photo(bool colour)
{
    QImage image(360, 240, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const int noise = (x * 7919 + y * 104729) % 23;
            const int r = (x + noise) % 256;
            image.setPixel(
                x, y, colour ? qRgb(r, (y + 2 * noise) % 256, (x + y) / 3 % 256) : qRgb(r, r, r));
        }
    }
    return image;
}

QImage chart()
{
    QImage image(300, 200, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    const QColor colours[] = {Qt::red, Qt::darkGreen, Qt::blue, Qt::darkYellow, Qt::black};
    for (int i = 0; i < 5; ++i)
        painter.fillRect(20 + 55 * i, 180 - 30 * i, 40, 30 * i + 10, colours[i]);
    return image;
}

QImage textScan()
{
    testsupport::DrawnPage page;
    page.lines = QStringList{u"Invoice 2026-118, due 31 January."_s, u"合同编号：沪 2026-118"_s};
    return testsupport::drawScan(page, 100).copy(0, 0, 827, 300);
}

// A 300-DPI scan of the top of an A4 page, in colour with a red seal or in grey.
QImage pageScan(bool colour)
{
    testsupport::DrawnPage page;
    page.lines = QStringList{u"采购合同 Purchase contract"_s, u"合同编号：沪 2026-118"_s,
                             u"甲方：上海某某贸易有限公司"_s, u"Delivery within 30 days."_s};
    page.seal = colour;
    return testsupport::drawScan(page, 300).copy(0, 0, 2480, 1100);
}

// A photograph seen through a round hole: opaque inside, clear outside.
QImage roundPhoto()
{
    QImage image = photo(true).convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const double distance = std::hypot(x - 180.0, y - 120.0);
            QColor colour = image.pixelColor(x, y);
            colour.setAlpha(int(std::clamp((110 - distance) * 16, 0.0, 255.0)));
            image.setPixelColor(x, y, colour);
        }
    }
    return image;
}

// Decoded data of the document's streams that are not images, by kind:
// "content:" page contents, "font:" embedded font programs.
QStringList nonImageStreams(const QString& path)
{
    QPDF pdf;
    pdf.processFile(QFile::encodeName(path).constData());
    QStringList streams;
    const auto decoded = [](QPDFObjectHandle stream) {
        const std::shared_ptr<Buffer> data = stream.getStreamData(qpdf_dl_generalized);
        return QString::fromLatin1(
            QCryptographicHash::hash(QByteArrayView(data->getBuffer(), qsizetype(data->getSize())),
                                     QCryptographicHash::Sha256)
                .toHex());
    };
    for (QPDFPageObjectHelper& page : QPDFPageDocumentHelper(pdf).getAllPages()) {
        for (QPDFObjectHandle& content : page.getPageContents())
            streams << u"content:"_s + decoded(content);
    }
    for (QPDFObjectHandle& object : pdf.getAllObjects()) {
        if (!object.isDictionary() || !object.getKey("/Type").isNameAndEquals("/FontDescriptor"))
            continue;
        for (const char* key : {"/FontFile", "/FontFile2", "/FontFile3"}) {
            if (object.getKey(key).isStream())
                streams << u"font:"_s + decoded(object.getKey(key));
        }
    }
    return streams;
}

// The width of the scan image and of its mask, "-" for none.
QString scanAndMaskWidths(const QString& path)
{
    QPDF pdf;
    QPDFObjectHandle dictionary = scanImage(pdf, path).getDict();
    QString widths = QString::number(dictionary.getKey("/Width").getIntValue());
    for (const char* key : {"/SMask", "/Mask"}) {
        if (dictionary.getKey(key).isStream())
            return widths + u' ' +
                   QString::number(dictionary.getKey(key).getDict().getKey("/Width").getIntValue());
    }
    return widths + u" -"_s;
}

int imageObjectCount(const QString& path)
{
    QPDF pdf;
    pdf.processFile(QFile::encodeName(path).constData());
    int count = 0;
    for (QPDFObjectHandle& object : pdf.getAllObjects()) {
        if (object.isStream() && object.getDict().getKey("/Subtype").isNameAndEquals("/Image"))
            ++count;
    }
    return count;
}

// Three images with the same dictionary and length: two share their bytes, the
// third differs only in its last byte.
void writeLookalikeImages(const QString& path)
{
    QPDF pdf;
    pdf.emptyPDF();
    QPDFObjectHandle images = QPDFObjectHandle::newDictionary();
    for (const char* name : {"/Im0", "/Im1", "/Im2"}) {
        std::string data(3000, '\x80');
        data.back() = name == std::string("/Im2") ? '\x81' : '\x80';
        QPDFObjectHandle image = QPDFObjectHandle::newStream(&pdf, data);
        image.replaceDict(
            QPDFObjectHandle::parse("<< /Type /XObject /Subtype /Image /Width 1000 /Height 1 "
                                    "/ColorSpace /DeviceRGB /BitsPerComponent 8 >>"));
        images.replaceKey(name, image);
    }
    QPDFObjectHandle page = pdf.makeIndirectObject(
        QPDFObjectHandle::parse("<< /Type /Page /MediaBox [0 0 200 200] /Resources << >> >>"));
    page.getKey("/Resources").replaceKey("/XObject", images);
    page.replaceKey("/Contents", QPDFObjectHandle::newStream(
                                     &pdf, "q 100 0 0 1 0 0 cm /Im0 Do /Im1 Do /Im2 Do Q"));
    QPDFPageDocumentHelper(pdf).addPage(page, false);
    // The writer keeps the name until it writes.
    const QByteArray file = QFile::encodeName(path);
    QPDFWriter writer(pdf, file.constData());
    writer.setCompressStreams(false);
    writer.write();
}

template <typename Encoder, typename Action>
std::string encoded(const std::string& data, Action action)
{
    std::string out;
    Pl_String sink("out", nullptr, out);
    Encoder encoder("encoder", &sink, action);
    encoder.writeString(data);
    encoder.finish();
    return out;
}

// One page whose streams use every lossless encoding a writer may meet: hex
// text, Flate with a PNG predictor, run length, and none at all.
void writeMixedEncodings(const QString& path)
{
    QPDF pdf;
    pdf.emptyPDF();
    const int width = 300;
    const int height = 100;
    std::string pixels;
    std::string predicted;
    for (int y = 0; y < height; ++y) {
        predicted += '\x02'; // PNG "up": each byte minus the one above it
        for (int x = 0; x < width; ++x) {
            pixels += char((x + 2 * y) & 0xff);
            predicted += char(y == 0 ? pixels.back() : 2);
        }
    }
    const auto image = [&pdf](const std::string& data, const char* filter, const char* parameters) {
        QPDFObjectHandle stream = QPDFObjectHandle::newStream(&pdf);
        stream.replaceStreamData(data, QPDFObjectHandle::parse(filter),
                                 QPDFObjectHandle::parse(parameters));
        stream.getDict().replaceKey("/Type", QPDFObjectHandle::newName("/XObject"));
        stream.getDict().replaceKey("/Subtype", QPDFObjectHandle::newName("/Image"));
        stream.getDict().replaceKey("/Width", QPDFObjectHandle::newInteger(300));
        stream.getDict().replaceKey("/Height", QPDFObjectHandle::newInteger(100));
        stream.getDict().replaceKey("/ColorSpace", QPDFObjectHandle::newName("/DeviceGray"));
        stream.getDict().replaceKey("/BitsPerComponent", QPDFObjectHandle::newInteger(8));
        return stream;
    };
    QPDFObjectHandle images = QPDFObjectHandle::newDictionary();
    images.replaceKey("/Im0", image(encoded<Pl_Flate>(predicted, Pl_Flate::a_deflate),
                                    "/FlateDecode", "<< /Predictor 12 /Columns 300 /Colors 1 >>"));
    images.replaceKey("/Im1", image(encoded<Pl_RunLength>(pixels, Pl_RunLength::a_encode),
                                    "/RunLengthDecode", "null"));
    images.replaceKey("/Im2", image(pixels, "null", "null"));
    const std::string contents = "q 300 0 0 100 0 0 cm /Im0 Do /Im1 Do /Im2 Do Q "
                                 "BT /F1 12 Tf 10 150 Td (Hex) Tj ET";
    QPDFObjectHandle content = QPDFObjectHandle::newStream(&pdf);
    content.replaceStreamData(QByteArray::fromStdString(contents).toHex().toStdString() + ">",
                              QPDFObjectHandle::newName("/ASCIIHexDecode"),
                              QPDFObjectHandle::newNull());
    QPDFObjectHandle page = pdf.makeIndirectObject(
        QPDFObjectHandle::parse("<< /Type /Page /MediaBox [0 0 300 200] /Resources << /Font "
                                "<< /F1 << /Type /Font /Subtype /Type1 /BaseFont /Helvetica >> "
                                ">> >> >>"));
    page.getKey("/Resources").replaceKey("/XObject", images);
    page.replaceKey("/Contents", content);
    QPDFPageDocumentHelper(pdf).addPage(page, false);
    // The writer keeps the name until it writes.
    const QByteArray file = QFile::encodeName(path);
    QPDFWriter writer(pdf, file.constData());
    writer.setCompressStreams(false);
    writer.setDecodeLevel(qpdf_dl_none);
    writer.write();
}

} // namespace

class TestOperations : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void mergeInListOrder();
    void splitIntoParts();
    void splitAtBookmarks_data();
    void splitAtBookmarks();
    void splitBySize();
    void splitAtBlankPages();
    void pagesAsPictures_data();
    void pagesAsPictures();
    void picturesBecomePages_data();
    void picturesBecomePages();
    void stampsWhereTheReaderLooks_data();
    void stampsWhereTheReaderLooks();
    void watermarkIsSeenNotRead();
    void extractInDocumentOrder();
    void rotateAddsToExistingAngle();
    void longNamesArePublished_data();
    void longNamesArePublished();
    void encryptWithNewPassword();
    void newPasswordLimits_data();
    void newPasswordLimits();
    void decryptRemovesProtection();
    void protectedSourcesKeepProtection_data();
    void protectedSourcesKeepProtection();
    void ownerPasswordLiftsRestrictions_data();
    void ownerPasswordLiftsRestrictions();
    void optimizeIsLossless();
    void optimizeFindsSmallerExactForms_data();
    void optimizeFindsSmallerExactForms();
    void jbig2EveryDecoderAgrees_data();
    void jbig2EveryDecoderAgrees();
    void optimizeReadsFaxData_data();
    void optimizeReadsFaxData();
    void optimizeKeepsSampleLayouts_data();
    void optimizeKeepsSampleLayouts();
    void compressLevels_data();
    void compressLevels();
    void archiveLevelFallsBack_data();
    void archiveLevelFallsBack();
    void compressToTargetSize_data();
    void compressToTargetSize();
    void compressScalesMasksWithImages_data();
    void compressScalesMasksWithImages();
    void compressJudgesPhotographsByContent_data();
    void compressJudgesPhotographsByContent();
    void compressKeepsImagesDrawnLarge_data();
    void compressKeepsImagesDrawnLarge();
    void pdfaOneStaysPdfOneFour_data();
    void pdfaOneStaysPdfOneFour();
    void compressLeavesAllButImages();
    void navigationSurvives_data();
    void navigationSurvives();
    void formsLayersAndLanguage();
    void fieldsStayWhole_data();
    void fieldsStayWhole();

private:
    QString source(const QString& name, const PdfRecipe& recipe);
    testsupport::WorkerRun run(const QJsonObject& request);
    std::unique_ptr<QTemporaryDir> m_in;
    std::unique_ptr<QTemporaryDir> m_out;
    testsupport::SourceGuard m_guard;
};

void TestOperations::init()
{
    m_in = std::make_unique<QTemporaryDir>();
    m_out = std::make_unique<QTemporaryDir>();
    m_guard = {};
}

void TestOperations::cleanup()
{
    QVERIFY2(m_guard.unchanged(), "a source file changed");
    for (const QString& entry : testsupport::folderEntries(m_out->path()))
        QVERIFY2(!entry.startsWith(u".quorvin-batch-"_s), qPrintable(entry));
}

QString TestOperations::source(const QString& name, const PdfRecipe& recipe)
{
    const QString path = m_in->filePath(name);
    testsupport::writePdf(path, recipe);
    m_guard.add(path);
    return path;
}

testsupport::WorkerRun TestOperations::run(const QJsonObject& request)
{
    return testsupport::runWorker(request);
}

void TestOperations::mergeInListOrder()
{
    const QString a = source(u"甲.pdf"_s, {.pages = 2, .marker = u"a"_s});
    const QString b = source(u"乙.pdf"_s, {.pages = 3, .marker = u"b"_s, .inheritedRotate = 90});
    const QString c = source(u"丙.pdf"_s, {.pages = 4, .marker = u"c"_s});
    testsupport::WorkerRun result = run(makeRequest(u"merge"_s, {c, a, b}, m_out->path()));
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.result.value(u"files"_s).toInt(), 1);
    QCOMPARE(result.result.value(u"note"_s).toString(), QString());
    const QString output = result.result.value(u"output"_s).toString();
    QCOMPARE(output, m_out->path() + u"/合并文档-合并.pdf"_s);
    const testsupport::PdfFacts facts = inspectPdf(output);
    QCOMPARE(facts.markers, expectedMarkers(u"c"_s, {1, 2, 3, 4}) +
                                expectedMarkers(u"a"_s, {1, 2}) +
                                expectedMarkers(u"b"_s, {1, 2, 3}));
    // The inherited rotation of b's pages travels with them.
    QCOMPARE(facts.rotations, (QList<int>{0, 0, 0, 0, 0, 0, 90, 90, 90}));

    result = run(makeRequest(u"merge"_s, {a, b}, m_out->path()));
    QCOMPARE(result.result.value(u"output"_s).toString(),
             m_out->path() + u"/合并文档-合并 (1).pdf"_s);
    QCOMPARE(inspectPdf(output).markers.size(), 9); // the first result is untouched
}

void TestOperations::splitIntoParts()
{
    const QString src = source(u"report.pdf"_s, {.pages = 10, .marker = u"r"_s});
    testsupport::WorkerRun result =
        run(makeRequest(u"split"_s, {src}, m_out->path(), {{u"group"_s, 3}}));
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.result.value(u"files"_s).toInt(), 4);
    const QString folder = result.result.value(u"output"_s).toString();
    QCOMPARE(folder, m_out->path() + u"/report-拆分"_s);
    QCOMPARE(testsupport::folderEntries(folder),
             (QStringList{u"report-拆分-001.pdf"_s, u"report-拆分-002.pdf"_s,
                          u"report-拆分-003.pdf"_s, u"report-拆分-004.pdf"_s}));
    QCOMPARE(inspectPdf(folder + u"/report-拆分-002.pdf"_s).markers,
             expectedMarkers(u"r"_s, {4, 5, 6}));
    QCOMPARE(inspectPdf(folder + u"/report-拆分-004.pdf"_s).markers, expectedMarkers(u"r"_s, {10}));

    result = run(makeRequest(u"split"_s, {src}, m_out->path(), {{u"group"_s, 10}}));
    QCOMPARE(result.result.value(u"output"_s).toString(), m_out->path() + u"/report-拆分 (1)"_s);
    QCOMPARE(result.result.value(u"files"_s).toInt(), 1);
    QCOMPARE(inspectPdf(m_out->path() + u"/report-拆分 (1)/report-拆分-001.pdf"_s).markers.size(),
             10);

    // "group" missing or fractional reads as 1.
    result = run(makeRequest(u"split"_s, {src}, m_out->path(), {{u"group"_s, 2.5}}));
    QCOMPARE(result.result.value(u"files"_s).toInt(), 10);

    // After pages 3 and 7 (the last page ends the last part anyway), whatever the group.
    result = run(makeRequest(u"split"_s, {src}, m_out->path(),
                             {{u"group"_s, 2}, {u"pages"_s, u"7,3,10"_s}}));
    QCOMPARE(result.result.value(u"files"_s).toInt(), 3);
    const QString ends = result.result.value(u"output"_s).toString();
    QCOMPARE(inspectPdf(ends + u"/report-拆分-001.pdf"_s).markers,
             expectedMarkers(u"r"_s, {1, 2, 3}));
    QCOMPARE(inspectPdf(ends + u"/report-拆分-002.pdf"_s).markers,
             expectedMarkers(u"r"_s, {4, 5, 6, 7}));
    QCOMPARE(inspectPdf(ends + u"/report-拆分-003.pdf"_s).markers,
             expectedMarkers(u"r"_s, {8, 9, 10}));
    result = run(makeRequest(u"split"_s, {src}, m_out->path(), {{u"pages"_s, u"11"_s}}));
    QVERIFY(result.result.value(u"error"_s).toString().startsWith(u"页码"_s));
}

void TestOperations::splitAtBookmarks_data()
{
    QTest::addColumn<QStringList>("outline"); // as PdfRecipe::outline, over 8 pages
    QTest::addColumn<int>("level");
    QTest::addColumn<QStringList>("parts");     // "<file name>=<pages>"
    QTest::addColumn<QStringList>("bookmarks"); // of the second part
    QTest::newRow("chapters after a cover")
        << QStringList{u"1|第一章 总则|3"_s, u"2|1.1 定义|4"_s, u"3|1.1.1 术语|4"_s,
                       u"1|第二章 合同条款|6"_s}
        << 1
        << QStringList{u"00-封面.pdf=1,2"_s, u"01-第一章 总则.pdf=3,4,5"_s,
                       u"02-第二章 合同条款.pdf=6,7,8"_s}
        << QStringList{u"0|1.1 定义|1|closed"_s, u"1|1.1.1 术语|1|closed"_s};
    const QString long300 = QString(100, u'汉'); // 300 bytes
    QTest::newRow("odd titles") << QStringList{u"1|a/b\\c:d*e?f\"g<h>i\tj|1"_s,
                                               u"1|"_s + long300 + u"|2"_s,
                                               u"1|重复|3"_s,
                                               u"1|重复|4"_s,
                                               u"1|表情 😀 . |5"_s,
                                               u"1||6"_s}
                                << 1
                                << QStringList{u"01-a b c d e f g h i j.pdf=1"_s,
                                               u"02-"_s + QString(39, u'汉') + u".pdf=2"_s,
                                               u"03-重复.pdf=3"_s,
                                               u"04-重复.pdf=4"_s,
                                               u"05-表情 😀.pdf=5"_s,
                                               u"06-书签.pdf=6,7,8"_s}
                                << QStringList();
    QTest::newRow("second level; a web link and a repeat start nothing")
        << QStringList{u"1|卷一|1"_s, u"2|甲|1"_s,   u"2|外链|0"_s, u"2|乙|3"_s,
                       u"2|乙再|3"_s, u"2|乙前|2"_s, u"1|卷二|5"_s, u"2|丙|6"_s}
        << 2 << QStringList{u"01-甲.pdf=1,2"_s, u"02-乙.pdf=3,4,5"_s, u"03-丙.pdf=6,7,8"_s}
        << QStringList();
    QTest::newRow("no bookmarks at the level")
        << QStringList{u"1|卷一|1"_s} << 2 << QStringList() << QStringList();
}

// Parts begin at bookmarks, are named after them, and keep what lies below.
void TestOperations::splitAtBookmarks()
{
    QFETCH(QStringList, outline);
    QFETCH(int, level);
    QFETCH(QStringList, parts);
    QFETCH(QStringList, bookmarks);
    const QString src = source(u"手册.pdf"_s, {.pages = 8, .marker = u"m"_s, .outline = outline});
    const testsupport::WorkerRun result = run(makeRequest(
        u"split"_s, {src}, m_out->path(), {{u"splitMode"_s, u"bookmarks"_s}, {u"level"_s, level}}));
    if (parts.isEmpty()) {
        QCOMPARE(result.result.value(u"error"_s).toString(),
                 u"文档没有第 2 级书签，无法按书签拆分。"_s);
        return;
    }
    QCOMPARE(result.exitCode, 0);
    const QString folder = result.result.value(u"output"_s).toString();
    QStringList found;
    for (const QString& name : testsupport::folderEntries(folder)) {
        QStringList pages;
        for (const QString& marker : inspectPdf(folder + u'/' + name).markers)
            pages << marker.section(u"-p"_s, 1);
        found << name + u'=' + pages.join(u',');
    }
    QCOMPARE(found, parts);
    if (!bookmarks.isEmpty())
        QCOMPARE(testsupport::inspectNavigation(folder + u'/' + parts.at(1).section(u'=', 0, 0))
                     .bookmarks,
                 bookmarks);
}

// Each part writes within the size, except a page that alone is larger.
void TestOperations::splitBySize()
{
    QList<testsupport::DrawnPage> pages;
    for (int i = 0; i < 6; ++i)
        pages.append({.lines = QStringList(4 + 8 * (i % 3), u"第%1页 付款条款"_s.arg(i + 1)),
                      .pointSize = 12});
    const QString src = m_in->filePath(u"扫描.pdf"_s);
    testsupport::writeDrawnPdf(src, pages, 100);
    m_guard.add(src);
    QList<qint64> alone;
    const testsupport::WorkerRun singles =
        run(makeRequest(u"split"_s, {src}, m_out->path(), {{u"group"_s, 1}}));
    const QString singleFolder = singles.result.value(u"output"_s).toString();
    for (const QString& name : testsupport::folderEntries(singleFolder))
        alone << QFileInfo(singleFolder + u'/' + name).size();
    const qint64 largest = *std::max_element(alone.begin(), alone.end());
    const int largestPage = int(alone.indexOf(largest)) + 1;

    // Around one page's size: the largest page alone, the rest packed.
    for (const qint64 limit : {largest - 1, largest, 2 * largest, 100 * largest}) {
        const testsupport::WorkerRun result =
            run(makeRequest(u"split"_s, {src}, m_out->path(),
                            {{u"splitMode"_s, u"size"_s}, {u"maxSize"_s, double(limit)}}));
        QCOMPARE(result.exitCode, 0);
        const QString folder = result.result.value(u"output"_s).toString();
        int total = 0;
        for (const QString& name : testsupport::folderEntries(folder)) {
            const QString part = folder + u'/' + name;
            const int count = testsupport::popplerPageCount(part);
            QVERIFY(count > 0);
            QVERIFY2(QFileInfo(part).size() <= limit || count == 1, qPrintable(part));
            total += count;
            // Greedy: the part with the next page, written as extraction
            // writes it (the same bytes), would no longer fit.
            if (total < 6) {
                const testsupport::WorkerRun longer = run(
                    makeRequest(u"extract"_s, {src}, m_out->path(),
                                {{u"pages"_s, u"%1-%2"_s.arg(total - count + 1).arg(total + 1)}}));
                const QString written = longer.result.value(u"output"_s).toString();
                QVERIFY2(QFileInfo(written).size() > limit, qPrintable(name));
                QVERIFY(QFile::remove(written));
            }
        }
        QCOMPARE(total, 6);
        const QString note = result.result.value(u"note"_s).toString();
        QCOMPARE(note.contains(u"第 %1 页单独超过"_s.arg(largestPage)), limit < largest);
        if (limit == 100 * largest)
            QCOMPARE(result.result.value(u"files"_s).toInt(), 1);
    }
    QCOMPARE(run(makeRequest(u"split"_s, {src}, m_out->path(), {{u"splitMode"_s, u"size"_s}}))
                 .result.value(u"error"_s)
                 .toString(),
             u"请填写每份的最大大小。"_s);
}

// Separator sheets end parts: dropped, or kept at the end of the part.
void TestOperations::splitAtBlankPages()
{
    using testsupport::SheetMark;
    const testsupport::DrawnPage blank{
        .lines = {}, .sheetMarks = SheetMark::GreyNoise | SheetMark::BleedThrough};
    const auto text = [](const QString& line) {
        return testsupport::DrawnPage{
            .lines = {line}, .scanned = false, .family = u"Noto Sans CJK SC"_s};
    };
    const QString src = m_in->filePath(u"合同批量.pdf"_s);
    testsupport::writeDrawnPdf(src,
                               {blank, text(u"合同 A"_s), text(u"合同 A 附件"_s), blank, blank,
                                text(u"合同 B"_s), blank, text(u"合同 C"_s), blank},
                               100);
    m_guard.add(src);
    for (const bool keep : {false, true}) {
        const testsupport::WorkerRun result =
            run(makeRequest(u"split"_s, {src}, m_out->path(),
                            {{u"splitMode"_s, u"blank"_s}, {u"keepSeparators"_s, keep}}));
        QCOMPARE(result.exitCode, 0);
        const QString folder = result.result.value(u"output"_s).toString();
        QList<int> counts;
        for (const QString& name : testsupport::folderEntries(folder))
            counts << testsupport::popplerPageCount(folder + u'/' + name);
        QCOMPARE(counts, keep ? (QList<int>{5, 2, 2}) : (QList<int>{2, 1, 1}));
        QCOMPARE(testsupport::popplerText(folder + u"/合同批量-拆分-002.pdf"_s, 0).trimmed(),
                 u"合同 B"_s);
    }
}

void TestOperations::pagesAsPictures_data()
{
    QTest::addColumn<bool>("scan");         // a bilevel scan of 150 DPI, else three pages of text
    QTest::addColumn<QJsonObject>("extra"); // request members
    QTest::addColumn<QStringList>("expected"); // files; TIFF pages as tiffPages() says
    QTest::newRow("PNG of pages 2-3, as Poppler draws them")
        << false << QJsonObject{{u"imageDpi"_s, 72}, {u"pages"_s, u"2-3"_s}}
        << QStringList{u"样本-002.png"_s, u"样本-003.png"_s};
    QTest::newRow("grey JPEG at 100 DPI")
        << false
        << QJsonObject{{u"imageFormat"_s, u"jpg"_s}, {u"imageDpi"_s, 100}, {u"imageGrey"_s, true}}
        << QStringList{u"样本-001.jpg"_s, u"样本-002.jpg"_s, u"样本-003.jpg"_s};
    QTest::newRow("one TIFF of every page")
        << false << QJsonObject{{u"imageFormat"_s, u"tif"_s}, {u"imageDpi"_s, 72}}
        << QStringList(3, u"deflate 8x3 612x792 72"_s);
    QTest::newRow("a bilevel scan stays bilevel in G4")
        << true << QJsonObject{{u"imageFormat"_s, u"tif"_s}, {u"imageDpi"_s, 150}}
        << QStringList{u"g4 1x1 1240x1754 150"_s};
    QTest::newRow("resolution out of range") << false << QJsonObject{{u"imageDpi"_s, 1200}}
                                             << QStringList{u"图片分辨率需为 72 至 600 DPI。"_s};
}

void TestOperations::pagesAsPictures()
{
    QFETCH(bool, scan);
    QFETCH(QJsonObject, extra);
    QFETCH(QStringList, expected);
    QString src = m_in->filePath(u"样本.pdf"_s);
    if (scan) {
        const QImage picture = testsupport::drawScan(
            {.lines = QStringList(20, u"黑白扫描 Bilevel 123"_s), .pointSize = 12}, 150);
        testsupport::writeScanPdf(src, picture, 150,
                                  {.encoding = testsupport::ScanEncoding::Bilevel});
        m_guard.add(src);
    } else {
        src = source(u"样本.pdf"_s, {.pages = 3, .marker = u"s"_s});
    }
    const testsupport::WorkerRun result =
        run(makeRequest(u"pdf2images"_s, {src}, m_out->path(), extra));
    if (expected.first().endsWith(u"。"_s)) {
        QCOMPARE(result.result.value(u"error"_s).toString(), expected.first());
        return;
    }
    QVERIFY2(result.exitCode == 0, result.standardOutput.constData());
    const QString output = result.result.value(u"output"_s).toString();
    if (extra.value(u"imageFormat"_s).toString() == u"tif"_s) {
        QCOMPARE(output, m_out->path() + u"/样本-图片.tif"_s);
        QCOMPARE(testsupport::tiffPages(output), expected);
        return;
    }
    QCOMPARE(output, m_out->path() + u"/样本-图片"_s);
    QCOMPARE(testsupport::folderEntries(output), expected);
    const int dpi = extra.value(u"imageDpi"_s).toInt();
    const QList<QImage> drawn = testsupport::renderPages(src, dpi);
    for (const QString& name : expected) {
        const QImage picture(output + u'/' + name);
        const int page = name.section(u'-', 1).left(3).toInt();
        QCOMPARE(picture.size(), drawn.at(page - 1).size());
        QCOMPARE(qRound(picture.dotsPerMeterX() * 0.0254), dpi);
        if (name.endsWith(u".png"_s))
            QCOMPARE(picture.convertToFormat(QImage::Format_RGB888),
                     drawn.at(page - 1).convertToFormat(QImage::Format_RGB888));
        else
            QVERIFY(picture.isGrayscale());
    }
    if (!expected.first().endsWith(u".png"_s))
        return;
    // And back: the picture made a page again shows what the page showed.
    const testsupport::WorkerRun back =
        run(makeRequest(u"images2pdf"_s, {output + u'/' + expected.first()}, m_out->path(), {}));
    const QImage again =
        testsupport::renderPages(back.result.value(u"output"_s).toString(), dpi).value(0);
    QCOMPARE(again.convertToFormat(QImage::Format_RGB888),
             drawn.at(1).convertToFormat(QImage::Format_RGB888));
}

void TestOperations::picturesBecomePages_data()
{
    // Files as "<name>:<kind>": a JPEG with that orientation tag ("0" none),
    // "png16" (16-bit with alpha), "palette", "tiff" (three G4 pages), "damaged".
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QJsonObject>("extra");
    QTest::addColumn<QStringList>("facts"); // of each page's picture
    const QString jpeg = u"/DCTDecode /DeviceRGB 8"_s;
    QTest::newRow("JPEG data as it is")
        << QStringList{u"照片.jpg:0"_s} << QJsonObject() << QStringList{jpeg};
    for (int orientation = 1; orientation <= 8; ++orientation)
        QTest::newRow(qPrintable(u"orientation %1"_s.arg(orientation)))
            << QStringList{u"照片.jpg:%1"_s.arg(orientation)} << QJsonObject() << QStringList{jpeg};
    QTest::newRow("16-bit PNG with alpha") << QStringList{u"图标.png:png16"_s} << QJsonObject()
                                           << QStringList{u"/FlateDecode /DeviceRGB 16 smask16"_s};
    QTest::newRow("palette PNG") << QStringList{u"图表.png:palette"_s} << QJsonObject()
                                 << QStringList{u"/FlateDecode /Indexed 8 predicted"_s};
    QTest::newRow("multi-page G4 TIFF") << QStringList{u"传真.tif:tiff"_s} << QJsonObject()
                                        << QStringList(3, u"/CCITTFaxDecode /DeviceGray 1"_s);
    QTest::newRow("one PDF of all, a damaged one named")
        << QStringList{u"甲.jpg:0"_s, u"坏.jpg:damaged"_s, u"乙.png:palette"_s}
        << QJsonObject{{u"oneFile"_s, u"收据合集"_s}, {u"fitA4"_s, true}}
        << QStringList{jpeg, u"/FlateDecode /Indexed 8 predicted"_s};
}

// Pictures go in without loss, upright as a photo viewer shows them.
void TestOperations::picturesBecomePages()
{
    QFETCH(QStringList, files);
    QFETCH(QJsonObject, extra);
    QFETCH(QStringList, facts);
    QImage picture(60, 40, QImage::Format_RGB32);
    picture.fill(Qt::white);
    picture.setDotsPerMeterX(2835); // 72 DPI
    picture.setDotsPerMeterY(2835);
    {
        QPainter painter(&picture);
        painter.fillRect(0, 0, 24, 12, Qt::red);
        painter.fillRect(0, 34, 60, 6, Qt::blue);
    }
    QStringList paths;
    QList<QImage> upright; // as Qt shows each picture
    for (const QString& file : files) {
        const QString path = m_in->filePath(file.section(u':', 0, 0));
        const QString kind = file.section(u':', 1);
        if (kind == u"tiff"_s) {
            testsupport::writeG4Tiff(path, {picture, picture, picture}, 200);
        } else if (kind == u"png16"_s) {
            QImage deep = picture.convertToFormat(QImage::Format_RGBA64);
            deep.setPixelColor(0, 0, QColor::fromRgba64(qRgba64(1000, 2000, 3000, 30000)));
            QVERIFY(deep.save(path));
        } else if (kind == u"palette"_s) {
            QVERIFY(picture.convertToFormat(QImage::Format_Indexed8).save(path));
        } else if (kind == u"damaged"_s) {
            testsupport::writeBytes(path, testsupport::jpegFile(picture).left(300));
        } else {
            testsupport::writeBytes(path, testsupport::jpegFile(picture, kind.toInt()));
        }
        m_guard.add(path);
        paths << path;
        QImageReader reader(path);
        reader.setAutoTransform(true);
        upright << reader.read();
    }
    const bool together = extra.contains(u"oneFile"_s);
    const testsupport::WorkerRun result =
        run(makeRequest(u"images2pdf"_s, together ? paths : paths.mid(0, 1), m_out->path(), extra));
    QVERIFY2(result.exitCode == 0, result.standardOutput.constData());
    const QString output = result.result.value(u"output"_s).toString();
    QCOMPARE(QFileInfo(output).fileName(),
             together ? u"收据合集.pdf"_s
                      : QFileInfo(paths.first()).completeBaseName() + u"-转换.pdf"_s);
    QStringList found;
    for (int page = 0; page < testsupport::popplerPageCount(output); ++page)
        found << scanFacts(output, "/Im0", size_t(page));
    QCOMPARE(found, facts);
    if (together) {
        QVERIFY(result.result.value(u"note"_s).toString().contains(u"坏.jpg"_s));
        return;
    }
    if (files.first().endsWith(u"jpg:0"_s)) { // the very bytes of the file
        QPDF pdf;
        const std::shared_ptr<Buffer> data = scanImage(pdf, output, "/Im0").getRawStreamData();
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(data->getBuffer()),
                            qsizetype(data->getSize())),
                 testsupport::jpegFile(picture));
    }
    // One point per pixel of the 72-DPI pictures: the page is the upright
    // picture. The fax's pages are as the scanner's resolution says.
    const bool fax = files.first().endsWith(u":tiff"_s);
    if (fax)
        upright.first() = picture.convertToFormat(QImage::Format_Mono, Qt::ThresholdDither);
    const QImage shown = testsupport::renderPages(output, fax ? 200 : 72).value(0);
    QCOMPARE(shown.size(), upright.first().size());
    QVERIFY2(testsupport::ssim(shown, upright.first()) > 0.9, qPrintable(files.first()));
}

void TestOperations::stampsWhereTheReaderLooks_data()
{
    QTest::addColumn<QString>("position");
    QTest::addColumn<int>("skip"); // pages left unnumbered
    QTest::newRow("bottom centre") << u"bottom-center"_s << 0;
    QTest::newRow("top left, the cover unnumbered") << u"top-left"_s << 1;
    QTest::newRow("bottom right") << u"bottom-right"_s << 0;
}

// On pages turned every way and cropped, the number sits where the reader
// looks for it, measured by Poppler's words on the page as shown.
void TestOperations::stampsWhereTheReaderLooks()
{
    QFETCH(QString, position);
    QFETCH(int, skip);
    const QString src =
        source(u"装订.pdf"_s,
               {.pages = 4, .marker = u"b"_s, .rotations = {0, 90, 180, 270}, .cropInset = 36});
    const testsupport::WorkerRun result = run(makeRequest(u"stamp"_s, {src}, m_out->path(),
                                                          {{u"numberFormat"_s, u"第{n}页"_s},
                                                           {u"numberPosition"_s, position},
                                                           {u"skipFirst"_s, skip},
                                                           {u"firstNumber"_s, 7},
                                                           {u"numberMargin"_s, 10}}));
    QVERIFY2(result.exitCode == 0, result.standardOutput.constData());
    const QString output = result.result.value(u"output"_s).toString();
    QCOMPARE(inspectPdf(output).markers, expectedMarkers(u"b"_s, {1, 2, 3, 4}));
    QVERIFY(testsupport::qpdfCheckClean(output));
    const double margin = 10 * 72 / 25.4;
    const QList<QImage> pages = testsupport::renderPages(output, 72);
    for (int page = 0; page < 4; ++page) {
        const QRectF box =
            testsupport::popplerWordBox(output, page, u"第%1页"_s.arg(page + 7 - skip));
        if (page < skip) {
            QVERIFY(box.isEmpty());
            continue;
        }
        const QSizeF shown = pages.at(page).size();
        QVERIFY2(!box.isEmpty(), qPrintable(u"page %1"_s.arg(page + 1)));
        const double x = position.endsWith(u"left"_s)    ? box.left() - margin
                         : position.endsWith(u"right"_s) ? shown.width() - margin - box.right()
                                                         : box.center().x() - shown.width() / 2;
        const double y = position.startsWith(u"top"_s) ? box.top() - margin
                                                       : shown.height() - margin - box.bottom();
        QVERIFY2(std::abs(x) < 3 && std::abs(y) < 4,
                 qPrintable(u"page %1: %2, %3"_s.arg(page + 1).arg(x).arg(y)));
    }
}

// A watermark shows on every page, in the layer "水印", and no text
// extraction finds it; the pages' own words stay.
void TestOperations::watermarkIsSeenNotRead()
{
    const QString src = source(u"内部.pdf"_s, {.pages = 2, .marker = u"w"_s});
    const testsupport::WorkerRun result = run(makeRequest(u"stamp"_s, {src}, m_out->path(),
                                                          {{u"watermarkText"_s, u"机密文件"_s},
                                                           {u"watermarkTiled"_s, true},
                                                           {u"batesPrefix"_s, u"案-"_s},
                                                           {u"batesDigits"_s, 4},
                                                           {u"batesStart"_s, 41}}));
    QVERIFY2(result.exitCode == 0, result.standardOutput.constData());
    const QString output = result.result.value(u"output"_s).toString();
    QCOMPARE(result.result.value(u"note"_s).toString(), u"Bates 编号 案-0041 至 案-0042"_s);
    const QList<QImage> before = testsupport::renderPages(src, 50);
    const QList<QImage> after = testsupport::renderPages(output, 50);
    for (int page = 0; page < 2; ++page) {
        const QString text = testsupport::popplerText(output, page);
        QVERIFY2(!text.contains(u"机"_s) && text.contains(u"w-p%1"_s.arg(page + 1)) &&
                     text.contains(u"案-%1"_s.arg(41 + page, 4, 10, QLatin1Char('0'))),
                 qPrintable(text));
        QVERIFY(testsupport::ssim(before.at(page), after.at(page)) < 0.95);
    }
    QPDF pdf;
    pdf.processFile(QFile::encodeName(output).constData());
    QPDFObjectHandle groups = pdf.getRoot().getKey("/OCProperties").getKey("/OCGs");
    QVERIFY(groups.isArray() && groups.getArrayNItems() == 1);
    QCOMPARE(QString::fromStdString(groups.getArrayItem(0).getKey("/Name").getUTF8Value()),
             u"水印"_s);

    // A seal behind the content: seen where the page is blank, under the words.
    QImage seal(80, 80, QImage::Format_ARGB32);
    seal.fill(Qt::transparent);
    {
        QPainter painter(&seal);
        painter.setBrush(Qt::red);
        painter.drawEllipse(2, 2, 76, 76);
    }
    const QString sealPath = m_in->filePath(u"印章.png"_s);
    QVERIFY(seal.save(sealPath));
    const testsupport::WorkerRun behind =
        run(makeRequest(u"stamp"_s, {src}, m_out->path(),
                        {{u"watermarkImage"_s, sealPath},
                         {u"watermarkBehind"_s, true},
                         {u"watermarkImagePosition"_s, u"center"_s},
                         {u"watermarkOpacity"_s, 1.0}}));
    QVERIFY2(behind.exitCode == 0, behind.standardOutput.constData());
    const QString sealed = behind.result.value(u"output"_s).toString();
    QVERIFY(testsupport::qpdfCheckClean(sealed));
    const QImage page = testsupport::renderPages(sealed, 50).value(0);
    const QColor centre = page.pixelColor(page.width() / 2, page.height() / 2);
    QVERIFY2(centre.red() > 200 && centre.green() < 80, qPrintable(centre.name()));
    QVERIFY(testsupport::popplerText(sealed, 0).contains(u"w-p1"_s));
}

void TestOperations::extractInDocumentOrder()
{
    const QString src = source(u"six.pdf"_s, {.pages = 6, .marker = u"s"_s});
    const testsupport::WorkerRun result =
        run(makeRequest(u"extract"_s, {src}, m_out->path(), {{u"pages"_s, u"5,1-3"_s}}));
    QCOMPARE(result.exitCode, 0);
    const QString output = result.result.value(u"output"_s).toString();
    QCOMPARE(QFileInfo(output).fileName(), u"six-提取.pdf"_s);
    QCOMPARE(inspectPdf(output).markers, expectedMarkers(u"s"_s, {1, 2, 3, 5}));
}

void TestOperations::rotateAddsToExistingAngle()
{
    const QString src = source(u"annual.report.pdf"_s, {.pages = 4, .rotations = {270, 90, 0, -1}});
    testsupport::WorkerRun result = run(makeRequest(u"rotate"_s, {src}, m_out->path()));
    QCOMPARE(result.exitCode, 0);
    QString output = result.result.value(u"output"_s).toString();
    QCOMPARE(QFileInfo(output).fileName(), u"annual.report-旋转.pdf"_s);
    QCOMPARE(inspectPdf(output).rotations, (QList<int>{0, 180, 90, 90}));

    result = run(makeRequest(u"rotate"_s, {src}, m_out->path(),
                             {{u"degrees"_s, 180}, {u"pages"_s, u"2"_s}}));
    QCOMPARE(inspectPdf(result.result.value(u"output"_s).toString()).rotations,
             (QList<int>{270, 270, 0, 0}));
    result = run(makeRequest(u"rotate"_s, {src}, m_out->path(),
                             {{u"degrees"_s, 270}, {u"pages"_s, u"3-4"_s}}));
    QCOMPARE(inspectPdf(result.result.value(u"output"_s).toString()).rotations,
             (QList<int>{270, 90, 270, 270}));

    // A rotation inherited from the page tree counts as the page's current angle.
    const QString inherited = source(u"inherited.pdf"_s, {.pages = 2, .inheritedRotate = 90});
    result = run(makeRequest(u"rotate"_s, {inherited}, m_out->path(), {{u"pages"_s, u"1"_s}}));
    QCOMPARE(inspectPdf(result.result.value(u"output"_s).toString()).rotations,
             (QList<int>{180, 90}));
}

void TestOperations::longNamesArePublished_data()
{
    QTest::addColumn<QString>("base");
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("ending");
    // 82 Chinese characters make a valid 250-byte name; the results' names
    // must be cut to fit 255 bytes with their suffixes.
    const QString chinese(82, QChar(0x6587));
    QTest::newRow("chinese rotate") << chinese << u"rotate"_s << u"-旋转.pdf"_s;
    QTest::newRow("chinese split") << chinese << u"split"_s << u"-拆分"_s;
    // A four-byte character (two UTF-16 units) where the cut falls.
    QTest::newRow("emoji at the cut")
        << QString(60, QChar(0x6587)) + QString::fromUtf8("\xF0\x9F\x98\x80").repeated(16)
        << u"encrypt"_s << u"-加密.pdf"_s;
    QTest::newRow("latin") << QString(250, u'a') << u"extract"_s << u"-提取.pdf"_s;
}

void TestOperations::longNamesArePublished()
{
    QFETCH(QString, base);
    QFETCH(QString, operation);
    QFETCH(QString, ending);
    QVERIFY(QFile::encodeName(base + u".pdf"_s).size() <= 255);
    const QString src = source(base + u".pdf"_s, {.pages = 2});
    const QJsonObject request = makeRequest(operation, {src}, m_out->path(),
                                            {{u"newPassword"_s, u"pw"_s}, {u"group"_s, 1}});
    QStringList names;
    for (int round = 0; round < 2; ++round) {
        const testsupport::WorkerRun result = run(request);
        QCOMPARE(result.exitCode, 0);
        names << QFileInfo(result.result.value(u"output"_s).toString()).fileName();
    }
    for (const QString& name : std::as_const(names)) {
        QVERIFY2(QFile::encodeName(name).size() <= 255, qPrintable(name));
        QVERIFY2(QString::fromUtf8(name.toUtf8()) == name, "a character was split");
    }
    const QString cut = names.first().chopped(ending.size());
    QVERIFY(names.first().endsWith(ending));
    QVERIFY(!cut.isEmpty() && base.startsWith(cut));
    QCOMPARE(names.last(), cut + ending.left(3) + u" (1)"_s + ending.mid(3));
}

void TestOperations::encryptWithNewPassword()
{
    const QString src = source(u"plain.pdf"_s, {.pages = 2, .marker = u"e"_s});
    const testsupport::WorkerRun result = run(
        makeRequest(u"encrypt"_s, {src}, m_out->path(), {{u"newPassword"_s, u"开门 sesame"_s}}));
    QCOMPARE(result.exitCode, 0);
    const QString output = result.result.value(u"output"_s).toString();
    QCOMPARE(QFileInfo(output).fileName(), u"plain-加密.pdf"_s);
    QVERIFY(!inspectPdf(output).opened);
    const testsupport::PdfFacts facts = inspectPdf(output, "开门 sesame");
    QVERIFY(facts.opened);
    QCOMPARE(facts.encryptionRevision, 6);
    QVERIFY(facts.ownerMatched);
    QCOMPARE(facts.permissions & 0xF3C, 0xF3C); // every permission bit granted
    QCOMPARE(facts.markers, expectedMarkers(u"e"_s, {1, 2}));
    QCOMPARE(facts.firstId.size(), 16);
    QVERIFY(facts.firstId != inspectPdf(src).firstId);

    // Two encryptions of the same file get different identifiers.
    const testsupport::WorkerRun again =
        run(makeRequest(u"encrypt"_s, {src}, m_out->path(), {{u"newPassword"_s, u"x"_s}}));
    QVERIFY(inspectPdf(again.result.value(u"output"_s).toString(), "x").firstId != facts.firstId);
}

void TestOperations::newPasswordLimits_data()
{
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("127 ASCII") << QString(127, u'a') << true;
    QTest::newRow("128 ASCII") << QString(128, u'a') << false;
    QTest::newRow("42 Chinese, 126 bytes") << QString(42, u'密') << true;
    QTest::newRow("43 Chinese, 129 bytes") << QString(43, u'密') << false;
}

void TestOperations::newPasswordLimits()
{
    QFETCH(QString, password);
    QFETCH(bool, accepted);
    const QString src = source(u"p.pdf"_s, {});
    const testsupport::WorkerRun result =
        run(makeRequest(u"encrypt"_s, {src}, m_out->path(), {{u"newPassword"_s, password}}));
    QCOMPARE(result.result.value(u"ok"_s).toBool(), accepted);
    if (accepted) {
        QVERIFY(inspectPdf(result.result.value(u"output"_s).toString(), password.toStdString())
                    .ownerMatched);
    } else {
        QCOMPARE(result.result.value(u"error"_s).toString(),
                 u"密码太长：最多 127 个英文字母或 42 个汉字。"_s);
        QVERIFY(testsupport::folderEntries(m_out->path()).isEmpty());
    }
}

void TestOperations::decryptRemovesProtection()
{
    const QString src = source(u"locked.pdf"_s, {.pages = 3,
                                                 .marker = u"d"_s,
                                                 .encryption = Encryption::R4Aes128,
                                                 .userPassword = "open",
                                                 .ownerPassword = "owner"});
    testsupport::WorkerRun result =
        run(makeRequest(u"decrypt"_s, {src}, m_out->path(), {{u"password"_s, u"open"_s}}));
    QCOMPARE(result.result.value(u"error"_s).toString(),
             u"移除密码需要所有者密码：所给密码只能打开此文档。"_s);
    result = run(makeRequest(u"decrypt"_s, {src}, m_out->path(), {{u"password"_s, u"owner"_s}}));
    QCOMPARE(result.exitCode, 0);
    const QString output = result.result.value(u"output"_s).toString();
    QCOMPARE(QFileInfo(output).fileName(), u"locked-无密码.pdf"_s);
    const testsupport::PdfFacts facts = inspectPdf(output);
    QVERIFY(facts.opened);
    QVERIFY(!facts.hasEncryptDict);
    QCOMPARE(facts.markers, expectedMarkers(u"d"_s, {1, 2, 3}));
}

void TestOperations::protectedSourcesKeepProtection_data()
{
    QTest::addColumn<int>("encryption");
    QTest::addColumn<bool>("omitKeyLength");
    QTest::addColumn<QString>("password"); // the one given: the open password is enough
    for (const QString& password : {u"owner"_s, u"open"_s}) {
        const QByteArray given = password.toLatin1();
        QTest::addRow("R6 AES-256, %s", given.data())
            << int(Encryption::R6Aes256) << false << password;
        QTest::addRow("R3 RC4, %s", given.data()) << int(Encryption::R3Rc4) << false << password;
        // Valid, and found in a public test suite: the copied encryption once
        // got a zero-length key and no stream of the result could be read.
        QTest::addRow("R4 AES-128 without key length, %s", given.data())
            << int(Encryption::R4Aes128) << true << password;
    }
}

void TestOperations::protectedSourcesKeepProtection()
{
    QFETCH(int, encryption);
    QFETCH(bool, omitKeyLength);
    QFETCH(QString, password);
    const QString src = source(u"secret.pdf"_s, {.pages = 4,
                                                 .marker = u"k"_s,
                                                 .encryption = Encryption(encryption),
                                                 .userPassword = "open",
                                                 .ownerPassword = "owner",
                                                 .omitKeyLength = omitKeyLength});
    const QJsonObject owner{{u"password"_s, password}};
    const auto checkProtected = [](const QString& path, const QStringList& markers) {
        QVERIFY(!inspectPdf(path).opened);
        const testsupport::PdfFacts user = inspectPdf(path, "open");
        QVERIFY(user.opened);
        QVERIFY(!user.ownerMatched);
        QCOMPARE(user.markers, markers);
        QVERIFY(inspectPdf(path, "owner").ownerMatched);
    };

    testsupport::WorkerRun result =
        run(makeRequest(u"extract"_s, {src}, m_out->path(),
                        QJsonObject{{u"password"_s, password}, {u"pages"_s, u"2,4"_s}}));
    QCOMPARE(result.exitCode, 0);
    checkProtected(result.result.value(u"output"_s).toString(), expectedMarkers(u"k"_s, {2, 4}));

    result = run(makeRequest(u"split"_s, {src}, m_out->path(),
                             QJsonObject{{u"password"_s, password}, {u"group"_s, 3}}));
    QCOMPARE(result.result.value(u"files"_s).toInt(), 2);
    const QString parts = result.result.value(u"output"_s).toString();
    checkProtected(parts + u"/secret-拆分-001.pdf"_s, expectedMarkers(u"k"_s, {1, 2, 3}));
    checkProtected(parts + u"/secret-拆分-002.pdf"_s, expectedMarkers(u"k"_s, {4}));

    for (const QString& operation : {u"rotate"_s, u"optimize"_s, u"compress"_s}) {
        result = run(makeRequest(operation, {src}, m_out->path(), owner));
        QCOMPARE(result.exitCode, 0);
        const QString output = result.result.value(u"output"_s).toString();
        checkProtected(output, expectedMarkers(u"k"_s, {1, 2, 3, 4}));
        QVERIFY(testsupport::qpdfCheckClean(output, u"owner"_s));
        QCOMPARE(inspectPdf(output, "owner").firstId, inspectPdf(src, "owner").firstId);
    }

    // Re-encryption replaces the old protection: the owner's to change.
    result = run(makeRequest(u"encrypt"_s, {src}, m_out->path(),
                             QJsonObject{{u"password"_s, password}, {u"newPassword"_s, u"new"_s}}));
    const QString reencrypted = result.result.value(u"output"_s).toString();
    if (password == u"owner"_s) {
        QVERIFY(!inspectPdf(reencrypted, "open").opened);
        QVERIFY(inspectPdf(reencrypted, "new").ownerMatched);
    } else {
        QCOMPARE(result.result.value(u"error"_s).toString(),
                 u"更换文档密码需要所有者密码：所给密码只能打开此文档。"_s);
    }

    // A merge takes it; the result opens without a password unless given a
    // new one, and the note names the protected source.
    const QString plain = source(u"plain.pdf"_s, {.marker = u"p"_s});
    for (const QString& newPassword : {QString(), u"合并后"_s}) {
        QJsonObject merge = owner;
        merge.insert(u"newPassword"_s, newPassword);
        result = run(makeRequest(u"merge"_s, {plain, src}, m_out->path(), merge));
        QCOMPARE(result.exitCode, 0);
        const QString merged = result.result.value(u"output"_s).toString();
        const testsupport::PdfFacts facts = inspectPdf(merged, newPassword.toStdString());
        QCOMPARE(facts.encrypted, !newPassword.isEmpty());
        QCOMPARE(facts.markers,
                 expectedMarkers(u"p"_s, {1}) + expectedMarkers(u"k"_s, {1, 2, 3, 4}));
        QVERIFY(result.result.value(u"note"_s).toString().startsWith(
            u"这些源文件有密码保护：secret.pdf。合并结果"_s));
        QVERIFY(QFile::remove(merged));
    }
}

void TestOperations::ownerPasswordLiftsRestrictions_data()
{
    QTest::addColumn<int>("encryption");
    QTest::addColumn<QString>("owner");
    QTest::newRow("R2 RC4") << int(Encryption::R2Rc4) << u"所有者"_s;
    QTest::newRow("R3 RC4") << int(Encryption::R3Rc4) << u"owner"_s;
    QTest::newRow("R4 AES") << int(Encryption::R4Aes128) << u"owner"_s;
    QTest::newRow("R6 AES") << int(Encryption::R6Aes256) << u"owner"_s;
    QTest::newRow("R6, empty owner password") << int(Encryption::R6Aes256) << QString();
}

// Modify, copy and assemble denied: the holder of the owner password may still
// do everything, and a removed protection leaves a plain document.
void TestOperations::ownerPasswordLiftsRestrictions()
{
    QFETCH(int, encryption);
    QFETCH(QString, owner);
    const QString src = source(u"受限.pdf"_s, {.pages = 3,
                                               .marker = u"r"_s,
                                               .encryption = Encryption(encryption),
                                               .userPassword = owner.isEmpty() ? "" : "open",
                                               .ownerPassword = owner.toStdString(),
                                               .allowModify = false,
                                               .allowExtract = false,
                                               .allowAssemble = false});
    const testsupport::PdfFacts restricted = inspectPdf(src, owner.toStdString());
    QVERIFY(restricted.ownerMatched);
    // Revision 2 has no separate assemble right: modify covers it.
    const int denied = Encryption(encryption) == Encryption::R2Rc4 ? 8 | 16 : 8 | 16 | 1024;
    QCOMPARE(restricted.permissions & denied, 0);

    // The result's path, or "" (and the worker's message) when it failed.
    const auto succeeds = [&](const QString& operation, QJsonObject extra) {
        extra.insert(u"password"_s, owner);
        const testsupport::WorkerRun result =
            run(makeRequest(operation, {src}, m_out->path(), extra));
        if (result.exitCode != 0)
            qWarning("%s: %s", qPrintable(operation),
                     qPrintable(result.result.value(u"error"_s).toString()));
        return result.exitCode == 0 ? result.result.value(u"output"_s).toString() : QString();
    };

    const QString plain = succeeds(u"decrypt"_s, {});
    const testsupport::PdfFacts facts = inspectPdf(plain);
    QVERIFY(facts.opened);
    QVERIFY(!facts.hasEncryptDict);
    QCOMPARE(facts.markers, expectedMarkers(u"r"_s, {1, 2, 3}));

    QCOMPARE(inspectPdf(succeeds(u"rotate"_s, {}), owner.toStdString()).rotations,
             QList<int>({90, 90, 90}));
    QCOMPARE(
        inspectPdf(succeeds(u"extract"_s, {{u"pages"_s, u"2"_s}}), owner.toStdString()).markers,
        expectedMarkers(u"r"_s, {2}));
    QVERIFY(QFileInfo::exists(succeeds(u"split"_s, {{u"group"_s, 2}}) + u"/受限-拆分-002.pdf"_s));
    QVERIFY(inspectPdf(succeeds(u"optimize"_s, {}), owner.toStdString()).ownerMatched);
    QVERIFY(inspectPdf(succeeds(u"encrypt"_s, {{u"newPassword"_s, u"新"_s}}), "新").ownerMatched);

    // With the open password each is refused, naming what the permissions deny.
    if (owner.isEmpty())
        return;
    const auto refusal = [&](const QString& operation) {
        const testsupport::WorkerRun result =
            run(makeRequest(operation, {src}, m_out->path(),
                            {{u"password"_s, u"open"_s}, {u"newPassword"_s, u"n"_s}}));
        return result.result.value(u"error"_s).toString();
    };
    const QString assemble =
        u"所给密码只能打开此文档，文档权限不允许“组合页面（插入、删除、旋转页面）”。请提供所有者密码后再试。"_s;
    const QString modify =
        u"所给密码只能打开此文档，文档权限不允许“修改文档”。请提供所有者密码后再试。"_s;
    QCOMPARE(refusal(u"rotate"_s), assemble);
    QCOMPARE(refusal(u"extract"_s), assemble);
    QCOMPARE(refusal(u"split"_s), assemble);
    QCOMPARE(refusal(u"optimize"_s), modify);
    QCOMPARE(refusal(u"compress"_s), modify);
    QCOMPARE(refusal(u"decrypt"_s), u"移除密码需要所有者密码：所给密码只能打开此文档。"_s);
}

void TestOperations::optimizeIsLossless()
{
    const QString src = source(u"images.pdf"_s, {.pages = 3, .duplicateImages = true});
    QCOMPARE(imageObjectCount(src), 4); // three copies and one unreachable
    testsupport::WorkerRun result = run(makeRequest(u"optimize"_s, {src}, m_out->path()));
    QCOMPARE(result.exitCode, 0);
    const QString output = result.result.value(u"output"_s).toString();
    QCOMPARE(QFileInfo(output).fileName(), u"images-优化.pdf"_s);
    QVERIFY(QFileInfo(output).size() < QFileInfo(src).size());
    // The note says what was saved.
    const qint64 before = QFileInfo(src).size();
    const qint64 after = QFileInfo(output).size();
    QCOMPARE(result.result.value(u"note"_s).toString(),
             u"已优化：%1 KB → %2 KB（减小 %3%）"_s.arg(qRound64(before / 1024.0))
                 .arg(qRound64(after / 1024.0))
                 .arg((before - after) * 100 / before));
    QCOMPARE(imageObjectCount(output), 1);
    QCOMPARE(decodedPageData(output), decodedPageData(src));

    // Optimising the optimised file cannot shrink it: published anyway, with the note.
    m_guard.add(output);
    result = run(makeRequest(u"optimize"_s, {output}, m_out->path()));
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.result.value(u"note"_s).toString(),
             u"文档已优化，但大小未减小；原文档可能已充分压缩。"_s);
    QVERIFY(QFileInfo::exists(result.result.value(u"output"_s).toString()));
    QVERIFY(QFileInfo(result.result.value(u"output"_s).toString()).size() <=
            QFileInfo(output).size());

    // Twenty copies of one template, every other one as another producer
    // stores it, merged: the optimised merge carries each font and picture once.
    const QString plate = m_in->filePath(u"模板.pdf"_s);
    testsupport::writeDrawnPdf(plate,
                               {{.lines = {u"季度报告 Quarterly report"_s}, .scanned = false},
                                {.lines = {u"附件 Annex"_s}}},
                               100);
    QStringList copies;
    for (int i = 0; i < 20; ++i) {
        copies << m_in->filePath(u"份 %1.pdf"_s.arg(i));
        QVERIFY(i % 2 == 0 ? QFile::copy(plate, copies.last())
                           : (writeUncompressed(plate, copies.last()), true));
        m_guard.add(copies.last());
    }
    result = run(makeRequest(u"merge"_s, copies, m_out->path()));
    QCOMPARE(result.exitCode, 0);
    const QString mergedCopies = result.result.value(u"output"_s).toString();
    m_guard.add(mergedCopies);
    QVERIFY(fontProgramCount(mergedCopies) > fontProgramCount(plate));
    result = run(makeRequest(u"optimize"_s, {mergedCopies}, m_out->path()));
    QCOMPARE(result.exitCode, 0);
    const QString optimizedCopies = result.result.value(u"output"_s).toString();
    QVERIFY(fontProgramCount(plate) > 0);
    QCOMPARE(fontProgramCount(optimizedCopies), fontProgramCount(plate));
    QCOMPARE(imageObjectCount(optimizedCopies), imageObjectCount(plate));
    QCOMPARE(testsupport::renderPages(optimizedCopies, 72),
             testsupport::renderPages(mergedCopies, 72));

    // An encrypted source stays encrypted with its passwords.
    const QString locked = source(u"locked.pdf"_s, {.pages = 2,
                                                    .duplicateImages = true,
                                                    .encryption = Encryption::R6Aes256,
                                                    .userPassword = "u",
                                                    .ownerPassword = "o"});
    result = run(makeRequest(u"optimize"_s, {locked}, m_out->path(), {{u"password"_s, u"o"_s}}));
    QCOMPARE(result.exitCode, 0);
    const QString lockedOutput = result.result.value(u"output"_s).toString();
    QVERIFY(inspectPdf(lockedOutput, "u").opened);
    QVERIFY(!inspectPdf(lockedOutput).opened);
    QCOMPARE(decodedPageData(lockedOutput, "o"), decodedPageData(locked, "o"));

    // A written fixture, guarded and optimised; the output's path.
    const auto optimizeWritten = [this](const QString& path, void (*write)(const QString&)) {
        write(path);
        m_guard.add(path);
        const testsupport::WorkerRun done = run(makeRequest(u"optimize"_s, {path}, m_out->path()));
        return done.exitCode == 0 ? done.result.value(u"output"_s).toString() : QString();
    };

    // Only streams with the same bytes merge, however alike they are.
    const QString lookalike = m_in->filePath(u"相似.pdf"_s);
    const QString merged = optimizeWritten(lookalike, writeLookalikeImages);
    QVERIFY(!merged.isEmpty());
    QCOMPARE(imageObjectCount(lookalike), 3);
    QCOMPARE(imageObjectCount(merged), 2);
    QCOMPARE(decodedPageData(merged), decodedPageData(lookalike));

    // A shared dictionary keeps what any of its users names.
    const QString shared = m_in->filePath(u"共用.pdf"_s);
    const QString sharedOutput = optimizeWritten(shared, writeSharedResources);
    QCOMPARE(resourceNames(sharedOutput), (QStringList{u"/Font/F1"_s, u"/XObject/Fm1"_s}));
    QCOMPARE(testsupport::renderPages(sharedOutput), testsupport::renderPages(shared));

    // Appearances and the form's defaults keep what they name, even when they
    // share the page's resources.
    const QString fields = m_in->filePath(u"表单资源.pdf"_s);
    QCOMPARE(resourceNames(optimizeWritten(fields, testsupport::writeFormSharingPageResources)),
             (QStringList{u"/Font/Cour"_s, u"/Font/F1"_s, u"/Font/F2"_s, u"/Font/ZaDb"_s}));

    // Equal layers, one on and one off, stay two layers; equal links on two
    // pages stay two links.
    const QString twins = m_in->filePath(u"图层.pdf"_s);
    const QString twinsOutput = optimizeWritten(twins, testsupport::writeTwinLayersPdf);
    QCOMPARE(testsupport::renderPages(twinsOutput), testsupport::renderPages(twins));
    QPDF twinsPdf;
    twinsPdf.processFile(QFile::encodeName(twinsOutput).constData());
    std::set<QPDFObjGen> links;
    for (QPDFObjectHandle page : twinsPdf.getAllPages())
        links.insert(page.getKey("/Annots").getArrayItem(0).getObjGen());
    QCOMPARE(links.size(), size_t(2));

    // Every encoding the writer decodes is compressed again at the highest
    // level, on several threads: never larger than qpdf's own optimisation.
    const QString mixed = m_in->filePath(u"编码.pdf"_s);
    const QString optimized = optimizeWritten(mixed, writeMixedEncodings);
    QVERIFY(!optimized.isEmpty());
    QCOMPARE(decodedPageData(optimized), decodedPageData(mixed));
    const QString peer = m_out->filePath(u"peer.pdf"_s);
    QCOMPARE(QProcess::execute(u"qpdf"_s, {u"--object-streams=generate"_s, u"--recompress-flate"_s,
                                           u"--compression-level=9"_s, mixed, peer}),
             0);
    QVERIFY(QFileInfo(optimized).size() <= QFileInfo(peer).size());
    QVERIFY(QFileInfo(optimized).size() < QFileInfo(mixed).size() * 6 / 10);
}

void TestOperations::optimizeFindsSmallerExactForms_data()
{
    QTest::addColumn<QImage>("picture");
    QTest::addColumn<int>("encoding"); // testsupport::ScanEncoding
    QTest::addColumn<QString>("expected");
    using testsupport::ScanEncoding;
    QImage blackAndWhite = textScan().convertToFormat(QImage::Format_Mono);
    blackAndWhite = blackAndWhite.convertToFormat(QImage::Format_Grayscale8);
    QTest::newRow("colour JPEG") << photo(true) << int(ScanEncoding::Jpeg)
                                 << u"/DCTDecode /DeviceRGB 8 progressive"_s;
    QTest::newRow("grey JPEG") << photo(false).convertToFormat(QImage::Format_Grayscale8)
                               << int(ScanEncoding::Jpeg)
                               << u"/DCTDecode /DeviceGray 8 progressive"_s;
    QTest::newRow("CMYK JPEG, left")
        << photo(true) << int(ScanEncoding::CmykJpeg) << u"/DCTDecode /DeviceCMYK 8"_s;
    QTest::newRow("untransformed JPEG, parameters in an array")
        << photo(true) << int(ScanEncoding::UntransformedJpeg)
        << u"/DCTDecode /DeviceRGB 8 progressive"_s;
    QTest::newRow("photo, predictors")
        << photo(true) << int(ScanEncoding::PlainFlate) << u"/FlateDecode /DeviceRGB 8 predicted"_s;
    QTest::newRow("grey in RGB") << photo(false) << int(ScanEncoding::PlainFlate)
                                 << u"/FlateDecode /DeviceGray 8"_s;
    QTest::newRow("chart, palette")
        << chart() << int(ScanEncoding::PlainFlate) << u"/FlateDecode /Indexed 4"_s;
    QTest::newRow("bilevel mask, JBIG2")
        << textScan() << int(ScanEncoding::Bilevel) << u"/JBIG2Decode mask 1"_s;
    QTest::newRow("black and white grey, JBIG2")
        << blackAndWhite << int(ScanEncoding::PlainFlate) << u"/JBIG2Decode /DeviceGray 1"_s;
    // On a small picture JBIG2's coder has too little to learn from.
    QImage line(200, 40, QImage::Format_Grayscale8);
    line.fill(Qt::white);
    {
        QPainter painter(&line);
        QFont font = painter.font();
        font.setPixelSize(30);
        painter.setFont(font);
        painter.drawText(line.rect(), Qt::AlignVCenter, u"Invoice 2026-118 合同"_s);
    }
    QTest::newRow("one line of text, G4 where smaller")
        << line << int(ScanEncoding::Bilevel) << u"/CCITTFaxDecode mask 1"_s;
}

// Every form shows the same pixels, is smaller, and drops what nothing draws.
void TestOperations::optimizeFindsSmallerExactForms()
{
    QFETCH(QImage, picture);
    QFETCH(int, encoding);
    QFETCH(QString, expected);
    const QString src = m_in->filePath(u"扫描.pdf"_s);
    testsupport::writeScanPdf(
        src, picture, 100,
        {.encoding = testsupport::ScanEncoding(encoding), .unusedResources = true});
    m_guard.add(src);
    const testsupport::WorkerRun result = run(makeRequest(u"optimize"_s, {src}, m_out->path()));
    QCOMPARE(result.exitCode, 0);
    const QString output = result.result.value(u"output"_s).toString();

    QVERIFY2(scanFacts(output).startsWith(expected), qPrintable(scanFacts(output)));
    QCOMPARE(testsupport::renderPages(output), testsupport::renderPages(src));
    QVERIFY(QFileInfo(output).size() < QFileInfo(src).size());
    QCOMPARE(resourceNames(output), QStringList{u"/XObject/Scan"_s});
    if (expected.startsWith(u"/DCTDecode"_s)) {
        // Decoded samples, not only what a renderer makes of them.
        QCOMPARE(QImage::fromData(rawScanData(output)), QImage::fromData(rawScanData(src)));
        if (!expected.contains(u"progressive"_s))
            QCOMPARE(rawScanData(output), rawScanData(src));
    }
}

namespace {

// 1-bit rows of a grey picture, 0 where it is dark, as /DeviceGray reads them.
std::string bilevelRows(const QImage& picture)
{
    const QImage grey = picture.convertToFormat(QImage::Format_Grayscale8);
    const int stride = (grey.width() + 7) / 8;
    std::string rows(size_t(stride) * size_t(grey.height()), char(0xFF));
    for (int y = 0; y < grey.height(); ++y) {
        for (int x = 0; x < grey.width(); ++x) {
            if (qGray(grey.pixel(x, y)) < 128)
                rows[size_t(y) * size_t(stride) + size_t(x / 8)] &= char(~(0x80 >> (x % 8)));
        }
    }
    return rows;
}

// A page of exactly the picture's size in points that shows the image /Scan,
// `data` read through `filter` with `parameters` (PDF syntax, or "").
void writeImagePage(const QString& path, const std::string& data, int width, int height,
                    const char* filter, const std::string& parameters = {})
{
    QPDF pdf;
    pdf.emptyPDF();
    QPDFObjectHandle image = QPDFObjectHandle::newStream(&pdf, data);
    QPDFObjectHandle dictionary = image.getDict();
    dictionary.replaceKey("/Type", QPDFObjectHandle::newName("/XObject"));
    dictionary.replaceKey("/Subtype", QPDFObjectHandle::newName("/Image"));
    dictionary.replaceKey("/Width", QPDFObjectHandle::newInteger(width));
    dictionary.replaceKey("/Height", QPDFObjectHandle::newInteger(height));
    dictionary.replaceKey("/ColorSpace", QPDFObjectHandle::newName("/DeviceGray"));
    dictionary.replaceKey("/BitsPerComponent", QPDFObjectHandle::newInteger(1));
    dictionary.replaceKey("/Filter", QPDFObjectHandle::newName(filter));
    if (!parameters.empty())
        dictionary.replaceKey("/DecodeParms", QPDFObjectHandle::parse(parameters));
    const std::string size = std::to_string(width) + " 0 0 " + std::to_string(height);
    QPDFObjectHandle page = pdf.makeIndirectObject(
        QPDFObjectHandle::parse("<< /Type /Page /MediaBox [0 0 " + std::to_string(width) + " " +
                                std::to_string(height) + "] /Resources << /XObject << >> >> >>"));
    page.getKey("/Resources").getKey("/XObject").replaceKey("/Scan", image);
    page.replaceKey("/Contents",
                    QPDFObjectHandle::newStream(&pdf, "q " + size + " 0 0 cm /Scan Do Q"));
    QPDFPageDocumentHelper(pdf).addPage(QPDFPageObjectHelper(page), false);
    // The writer keeps the name it is given until it writes.
    const QByteArray name = QFile::encodeName(path);
    QPDFWriter writer(pdf, name.constData());
    writer.write();
}

// The picture's rows (1 for black) as a TIFF encoder writes them in fax
// `compression` with its T.4 `options`: the strip /CCITTFaxDecode reads.
std::string faxData(const QImage& picture, int compression, uint32_t options, const QString& file)
{
    std::string rows = bilevelRows(picture);
    for (char& byte : rows)
        byte = char(~byte);
    const QByteArray name = QFile::encodeName(file);
    TIFF* tiff = TIFFOpen(name.constData(), "w");
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, picture.width());
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, picture.height());
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, compression);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, picture.height());
    if (compression == COMPRESSION_CCITTFAX3)
        TIFFSetField(tiff, TIFFTAG_GROUP3OPTIONS, options);
    const size_t stride = size_t(picture.width() + 7) / 8;
    for (int y = 0; y < picture.height(); ++y)
        TIFFWriteScanline(tiff, rows.data() + size_t(y) * stride, uint32_t(y), 0);
    TIFFClose(tiff);
    tiff = TIFFOpen(name.constData(), "r");
    std::string strip(size_t(TIFFRawStripSize(tiff, 0)), '\0');
    TIFFReadRawStrip(tiff, 0, strip.data(), tmsize_t(strip.size()));
    TIFFClose(tiff);
    return strip;
}

// A PBM or PGM file, also one wider than Qt's reader takes (10000 pixels
// drawn four times as wide).
QImage readGreyMap(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    const QList<QByteArray> header = bytes.left(64).simplified().split(' ');
    if (header.size() < 3 || header.first() != "P5")
        return QImage::fromData(bytes).convertToFormat(QImage::Format_Grayscale8);
    const int width = header.at(1).toInt();
    const int height = header.at(2).toInt();
    const qsizetype start = bytes.size() - qsizetype(width) * height;
    QImage grey(width, height, QImage::Format_Grayscale8);
    for (int y = 0; y < height && start > 0; ++y)
        std::memcpy(grey.scanLine(y), bytes.constData() + start + qsizetype(y) * width,
                    size_t(width));
    return grey;
}

// What a decoder drew, read back as black and white pixels; null when it
// drew nothing. A renderer draws each pixel `scale` times as wide and is read
// at the pixels' centres, where no rounding of its edges reaches.
QImage drawnBy(const QString& program, const QStringList& arguments, const QString& output,
               int scale = 1)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(120000) || process.exitCode() != 0)
        return {};
    const QImage drawn = readGreyMap(output);
    QImage pixels(drawn.width() / scale, drawn.height() / scale, QImage::Format_Grayscale8);
    for (int y = 0; y < pixels.height(); ++y) {
        for (int x = 0; x < pixels.width(); ++x) {
            const bool black =
                qGray(drawn.pixel(x * scale + scale / 2, y * scale + scale / 2)) < 128;
            pixels.setPixel(x, y, black ? qRgb(0, 0, 0) : qRgb(255, 255, 255));
        }
    }
    return pixels;
}

} // namespace

void TestOperations::jbig2EveryDecoderAgrees_data()
{
    QTest::addColumn<QImage>("picture");
    const auto filled = [](int width, int height, auto black) {
        QImage picture(width, height, QImage::Format_Grayscale8);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x)
                picture.setPixel(x, y, black(x, y) ? qRgb(0, 0, 0) : qRgb(255, 255, 255));
        }
        return picture;
    };
    // An 8×8 ordered dither of a gradient, as scanners print photographs.
    const auto halftone = [](int x, int y) {
        static const int bayer[8][8] = {
            {0, 32, 8, 40, 2, 34, 10, 42},  {48, 16, 56, 24, 50, 18, 58, 26},
            {12, 44, 4, 36, 14, 46, 6, 38}, {60, 28, 52, 20, 62, 30, 54, 22},
            {3, 35, 11, 43, 1, 33, 9, 41},  {51, 19, 59, 27, 49, 17, 57, 25},
            {15, 47, 7, 39, 13, 45, 5, 37}, {63, 31, 55, 23, 61, 29, 53, 21}};
        return (x + y) * 64 / 600 > bayer[y % 8][x % 8];
    };
    QTest::newRow("text") << textScan();
    QTest::newRow("halftone") << filled(300, 300, halftone);
    QTest::newRow("all white") << filled(64, 40, [](int, int) { return false; });
    QTest::newRow("all black") << filled(64, 40, [](int, int) { return true; });
    QTest::newRow("one-pixel lines, 203 wide")
        << filled(203, 157, [](int x, int y) { return x % 7 == 0 || y % 5 == 0; });
    QTest::newRow("1×1") << filled(1, 1, [](int, int) { return true; });
    QTest::newRow("10000×1") << filled(10000, 1, [](int x, int) { return x % 3 == 0; });
}

// The stream alone through jbig2dec, and a page of it through Poppler and
// MuPDF: every pixel as it was.
void TestOperations::jbig2EveryDecoderAgrees()
{
    QFETCH(QImage, picture);
    const int width = picture.width();
    const int height = picture.height();
    const std::string rows = bilevelRows(picture);
    const std::string jbig2 = batch::encodeJbig2(rows, width, height);
    QImage expected(width, height, QImage::Format_Grayscale8);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const bool black =
                (rows[size_t(y) * size_t((width + 7) / 8) + size_t(x / 8)] >> (7 - x % 8) & 1) == 0;
            expected.setPixel(x, y, black ? qRgb(0, 0, 0) : qRgb(255, 255, 255));
        }
    }
    const QString stream = m_out->filePath(u"region.jb2"_s);
    testsupport::writeBytes(stream, QByteArray::fromStdString(jbig2));
    const QString page = m_out->filePath(u"region.pdf"_s);
    writeImagePage(page, jbig2, width, height, "/JBIG2Decode");
    const QString byJbig2dec = m_out->filePath(u"jbig2dec.pbm"_s);
    const QString byPoppler = m_out->filePath(u"poppler"_s);
    const QString byMupdf = m_out->filePath(u"mupdf.pgm"_s);
    QList<std::pair<QString, QImage>> drawn{
        {u"jbig2dec"_s,
         drawnBy(u"jbig2dec"_s, {u"-q"_s, u"-e"_s, u"-t"_s, u"pbm"_s, u"-o"_s, byJbig2dec, stream},
                 byJbig2dec)},
        {u"pdftoppm"_s,
         drawnBy(u"pdftoppm"_s, {u"-r"_s, u"288"_s, u"-gray"_s, u"-singlefile"_s, page, byPoppler},
                 byPoppler + u".pgm"_s, 4)},
        {u"mutool"_s, drawnBy(u"mutool"_s,
                              {u"draw"_s, u"-q"_s, u"-r"_s, u"288"_s, u"-c"_s, u"gray"_s, u"-o"_s,
                               byMupdf, page},
                              byMupdf, 4)}};
    // pdf.js, where node and the package are installed (scripts/setup-debian.sh).
    const QString pdfjs = QFINDTESTDATA("pdfjs/image.mjs");
    const bool withPdfjs =
        !QStandardPaths::findExecutable(u"node"_s).isEmpty() && !pdfjs.isEmpty() &&
        QFileInfo::exists(QFileInfo(pdfjs).absolutePath() + u"/node_modules/pdfjs-dist"_s);
    if (withPdfjs) {
        const QString byPdfjs = m_out->filePath(u"pdfjs.pgm"_s);
        drawn.append({u"pdf.js"_s, drawnBy(u"node"_s, {pdfjs, page, byPdfjs}, byPdfjs)});
    }
    for (const auto& [decoder, image] : drawn) {
        if (image.isNull() && QStandardPaths::findExecutable(decoder).isEmpty())
            QSKIP("a decoder is not installed (scripts/setup-debian.sh installs them)");
        QVERIFY2(image == expected, qPrintable(decoder));
    }
}

void TestOperations::optimizeReadsFaxData_data()
{
    QTest::addColumn<int>("compression"); // as a TIFF encoder writes it
    QTest::addColumn<int>("options");
    QTest::addColumn<QString>("parameters"); // W and H: the picture's width and height
    QTest::addColumn<bool>("decoded");       // else kept as it is
    QTest::newRow("Group 4") << COMPRESSION_CCITTFAX4 << 0 << u"<< /K -1 /Columns W >>"_s << true;
    QTest::newRow("Group 3, end-of-line codes")
        << COMPRESSION_CCITTFAX3 << 0 << u"<< /Columns W /EndOfLine true /Rows H >>"_s << true;
    QTest::newRow("Group 3, end-of-line codes it need not have")
        << COMPRESSION_CCITTFAX3 << 0 << u"<< /Columns W >>"_s << true;
    QTest::newRow("Group 3, two-dimensional") << COMPRESSION_CCITTFAX3 << int(GROUP3OPT_2DENCODING)
                                              << u"<< /K 4 /Columns W /EndOfLine true >>"_s << true;
    QTest::newRow("Group 3, byte-aligned codes")
        << COMPRESSION_CCITTFAX3 << int(GROUP3OPT_FILLBITS | GROUP3OPT_2DENCODING)
        << u"<< /K 2 /Columns W /EndOfLine true /EncodedByteAlign true >>"_s << true;
    QTest::newRow("Modified Huffman, byte-aligned rows")
        << COMPRESSION_CCITTRLE << 0 << u"<< /Columns W /EncodedByteAlign true >>"_s << true;
    QTest::newRow("black is 1") << COMPRESSION_CCITTFAX4 << 0
                                << u"<< /K -1 /Columns W /BlackIs1 true >>"_s << true;
    QTest::newRow("fewer rows than the image: kept")
        << COMPRESSION_CCITTFAX4 << 0 << u"<< /K -1 /Columns W /Rows 200 >>"_s << false;
}

// Fax data of every kind is read as readers read it and written smaller; the
// page shows the same pixels.
void TestOperations::optimizeReadsFaxData()
{
    QFETCH(int, compression);
    QFETCH(int, options);
    QFETCH(QString, parameters);
    QFETCH(bool, decoded);
    const QImage picture = textScan();
    const std::string fax =
        faxData(picture, compression, uint32_t(options), m_out->filePath(u"fax.tif"_s));
    parameters.replace(u"W"_s, QString::number(picture.width()));
    parameters.replace(u"H"_s, QString::number(picture.height()));
    const QString src = m_in->filePath(u"传真.pdf"_s);
    writeImagePage(src, fax, picture.width(), picture.height(), "/CCITTFaxDecode",
                   parameters.toStdString());
    m_guard.add(src);
    const testsupport::WorkerRun result = run(makeRequest(u"optimize"_s, {src}, m_out->path()));
    QCOMPARE(result.exitCode, 0);
    const QString output = result.result.value(u"output"_s).toString();
    QCOMPARE(testsupport::renderPages(output), testsupport::renderPages(src));
    if (decoded) {
        QVERIFY2(scanFacts(output).startsWith(u"/JBIG2Decode"_s), qPrintable(scanFacts(output)));
        QVERIFY(rawScanData(output).size() < qsizetype(fax.size()));
    } else {
        QCOMPARE(rawScanData(output), QByteArray::fromStdString(fax));
    }
    QVERIFY(m_guard.unchanged());
}

void TestOperations::optimizeKeepsSampleLayouts_data()
{
    QTest::addColumn<int>("components");
    QTest::addColumn<int>("bits");
    QTest::addColumn<int>("colours"); // flat colours, or 0 for gradients
    QTest::addColumn<bool>("grey");
    QTest::addColumn<QString>("space");
    // Pixels that do not fill whole bytes are where predictors look back wrong.
    QTest::newRow("grey, 4 bits") << 1 << 4 << 0 << false << u"/DeviceGray"_s;
    QTest::newRow("RGB, 2 bits") << 3 << 2 << 0 << false << u"/DeviceRGB"_s;
    QTest::newRow("RGB, 4 bits") << 3 << 4 << 0 << false << u"/DeviceRGB"_s;
    QTest::newRow("RGB, 16 bits") << 3 << 16 << 0 << false << u"/DeviceRGB"_s;
    QTest::newRow("CMYK, 2 bits") << 4 << 2 << 0 << false << u"/DeviceCMYK"_s;
    QTest::newRow("five inks, 2 bits") << 5 << 2 << 0 << false << u"/DeviceN"_s;
    QTest::newRow("six inks, 4 bits") << 6 << 4 << 0 << false << u"/DeviceN"_s;
    QTest::newRow("CMYK of five colours, no palette") << 4 << 8 << 5 << false << u"/DeviceCMYK"_s;
    QTest::newRow("grey in RGB, its /DL") << 3 << 8 << 0 << true << u"/DeviceGray"_s;
}

// Every layout of samples shows the same pixels after the optimisation.
void TestOperations::optimizeKeepsSampleLayouts()
{
    QFETCH(int, components);
    QFETCH(int, bits);
    QFETCH(int, colours);
    QFETCH(bool, grey);
    QFETCH(QString, space);
    const QString src = m_in->filePath(u"样本.pdf"_s);
    testsupport::writeSampledImagePdf(
        src, {.components = components, .bits = bits, .colours = colours, .grey = grey});
    m_guard.add(src);
    const testsupport::WorkerRun result = run(makeRequest(u"optimize"_s, {src}, m_out->path()));
    QCOMPARE(result.exitCode, 0);
    const QString output = result.result.value(u"output"_s).toString();
    QCOMPARE(sampledFacts(output), space);
    QCOMPARE(testsupport::renderPages(output), testsupport::renderPages(src));
}

void TestOperations::compressLevels_data()
{
    QTest::addColumn<QImage>("picture");
    QTest::addColumn<int>("encoding");            // testsupport::ScanEncoding
    QTest::addColumn<QList<double>>("leastSsim"); // high, standard, small
    using testsupport::ScanEncoding;
    QTest::newRow("colour JPEG scan")
        << pageScan(true) << int(ScanEncoding::Jpeg) << QList<double>{0.98, 0.96, 0.95};
    QTest::newRow("grey Flate scan")
        << pageScan(false) << int(ScanEncoding::PlainFlate) << QList<double>{0.98, 0.96, 0.95};
    QTest::newRow("bilevel scan") << pageScan(false) << int(ScanEncoding::Bilevel)
                                  << QList<double>{1.0, 1.0, 1.0};
}

// Each level makes photographs smaller than the one before and keeps them
// alike; a bilevel scan stays 1-bit and shows the same pixels at every level.
void TestOperations::compressLevels()
{
    QFETCH(QImage, picture);
    QFETCH(int, encoding);
    QFETCH(QList<double>, leastSsim);
    const QString src = m_in->filePath(u"扫描.pdf"_s);
    testsupport::writeScanPdf(src, picture, 300, {.encoding = testsupport::ScanEncoding(encoding)});
    m_guard.add(src);
    const bool bilevel = encoding == int(testsupport::ScanEncoding::Bilevel);
    qint64 previous = QFileInfo(src).size();
    const QStringList levels{u"high"_s, u"standard"_s, u"small"_s};
    for (qsizetype i = 0; i < levels.size(); ++i) {
        const testsupport::WorkerRun result = run(
            makeRequest(u"compress"_s, {src}, m_out->path(), {{u"compressLevel"_s, levels.at(i)}}));
        QCOMPARE(result.exitCode, 0);
        const QString output = result.result.value(u"output"_s).toString();
        QVERIFY(QFileInfo(output).fileName().startsWith(u"扫描-压缩"_s));
        QVERIFY(result.result.value(u"note"_s).toString().startsWith(u"已压缩："_s));
        QCOMPARE(result.result.value(u"review"_s).toBool(true), false);
        const qint64 size = QFileInfo(output).size();
        const double similarity = testsupport::pageSsim(src, output).value(0);
        qInfo("%s: %lld bytes, SSIM %.4f", qPrintable(levels.at(i)), size, similarity);
        QVERIFY2(bilevel ? size <= previous : size < previous, qPrintable(levels.at(i)));
        QVERIFY2(similarity >= leastSsim.at(i), qPrintable(levels.at(i)));
        previous = size;
        if (bilevel) {
            QVERIFY2(scanFacts(output).startsWith(u"/JBIG2Decode mask 1"_s),
                     qPrintable(scanFacts(output)));
            QCOMPARE(testsupport::renderPages(output), testsupport::renderPages(src));
        } else if (i > 0) {
            // At 300 DPI a clean grey scan may be smaller as it was.
            QVERIFY2(scanFacts(output).startsWith(u"/DCTDecode"_s), qPrintable(scanFacts(output)));
        }
    }
}

// Pages the archive level leaves to the smallest level's step: no scans,
// scans it cannot separate or too coarse for a mask; in a document, only
// its scan pages are layered.
void TestOperations::archiveLevelFallsBack_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("layered");
    QTest::newRow("text page") << u"text"_s << 0;
    QTest::newRow("blank scan") << u"blank"_s << 0;
    QTest::newRow("photograph filling the page") << u"photograph"_s << 0;
    QTest::newRow("bilevel scan") << u"bilevel"_s << 0;
    QTest::newRow("100-DPI scan") << u"coarse"_s << 0;
    QTest::newRow("scan page beside a text page") << u"mixed"_s << 1;
}

void TestOperations::archiveLevelFallsBack()
{
    QFETCH(QString, kind);
    QFETCH(int, layered);
    const QString src = m_in->filePath(u"来源.pdf"_s);
    if (kind == u"text"_s) {
        testsupport::writePdf(src, {.pages = 2, .marker = u"archive"_s});
    } else if (kind == u"blank"_s) {
        QImage white(2480, 3508, QImage::Format_Grayscale8);
        white.fill(Qt::white);
        testsupport::writeScanPdf(src, white, 300);
    } else if (kind == u"photograph"_s) {
        testsupport::writeScanPdf(src, photo(true).scaled(1240, 1754), 150);
    } else if (kind == u"bilevel"_s) {
        testsupport::writeScanPdf(src, pageScan(false), 300,
                                  {.encoding = testsupport::ScanEncoding::Bilevel});
    } else if (kind == u"coarse"_s) {
        testsupport::writeScanPdf(src, textScan(), 100);
    } else {
        testsupport::DrawnPage scan;
        scan.lines = {u"合同编号：沪 2026-118"_s, u"甲方：上海某某贸易有限公司"_s};
        testsupport::DrawnPage text = scan;
        text.scanned = false;
        testsupport::writeDrawnPdf(src, {scan, text});
    }
    m_guard.add(src);
    const auto compressed = [&](const QString& level) {
        const testsupport::WorkerRun result =
            run(makeRequest(u"compress"_s, {src}, m_out->path(), {{u"compressLevel"_s, level}}));
        return std::pair{result.result.value(u"output"_s).toString(),
                         result.result.value(u"note"_s).toString()};
    };
    const auto [archived, note] = compressed(u"archive"_s);
    const auto [smallest, smallNote] = compressed(u"small"_s);
    QVERIFY(testsupport::qpdfCheckClean(archived));
    QCOMPARE(testsupport::popplerPageCount(archived), testsupport::popplerPageCount(src));
    if (layered > 0) {
        QVERIFY2(note.contains(u"；%1 页扫描页已分层压缩"_s.arg(layered)), qPrintable(note));
        QVERIFY(QFileInfo(archived).size() < QFileInfo(smallest).size());
        QCOMPARE(testsupport::popplerText(archived, 1), testsupport::popplerText(src, 1));
        return;
    }
    QVERIFY2(!note.contains(u"分层压缩（"_s), qPrintable(note));
    QCOMPARE(QFileInfo(archived).size(), QFileInfo(smallest).size());
    QCOMPARE(testsupport::renderPages(archived), testsupport::renderPages(smallest));
}

void TestOperations::compressToTargetSize_data()
{
    // Of the source's size; 0 for 2 KB; -1 for a byte less than the level
    // makes without a target.
    QTest::addColumn<double>("share");
    QTest::addColumn<bool>("encrypted");
    QTest::addColumn<bool>("fits");
    QTest::addColumn<int>("dpi");
    QTest::addColumn<bool>("optimisedFirst"); // the source is an optimised scan
    QTest::newRow("already fits") << 1.5 << false << true << 300 << false;
    QTest::newRow("fits as it is, its rewrite would not") << 1.0 << false << true << 300 << true;
    QTest::newRow("met") << 0.25 << false << true << 300 << false;
    QTest::newRow("met, encrypted") << 0.25 << true << true << 300 << false;
    // At 100 DPI no step scales: quality alone decides, and the ladder's
    // next step is larger than the one after it.
    QTest::newRow("met further down") << -1.0 << false << true << 100 << false;
    QTest::newRow("not met") << 0.0 << false << false << 300 << false;
}

// The result fits when it can, looking as good as it may; when it cannot,
// the row asks to be checked and says by how much it missed.
void TestOperations::compressToTargetSize()
{
    QFETCH(double, share);
    QFETCH(bool, encrypted);
    QFETCH(bool, fits);
    QFETCH(int, dpi);
    QFETCH(bool, optimisedFirst);
    QString src = m_in->filePath(u"合同.pdf"_s);
    testsupport::writeScanPdf(src, pageScan(true), dpi);
    if (optimisedFirst) {
        const testsupport::WorkerRun optimised =
            run(makeRequest(u"optimize"_s, {src}, m_in->filePath(QString())));
        QCOMPARE(optimised.exitCode, 0);
        src = optimised.result.value(u"output"_s).toString();
    }
    if (encrypted) {
        const QString plain = src;
        src = m_in->filePath(u"加密合同.pdf"_s);
        testsupport::writeProtectedCopy(plain, src,
                                        {.encryption = Encryption::R6Aes256,
                                         .userPassword = "u",
                                         .ownerPassword = "o",
                                         .allowModify = false});
    }
    m_guard.add(src);
    qint64 target = share > 0 ? qint64(double(QFileInfo(src).size()) * share) : 2048;
    if (share < 0) {
        const testsupport::WorkerRun plain = run(makeRequest(u"compress"_s, {src}, m_out->path()));
        target = QFileInfo(plain.result.value(u"output"_s).toString()).size() - 1;
    }
    const testsupport::WorkerRun result =
        run(makeRequest(u"compress"_s, {src}, m_out->path(),
                        {{u"targetSize"_s, target}, {u"password"_s, encrypted ? u"o"_s : u""_s}}));
    QCOMPARE(result.exitCode, 0);
    const QString output = result.result.value(u"output"_s).toString();
    const qint64 size = QFileInfo(output).size();
    const std::string password = encrypted ? "o" : "";
    QCOMPARE(size <= target, fits);
    QCOMPARE(result.result.value(u"review"_s).toBool(true), !fits);
    if (!fits) {
        // The ladder's smallest result is the scan in layers.
        QCOMPARE(
            result.result.value(u"note"_s).toString(),
            u"无法压缩到 2 KB 以内，已压缩到 %1；1 页扫描页已分层压缩（文字保持扫描分辨率）"_s.arg(
                batch::formatSize(size)));
    }
    if (share >= 1) {
        // Only the lossless steps: the samples are the source's.
        QCOMPARE(QImage::fromData(rawScanData(output)), QImage::fromData(rawScanData(src)));
    }
    const QList<double> similarity =
        testsupport::pageSsim(src, output, 100, QString::fromStdString(password));
    QVERIFY(!similarity.isEmpty() && similarity.first() > (fits && dpi > 100 ? 0.95 : 0.9));
    if (encrypted) {
        QVERIFY(!inspectPdf(output, "u").ownerMatched);
        QVERIFY(inspectPdf(output, password).ownerMatched);
        QCOMPARE(inspectPdf(output, password).permissions, inspectPdf(src, password).permissions);
    }
}

void TestOperations::compressScalesMasksWithImages_data()
{
    QTest::addColumn<int>("encoding"); // testsupport::ScanEncoding
    QTest::addColumn<int>("mask");     // testsupport::ScanMask
    using testsupport::ScanEncoding;
    using testsupport::ScanMask;
    QTest::newRow("JPEG, soft mask") << int(ScanEncoding::Jpeg) << int(ScanMask::Soft);
    QTest::newRow("Flate, stencil") << int(ScanEncoding::PlainFlate) << int(ScanMask::Stencil);
}

void TestOperations::compressScalesMasksWithImages()
{
    QFETCH(int, encoding);
    QFETCH(int, mask);
    const QString src = m_in->filePath(u"印章.pdf"_s);
    testsupport::writeScanPdf(
        src, roundPhoto(), 300,
        {.encoding = testsupport::ScanEncoding(encoding), .mask = testsupport::ScanMask(mask)});
    m_guard.add(src);
    QCOMPARE(scanAndMaskWidths(src), u"360 360"_s);
    const testsupport::WorkerRun result = run(makeRequest(u"compress"_s, {src}, m_out->path()));
    QCOMPARE(result.exitCode, 0);
    const QString output = result.result.value(u"output"_s).toString();
    QCOMPARE(scanAndMaskWidths(output), u"240 240"_s); // 200 DPI
    QVERIFY(testsupport::pageSsim(src, output, 150).value(0) > 0.9);
}

void TestOperations::compressJudgesPhotographsByContent_data()
{
    QTest::addColumn<QImage>("picture");
    QTest::addColumn<int>("encoding"); // testsupport::ScanEncoding
    QTest::addColumn<QString>("expected");
    QTest::addColumn<double>("leastSsim");
    using testsupport::ScanEncoding;
    const QImage large = photo(true).scaled(1080, 720);
    QTest::newRow("untransformed JPEG")
        << large << int(ScanEncoding::UntransformedJpeg) << u"/DCTDecode /DeviceRGB 8"_s << 0.85;
    QTest::newRow("grey scan stored as RGB")
        << pageScan(false).convertToFormat(QImage::Format_RGB32) << int(ScanEncoding::PlainFlate)
        << u"/DCTDecode /DeviceGray 8"_s << 0.9;
    // Compared with the dots of its source, the smoothed picture looks less alike.
    QTest::newRow("dithered photograph")
        << large.convertToFormat(QImage::Format_Indexed8, Qt::DiffuseDither)
               .convertToFormat(QImage::Format_RGB32)
        << int(ScanEncoding::PlainFlate) << u"/DCTDecode /DeviceRGB 8"_s << 0.8;
}

// Photographs are known by what they show, whatever their colour count or
// storage, and their colours are read as the PDF says.
void TestOperations::compressJudgesPhotographsByContent()
{
    QFETCH(QImage, picture);
    QFETCH(int, encoding);
    QFETCH(QString, expected);
    QFETCH(double, leastSsim);
    const QString src = m_in->filePath(u"照片.pdf"_s);
    testsupport::writeScanPdf(src, picture, 300, {.encoding = testsupport::ScanEncoding(encoding)});
    m_guard.add(src);
    const testsupport::WorkerRun result = run(makeRequest(u"compress"_s, {src}, m_out->path()));
    QCOMPARE(result.exitCode, 0);
    const QString output = result.result.value(u"output"_s).toString();
    QVERIFY2(scanFacts(output).startsWith(expected), qPrintable(scanFacts(output)));
    QVERIFY(QFileInfo(output).size() < QFileInfo(src).size() / 2);
    const double similarity = testsupport::pageSsim(src, output).value(0);
    QVERIFY2(similarity > leastSsim, qPrintable(QString::number(similarity)));
}

void TestOperations::compressKeepsImagesDrawnLarge_data()
{
    QTest::addColumn<int>("large"); // testsupport::LargePlacement
    using testsupport::LargePlacement;
    QTest::newRow("annotation") << int(LargePlacement::Annotation);
    QTest::newRow("tiling pattern") << int(LargePlacement::Pattern);
    QTest::newRow("Type 3 glyph") << int(LargePlacement::Type3Glyph);
    QTest::newRow("soft mask") << int(LargePlacement::SoftMask);
    QTest::newRow("forms nested 21 deep") << int(LargePlacement::DeepForms);
}

// An image drawn one inch wide on the page and eight inches wide where no
// size is followed keeps the resolution of its large placement.
void TestOperations::compressKeepsImagesDrawnLarge()
{
    QFETCH(int, large);
    const QString src = m_in->filePath(u"图章.pdf"_s);
    testsupport::writePlacedImagePdf(src, photo(true).scaled(1600, 1066),
                                     testsupport::LargePlacement(large));
    m_guard.add(src);
    const testsupport::WorkerRun result = run(makeRequest(u"compress"_s, {src}, m_out->path()));
    QCOMPARE(result.exitCode, 0);
    QPDF pdf;
    pdf.processFile(QFile::encodeName(result.result.value(u"output"_s).toString()).constData());
    int widest = 0;
    for (QPDFObjectHandle& object : pdf.getAllObjects()) {
        if (object.isStream() && object.getDict().getKey("/Subtype").isNameAndEquals("/Image"))
            widest = std::max(widest, int(object.getDict().getKey("/Width").getIntValue()));
    }
    QCOMPARE(widest, 1600);
}

void TestOperations::pdfaOneStaysPdfOneFour_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<int>("part");
    QTest::addColumn<bool>("bilevel"); // a black-and-white scan, which becomes JBIG2
    QTest::newRow("optimise, PDF/A-1b") << u"optimize"_s << 1 << false;
    QTest::newRow("compress, PDF/A-1b") << u"compress"_s << 1 << false;
    QTest::newRow("optimise, PDF/A-2b") << u"optimize"_s << 2 << false;
    // JBIG2 is allowed in PDF/A-1: the claim stays.
    QTest::newRow("optimise, PDF/A-1b, JBIG2") << u"optimize"_s << 1 << true;
}

// A PDF/A-1 file is PDF 1.4, without object streams; later parts may have them.
void TestOperations::pdfaOneStaysPdfOneFour()
{
    QFETCH(QString, operation);
    QFETCH(int, part);
    QFETCH(bool, bilevel);
    const QString src = m_in->filePath(u"存档.pdf"_s);
    testsupport::writeScanPdf(
        src, pageScan(false), 300,
        {.encoding = bilevel ? testsupport::ScanEncoding::Bilevel : testsupport::ScanEncoding::Jpeg,
         .unusedResources = true});
    testsupport::addPdfaClaim(src, part, 'B');
    m_guard.add(src);
    const testsupport::WorkerRun result = run(makeRequest(operation, {src}, m_out->path()));
    QCOMPARE(result.exitCode, 0);
    QFile output(result.result.value(u"output"_s).toString());
    QVERIFY(output.open(QIODevice::ReadOnly));
    const QByteArray bytes = output.readAll();
    QCOMPARE(bytes.mid(5, 3).toDouble() <= 1.4, part == 1);
    QCOMPARE(bytes.contains("/ObjStm"), part != 1);
    if (bilevel) {
        QVERIFY2(scanFacts(output.fileName()).startsWith(u"/JBIG2Decode"_s),
                 qPrintable(scanFacts(output.fileName())));
        QVERIFY(bytes.contains("pdfaid:part"));
    }
}

// Text, fonts and a document without images come through as they were.
void TestOperations::compressLeavesAllButImages()
{
    const QString mixed = m_in->filePath(u"图文.pdf"_s);
    const QString text = m_in->filePath(u"文字.pdf"_s);
    const testsupport::DrawnPage letter{.lines = {u"通知 Notice：2026 年度报告"_s},
                                        .scanned = false};
    testsupport::writeDrawnPdf(mixed, {letter, {.lines = {u"附件 Annex"_s}}}, 300);
    testsupport::writeDrawnPdf(text, {letter, letter}, 300);
    m_guard.add(mixed);
    m_guard.add(text);
    for (const QString& src : {mixed, text}) {
        const testsupport::WorkerRun result = run(makeRequest(u"compress"_s, {src}, m_out->path()));
        QCOMPARE(result.exitCode, 0);
        const QString output = result.result.value(u"output"_s).toString();
        QVERIFY(!nonImageStreams(src).isEmpty());
        QCOMPARE(nonImageStreams(output), nonImageStreams(src));
        QCOMPARE(testsupport::popplerText(output, 0), testsupport::popplerText(src, 0));
        QVERIFY(QFileInfo(output).size() <= QFileInfo(src).size());
        if (src == mixed)
            QVERIFY(QFileInfo(output).size() < QFileInfo(src).size() / 2);
        else
            QCOMPARE(testsupport::renderPages(output), testsupport::renderPages(src));
    }
}

void TestOperations::navigationSurvives_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QJsonObject>("options");
    QTest::addColumn<QString>("part");         // a split's part to look at
    QTest::addColumn<QStringList>("expected"); // bookmarks, then links, names, labels
    const auto facts = [](QStringList bookmarks, QStringList links, QStringList names,
                          QStringList labels) {
        return bookmarks << u"--"_s << links << u"--"_s << names << u"--"_s << labels;
    };
    // Bookmarks whose page was dropped stay as headings over kept children;
    // other actions stay whatever pages are kept.
    const QStringList others{u"|n web|/URI|closed"_s, u"|n next|/Named|closed"_s,
                             u"|n remote|/GoToR|closed"_s};
    const auto at = [](int depth, const QStringList& items) {
        QStringList out;
        for (const QString& item : items)
            out << QString::number(depth) + item;
        return out;
    };
    QTest::newRow("extract: dropped bookmarks become headings")
        << u"extract"_s << QJsonObject{{u"pages"_s, u"2,4"_s}} << QString()
        << facts(QStringList{u"0|n 1|-|open"_s, u"1|n 1.1|0|closed"_s, u"0|n 2|-|closed"_s,
                             u"1|n 2.1|1|closed"_s} +
                     at(0, others),
                 {u"0>1"_s}, {u"sec11>0"_s}, {u"/rA-2"_s, u"/D2"_s});
    QTest::newRow("split, first part")
        << u"split"_s << QJsonObject{{u"group"_s, 2}} << u"乙-拆分-001.pdf"_s
        << facts(QStringList{u"0|n 1|0|open"_s, u"1|n 1.1|1|closed"_s} + at(0, others), {u"1>0"_s},
                 {u"sec11>1"_s}, {u"/rA-1"_s, u"/rA-2"_s});
    QTest::newRow("split, second part")
        << u"split"_s << QJsonObject{{u"group"_s, 2}} << u"乙-拆分-002.pdf"_s
        << facts(QStringList{u"0|n 2|0|closed"_s, u"1|n 2.1|1|closed"_s} + at(0, others) +
                     QStringList{u"0|n part|-|open"_s, u"1|n part.1|0|closed"_s},
                 {}, {u"ch2>0"_s}, {u"/D1"_s, u"/D2"_s});
    // Two files of one generator share object numbers; each keeps its own
    // links, on its own pages.
    QTest::newRow("merge: each file under its name")
        << u"merge"_s << QJsonObject{} << QString()
        << facts(QStringList{u"0|甲|0|closed"_s, u"0|乙|2|open"_s, u"1|n 1|2|open"_s,
                             u"2|n 1.1|3|closed"_s, u"1|n 2|4|closed"_s, u"2|n 2.1|5|closed"_s} +
                     at(1, others) +
                     QStringList{u"1|n part|-|open"_s, u"2|n part.1|4|closed"_s, u"0|丙|7|open"_s,
                                 u"1|n 1|7|open"_s, u"2|n 1.1|8|closed"_s, u"1|n 2|9|closed"_s,
                                 u"2|n 2.1|10|closed"_s} +
                     at(1, others) + QStringList{u"1|n part|-|open"_s, u"2|n part.1|9|closed"_s},
                 {u"3>5"_s, u"3>4"_s, u"3>2"_s, u"8>10"_s, u"8>9"_s, u"8>7"_s},
                 {u"ch2>4"_s, u"ch2-2>9"_s, u"sec11>3"_s, u"sec11-2>8"_s},
                 {u"/D1"_s, u"/D2"_s, u"/rA-1"_s, u"/rA-2"_s, u"/D1"_s, u"/D2"_s, u"/D3"_s,
                  u"/rA-1"_s, u"/rA-2"_s, u"/D1"_s, u"/D2"_s, u"/D3"_s});
}

// Every kept bookmark, link and named destination lands on its page in the
// result, nothing points outside it, and pages keep their labels.
void TestOperations::navigationSurvives()
{
    QFETCH(QString, operation);
    QFETCH(QJsonObject, options);
    QFETCH(QString, part);
    QFETCH(QStringList, expected);
    const QString navigated =
        source(u"乙.pdf"_s, {.pages = 5, .marker = u"n"_s, .navigation = true});
    QStringList inputs{navigated};
    if (operation == u"merge"_s)
        inputs = {source(u"甲.pdf"_s, {.pages = 2, .marker = u"a"_s}), navigated,
                  source(u"丙.pdf"_s, {.pages = 5, .marker = u"n"_s, .navigation = true})};
    const testsupport::WorkerRun result =
        run(makeRequest(operation, inputs, m_out->path(), options));
    QCOMPARE(result.result.value(u"error"_s).toString(), QString());
    QString output = result.result.value(u"output"_s).toString();
    QVERIFY2(result.exitCode == 0, result.standardError.constData());
    if (!part.isEmpty())
        output += u'/' + part;
    QVERIFY(testsupport::qpdfCheckClean(output));
    const testsupport::NavigationFacts facts = testsupport::inspectNavigation(output);
    QStringList actual = facts.bookmarks;
    actual << u"--"_s << facts.links << u"--"_s << facts.names << u"--"_s << facts.labels;
    QCOMPARE(actual, expected);
    QVERIFY(facts.showsOutlines);
}

// Fields with the same name in two merged files stay two fields; a hidden
// layer stays hidden; the language travels; XFA forms are still refused.
void TestOperations::formsLayersAndLanguage()
{
    const QString first = source(u"表一.pdf"_s, {.pages = 2,
                                                 .marker = u"one"_s,
                                                 .textField = u"name"_s,
                                                 .hiddenLayer = true,
                                                 .language = "zh-CN"});
    const QString second =
        source(u"表二.pdf"_s, {.pages = 1, .marker = u"two"_s, .textField = u"name"_s});
    testsupport::WorkerRun result = run(makeRequest(u"merge"_s, {first, second}, m_out->path()));
    QCOMPARE(result.result.value(u"error"_s).toString(), QString());
    const QString merged = result.result.value(u"output"_s).toString();
    QVERIFY(testsupport::qpdfCheckClean(merged));
    {
        QPDF pdf;
        pdf.processFile(QFile::encodeName(merged).constData());
        QPDFAcroFormDocumentHelper forms(pdf);
        std::vector<QPDFFormFieldObjectHelper> fields = forms.getFormFields();
        QCOMPARE(fields.size(), size_t(2));
        QVERIFY(fields[0].getFullyQualifiedName() != fields[1].getFullyQualifiedName());
        QCOMPARE(fields[0].getValueAsString(), std::string("one"));
        QCOMPARE(fields[1].getValueAsString(), std::string("two"));
        // Each widget stays on its page: the first file's page 1, the second's.
        const std::vector<QPDFObjectHandle>& pages = pdf.getAllPages();
        QCOMPARE(forms.getWidgetAnnotationsForPage(QPDFPageObjectHelper(pages[0])).size(),
                 size_t(1));
        QCOMPARE(forms.getWidgetAnnotationsForPage(QPDFPageObjectHelper(pages[2])).size(),
                 size_t(1));
        // Filling one leaves its namesake alone.
        fields[1].setV(QPDFObjectHandle::newUnicodeString("changed"));
        QCOMPARE(fields[0].getValueAsString(), std::string("one"));
        QVERIFY(forms.getNeedAppearances());
        // The fields' default resources travel with them.
        QVERIFY(pdf.getRoot().getKey("/AcroForm").getKey("/DR").getKey("/Font").isDictionary());
        QCOMPARE(pdf.getRoot().getKey("/Lang").getUTF8Value(), std::string("zh-CN"));
    }

    // The square in the hidden layer is not drawn, after merge and extract.
    result = run(makeRequest(u"extract"_s, {first}, m_out->path(), {{u"pages"_s, u"1"_s}}));
    const QString extracted = result.result.value(u"output"_s).toString();
    for (const QString& path : {merged, extracted}) {
        const std::unique_ptr<Poppler::Document> document = Poppler::Document::load(path);
        QVERIFY(document);
        const QImage page = document->page(0)->renderToImage(72, 72);
        QCOMPARE(qGray(page.pixel(200, page.height() - 200)), 255);
    }
    QCOMPARE(testsupport::inspectPdf(extracted).markers, expectedMarkers(u"one"_s, {1}));

    // A layer keeps its panel order where it had one, and a print-only
    // watermark keeps the rules that make it print and stay out of the panel.
    const QString watermarked = source(u"水印.pdf"_s, {.marker = u"wm"_s, .printOnlyLayer = true});
    result = run(makeRequest(u"merge"_s, {watermarked, second}, m_out->path()));
    const QString watermarkMerged = result.result.value(u"output"_s).toString();
    for (const auto& [path, ordered] : {std::pair{extracted, true}, {watermarkMerged, false}}) {
        QPDF pdf;
        pdf.processFile(QFile::encodeName(path).constData());
        QPDFObjectHandle layers = pdf.getRoot().getKey("/OCProperties");
        QPDFObjectHandle config = layers.getKey("/D");
        QCOMPARE(config.hasKey("/Order"), ordered);
        QCOMPARE(config.getKey("/AS").isArray() ? config.getKey("/AS").getArrayNItems() : 0,
                 ordered ? 0 : 2);
        QCOMPARE(config.hasKey("/Intent"), !ordered);
        QCOMPARE(layers.hasKey("/Configs"), !ordered);
    }

    // Extract keeps the fields whose widgets are on kept pages, and the
    // source's language, viewer preferences and metadata.
    result = run(makeRequest(u"extract"_s, {first}, m_out->path(), {{u"pages"_s, u"2"_s}}));
    const QString withoutField = result.result.value(u"output"_s).toString();
    for (const auto& [path, fields] :
         {std::pair{extracted, size_t(1)}, {withoutField, size_t(0)}}) {
        QPDF pdf;
        pdf.processFile(QFile::encodeName(path).constData());
        QCOMPARE(QPDFAcroFormDocumentHelper(pdf).getFormFields().size(), fields);
        QPDFObjectHandle root = pdf.getRoot();
        QCOMPARE(root.getKey("/Lang").getUTF8Value(), std::string("zh-CN"));
        QVERIFY(root.getKey("/ViewerPreferences").getKey("/DisplayDocTitle").isBool());
        QVERIFY(root.getKey("/Metadata").isStream());
        QVERIFY(testsupport::qpdfCheckClean(path));
    }

    const QString xfa = source(u"xfa.pdf"_s, {.textField = u"name"_s, .xfa = true});
    QCOMPARE(run(makeRequest(u"merge"_s, {xfa, second}, m_out->path()))
                 .result.value(u"error"_s)
                 .toString(),
             u"文档带有 XFA 动态表单，其内容不在页面中，合并后无法保留，因此未合并。"_s);
    QCOMPARE(
        run(makeRequest(u"extract"_s, {xfa}, m_out->path())).result.value(u"error"_s).toString(),
        u"文档带有 XFA 动态表单，其内容不在页面中，拆分或提取后无法保留，因此未处理。"_s);
}

void TestOperations::fieldsStayWhole_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QJsonObject>("options");
    QTest::addColumn<QString>("part");
    QTest::addColumn<QStringList>("expected"); // see inspectForm
    QTest::newRow("extract every page")
        << u"extract"_s << QJsonObject{{u"pages"_s, u"1-3"_s}} << QString()
        << QStringList{u"choice=/b@0,1"_s, u"go>1"_s, u"name=f@0,1"_s, u"co:name"_s};
    QTest::newRow("extract the second page")
        << u"extract"_s << QJsonObject{{u"pages"_s, u"2"_s}} << QString()
        << QStringList{u"choice=/b@0"_s, u"name=f@0"_s, u"co:name"_s};
    QTest::newRow("extract a page without widgets")
        << u"extract"_s << QJsonObject{{u"pages"_s, u"3"_s}} << QString() << QStringList{};
    QTest::newRow("split, second part")
        << u"split"_s << QJsonObject{{u"group"_s, 1}} << u"表-拆分-002.pdf"_s
        << QStringList{u"choice=/b@0"_s, u"name=f@0"_s, u"co:name"_s};
    // Only the second file's names change, and its button follows its own
    // renamed destination.
    QTest::newRow("merge of two copies")
        << u"merge"_s << QJsonObject{} << QString()
        << QStringList{u"choice-2=/b@3,4"_s, u"choice=/b@0,1"_s, u"go-2>4"_s,  u"go>1"_s,
                       u"name-2=g@3,4"_s,    u"name=f@0,1"_s,    u"co:name"_s, u"co:name-2"_s};
}

// A field with widgets on several pages stays one field, holding the widgets
// of the kept pages, each on its page.
void TestOperations::fieldsStayWhole()
{
    QFETCH(QString, operation);
    QFETCH(QJsonObject, options);
    QFETCH(QString, part);
    QFETCH(QStringList, expected);
    QStringList inputs{
        source(u"表.pdf"_s, {.pages = 3, .marker = u"f"_s, .fieldsAcrossPages = true})};
    if (operation == u"merge"_s)
        inputs << source(u"表二.pdf"_s, {.pages = 3, .marker = u"g"_s, .fieldsAcrossPages = true});
    const testsupport::WorkerRun result =
        run(makeRequest(operation, inputs, m_out->path(), options));
    QCOMPARE(result.result.value(u"error"_s).toString(), QString());
    QString output = result.result.value(u"output"_s).toString();
    if (!part.isEmpty())
        output += u'/' + part;
    QVERIFY(testsupport::qpdfCheckClean(output));
    QStringList actual = testsupport::inspectForm(output);
    const QStringList order = actual.filter(QRegularExpression(u"^co:"_s));
    actual = QStringList(actual.begin(), actual.end() - order.size());
    actual.sort();
    QCOMPARE(actual + order, expected);
}

QTEST_MAIN(TestOperations)
#include "tst_operations.moc"

// A family of damaged PDFs through every operation: never a crash or a hang,
// always a failure with a message or an output that qpdf checks clean.
#include "testsupport.h"

#include <QJsonArray>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

// A PDF from raw object bodies (object n is bodies[n - 1]) with a correct
// classic cross-reference table, so that only the intended damage is present.
QByteArray rawPdf(const QList<QByteArray>& bodies, const QByteArray& trailerExtra = {})
{
    QByteArray bytes = "%PDF-1.7\n%\xE2\xE3\xCF\xD3\n";
    QList<qsizetype> offsets;
    for (qsizetype i = 0; i < bodies.size(); ++i) {
        offsets << bytes.size();
        bytes += QByteArray::number(i + 1) + " 0 obj\n" + bodies.at(i) + "\nendobj\n";
    }
    const qsizetype xref = bytes.size();
    bytes += "xref\n0 " + QByteArray::number(bodies.size() + 1) + "\n0000000000 65535 f \n";
    for (const qsizetype offset : offsets)
        bytes += QByteArray::number(offset).rightJustified(10, '0') + " 00000 n \n";
    bytes += "trailer\n<< /Size " + QByteArray::number(bodies.size() + 1) + " /Root 1 0 R " +
             trailerExtra + ">>\nstartxref\n" + QByteArray::number(xref) + "\n%%EOF\n";
    return bytes;
}

QByteArray stream(const QByteArray& dictionary, const QByteArray& data)
{
    return "<< " + dictionary + " >>\nstream\n" + data + "\nendstream";
}

const QByteArray content = "BT /F1 24 Tf 72 700 Td (damaged) Tj ET";
const QByteArray font = "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>";

QByteArray page(const QByteArray& parent = "2 0 R", const QByteArray& contents = "4 0 R")
{
    return "<< /Type /Page /Parent " + parent +
           " /MediaBox [0 0 612 792] /Resources << /Font << /F1 5 0 R >> >> /Contents " + contents +
           " >>";
}

// An object stream whose only object is the object stream itself, reached
// through a cross-reference stream.
QByteArray selfContainedObjectStream()
{
    QByteArray bytes = "%PDF-1.7\n";
    QList<qsizetype> offsets;
    const QList<QByteArray> bodies{"<< /Type /Catalog /Pages 2 0 R >>",
                                   "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
                                   "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] >>"};
    for (qsizetype i = 0; i < bodies.size(); ++i) {
        offsets << bytes.size();
        bytes += QByteArray::number(i + 1) + " 0 obj\n" + bodies.at(i) + "\nendobj\n";
    }
    const QByteArray inner = "4 0 << /Type /ObjStm /N 1 /First 4 >>";
    offsets << bytes.size();
    bytes +=
        "4 0 obj\n" +
        stream("/Type /ObjStm /N 1 /First 4 /Length " + QByteArray::number(inner.size()), inner) +
        "\nendobj\n";
    const qsizetype xrefOffset = bytes.size();
    QByteArray rows;
    const auto row = [&rows](int type, int field2, int field3) {
        rows += char(type);
        rows += char((field2 >> 8) & 0xff);
        rows += char(field2 & 0xff);
        rows += char(field3);
    };
    row(0, 0, 255);
    for (int i = 0; i < 3; ++i)
        row(1, int(offsets.at(i)), 0);
    row(2, 4, 0); // object 4 lives in object stream 4
    row(1, int(xrefOffset), 0);
    bytes += "5 0 obj\n" +
             stream("/Type /XRef /Size 6 /W [1 2 1] /Root 1 0 R /Length " +
                        QByteArray::number(rows.size()),
                    rows) +
             "\nendobj\nstartxref\n" + QByteArray::number(xrefOffset) + "\n%%EOF\n";
    return bytes;
}

enum class Expect
{
    Either,  // refused, or an output that qpdf checks clean
    Succeed, // every operation but the decryption of a plain file
    Refuse   // read with a warning: the library patched damage over
};

struct Damaged
{
    QString name;
    QByteArray bytes;
    Expect expect = Expect::Either;
    // Only the operations that rebuild a document from pages read outlines.
    bool outlineOnly = false;
};

QList<Damaged> damagedFamily()
{
    QList<Damaged> family;
    const QByteArray pages2 = "<< /Type /Pages /Kids [3 0 R] /Count 1 >>";
    const QByteArray contentStream =
        stream("/Length " + QByteArray::number(content.size()), content);
    const QByteArray good =
        rawPdf({"<< /Type /Catalog /Pages 2 0 R >>", pages2, page(), contentStream, font});
    family << Damaged{u"control"_s, good, Expect::Succeed};

    family << Damaged{
        u"kids-self"_s,
        rawPdf({"<< /Type /Catalog /Pages 2 0 R >>",
                "<< /Type /Pages /Kids [2 0 R 3 0 R] /Count 2 >>", page(), contentStream, font}),
        Expect::Refuse};
    family << Damaged{u"parent-loop"_s,
                      rawPdf({"<< /Type /Catalog /Pages 2 0 R >>",
                              "<< /Type /Pages /Kids [3 0 R] /Count 1 /Parent 3 0 R >>", page(),
                              contentStream, font}),
                      Expect::Refuse};
    for (const QByteArray& count :
         {QByteArray("2147483647"), QByteArray("-5"), QByteArray("99999999999999999999")}) {
        family << Damaged{u"count-"_s + QString::fromLatin1(count),
                          rawPdf({"<< /Type /Catalog /Pages 2 0 R >>",
                                  "<< /Type /Pages /Kids [3 0 R] /Count " + count + " >>", page(),
                                  contentStream, font})};
    }
    for (const QByteArray& length :
         {QByteArray("2"), QByteArray("9999"), QByteArray("99999999999"), QByteArray("-1")}) {
        family << Damaged{u"length-"_s + QString::fromLatin1(length),
                          rawPdf({"<< /Type /Catalog /Pages 2 0 R >>", pages2, page(),
                                  stream("/Length " + length, content), font})};
    }
    family << Damaged{u"deep-nesting"_s,
                      rawPdf({"<< /Type /Catalog /Pages 2 0 R >>", pages2,
                              "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Extra " +
                                  QByteArray(20000, '[') + QByteArray(20000, ']') + " >>",
                              contentStream, font}),
                      Expect::Refuse};
    family << Damaged{u"objstm-self"_s, selfContainedObjectStream()};

    // Hostile outlines and name trees: bounded work, and the pages still go
    // through. Objects from 6 on are the outline's or the names'.
    const auto outlined = [&](const QByteArray& catalogue,
                              const QList<QByteArray>& extra) -> QByteArray {
        return rawPdf(QList<QByteArray>{"<< /Type /Catalog /Pages 2 0 R " + catalogue + " >>",
                                        pages2, page(), contentStream, font} +
                      extra);
    };
    const auto ref = [](qsizetype object) -> QByteArray {
        return QByteArray::number(object) + " 0 R";
    };
    family << Damaged{u"outline-kids-loop"_s,
                      outlined("/Outlines 6 0 R",
                               {"<< /Type /Outlines /First 7 0 R /Last 7 0 R /Count 2 >>",
                                "<< /Title (a) /Parent 6 0 R /First 8 0 R /Last 8 0 R /Count 1 "
                                "/Dest [3 0 R /Fit] >>",
                                "<< /Title (b) /Parent 7 0 R /Next 8 0 R /First 7 0 R "
                                "/Dest [3 0 R /Fit] >>"}),
                      Expect::Succeed, true};
    for (const bool deep : {true, false}) {
        constexpr int items = 100000;
        QList<QByteArray> extra{"<< /Type /Outlines /First 7 0 R /Last " +
                                ref(deep ? 7 : 6 + items) + " >>"};
        for (int i = 0; i < items; ++i) {
            const qsizetype object = 7 + i;
            const QByteArray parent = deep && i > 0 ? ref(object - 1) : ref(6);
            const QByteArray next = i + 1 < items ? ref(object + 1) : QByteArray("null");
            extra << "<< /Title (t) /Parent " + parent + (deep ? " /First " : " /Next ") + next +
                         " /Dest [3 0 R /Fit] >>";
        }
        family << Damaged{deep ? u"outline-100000-deep"_s : u"outline-100000-wide"_s,
                          outlined("/Outlines 6 0 R", extra), Expect::Succeed, true};
    }
    family << Damaged{
        u"names-loop"_s,
        outlined("/Outlines 6 0 R /Names << /Dests 8 0 R >> /Dests << /y (x) /z /y >>",
                 {"<< /Type /Outlines /First 7 0 R /Last 7 0 R /Count 1 >>",
                  "<< /Title (n) /Parent 6 0 R /Dest /z >>",
                  "<< /Kids [8 0 R 9 0 R] /Limits [(a) (z)] >>",
                  "<< /Kids [8 0 R 9 0 R] /Names [(x) (x) (w) /z] /Limits [(z) (a)] >>"}),
        Expect::Succeed, true};

    // Truncations and flipped bytes of a generated file, plain and with object streams.
    for (const bool objectStreams : {false, true}) {
        const QByteArray base = testsupport::makePdf({.pages = 3, .objectStreams = objectStreams});
        const QString kind = objectStreams ? u"objstm"_s : u"plain"_s;
        for (int i = 1; i <= 12; ++i) {
            const qsizetype cut = base.size() * i / 13;
            family << Damaged{u"%1-cut-%2"_s.arg(kind).arg(cut), base.left(cut)};
        }
        const qsizetype xref =
            objectStreams ? base.lastIndexOf("/Type /XRef") : base.lastIndexOf("xref");
        for (int i = 0; i < 6; ++i) {
            QByteArray flipped = base;
            const qsizetype at = std::min(xref + 20 + i * 13, base.size() - 1);
            flipped[at] = char(flipped[at] ^ 0x5a);
            family << Damaged{u"%1-xref-flip-%2"_s.arg(kind).arg(i), flipped};
        }
        if (objectStreams) {
            const qsizetype objStm = base.indexOf("/Type /ObjStm");
            const qsizetype data = base.indexOf("stream", objStm) + 8;
            for (int i = 0; i < 6; ++i) {
                QByteArray flipped = base;
                flipped[data + i * 7] = char(flipped[data + i * 7] ^ 0xff);
                family << Damaged{u"objstm-data-flip-%1"_s.arg(i), flipped};
            }
        }
    }
    return family;
}

} // namespace

class TestDamaged : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void everyOperation_data();
    void everyOperation();

private:
    QTemporaryDir m_dir;
    QTemporaryDir m_models;
    QString m_good;
};

void TestDamaged::initTestCase()
{
    QVERIFY(testsupport::fillModelsFolder(m_models.path()));
    m_good = m_dir.filePath(u"good.pdf"_s);
    testsupport::writePdf(m_good, {.pages = 2});
}

void TestDamaged::everyOperation_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("expect");
    QTest::addColumn<bool>("outlineOnly");
    int index = 0;
    for (const Damaged& damaged : damagedFamily()) {
        const QString path = m_dir.filePath(u"%1-%2.pdf"_s.arg(++index).arg(damaged.name));
        testsupport::writeBytes(path, damaged.bytes);
        QTest::newRow(qPrintable(damaged.name))
            << path << int(damaged.expect) << damaged.outlineOnly;
    }
}

void TestDamaged::everyOperation()
{
    QFETCH(QString, path);
    QFETCH(int, expect);
    QFETCH(bool, outlineOnly);
    testsupport::SourceGuard guard;
    guard.add(path);
    QTemporaryDir out;
    const QList<QJsonObject> extras{
        {{u"operation"_s, u"merge"_s}},
        {{u"operation"_s, u"split"_s}, {u"group"_s, 1}},
        {{u"operation"_s, u"extract"_s}, {u"pages"_s, u"1"_s}},
        {{u"operation"_s, u"rotate"_s}},
        {{u"operation"_s, u"optimize"_s}},
        {{u"operation"_s, u"compress"_s}, {u"compressLevel"_s, u"small"_s}},
        {{u"operation"_s, u"encrypt"_s}, {u"newPassword"_s, u"pw"_s}},
        {{u"operation"_s, u"decrypt"_s}},
        {{u"operation"_s, u"ocr"_s},
         {u"ocrLanguage"_s, u"eng"_s},
         {u"ocrDpi"_s, 150},
         {u"ocrModels"_s, m_models.path()}},
    };
    for (QJsonObject request : extras.mid(0, outlineOnly ? 3 : extras.size())) {
        const bool merge = request.value(u"operation"_s) == u"merge"_s;
        request.insert(u"inputs"_s, merge ? QJsonArray{m_good, path} : QJsonArray{path});
        request.insert(u"output"_s, out.path());
        const testsupport::WorkerRun run = testsupport::runWorker(request, 60000);
        const QString what = request.value(u"operation"_s).toString();
        QVERIFY2(!run.crashed, qPrintable(what + u" crashed or hung"_s));
        QVERIFY2(run.exitCode == 0 || run.exitCode == 1, qPrintable(what));
        const QString error = run.result.value(u"error"_s).toString();
        // A readable file without a password needs no removal: skipped, nothing written.
        const bool skipped = run.result.value(u"skipped"_s).toBool();
        if (what == u"decrypt"_s && (Expect(expect) == Expect::Succeed || skipped)) {
            QCOMPARE(error, u"文件未加密，无需处理。"_s);
            QVERIFY(skipped);
            QCOMPARE(run.exitCode, 0);
            continue;
        }
        QCOMPARE(run.exitCode, Expect(expect) == Expect::Succeed  ? 0
                               : Expect(expect) == Expect::Refuse ? 1
                                                                  : run.exitCode);
        if (run.exitCode == 1) {
            // The user reads Chinese first; a library's English may only follow.
            QVERIFY2(error.section(u'\n', 0, 0).contains(QRegularExpression(u"\\p{Han}"_s)),
                     qPrintable(what + u": "_s + error));
            // A merge names the file first.
            if (Expect(expect) == Expect::Refuse)
                QVERIFY2(QString(error)
                             .remove(QRegularExpression(u"^“[^”]+”："_s))
                             .startsWith(u"无法读取 PDF"_s),
                         qPrintable(error));
            continue;
        }
        const QString output = run.result.value(u"output"_s).toString();
        const QStringList files = QFileInfo(output).isDir()
                                      ? testsupport::folderEntries(output)
                                      : QStringList{QFileInfo(output).fileName()};
        const QString folder = QFileInfo(output).isDir() ? output : QFileInfo(output).path();
        for (const QString& file : files) {
            const QString written = folder + u'/' + file;
            if (what == u"encrypt"_s)
                continue; // qpdf --check needs the password; opening it is checked below
            QVERIFY2(testsupport::qpdfCheckClean(written), qPrintable(what + u": "_s + written));
        }
        if (what == u"encrypt"_s)
            QVERIFY(testsupport::inspectPdf(output, "pw").opened);
    }
    QVERIFY(testsupport::folderEntries(out.path()).filter(u".quorvin-batch-"_s).isEmpty());
    QVERIFY(guard.unchanged());
}

QTEST_MAIN(TestDamaged)
#include "tst_damaged.moc"

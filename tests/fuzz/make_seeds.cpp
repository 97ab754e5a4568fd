// Writes the seed corpora of the fuzz targets: generated PDFs of every kind the
// tests know, requests of every operation, and page range texts.
#include "testsupport.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>

using namespace Qt::StringLiterals;

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    const QDir root(QString::fromLocal8Bit(argv[1]));
    for (const QString& name :
         {u"request"_s, u"pageranges"_s, u"admission"_s, u"operate"_s, u"contentnames"_s,
          u"imageencode"_s, u"jbig2"_s, u"fax"_s, u"mrc"_s})
        root.mkpath(name);
    int c = 0;
    for (const char* content :
         {"BT /F1 12 Tf (a) Tj ET", "q 1 0 0 1 0 0 cm /Im Do Q", "/F#231 /Im#", "(/F1) /F1/Im",
          "BI /W 1 /H 1 /CS /G /BPC 8 ID \x80 EI /F1 Tf"})
        testsupport::writeBytes(root.filePath(u"contentnames/seed%1"_s.arg(++c)), content);
    // Layout bytes (components, bits, width, permissions) then samples.
    for (const QByteArray& head :
         {QByteArray("\x02\x02\x05\x07", 4), QByteArray("\x04\x01\x0b\x07", 4),
          QByteArray("\x00\x03\x10\x07", 4)}) {
        QByteArray seed = head;
        for (int i = 0; i < 400; ++i)
            seed += char(i * 7 / 5);
        testsupport::writeBytes(root.filePath(u"imageencode/seed%1"_s.arg(++c)), seed);
    }

    // Width and height (little-endian), then the rows: text-like strokes, noise.
    for (const QByteArray& head :
         {QByteArray("\x50\x00\x20\x00", 4), QByteArray("\x07\x00\x01\x00", 4)}) {
        QByteArray seed = head;
        for (int i = 0; i < 640; ++i)
            seed += char(i % 37 < 30 ? 0xFF : i * 13);
        testsupport::writeBytes(root.filePath(u"jbig2/seed%1"_s.arg(++c)), seed);
    }

    // Parameters (K and flags, columns, rows), then codes: white and black
    // runs, an end-of-line code, vertical modes.
    for (const QByteArray& seed : {QByteArray("\x01\x40\x00\x08\x00\x1\x35\x98\xd4\x00\x10", 11),
                                   QByteArray("\x00\x40\x00\x08\x80\x80\xa5\x5a\x00\x01\xff", 11)})
        testsupport::writeBytes(root.filePath(u"fax/seed%1"_s.arg(++c)), seed);

    // Components and width, scales, then a page: paper, strokes and a dark block.
    for (const QByteArray& head :
         {QByteArray("\x00\x20\x05\x10", 4), QByteArray("\x01\x40\x0a\x03", 4)}) {
        QByteArray seed = head;
        const int width = 32 + static_cast<unsigned char>(head[1]) % 96;
        const int components = head[0] & 1 ? 3 : 1;
        for (int y = 0; y < 64; ++y)
            for (int x = 0; x < width * components; ++x)
                seed += char(y > 40 && x < 24 ? 40 : (x + y) % 11 == 0 ? 20 : 235);
        testsupport::writeBytes(root.filePath(u"mrc/seed%1"_s.arg(++c)), seed);
    }

    const QList<testsupport::PdfRecipe> recipes{
        {},
        {.pages = 3, .rotations = {90, 0, 270}},
        {.pages = 2, .inheritedRotate = 180},
        {.emptyAcroForm = true},
        {.unsignedField = true},
        {.pages = 2, .duplicateImages = true},
        {.pages = 2, .objectStreams = true},
        {.encryption = testsupport::Encryption::R4Aes128, .ownerPassword = "o"},
    };
    int n = 0;
    for (const testsupport::PdfRecipe& recipe : recipes) {
        const QByteArray bytes = testsupport::makePdf(recipe);
        ++n;
        for (const QString& target : {u"admission"_s, u"operate"_s})
            testsupport::writeBytes(root.filePath(target + u"/seed%1.pdf"_s.arg(n)), bytes);
    }

    const QStringList operations{u"merge"_s, u"split"_s,    u"extract"_s, u"rotate"_s,
                                 u"ocr"_s,   u"optimize"_s, u"encrypt"_s, u"decrypt"_s};
    for (const QString& operation : operations) {
        const QJsonObject request{{u"operation"_s, operation},
                                  {u"inputs"_s, QJsonArray{u"/tmp/a.pdf"_s, u"/tmp/b.pdf"_s}},
                                  {u"output"_s, u"/tmp"_s},
                                  {u"pages"_s, u"1-3,5"_s},
                                  {u"group"_s, 2},
                                  {u"degrees"_s, 90},
                                  {u"password"_s, QString()},
                                  {u"newPassword"_s, u"pw"_s},
                                  {u"ocrLanguage"_s, u"eng"_s},
                                  {u"ocrDpi"_s, 300},
                                  {u"ocrModels"_s, u"/tmp"_s},
                                  {u"ocrSkipText"_s, true}};
        testsupport::writeBytes(root.filePath(u"request/"_s + operation + u".json"_s),
                                QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n');
    }
    int r = 0;
    for (const char* text : {"1-3,5", " 2 - 4 ", "1,", "0", "99999999999", "5,1-3", "1，2", ""}) {
        QByteArray seed("\x0a\x00\x00\x00", 4);
        seed += text;
        testsupport::writeBytes(root.filePath(u"pageranges/seed%1"_s.arg(++r)), seed);
    }
    return 0;
}

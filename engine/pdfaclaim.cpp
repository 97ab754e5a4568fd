// A PDF/A claim that a changed document may no longer meet. Parts 1 to 3 are
// PDF 1.4 and 1.7 files; level A wants all content tagged, which a text layer
// added without structure is not. A claim that no longer holds is narrowed
// to what still does, or withdrawn, rather than carried on as a false promise.
#include "engine/pdfdocument.h"

#include <qpdf/QPDF.hh>

#include <QRegularExpression>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

// "1.4" < "1.7" < "2.0", as PDF versions compare.
bool versionAbove(const std::string& version, const std::string& limit)
{
    return QByteArray::fromStdString(version).toDouble() >
           QByteArray::fromStdString(limit).toDouble() + 1e-9;
}

// The value of an XMP property written as an attribute or as an element.
QRegularExpression property(const QString& name)
{
    return QRegularExpression(u"(%1\\s*=\\s*[\"'])([^\"']*)([\"'])|(<%1>)([^<]*)(</%1>)"_s.arg(
        QRegularExpression::escape(name)));
}

QString propertyValue(const QString& xmp, const QString& name)
{
    const QRegularExpressionMatch match = property(name).match(xmp);
    if (!match.hasMatch())
        return QString();
    return (match.capturedLength(2) > 0 ? match.captured(2) : match.captured(5)).trimmed();
}

QString withProperty(QString xmp, const QString& name, const QString& value)
{
    return xmp.replace(property(name), u"\\1\\4"_s + value + u"\\3\\6"_s);
}

QString withoutProperty(QString xmp, const QString& name)
{
    return xmp.remove(property(name));
}

// The catalogue's XMP metadata; empty when there is none we can read, which
// makes no claim we could check.
QString metadataOf(const PdfDocument& document)
{
    QPDFObjectHandle metadata = document.pdf().getRoot().getKey("/Metadata");
    if (!metadata.isStream())
        return QString();
    try {
        const std::shared_ptr<Buffer> data = metadata.getStreamData(qpdf_dl_generalized);
        return QString::fromUtf8(reinterpret_cast<const char*>(data->getBuffer()),
                                 qsizetype(data->getSize()));
    } catch (const std::exception&) {
        return QString();
    }
}

} // namespace

int pdfaPart(const PdfDocument& document)
{
    return propertyValue(metadataOf(document), u"pdfaid:part"_s).toInt();
}

QString settlePdfaClaim(PdfDocument& document, bool untaggedContentAdded)
{
    QString xmp = metadataOf(document);
    QPDFObjectHandle metadata = document.pdf().getRoot().getKey("/Metadata");
    const QString part = propertyValue(xmp, u"pdfaid:part"_s);
    if (part.isEmpty())
        return QString();
    const QString level = propertyValue(xmp, u"pdfaid:conformance"_s).toUpper();

    std::string version = document.pdfVersion();
    for (const std::string& minimum : document.minimumVersions())
        version = versionAbove(minimum, version) ? minimum : version;
    const std::string limit = part == u"1"_s ? "1.4" : (part == u"4"_s ? "2.0" : "1.7");
    QString note;
    if (versionAbove(version, limit)) {
        for (const char16_t* name :
             {u"pdfaid:part", u"pdfaid:conformance", u"pdfaid:amd", u"pdfaid:rev", u"pdfaid:corr"})
            xmp = withoutProperty(xmp, QString::fromUtf16(name));
        note = u"源文件声明符合 PDF/A-%1，结果需要 PDF %2，已去掉该声明。"_s.arg(
            part + level, QString::fromStdString(version));
    } else if (untaggedContentAdded && level == u"A"_s) {
        // Everything but the tagging still holds: part 1 falls back to B,
        // the later parts to U, as the layer's text maps to Unicode.
        const QString lower = part == u"1"_s ? u"B"_s : u"U"_s;
        xmp = withProperty(xmp, u"pdfaid:conformance"_s, lower);
        note =
            u"文字层没有标记结构，PDF/A-%1 声明改为 PDF/A-%2。"_s.arg(part + level, part + lower);
    } else {
        return QString();
    }
    metadata.replaceStreamData(xmp.toStdString(), QPDFObjectHandle::newNull(),
                               QPDFObjectHandle::newNull());
    return note;
}

} // namespace batch

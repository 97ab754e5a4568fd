// A reconstructed job as a WordprocessingML package: one section per page at
// its exact size, each text block an absolutely positioned text box, each
// picture an absolutely positioned image.
#include "ocr/export/layout.h"

#include <QBuffer>
#include <QFile>

#include <archive.h>
#include <archive_entry.h>

#include <memory>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

const QString wordNs = u"http://schemas.openxmlformats.org/wordprocessingml/2006/main"_s;
const QString relNs = u"http://schemas.openxmlformats.org/officeDocument/2006/relationships"_s;
const QString packageRelNs = u"http://schemas.openxmlformats.org/package/2006/relationships"_s;

const QByteArray contentTypes =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Types "
    "xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\"><Default "
    "Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
    "<Default Extension=\"xml\" ContentType=\"application/xml\"/><Default Extension=\"png\" "
    "ContentType=\"image/png\"/><Override PartName=\"/word/document.xml\" "
    "ContentType=\"application/"
    "vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml\"/></Types>";

const QByteArray packageRelationships =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Relationships "
    "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\"><Relationship "
    "Id=\"rId1\" "
    "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument\" "
    "Target=\"word/document.xml\"/></Relationships>";

int twips(double points)
{
    return qRound(points * 20);
}

QString twoDecimals(double points)
{
    return QString::number(points, 'f', 2);
}

struct ArchiveDeleter
{
    void operator()(archive* a) const { archive_write_free(a); }
};
struct EntryDeleter
{
    void operator()(archive_entry* e) const { archive_entry_free(e); }
};

// The archive goes to a file Qt opened, whatever characters its path holds:
// libarchive's narrow file names are in the ANSI code page on Windows.
la_ssize_t writeToFile(archive*, void* file, const void* buffer, size_t length)
{
    return la_ssize_t(
        static_cast<QFile*>(file)->write(static_cast<const char*>(buffer), qint64(length)));
}

QString archiveError(archive* a)
{
    const char* text = archive_error_string(a);
    return text ? QString::fromUtf8(text) : QString();
}

bool writeZipEntry(archive* zip, const QString& path, const QByteArray& data, QString& error)
{
    const std::unique_ptr<archive_entry, EntryDeleter> entry{archive_entry_new()};
    if (!entry) {
        error = u"无法分配 DOCX ZIP 条目。"_s;
        return false;
    }
    archive_entry_set_pathname_utf8(entry.get(), path.toUtf8().constData());
    archive_entry_set_size(entry.get(), data.size());
    archive_entry_set_filetype(entry.get(), AE_IFREG);
    archive_entry_set_perm(entry.get(), 0644);
    if (archive_write_header(zip, entry.get()) != ARCHIVE_OK) {
        error = archiveError(zip);
        return false;
    }
    qsizetype written = 0;
    while (written < data.size()) {
        const la_ssize_t result = archive_write_data(zip, data.constData() + written,
                                                     static_cast<size_t>(data.size() - written));
        if (result <= 0) {
            error = archiveError(zip);
            return false;
        }
        written += result;
    }
    return true;
}

} // namespace

QString xmlText(const QString& text)
{
    QString kept;
    kept.reserve(text.size());
    for (const QChar c : text) {
        if (c.unicode() > 31 || c == u'\t' || c == u'\n' || c == u'\r')
            kept.append(c);
    }
    return kept.toHtmlEscaped();
}

QString shapeStyle(const QRectF& box)
{
    return u"position:absolute;margin-left:%1pt;margin-top:%2pt;width:%3pt;height:%4pt;"
           u"mso-position-horizontal-relative:page;mso-position-vertical-relative:page;"
           u"mso-wrap-style:none;z-index:1"_s.arg(twoDecimals(box.x()), twoDecimals(box.y()),
                                                  twoDecimals(box.width()),
                                                  twoDecimals(box.height()));
}

QString sectionProperties(const QSizeF& pageSize, bool notLast)
{
    return u"<w:sectPr>%1<w:pgSz w:w=\"%2\" w:h=\"%3\"/><w:pgMar w:top=\"0\" w:right=\"0\" "
           u"w:bottom=\"0\" w:left=\"0\" w:header=\"0\" w:footer=\"0\" w:gutter=\"0\"/></w:sectPr>"_s
               .arg(notLast ? u"<w:type w:val=\"nextPage\"/>"_s : QString(),
                    QString::number(twips(pageSize.width())),
                    QString::number(twips(pageSize.height())));
}

bool writeDocx(const QList<PageLayout>& pages, const QString& outputPath, const QString& fontFamily,
               const CancelTest& isCancelled, QString& error)
{
    const auto cancelled = [&isCancelled] {
        return isCancelled && isCancelled();
    };
    if (pages.isEmpty()) {
        error = u"没有可重建的页面。"_s;
        return false;
    }
    QString document = u"<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?><w:document "
                       u"xmlns:w=\""_s +
                       wordNs + u"\" xmlns:r=\""_s + relNs +
                       u"\" xmlns:v=\"urn:schemas-microsoft-com:vml\" "
                       u"xmlns:o=\"urn:schemas-microsoft-com:office:office\"><w:body>"_s;
    QString relationships = u"<?xml version=\"1.0\" encoding=\"UTF-8\"?><Relationships xmlns=\""_s +
                            packageRelNs + u"\">"_s;
    const QString font = xmlText(fontFamily);
    int shapes = 0;
    int fitTexts = 0;
    int images = 0;
    QList<std::pair<QString, QByteArray>> media;

    for (qsizetype p = 0; p < pages.size(); ++p) {
        if (cancelled())
            return false;
        const PageLayout& page = pages.at(p);
        document += u"<w:p><w:pPr><w:spacing w:before=\"0\" w:after=\"0\" w:line=\"20\" "
                    u"w:lineRule=\"exact\"/>"_s;
        if (p + 1 < pages.size())
            document += sectionProperties(page.pageSize, true);
        document += u"</w:pPr>"_s;

        for (const TextBlock& block : page.blocks) {
            if (cancelled())
                return false;
            QRectF box = block.box;
            box.setHeight(
                std::min(block.box.height() + 4, page.pageSize.height() - block.box.top()));
            document += u"<w:r><w:pict><v:rect id=\"text%1\" style=\"%2\" filled=\"f\" "
                        u"stroked=\"f\"><v:textbox inset=\"0,0,0,0\"><w:txbxContent>"_s.arg(
                            QString::number(++shapes), shapeStyle(box));
            double previousBottom = block.box.top();
            for (const TextLine& line : block.lines) {
                document +=
                    u"<w:p><w:pPr><w:spacing w:before=\"%7\" w:after=\"0\" w:line=\"%1\" "
                    u"w:lineRule=\"exact\"/><w:ind w:left=\"%2\"/><w:jc w:val=\"left\"/></w:pPr>"
                    u"<w:r><w:rPr><w:rFonts w:ascii=\"%3\" w:hAnsi=\"%3\" w:eastAsia=\"%3\"/>"
                    u"<w:sz w:val=\"%4\"/><w:szCs w:val=\"%4\"/>%5%6<w:fitText w:val=\"%8\" "
                    u"w:id=\"%9\"/></w:rPr><w:t xml:space=\"preserve\">%10</w:t></w:r></w:p>"_s
                        .arg(QString::number(twips(line.box.height())),
                             QString::number(
                                 twips(std::max(line.box.left() - block.box.left(), 0.0))),
                             font, QString::number(qRound(line.fontSize * 2)),
                             line.bold ? u"<w:b/>"_s : QString(),
                             line.italic ? u"<w:i/>"_s : QString(),
                             QString::number(twips(std::max(line.box.top() - previousBottom, 0.0))),
                             QString::number(std::max(twips(line.box.width()), 1)),
                             QString::number(++fitTexts))
                        .replace(u"%10"_s, xmlText(line.text));
                previousBottom = line.box.bottom();
            }
            document += u"</w:txbxContent></v:textbox></v:rect></w:pict></w:r>"_s;
        }

        for (const ImageRegion& region : page.images) {
            if (cancelled())
                return false;
            QByteArray png;
            QBuffer buffer(&png);
            if (!buffer.open(QIODevice::WriteOnly) || !region.image.save(&buffer, "PNG")) {
                error = u"无法编码图片。"_s;
                return false;
            }
            const QString number = QString::number(++images);
            const QString relationshipId = u"rId"_s + number;
            const QString mediaName = u"image"_s + number + u".png"_s;
            media.append({u"word/media/"_s + mediaName, png});
            relationships +=
                u"<Relationship Id=\"%1\" Type=\"%3/image\" Target=\"media/%2\"/>"_s.arg(
                    relationshipId, mediaName, relNs);
            document +=
                u"<w:r><w:pict><v:rect id=\"image%1\" style=\"%2\" stroked=\"f\">"
                u"<v:imagedata r:id=\"%3\" o:title=\"OCR image\"/></v:rect></w:pict></w:r>"_s.arg(
                    QString::number(++shapes), shapeStyle(region.box), relationshipId);
        }
        document += u"<w:r><w:rPr><w:sz w:val=\"2\"/></w:rPr><w:t></w:t></w:r></w:p>"_s;
    }
    document += sectionProperties(pages.last().pageSize, false) + u"</w:body></w:document>"_s;
    relationships += u"</Relationships>"_s;

    QFile output(outputPath); // outlives the archive, which writes to it until freed
    const std::unique_ptr<archive, ArchiveDeleter> zip{archive_write_new()};
    if (!zip || archive_write_set_format_zip(zip.get()) != ARCHIVE_OK) {
        error = u"无法初始化 DOCX ZIP。"_s;
        return false;
    }
    if (!output.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        error = output.errorString();
        return false;
    }
    // No padding of the last block, which libarchive adds for tapes and pipes.
    if (archive_write_set_bytes_in_last_block(zip.get(), 1) != ARCHIVE_OK ||
        archive_write_open2(zip.get(), &output, nullptr, writeToFile, nullptr, nullptr) !=
            ARCHIVE_OK) {
        error = archiveError(zip.get());
        return false;
    }
    QList<std::pair<QString, QByteArray>> entries{
        {u"[Content_Types].xml"_s, contentTypes},
        {u"_rels/.rels"_s, packageRelationships},
        {u"word/document.xml"_s, document.toUtf8()},
        {u"word/_rels/document.xml.rels"_s, relationships.toUtf8()},
    };
    entries.append(media);
    bool ok = true;
    for (const auto& [path, data] : entries) {
        if (cancelled() || !writeZipEntry(zip.get(), path, data, error)) {
            ok = false;
            break;
        }
    }
    if (archive_write_close(zip.get()) != ARCHIVE_OK && ok) {
        error = archiveError(zip.get());
        ok = false;
    }
    if (!output.flush() && ok) {
        error = output.errorString();
        ok = false;
    }
    output.close();
    if (!ok)
        QFile::remove(outputPath);
    return ok;
}

} // namespace batch

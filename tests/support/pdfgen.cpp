#include "formxobject.h"
#include "testsupport.h"

#include <QFile>

#include <qpdf/Pl_Buffer.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFAcroFormDocumentHelper.hh>
#include <qpdf/QPDFNameTreeObjectHelper.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageLabelDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>
#include <qpdf/QPDFWriter.hh>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <stdexcept>
#include <vector>
#include <zlib.h>

using namespace Qt::StringLiterals;

namespace testsupport {

namespace {

QPDFObjectHandle makeSignatureField(QPDF& pdf, QPDFObjectHandle page, bool withValue)
{
    QPDFObjectHandle field = QPDFObjectHandle::parse(
        "<< /FT /Sig /T (Signature1) /Type /Annot /Subtype /Widget /Rect [0 0 0 0] /F 132 >>");
    field.replaceKey("/P", page);
    if (withValue) {
        field.replaceKey("/V", pdf.makeIndirectObject(QPDFObjectHandle::parse(
                                   "<< /Type /Sig /Filter /Adobe.PPKLite /SubFilter "
                                   "/adbe.pkcs7.detached /ByteRange [0 10 20 30] "
                                   "/Contents <0011223344> >>")));
    }
    return pdf.makeIndirectObject(field);
}

QPDFObjectHandle makeImage(QPDF& pdf)
{
    std::string pixels;
    for (int i = 0; i < 64 * 64; ++i)
        pixels += static_cast<char>((i * 7) % 251);
    QPDFObjectHandle image = pdf.newStream(pixels);
    image.replaceDict(QPDFObjectHandle::parse("<< /Type /XObject /Subtype /Image /Width 64 "
                                              "/Height 64 /ColorSpace /DeviceGray "
                                              "/BitsPerComponent 8 >>"));
    return image;
}

// The recipe's protection, with its restrictions, on whatever `writer` writes.
void applyEncryption(QPDFWriter& writer, const PdfRecipe& recipe)
{
    const char* user = recipe.userPassword.c_str();
    const char* owner = recipe.ownerPassword.c_str();
    const bool modify = recipe.allowModify;
    switch (recipe.encryption) {
    case Encryption::None:
        break;
    case Encryption::R2Rc4:
        writer.setR2EncryptionParametersInsecure(user, owner, true, modify, recipe.allowExtract,
                                                 modify);
        break;
    case Encryption::R3Rc4:
        writer.setR3EncryptionParametersInsecure(user, owner, true, recipe.allowExtract,
                                                 recipe.allowAssemble, modify, modify, modify,
                                                 qpdf_r3p_full);
        break;
    case Encryption::R4Aes128:
        writer.setR4EncryptionParametersInsecure(user, owner, true, recipe.allowExtract,
                                                 recipe.allowAssemble, modify, modify, modify,
                                                 qpdf_r3p_full, true, true);
        break;
    case Encryption::R6Aes256:
        writer.setR6EncryptionParameters(user, owner, true, recipe.allowExtract,
                                         recipe.allowAssemble, modify, modify, modify,
                                         qpdf_r3p_full, true);
        break;
    }
}

QPDFObjectHandle outlineItem(QPDF& pdf, const std::string& title, QPDFObjectHandle parent)
{
    QPDFObjectHandle item = pdf.makeIndirectObject(QPDFObjectHandle::newDictionary());
    item.replaceKey("/Title", QPDFObjectHandle::newUnicodeString(title));
    item.replaceKey("/Parent", parent);
    return item;
}

void chain(QPDFObjectHandle parent, std::vector<QPDFObjectHandle> items)
{
    parent.replaceKey("/First", items.front());
    parent.replaceKey("/Last", items.back());
    for (size_t i = 0; i + 1 < items.size(); ++i) {
        items[i].replaceKey("/Next", items[i + 1]);
        items[i + 1].replaceKey("/Prev", items[i]);
    }
}

QPDFObjectHandle link(QPDFObjectHandle target, double y)
{
    QPDFObjectHandle annotation =
        QPDFObjectHandle::parse("<< /Type /Annot /Subtype /Link /Border [0 0 0] /Rect [72 " +
                                std::to_string(y) + " 200 " + std::to_string(y + 20) + "] >>");
    if (target.isDictionary() && target.hasKey("/S"))
        annotation.replaceKey("/A", target);
    else
        annotation.replaceKey("/Dest", target);
    return annotation;
}

void addOutline(QPDF& pdf, const std::vector<QPDFPageObjectHelper>& pages,
                const QStringList& entries)
{
    QPDFObjectHandle outlines =
        pdf.makeIndirectObject(QPDFObjectHandle::parse("<< /Type /Outlines >>"));
    // The open item of each level, and the children each has so far.
    std::vector<QPDFObjectHandle> parents{outlines};
    std::map<QPDFObjGen, std::vector<QPDFObjectHandle>> children;
    for (const QString& entry : entries) {
        const QStringList fields = entry.split(u'|');
        const size_t level = size_t(std::max(1, fields.value(0).toInt()));
        parents.resize(std::min(parents.size(), level));
        QPDFObjectHandle item = outlineItem(pdf, fields.value(1).toStdString(), parents.back());
        const int page = fields.value(2).toInt();
        if (page > 0)
            item.replaceKey(
                "/Dest", QPDFObjectHandle::newArray({pages.at(size_t(page - 1)).getObjectHandle(),
                                                     QPDFObjectHandle::newName("/Fit")}));
        else
            item.replaceKey("/A",
                            QPDFObjectHandle::parse("<< /S /URI /URI (https://example.org/) >>"));
        children[parents.back().getObjGen()].push_back(item);
        parents.push_back(item);
    }
    for (auto& [parent, items] : children)
        chain(pdf.getObject(parent), items);
    pdf.getRoot().replaceKey("/Outlines", outlines);
}

// Every kind of destination a viewer follows, on the first four pages.
void addNavigation(QPDF& pdf, const std::vector<QPDFPageObjectHelper>& pages,
                   const std::string& marker)
{
    const auto page = [&](size_t i) {
        return pages.at(i).getObjectHandle();
    };
    const auto fit = [&](size_t i) {
        return QPDFObjectHandle::newArray({page(i), QPDFObjectHandle::newName("/Fit")});
    };
    QPDFObjectHandle root = pdf.getRoot();
    QPDFObjectHandle outlines =
        pdf.makeIndirectObject(QPDFObjectHandle::parse("<< /Type /Outlines /Count 3 >>"));
    QPDFObjectHandle first = outlineItem(pdf, marker + " 1", outlines);
    QPDFObjectHandle second = outlineItem(pdf, marker + " 2", outlines);
    first.replaceKey("/Dest", fit(0));
    first.replaceKey("/Count", QPDFObjectHandle::newInteger(1));
    QPDFObjectHandle section = outlineItem(pdf, marker + " 1.1", first);
    section.replaceKey("/Dest", QPDFObjectHandle::newString("sec11"));
    chain(first, {section});
    second.replaceKey("/Dest", QPDFObjectHandle::newName("/ch2"));
    second.replaceKey("/Count", QPDFObjectHandle::newInteger(-1));
    second.replaceKey("/C", QPDFObjectHandle::parse("[1 0 0]"));
    QPDFObjectHandle deep = outlineItem(pdf, marker + " 2.1", second);
    deep.replaceKey("/A", QPDFObjectHandle::newDictionary());
    deep.getKey("/A").replaceKey("/S", QPDFObjectHandle::newName("/GoTo"));
    deep.getKey("/A").replaceKey("/D", fit(3));
    chain(second, {deep});
    // Bookmarks that lead nowhere in the document, or only through a child.
    const auto action = [&](const std::string& title, const std::string& dictionary) {
        QPDFObjectHandle item = outlineItem(pdf, marker + " " + title, outlines);
        item.replaceKey("/A", QPDFObjectHandle::parse(dictionary));
        return item;
    };
    QPDFObjectHandle part = outlineItem(pdf, marker + " part", outlines);
    part.replaceKey("/Count", QPDFObjectHandle::newInteger(1));
    QPDFObjectHandle partChild = outlineItem(pdf, marker + " part.1", part);
    partChild.replaceKey("/Dest", fit(2));
    chain(part, {partChild});
    chain(outlines, {first, second, action("web", "<< /S /URI /URI (https://example.org/) >>"),
                     action("next", "<< /S /Named /N /NextPage >>"),
                     action("remote", "<< /S /GoToR /F (other.pdf) /D [0 /Fit] >>"), part});
    root.replaceKey("/Outlines", outlines);
    root.replaceKey("/PageMode", QPDFObjectHandle::newName("/UseOutlines"));

    QPDFObjectHandle names = QPDFObjectHandle::parse("<< /Dests << /Names [] >> >>");
    names.getKey("/Dests").getKey("/Names").appendItem(QPDFObjectHandle::newString("sec11"));
    names.getKey("/Dests").getKey("/Names").appendItem(fit(1));
    root.replaceKey("/Names", names);
    root.replaceKey("/Dests", QPDFObjectHandle::newDictionary());
    root.getKey("/Dests").replaceKey("/ch2", fit(2));

    QPDFObjectHandle byNumber = QPDFObjectHandle::parse("[0 /Fit]");
    QPDFObjectHandle links = QPDFObjectHandle::newArray();
    for (const auto& [target, y] :
         {std::pair{fit(3), 600}, {QPDFObjectHandle::newName("/ch2"), 500}, {byNumber, 400}}) {
        QPDFObjectHandle annotation = link(target, y);
        annotation.replaceKey("/P", page(1));
        links.appendItem(pdf.makeIndirectObject(annotation));
    }
    page(1).replaceKey("/Annots", links);
    root.replaceKey("/PageLabels",
                    QPDFObjectHandle::parse("<< /Nums [0 << /S /r /P (A-) >> 2 << /S /D >>] >>"));
}

void addTextField(QPDF& pdf, QPDFObjectHandle page, const PdfRecipe& recipe)
{
    QPDFObjectHandle field = pdf.makeIndirectObject(QPDFObjectHandle::parse(
        "<< /FT /Tx /Type /Annot /Subtype /Widget /Rect [72 500 300 530] /F 4 "
        "/DA (/Helv 12 Tf 0 g) >>"));
    field.replaceKey("/T",
                     QPDFObjectHandle::newUnicodeString(
                         (recipe.textField.isEmpty() ? QStringLiteral("field") : recipe.textField)
                             .toStdString()));
    field.replaceKey("/V", QPDFObjectHandle::newUnicodeString(recipe.marker.toStdString()));
    field.replaceKey("/P", page);
    QPDFObjectHandle annotations = page.getKey("/Annots");
    if (!annotations.isArray()) {
        annotations = QPDFObjectHandle::newArray();
        page.replaceKey("/Annots", annotations);
    }
    annotations.appendItem(field);
    QPDFObjectHandle form =
        QPDFObjectHandle::parse("<< /DA (/Helv 0 Tf 0 g) /NeedAppearances true >>");
    form.replaceKey("/Fields", QPDFObjectHandle::newArray({field}));
    form.replaceKey("/DR", QPDFObjectHandle::parse("<< /Font << >> >>"));
    form.getKey("/DR").getKey("/Font").replaceKey(
        "/Helv", pdf.makeIndirectObject(QPDFObjectHandle::parse(
                     "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>")));
    if (recipe.xfa)
        form.replaceKey("/XFA", pdf.newStream("<xdp:xdp xmlns:xdp=\"http://ns.adobe.com/xdp/\"/>"));
    pdf.getRoot().replaceKey("/AcroForm", pdf.makeIndirectObject(form));
}

QPDFObjectHandle widget(QPDF& pdf, QPDFObjectHandle parent, QPDFObjectHandle page, int y)
{
    QPDFObjectHandle kid = pdf.makeIndirectObject(
        QPDFObjectHandle::parse("<< /Type /Annot /Subtype /Widget /F 4 /Rect [72 " +
                                std::to_string(y) + " 300 " + std::to_string(y + 30) + "] >>"));
    kid.replaceKey("/Parent", parent);
    kid.replaceKey("/P", page);
    QPDFObjectHandle annotations = page.getKey("/Annots");
    if (!annotations.isArray()) {
        annotations = QPDFObjectHandle::newArray();
        page.replaceKey("/Annots", annotations);
    }
    annotations.appendItem(kid);
    parent.getKey("/Kids").appendItem(kid);
    return kid;
}

void addFieldsAcrossPages(QPDF& pdf, const std::vector<QPDFPageObjectHelper>& pages,
                          const PdfRecipe& recipe)
{
    QPDFObjectHandle name = pdf.makeIndirectObject(
        QPDFObjectHandle::parse("<< /FT /Tx /T (name) /DA (/Helv 12 Tf 0 g) /Kids [] >>"));
    name.replaceKey("/V", QPDFObjectHandle::newUnicodeString(recipe.marker.toStdString()));
    QPDFObjectHandle choice = pdf.makeIndirectObject(
        QPDFObjectHandle::parse("<< /FT /Btn /Ff 49152 /T (choice) /V /b /Kids [] >>"));
    for (size_t i = 0; i < 2; ++i) {
        QPDFObjectHandle page = pages.at(i).getObjectHandle();
        widget(pdf, name, page, 400);
        QPDFObjectHandle button = widget(pdf, choice, page, 300);
        const std::string state = i == 0 ? "/a" : "/b";
        button.replaceKey("/AS", QPDFObjectHandle::newName(i == 0 ? "/Off" : "/b"));
        button.replaceKey("/AP",
                          QPDFObjectHandle::parse("<< /N << " + state + " null /Off null >> >>"));
    }
    QPDFObjectHandle first = pages.front().getObjectHandle();
    QPDFObjectHandle go = pdf.makeIndirectObject(
        QPDFObjectHandle::parse("<< /FT /Btn /Ff 65536 /T (go) /Type /Annot /Subtype /Widget /F 4 "
                                "/Rect [72 200 200 230] /A << /S /GoTo /D (formtarget) >> >>"));
    go.replaceKey("/P", first);
    first.getKey("/Annots").appendItem(go);
    QPDFObjectHandle root = pdf.getRoot();
    if (!root.getKey("/Names").isDictionary())
        root.replaceKey("/Names", QPDFObjectHandle::parse("<< /Dests << /Names [] >> >>"));
    QPDFObjectHandle named = root.getKey("/Names").getKey("/Dests").getKey("/Names");
    named.appendItem(QPDFObjectHandle::newString("formtarget"));
    named.appendItem(QPDFObjectHandle::newArray(
        {pages.at(1).getObjectHandle(), QPDFObjectHandle::newName("/Fit")}));
    QPDFObjectHandle form = QPDFObjectHandle::parse("<< /NeedAppearances true >>");
    form.replaceKey("/Fields", QPDFObjectHandle::newArray({name, choice, go}));
    form.replaceKey("/CO", QPDFObjectHandle::newArray({name}));
    root.replaceKey("/AcroForm", pdf.makeIndirectObject(form));
}

void addHiddenLayer(QPDF& pdf, QPDFObjectHandle page)
{
    QPDFObjectHandle layer =
        pdf.makeIndirectObject(QPDFObjectHandle::parse("<< /Type /OCG /Name (Hidden) >>"));
    QPDFObjectHandle properties = QPDFObjectHandle::newDictionary();
    properties.replaceKey("/oc1", layer);
    page.getKey("/Resources").replaceKey("/Properties", properties);
    QPDFPageObjectHelper(page).addPageContents(
        pdf.newStream("/OC /oc1 BDC 0 g 100 100 200 200 re f EMC\n"), false);
    QPDFObjectHandle config = QPDFObjectHandle::newDictionary();
    config.replaceKey("/OFF", QPDFObjectHandle::newArray({layer}));
    config.replaceKey("/Order", QPDFObjectHandle::newArray({layer}));
    QPDFObjectHandle ocProperties = QPDFObjectHandle::newDictionary();
    ocProperties.replaceKey("/OCGs", QPDFObjectHandle::newArray({layer}));
    ocProperties.replaceKey("/D", config);
    pdf.getRoot().replaceKey("/OCProperties", ocProperties);
}

void addPrintOnlyLayer(QPDF& pdf, QPDFObjectHandle page)
{
    QPDFObjectHandle layer = pdf.makeIndirectObject(QPDFObjectHandle::parse(
        "<< /Type /OCG /Name (Watermark) /Usage << /Print << /PrintState /ON >> "
        "/View << /ViewState /OFF >> >> >>"));
    QPDFObjectHandle properties = QPDFObjectHandle::newDictionary();
    properties.replaceKey("/wm", layer);
    page.getKey("/Resources").replaceKey("/Properties", properties);
    QPDFPageObjectHelper(page).addPageContents(
        pdf.newStream("/OC /wm BDC 0.5 g 100 100 200 200 re f EMC\n"), false);
    const auto usage = [&](const std::string& event) {
        QPDFObjectHandle rule =
            QPDFObjectHandle::parse("<< /Event /" + event + " /Category [/" + event + "] >>");
        rule.replaceKey("/OCGs", QPDFObjectHandle::newArray({layer}));
        return rule;
    };
    QPDFObjectHandle config = QPDFObjectHandle::parse("<< /Intent [/View /Design] >>");
    config.replaceKey("/AS", QPDFObjectHandle::newArray({usage("Print"), usage("View")}));
    QPDFObjectHandle alternative = QPDFObjectHandle::parse("<< /Name (Alt) >>");
    alternative.replaceKey("/OFF", QPDFObjectHandle::newArray({layer}));
    QPDFObjectHandle ocProperties = QPDFObjectHandle::newDictionary();
    ocProperties.replaceKey("/OCGs", QPDFObjectHandle::newArray({layer}));
    ocProperties.replaceKey("/D", config);
    ocProperties.replaceKey("/Configs", QPDFObjectHandle::newArray({alternative}));
    pdf.getRoot().replaceKey("/OCProperties", ocProperties);
}

} // namespace

QByteArray makePdf(const PdfRecipe& recipe)
{
    QPDF pdf;
    pdf.emptyPDF();
    QPDFObjectHandle font = pdf.makeIndirectObject(
        QPDFObjectHandle::parse("<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"));
    QPDFPageDocumentHelper pages(pdf);
    for (int i = 0; i < recipe.pages; ++i) {
        const std::string text = recipe.marker.toStdString() + "-p" + std::to_string(i + 1);
        std::string content = "BT /F1 24 Tf 72 700 Td (" + text + ") Tj ET\n";
        QPDFObjectHandle resources = QPDFObjectHandle::newDictionary();
        QPDFObjectHandle fonts = QPDFObjectHandle::newDictionary();
        fonts.replaceKey("/F1", font);
        resources.replaceKey("/Font", fonts);
        if (recipe.duplicateImages) {
            // Each page gets its own copy of the same pixels: a merge candidate.
            QPDFObjectHandle xobjects = QPDFObjectHandle::newDictionary();
            xobjects.replaceKey("/Im1", makeImage(pdf));
            resources.replaceKey("/XObject", xobjects);
            content += "q 200 0 0 200 72 300 cm /Im1 Do Q\n";
        }
        QPDFObjectHandle page = QPDFObjectHandle::newDictionary();
        page.replaceKey("/Type", QPDFObjectHandle::newName("/Page"));
        page.replaceKey("/MediaBox", QPDFObjectHandle::newArray(QPDFObjectHandle::Rectangle(
                                         0, 0, recipe.width, recipe.height)));
        if (recipe.userUnit != 0)
            page.replaceKey("/UserUnit", QPDFObjectHandle::newReal(recipe.userUnit, 2));
        if (recipe.cropInset > 0)
            page.replaceKey("/CropBox", QPDFObjectHandle::newArray(QPDFObjectHandle::Rectangle(
                                            recipe.cropInset, 2 * recipe.cropInset,
                                            recipe.width - recipe.cropInset,
                                            recipe.height - recipe.cropInset)));
        page.replaceKey("/Resources", resources);
        page.replaceKey("/Contents", pdf.newStream(content));
        if (i < recipe.rotations.size() && recipe.rotations.at(i) >= 0)
            page.replaceKey("/Rotate", QPDFObjectHandle::newInteger(recipe.rotations.at(i)));
        pages.addPage(QPDFPageObjectHelper(pdf.makeIndirectObject(page)), false);
    }
    QPDFObjectHandle root = pdf.getRoot();
    if (recipe.inheritedRotate >= 0)
        root.getKey("/Pages").replaceKey("/Rotate",
                                         QPDFObjectHandle::newInteger(recipe.inheritedRotate));
    if (recipe.emptyAcroForm || recipe.sigFlags >= 0 || recipe.signedField ||
        recipe.unsignedField) {
        QPDFObjectHandle form = QPDFObjectHandle::parse("<< /Fields [] >>");
        if (recipe.sigFlags >= 0)
            form.replaceKey("/SigFlags", QPDFObjectHandle::newInteger(recipe.sigFlags));
        QPDFObjectHandle firstPage = pages.getAllPages().front().getObjectHandle();
        if (recipe.signedField || recipe.unsignedField) {
            QPDFObjectHandle field = makeSignatureField(pdf, firstPage, recipe.signedField);
            form.getKey("/Fields").appendItem(field);
            firstPage.replaceKey("/Annots", QPDFObjectHandle::newArray({field}));
        }
        root.replaceKey("/AcroForm", pdf.makeIndirectObject(form));
    }
    if (recipe.docMdp) {
        root.replaceKey("/Perms", QPDFObjectHandle::parse("<< /DocMDP << /Type /Sig >> >>"));
    }
    if (recipe.duplicateImages)
        makeImage(pdf); // referenced by nothing
    if (recipe.navigation)
        addNavigation(pdf, pages.getAllPages(), recipe.marker.toStdString());
    if (!recipe.outline.isEmpty())
        addOutline(pdf, pages.getAllPages(), recipe.outline);
    if (!recipe.textField.isEmpty() || recipe.xfa)
        addTextField(pdf, pages.getAllPages().front().getObjectHandle(), recipe);
    if (recipe.fieldsAcrossPages)
        addFieldsAcrossPages(pdf, pages.getAllPages(), recipe);
    if (recipe.hiddenLayer)
        addHiddenLayer(pdf, pages.getAllPages().front().getObjectHandle());
    if (recipe.printOnlyLayer)
        addPrintOnlyLayer(pdf, pages.getAllPages().front().getObjectHandle());
    if (!recipe.language.empty()) {
        root.replaceKey("/Lang", QPDFObjectHandle::newString(recipe.language));
        root.replaceKey("/ViewerPreferences",
                        QPDFObjectHandle::parse("<< /DisplayDocTitle true >>"));
        QPDFObjectHandle metadata = pdf.newStream("<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"/>");
        metadata.getDict().replaceKey("/Type", QPDFObjectHandle::newName("/Metadata"));
        metadata.getDict().replaceKey("/Subtype", QPDFObjectHandle::newName("/XML"));
        root.replaceKey("/Metadata", metadata);
    }

    QPDFWriter writer(pdf);
    writer.setOutputMemory();
    writer.setStaticID(false);
    if (recipe.objectStreams)
        writer.setObjectStreamMode(qpdf_o_generate);
    if (recipe.duplicateImages) {
        writer.setCompressStreams(false);
        writer.setPreserveUnreferencedObjects(true);
    }
    applyEncryption(writer, recipe);
    writer.write();
    std::shared_ptr<Buffer> buffer = writer.getBufferSharedPointer();
    QByteArray bytes(reinterpret_cast<const char*>(buffer->getBuffer()),
                     qsizetype(buffer->getSize()));
    if (recipe.omitKeyLength) {
        // Blanked in place, so that every offset stays right.
        const QByteArray length = "/Filter /Standard /Length ";
        const qsizetype at = bytes.indexOf(length);
        const qsizetype end = bytes.indexOf(' ', at + length.size());
        if (at < 0 || end < 0)
            throw std::runtime_error("no key length to leave out");
        bytes.replace(at + 18, end - at - 18, QByteArray(end - at - 18, ' '));
    }
    return bytes;
}

void writeBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        throw std::runtime_error("cannot write test file");
}

void writeSparsePdf(const QString& path, qint64 size)
{
    const QList<QByteArray> objects{
        "<< /Type /Catalog /Pages 2 0 R >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] >>",
    };
    // Lay the body out once at offset 0 to learn its length, then place it at the end.
    const auto body = [&](qint64 start) {
        QByteArray bytes;
        QList<qint64> offsets;
        for (int i = 0; i < objects.size(); ++i) {
            offsets.append(start + bytes.size());
            bytes += QByteArray::number(i + 1) + " 0 obj\n" + objects.at(i) + "\nendobj\n";
        }
        const qint64 xref = start + bytes.size();
        bytes += "xref\n0 4\n0000000000 65535 f \n";
        for (const qint64 offset : offsets)
            bytes += QByteArray::number(offset).rightJustified(10, '0') + " 00000 n \n";
        bytes += "trailer\n<< /Size 4 /Root 1 0 R >>\nstartxref\n" + QByteArray::number(xref) +
                 "\n%%EOF\n";
        return bytes;
    };
    const QByteArray header = "%PDF-1.4\n";
    qint64 start = size - body(size).size();
    QByteArray tail = body(start);
    start = size - tail.size();
    tail = body(start);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(header) != 9 ||
        !file.seek(start) || file.write(tail) != tail.size() || file.size() != size)
        throw std::runtime_error("cannot write sparse test file");
}

void writeFlateBomb(const QString& path, int mebibytes, int formDepth, BombKind kind)
{
    // A gradient piece is 64 rows of 16384: 250 MiB make 16384 × 16000.
    const bool gradient = kind == BombKind::Gradient;
    const int side = gradient ? 64 * mebibytes : 1024 * int(std::sqrt(double(mebibytes)));
    const int width = gradient ? 16384 : mebibytes * 1024 * 1024 / side;
    // One mebibyte at a time, each a whole number of rows or operators, so
    // every piece is the same.
    std::string piece;
    if (kind == BombKind::Gradient) {
        std::string row(size_t(width), '\0');
        for (int x = 0; x < width; ++x)
            row[size_t(x)] = char(x % 256);
        for (int y = 0; y < 64; ++y)
            piece += row;
    } else if (kind == BombKind::Content) {
        for (int i = 0; i < (1 << 20) / 16; ++i)
            piece += "q 0 0 1 1 re f Q";
    } else {
        piece.assign(1 << 20, '\0');
    }
    const int pieces = mebibytes;
    z_stream zlib{};
    deflateInit(&zlib, 9);
    std::string compressed;
    std::vector<unsigned char> buffer(1 << 16);
    for (int i = 0; i <= pieces; ++i) {
        const bool last = i == pieces;
        zlib.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(piece.data()));
        zlib.avail_in = last ? 0 : uInt(piece.size());
        do {
            zlib.next_out = buffer.data();
            zlib.avail_out = uInt(buffer.size());
            deflate(&zlib, last ? Z_FINISH : Z_NO_FLUSH);
            compressed.append(reinterpret_cast<const char*>(buffer.data()),
                              buffer.size() - zlib.avail_out);
        } while (zlib.avail_out == 0);
    }
    deflateEnd(&zlib);

    QPDF pdf;
    pdf.emptyPDF();
    QPDFObjectHandle image = pdf.newStream();
    const bool contentBomb = kind == BombKind::Content;
    // Beside a content bomb, a small image, so that there is something to compress.
    if (contentBomb)
        image.replaceStreamData(std::string(64 * 64, '\x80'), QPDFObjectHandle::newNull(),
                                QPDFObjectHandle::newNull());
    else
        image.replaceStreamData(compressed, QPDFObjectHandle::newName("/FlateDecode"),
                                QPDFObjectHandle::newNull());
    image.getDict().replaceKey("/Width", QPDFObjectHandle::newInteger(contentBomb ? 64 : width));
    image.getDict().replaceKey("/Height", QPDFObjectHandle::newInteger(contentBomb ? 64 : side));
    for (const auto& [key, value] : std::initializer_list<std::pair<const char*, const char*>>{
             {"/Type", "/XObject"}, {"/Subtype", "/Image"}, {"/ColorSpace", "/DeviceGray"}})
        image.getDict().replaceKey(key, QPDFObjectHandle::newName(value));
    image.getDict().replaceKey("/BitsPerComponent", QPDFObjectHandle::newInteger(8));
    QPDFObjectHandle page = pdf.makeIndirectObject(QPDFObjectHandle::parse(
        "<< /Type /Page /MediaBox [0 0 612 792] /Resources << /XObject << >> >> >>"));
    std::string name = "/Im0";
    QPDFObjectHandle drawn = image;
    for (int level = 0; level < formDepth; ++level) {
        std::string content;
        for (int i = 0; i < 10; ++i)
            content += "q 1 0 0 1 " + std::to_string(i) + " 0 cm " + name + " Do Q\n";
        QPDFObjectHandle form = pdf.newStream(content);
        form.getDict().replaceKey("/Type", QPDFObjectHandle::newName("/XObject"));
        form.getDict().replaceKey("/Subtype", QPDFObjectHandle::newName("/Form"));
        form.getDict().replaceKey("/BBox", QPDFObjectHandle::parse("[0 0 1 1]"));
        form.getDict().replaceKey("/Resources", QPDFObjectHandle::parse("<< /XObject << >> >>"));
        form.getDict().getKey("/Resources").getKey("/XObject").replaceKey(name, drawn);
        drawn = form;
        name = "/Fm" + std::to_string(level);
    }
    page.getKey("/Resources").getKey("/XObject").replaceKey(name, drawn);
    const std::string drawing = "q 612 0 0 792 0 0 cm " + name + " Do Q";
    QPDFObjectHandle contents = pdf.newStream(drawing);
    if (contentBomb) {
        QPDFObjectHandle bomb = pdf.newStream();
        bomb.replaceStreamData(compressed, QPDFObjectHandle::newName("/FlateDecode"),
                               QPDFObjectHandle::newNull());
        contents = QPDFObjectHandle::newArray({contents, bomb});
    }
    page.replaceKey("/Contents", contents);
    QPDFPageDocumentHelper(pdf).addPage(QPDFPageObjectHelper(page), false);
    // The writer keeps the name's pointer until it has written.
    const QByteArray file = QFile::encodeName(path);
    QPDFWriter writer(pdf, file.constData());
    writer.setStreamDataMode(qpdf_s_preserve);
    writer.write();
}

namespace {

// The PDF at `path`, changed and written again in its place.
void changeInPlace(const QString& path, const std::function<void(QPDF&)>& change)
{
    QPDF pdf;
    pdf.processFile(QFile::encodeName(path).constData());
    change(pdf);
    QPDFWriter writer(pdf);
    writer.setOutputMemory();
    writer.write();
    std::shared_ptr<Buffer> buffer = writer.getBufferSharedPointer();
    writeBytes(path, QByteArray(reinterpret_cast<const char*>(buffer->getBuffer()),
                                qsizetype(buffer->getSize())));
}

} // namespace

void addTextStamp(const QString& path, const QString& text, StampStyle style)
{
    changeInPlace(path, [&text, style](QPDF& pdf) {
        QPDFObjectHandle font = pdf.makeIndirectObject(
            QPDFObjectHandle::parse("<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"));
        const std::string box =
            style == StampStyle::Watermark
                ? "q 0.6 g BT /Stamp 60 Tf 0.7071 0.7071 -0.7071 0.7071 130 230 Tm "
                  "(CONFIDENTIAL) Tj ET Q "
            : style == StampStyle::Text ? ""
                                        : "q 1 g 30 14 160 20 re f Q ";
        const std::string stamp =
            box + "BT /Stamp 7 Tf 36 20 Td (" + text.toStdString() + ") Tj ET\n";
        const auto form = [&pdf](const std::string& content, QPDFObjectHandle resources) {
            return newForm(pdf, content, resources, "0 0 2000 2000");
        };
        for (QPDFPageObjectHelper& page : QPDFPageDocumentHelper(pdf).getAllPages()) {
            QPDFObjectHandle resources = page.getObjectHandle().getKey("/Resources");
            if (style == StampStyle::Text || style == StampStyle::OnBox ||
                style == StampStyle::Watermark) {
                if (!resources.getKey("/Font").isDictionary())
                    resources.replaceKey("/Font", QPDFObjectHandle::newDictionary());
                resources.getKey("/Font").replaceKey("/Stamp", font);
                page.addPageContents(pdf.newStream(stamp), false);
                continue;
            }
            QPDFObjectHandle own = QPDFObjectHandle::parse("<< /Font << >> >>");
            own.getKey("/Font").replaceKey("/Stamp", font);
            QPDFObjectHandle forms = QPDFObjectHandle::newDictionary();
            forms.replaceKey("/Fx1", form(stamp, own));
            std::string content = "q /Fx1 Do Q\n";
            if (style == StampStyle::Wrapped) {
                Pl_Buffer buffer("page");
                page.pipeContents(&buffer);
                std::unique_ptr<Buffer> data(buffer.getBuffer());
                forms.replaceKey("/Fx0",
                                 form(std::string(reinterpret_cast<const char*>(data->getBuffer()),
                                                  data->getSize()),
                                      resources.shallowCopy()));
                content = "q /Fx0 Do Q " + content;
                page.getObjectHandle().replaceKey("/Resources", QPDFObjectHandle::parse("<< >>"));
                page.getObjectHandle().replaceKey("/Contents", pdf.newStream(content));
                page.getObjectHandle().getKey("/Resources").replaceKey("/XObject", forms);
                continue;
            }
            if (!resources.getKey("/XObject").isDictionary())
                resources.replaceKey("/XObject", QPDFObjectHandle::newDictionary());
            resources.getKey("/XObject").replaceKey("/Fx1", forms.getKey("/Fx1"));
            page.addPageContents(pdf.newStream(content), false);
        }
    });
}

void addPdfaClaim(const QString& path, int part, char level)
{
    changeInPlace(path, [&](QPDF& pdf) {
        const std::string xmp =
            "<?xpacket begin=\"\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n"
            "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
            "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n"
            "<rdf:Description rdf:about=\"\" xmlns:pdfaid=\"http://www.aiim.org/pdfa/ns/id/\" "
            "pdfaid:part=\"" +
            std::to_string(part) + "\" pdfaid:conformance=\"" + std::string(1, level) +
            "\"/>\n</rdf:RDF></x:xmpmeta>\n<?xpacket end=\"w\"?>";
        QPDFObjectHandle metadata = pdf.newStream(xmp);
        metadata.getDict().replaceKey("/Type", QPDFObjectHandle::newName("/Metadata"));
        metadata.getDict().replaceKey("/Subtype", QPDFObjectHandle::newName("/XML"));
        pdf.getRoot().replaceKey("/Metadata", metadata);
    });
}

void writePdf(const QString& path, const PdfRecipe& recipe)
{
    writeBytes(path, makePdf(recipe));
}

void writeProtectedCopy(const QString& source, const QString& target, const PdfRecipe& protection)
{
    QPDF pdf;
    pdf.processFile(QFile::encodeName(source).constData());
    const QByteArray file = QFile::encodeName(target);
    QPDFWriter writer(pdf, file.constData());
    applyEncryption(writer, protection);
    writer.write();
}

PdfFacts inspectPdf(const QString& path, const std::string& password)
{
    PdfFacts facts;
    try {
        QPDF pdf;
        pdf.setSuppressWarnings(true);
        pdf.processFile(QFile::encodeName(path).constData(),
                        password.empty() ? nullptr : password.c_str());
        facts.opened = true;
        facts.encrypted = pdf.isEncrypted(facts.encryptionRevision, facts.permissions);
        facts.ownerMatched = pdf.ownerPasswordMatched();
        facts.hasEncryptDict = pdf.getTrailer().hasKey("/Encrypt");
        QPDFObjectHandle id = pdf.getTrailer().getKey("/ID");
        if (id.isArray() && id.getArrayNItems() > 0 && id.getArrayItem(0).isString()) {
            const std::string first = id.getArrayItem(0).getStringValue();
            facts.firstId = QByteArray(first.data(), qsizetype(first.size()));
        }
        static const std::regex text(R"(\(([^)]*)\))");
        for (QPDFPageObjectHelper& page : QPDFPageDocumentHelper(pdf).getAllPages()) {
            Pl_Buffer buffer("contents");
            page.pipeContents(&buffer);
            std::unique_ptr<Buffer> data(buffer.getBuffer());
            const std::string content(reinterpret_cast<const char*>(data->getBuffer()),
                                      data->getSize());
            std::smatch match;
            facts.markers.append(std::regex_search(content, match, text)
                                     ? QString::fromStdString(match[1].str())
                                     : QString());
            int rotation = 0;
            QPDFObjectHandle node = page.getObjectHandle();
            while (node.isDictionary()) {
                if (node.getKey("/Rotate").isInteger()) {
                    rotation = node.getKey("/Rotate").getIntValueAsInt();
                    break;
                }
                node = node.getKey("/Parent");
            }
            facts.rotations.append(((rotation % 360) + 360) % 360);
        }
    } catch (const std::exception& error) {
        facts.opened = false;
        facts.error = QString::fromUtf8(error.what());
    }
    return facts;
}

namespace {

int pageNumber(const std::map<QPDFObjGen, int>& pages, QPDFObjectHandle dest)
{
    if (!dest.isArray() || dest.getArrayNItems() < 1)
        return -1;
    const auto found = pages.find(dest.getArrayItem(0).getObjGen());
    return found == pages.end() ? -1 : found->second;
}

void readBookmarks(QPDFObjectHandle first, int depth, const std::map<QPDFObjGen, int>& pages,
                   QStringList& out)
{
    for (QPDFObjectHandle item = first; item.isDictionary() && out.size() < 1000;
         item = item.getKey("/Next")) {
        QPDFObjectHandle count = item.getKey("/Count");
        QPDFObjectHandle action = item.getKey("/A");
        const QString target =
            item.hasKey("/Dest")    ? QString::number(pageNumber(pages, item.getKey("/Dest")))
            : action.isDictionary() ? QString::fromStdString(action.getKey("/S").getName())
                                    : u"-"_s;
        out << u"%1|%2|%3|%4"_s.arg(depth)
                   .arg(QString::fromStdString(item.getKey("/Title").getUTF8Value()))
                   .arg(target)
                   .arg(count.isInteger() && count.getIntValue() > 0 ? u"open"_s : u"closed"_s);
        readBookmarks(item.getKey("/First"), depth + 1, pages, out);
    }
}

} // namespace

NavigationFacts inspectNavigation(const QString& path)
{
    NavigationFacts facts;
    QPDF pdf;
    pdf.processFile(QFile::encodeName(path).constData());
    std::map<QPDFObjGen, int> pages;
    const std::vector<QPDFObjectHandle>& all = pdf.getAllPages();
    for (size_t i = 0; i < all.size(); ++i)
        pages.emplace(all[i].getObjGen(), int(i));
    QPDFObjectHandle root = pdf.getRoot();
    if (root.getKey("/Outlines").isDictionary())
        readBookmarks(root.getKey("/Outlines").getKey("/First"), 0, pages, facts.bookmarks);
    for (size_t i = 0; i < all.size(); ++i) {
        QPDFObjectHandle page = all[i];
        QPDFObjectHandle annotations = page.getKey("/Annots");
        if (!annotations.isArray())
            continue;
        for (QPDFObjectHandle annotation : annotations.aitems()) {
            QPDFObjectHandle dest = annotation.getKey("/Dest");
            if (dest.isNull() && annotation.getKey("/A").isDictionary())
                dest = annotation.getKey("/A").getKey("/D");
            const bool ownPage = annotation.getKey("/P").getObjGen() == page.getObjGen();
            facts.links << u"%1>%2%3"_s.arg(i)
                               .arg(pageNumber(pages, dest))
                               .arg(ownPage ? QString() : u"?"_s);
        }
    }
    QPDFObjectHandle names = root.getKey("/Names");
    if (names.isDictionary() && names.getKey("/Dests").isDictionary()) {
        QPDFNameTreeObjectHelper tree(names.getKey("/Dests"), pdf);
        for (auto& [name, dest] : tree)
            facts.names
                << u"%1>%2"_s.arg(QString::fromStdString(name)).arg(pageNumber(pages, dest));
    }
    QPDFPageLabelDocumentHelper labels(pdf);
    for (size_t i = 0; labels.hasPageLabels() && i < all.size(); ++i) {
        QPDFObjectHandle label = labels.getLabelForPage(static_cast<long long>(i));
        facts.labels << QString::fromStdString(label.getKey("/S").isName()
                                                   ? label.getKey("/S").getName()
                                                   : std::string("-")) +
                            QString::fromStdString(label.getKey("/P").isString()
                                                       ? label.getKey("/P").getUTF8Value()
                                                       : std::string()) +
                            QString::number(label.getKey("/St").isInteger()
                                                ? label.getKey("/St").getIntValue()
                                                : 1);
    }
    facts.showsOutlines = root.getKey("/PageMode").isNameAndEquals("/UseOutlines");
    return facts;
}

QStringList inspectForm(const QString& path)
{
    QPDF pdf;
    pdf.processFile(QFile::encodeName(path).constData());
    std::map<QPDFObjGen, int> pages;
    std::set<QPDFObjGen> placed;
    const std::vector<QPDFObjectHandle> all = pdf.getAllPages();
    for (size_t i = 0; i < all.size(); ++i) {
        pages.emplace(all[i].getObjGen(), int(i));
        QPDFObjectHandle annotations = QPDFObjectHandle(all[i]).getKey("/Annots");
        for (int a = 0; annotations.isArray() && a < annotations.getArrayNItems(); ++a) {
            QPDFObjectHandle annotation = annotations.getArrayItem(a);
            if (annotation.getKey("/P").getObjGen() == all[i].getObjGen())
                placed.insert(annotation.getObjGen());
        }
    }
    // QPDF lists a field's widgets that carry no name of their own as fields.
    std::map<std::string, QStringList> fields;
    QPDFAcroFormDocumentHelper forms(pdf);
    for (QPDFFormFieldObjectHelper field : forms.getFormFields()) {
        const std::string name = field.getFullyQualifiedName();
        QPDFObjectHandle action = field.getObjectHandle().getKey("/A");
        if (action.isDictionary()) {
            fields[name + ">" + std::to_string(pageNumber(pages, action.getKey("/D")))];
            continue;
        }
        QPDFObjectHandle value = field.getValue();
        QStringList& on =
            fields[name + "=" + (value.isName() ? value.getName() : field.getValueAsString())];
        for (QPDFAnnotationObjectHelper widget : forms.getAnnotationsForField(field)) {
            QPDFObjectHandle annotation = widget.getObjectHandle();
            const auto page = pages.find(annotation.getKey("/P").getObjGen());
            on << QString::number(
                placed.count(annotation.getObjGen()) && page != pages.end() ? page->second : -1);
        }
    }
    QStringList facts;
    for (auto& [field, on] : fields) {
        on.sort();
        facts << QString::fromStdString(field) + (on.isEmpty() ? QString() : u'@' + on.join(u','));
    }
    QPDFObjectHandle form = pdf.getRoot().getKey("/AcroForm");
    QPDFObjectHandle order = form.isDictionary() ? form.getKey("/CO") : form;
    for (int i = 0; order.isArray() && i < order.getArrayNItems(); ++i)
        facts << u"co:"_s +
                     QString::fromStdString(
                         QPDFFormFieldObjectHelper(order.getArrayItem(i)).getFullyQualifiedName());
    return facts;
}

QStringList expectedMarkers(const QString& marker, const QList<int>& pagesOneBased)
{
    QStringList markers;
    for (const int page : pagesOneBased)
        markers.append(marker + QStringLiteral("-p") + QString::number(page));
    return markers;
}

} // namespace testsupport

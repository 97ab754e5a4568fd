// Documents built object by object, for what the optimiser and the
// compression must leave exactly as it was: sample layouts, placements that
// no page content shows, identities, shared resources.
#include "formxobject.h"
#include "testsupport.h"

#include <QFile>

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>
#include <qpdf/QPDFWriter.hh>

#include <zlib.h>

#include <string>

namespace testsupport {

namespace {

std::string deflated(const std::string& data)
{
    uLongf size = compressBound(uLong(data.size()));
    std::string out(size, '\0');
    compress2(reinterpret_cast<Bytef*>(out.data()), &size,
              reinterpret_cast<const Bytef*>(data.data()), uLong(data.size()), 6);
    out.resize(size);
    return out;
}

QPDFObjectHandle addPage(QPDF& pdf, const std::string& content, const std::string& size)
{
    QPDFObjectHandle page = pdf.makeIndirectObject(
        QPDFObjectHandle::parse("<< /Type /Page /MediaBox [0 0 " + size + "] /Resources << >> >>"));
    page.replaceKey("/Contents", pdf.newStream(content));
    QPDFPageDocumentHelper(pdf).addPage(QPDFPageObjectHelper(page), false);
    return page;
}

void write(QPDF& pdf, const QString& path)
{
    const QByteArray file = QFile::encodeName(path);
    QPDFWriter writer(pdf, file.constData());
    writer.setStreamDataMode(qpdf_s_preserve);
    writer.write();
}

std::string colourSpaceOf(int components)
{
    switch (components) {
    case 1:
        return "/DeviceGray";
    case 3:
        return "/DeviceRGB";
    case 4:
        return "/DeviceCMYK";
    default: {
        // Inks beyond the fourth are dropped by the tint transform.
        std::string inks = "[/Cyan /Magenta /Yellow /Black";
        for (int i = 4; i < components; ++i)
            inks += " /Spot" + std::to_string(i);
        return inks + "] /DeviceCMYK";
    }
    }
}

// Samples packed at `bits`, the first highest, rows padded to a byte.
std::string packedSamples(const SampledImage& image)
{
    const int maximum = (1 << image.bits) - 1;
    std::string out;
    for (int y = 0; y < image.height; ++y) {
        unsigned long long held = 0;
        int filled = 0;
        for (int x = 0; x < image.width; ++x) {
            for (int c = 0; c < image.components; ++c) {
                const int channel = image.grey ? 0 : c;
                int level = 0;
                if (image.colours > 0) {
                    const int block = (x / 16 + y / 16) % image.colours;
                    level = (block * (channel + 3) * 37) % (maximum + 1);
                } else {
                    level = ((x * (channel + 1) + y * 2) * maximum) /
                            ((image.width - 1) * (channel + 1) + (image.height - 1) * 2);
                }
                held = (held << image.bits) | unsigned(level);
                filled += image.bits;
                while (filled >= 8) {
                    out += char((held >> (filled - 8)) & 0xff);
                    filled -= 8;
                }
            }
        }
        if (filled > 0)
            out += char((held << (8 - filled)) & 0xff);
    }
    return out;
}

} // namespace

QPDFObjectHandle newForm(QPDF& pdf, const std::string& content, QPDFObjectHandle resources,
                         const std::string& box)
{
    QPDFObjectHandle stream = pdf.newStream(content);
    stream.getDict().replaceKey("/Type", QPDFObjectHandle::newName("/XObject"));
    stream.getDict().replaceKey("/Subtype", QPDFObjectHandle::newName("/Form"));
    stream.getDict().replaceKey("/BBox", QPDFObjectHandle::parse("[" + box + "]"));
    stream.getDict().replaceKey("/Resources", resources);
    return stream;
}

void writeSampledImagePdf(const QString& path, const SampledImage& image)
{
    QPDF pdf;
    pdf.emptyPDF();
    const std::string samples = packedSamples(image);
    QPDFObjectHandle stream = pdf.newStream();
    stream.replaceStreamData(deflated(samples), QPDFObjectHandle::newName("/FlateDecode"),
                             QPDFObjectHandle::newNull());
    std::string space = colourSpaceOf(image.components);
    if (image.components > 4) {
        std::string drop;
        for (int i = 4; i < image.components; ++i)
            drop += " pop";
        QPDFObjectHandle tint = pdf.newStream("{" + drop + " }");
        tint.getDict().replaceKey("/FunctionType", QPDFObjectHandle::newInteger(4));
        std::string domain;
        for (int i = 0; i < image.components; ++i)
            domain += " 0 1";
        tint.getDict().replaceKey("/Domain", QPDFObjectHandle::parse("[" + domain + "]"));
        tint.getDict().replaceKey("/Range", QPDFObjectHandle::parse("[0 1 0 1 0 1 0 1]"));
        QPDFObjectHandle deviceN = QPDFObjectHandle::parse("[/DeviceN " + space + "]");
        deviceN.appendItem(tint);
        stream.getDict().replaceKey("/ColorSpace", deviceN);
    } else {
        stream.getDict().replaceKey("/ColorSpace", QPDFObjectHandle::newName(space));
    }
    for (const auto& [key, value] : {std::pair<const char*, int>{"/Width", image.width},
                                     {"/Height", image.height},
                                     {"/BitsPerComponent", image.bits},
                                     {"/DL", int(samples.size())}})
        stream.getDict().replaceKey(key, QPDFObjectHandle::newInteger(value));
    stream.getDict().replaceKey("/Type", QPDFObjectHandle::newName("/XObject"));
    stream.getDict().replaceKey("/Subtype", QPDFObjectHandle::newName("/Image"));
    QPDFObjectHandle page = addPage(pdf, "q 194 0 0 122 0 0 cm /Im Do Q", "194 122");
    page.getKey("/Resources").replaceKey("/XObject", QPDFObjectHandle::newDictionary());
    page.getKey("/Resources").getKey("/XObject").replaceKey("/Im", stream);
    write(pdf, path);
}

void writePlacedImagePdf(const QString& path, const QImage& picture, LargePlacement large)
{
    QPDF pdf;
    pdf.emptyPDF();
    const QImage rgb = picture.convertToFormat(QImage::Format_RGB888);
    std::string samples;
    for (int y = 0; y < rgb.height(); ++y)
        samples.append(reinterpret_cast<const char*>(rgb.constScanLine(y)),
                       size_t(rgb.width()) * 3);
    QPDFObjectHandle image = pdf.newStream();
    image.replaceDict(QPDFObjectHandle::parse(
        "<< /Type /XObject /Subtype /Image /ColorSpace /DeviceRGB /BitsPerComponent 8 >>"));
    image.getDict().replaceKey("/Width", QPDFObjectHandle::newInteger(rgb.width()));
    image.getDict().replaceKey("/Height", QPDFObjectHandle::newInteger(rgb.height()));
    image.replaceStreamData(deflated(samples), QPDFObjectHandle::newName("/FlateDecode"),
                            QPDFObjectHandle::newNull());
    const std::string height = std::to_string(rgb.height() * 72.0 / rgb.width());
    const std::string largeHeight = std::to_string(rgb.height() * 576.0 / rgb.width());
    // The large drawing, in a unit square's terms where it is a form.
    const std::string drawLarge = "q 576 0 0 " + largeHeight + " 0 0 cm /Im Do Q";
    const auto resourcesWithImage = [&] {
        QPDFObjectHandle resources = QPDFObjectHandle::parse("<< /XObject << >> >>");
        resources.getKey("/XObject").replaceKey("/Im", image);
        return resources;
    };
    const auto form = [&](const std::string& content, QPDFObjectHandle resources) {
        return newForm(pdf, content, resources, "0 0 612 792");
    };
    std::string content = "q 72 0 0 " + height + " 10 700 cm /Im Do Q\n";
    QPDFObjectHandle page = addPage(pdf, "", "612 792");
    QPDFObjectHandle resources = resourcesWithImage();
    switch (large) {
    case LargePlacement::Annotation: {
        QPDFObjectHandle stamp = QPDFObjectHandle::parse(
            "<< /Type /Annot /Subtype /Stamp /Rect [0 0 612 792] /AP << >> >>");
        stamp.getKey("/AP").replaceKey("/N", form(drawLarge, resourcesWithImage()));
        page.replaceKey("/Annots", QPDFObjectHandle::newArray({pdf.makeIndirectObject(stamp)}));
        break;
    }
    case LargePlacement::Pattern: {
        QPDFObjectHandle pattern = pdf.newStream();
        pattern.replaceDict(
            QPDFObjectHandle::parse("<< /Type /Pattern /PatternType 1 /PaintType 1 /TilingType 1 "
                                    "/BBox [0 0 612 792] /XStep 612 /YStep 792 >>"));
        pattern.getDict().replaceKey("/Resources", resourcesWithImage());
        pattern.replaceStreamData(drawLarge, QPDFObjectHandle::newNull(),
                                  QPDFObjectHandle::newNull());
        resources.replaceKey("/Pattern", QPDFObjectHandle::parse("<< >>"));
        resources.getKey("/Pattern").replaceKey("/P0", pattern);
        content += "/Pattern cs /P0 scn 0 0 612 792 re f\n";
        break;
    }
    case LargePlacement::Type3Glyph: {
        QPDFObjectHandle font = QPDFObjectHandle::parse(
            "<< /Type /Font /Subtype /Type3 /FontBBox [0 0 612 792] "
            "/FontMatrix [1 0 0 1 0 0] /FirstChar 65 /LastChar 65 /Widths [612] "
            "/Encoding << /Differences [65 /g] >> /CharProcs << >> >>");
        font.getKey("/CharProcs")
            .replaceKey("/g", pdf.newStream("612 0 0 0 612 792 d1 " + drawLarge));
        font.replaceKey("/Resources", resourcesWithImage());
        resources.replaceKey("/Font", QPDFObjectHandle::parse("<< >>"));
        resources.getKey("/Font").replaceKey("/T3", pdf.makeIndirectObject(font));
        content += "BT /T3 1 Tf 0 0 Td (A) Tj ET\n";
        break;
    }
    case LargePlacement::SoftMask: {
        QPDFObjectHandle group = form(drawLarge, resourcesWithImage());
        group.getDict().replaceKey(
            "/Group", QPDFObjectHandle::parse("<< /S /Transparency /CS /DeviceGray >>"));
        QPDFObjectHandle state = QPDFObjectHandle::parse("<< /SMask << /S /Luminosity >> >>");
        state.getKey("/SMask").replaceKey("/G", group);
        resources.replaceKey("/ExtGState", QPDFObjectHandle::parse("<< >>"));
        resources.getKey("/ExtGState").replaceKey("/Gs0", state);
        content += "q /Gs0 gs 0 0 1 rg 0 0 612 792 re f Q\n";
        break;
    }
    case LargePlacement::DeepForms: {
        QPDFObjectHandle drawn = form(drawLarge, resourcesWithImage());
        for (int level = 0; level < 20; ++level) {
            QPDFObjectHandle inner = QPDFObjectHandle::parse("<< /XObject << >> >>");
            inner.getKey("/XObject").replaceKey("/Fm", drawn);
            drawn = form("/Fm Do", inner);
        }
        resources.getKey("/XObject").replaceKey("/Deep", drawn);
        content += "/Deep Do\n";
        break;
    }
    }
    page.replaceKey("/Resources", resources);
    page.replaceKey("/Contents", pdf.newStream(content));
    write(pdf, path);
}

void writeTwinLayersPdf(const QString& path)
{
    QPDF pdf;
    pdf.emptyPDF();
    const std::string layer = "<< /Type /OCG /Name (Layer) >>";
    QPDFObjectHandle on = pdf.makeIndirectObject(QPDFObjectHandle::parse(layer));
    QPDFObjectHandle off = pdf.makeIndirectObject(QPDFObjectHandle::parse(layer));
    QPDFObjectHandle properties = QPDFObjectHandle::parse("<< /OCGs [] /D << /OFF [] >> >>");
    properties.getKey("/OCGs").appendItem(on);
    properties.getKey("/OCGs").appendItem(off);
    properties.getKey("/D").getKey("/OFF").appendItem(off);
    pdf.getRoot().replaceKey("/OCProperties", properties);
    const std::string link = "<< /Type /Annot /Subtype /Link /Rect [0 0 50 50] /Border [0 0 1] "
                             "/A << /S /URI /URI (https://example.org/) >> >>";
    for (int i = 0; i < 2; ++i) {
        QPDFObjectHandle page = addPage(pdf,
                                        "/OC /On BDC 1 0 0 rg 60 60 80 80 re f EMC "
                                        "/OC /Off BDC 0 0 1 rg 100 100 80 80 re f EMC",
                                        "200 200");
        QPDFObjectHandle marks = QPDFObjectHandle::newDictionary();
        marks.replaceKey("/On", on);
        marks.replaceKey("/Off", off);
        page.getKey("/Resources").replaceKey("/Properties", marks);
        page.replaceKey("/Annots", QPDFObjectHandle::newArray(
                                       {pdf.makeIndirectObject(QPDFObjectHandle::parse(link))}));
    }
    write(pdf, path);
}

void writeFormSharingPageResources(const QString& path)
{
    QPDF pdf;
    pdf.emptyPDF();
    QPDFObjectHandle resources = pdf.makeIndirectObject(QPDFObjectHandle::parse(
        "<< /Font << /F1 << /Type /Font /Subtype /Type1 /BaseFont /Helvetica >> "
        "/F2 << /Type /Font /Subtype /Type1 /BaseFont /Times-Bold >> "
        "/Cour << /Type /Font /Subtype /Type1 /BaseFont /Courier >> "
        "/ZaDb << /Type /Font /Subtype /Type1 /BaseFont /ZapfDingbats >> >> >>"));
    QPDFObjectHandle page = addPage(pdf, "BT /F1 12 Tf 10 150 Td (page) Tj ET", "200 200");
    page.replaceKey("/Resources", resources);
    QPDFObjectHandle appearance = pdf.newStream("BT /F2 12 Tf 2 4 Td (stamp) Tj ET");
    appearance.getDict().replaceKey("/BBox", QPDFObjectHandle::parse("[0 0 100 20]"));
    appearance.getDict().replaceKey("/Resources", resources);
    QPDFObjectHandle field = pdf.makeIndirectObject(QPDFObjectHandle::parse(
        "<< /Type /Annot /Subtype /Widget /FT /Tx /T (name) /V (stamp) /DA (/Cour 12 Tf 0 g) "
        "/Rect [10 50 110 70] /AP << >> >>"));
    field.getKey("/AP").replaceKey("/N", appearance);
    field.replaceKey("/P", page);
    QPDFObjectHandle check = pdf.makeIndirectObject(QPDFObjectHandle::parse(
        "<< /Type /Annot /Subtype /Widget /FT /Btn /T (tick) /DA (/ZaDb 0 Tf 0 g) "
        "/Rect [10 90 30 110] /MK << /CA (4) >> >>"));
    check.replaceKey("/P", page);
    page.replaceKey("/Annots", QPDFObjectHandle::newArray({field, check}));
    QPDFObjectHandle form = QPDFObjectHandle::parse("<< /DA (/Cour 0 Tf 0 g) >>");
    form.replaceKey("/Fields", QPDFObjectHandle::newArray({field, check}));
    form.replaceKey("/DR", resources);
    pdf.getRoot().replaceKey("/AcroForm", form);
    write(pdf, path);
}

} // namespace testsupport

// Every source passes this gate before any operation touches it. A source is
// only ever opened for reading.
#include "engine/filesource.h"
#include "engine/pdfdocument.h"
#include "engine/qpdfsupport.h"
#include "protocol/protocol.h"

#include <QFile>
#include <QFileInfo>

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFAcroFormDocumentHelper.hh>
#include <qpdf/QPDFExc.hh>

#include <exception>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

std::shared_ptr<QPDF> openQpdf(const QString& absolutePath, const std::string& password,
                               bool repair = false)
{
    auto pdf = newQpdf();
    pdf->setAttemptRecovery(repair);
    // QPDF tries the given password once, as owner and as user password.
    pdf->processInputSource(openFileSource(absolutePath),
                            password.empty() ? nullptr : password.c_str());
    return pdf;
}

bool signatureFieldHasValue(QPDFFormFieldObjectHelper field)
{
    if (field.getFieldType() != "/Sig")
        return false;
    QPDFObjectHandle value = field.getValue();
    return !value.isNull();
}

// The library's words follow ours, for the details only.
[[noreturn]] void failDamaged(const char* libraryText)
{
    const QString text = QString::fromUtf8(libraryText);
    fail(u"无法读取 PDF：%1。\n"_s.arg(damageReason(text)) + text);
}

} // namespace

PdfDocument read(const QString& path, const QString& password)
{
    const QFileInfo info(path);
    if (!info.isFile() || !info.isReadable() ||
        info.suffix().compare(u"pdf"_s, Qt::CaseInsensitive))
        fail(u"PDF 文件不存在或无法读取。"_s);
    if (info.size() < 1 || info.size() > maxSourceBytes)
        fail(u"单文件需大于 0 字节且不超过 512 MB。"_s);

    PdfDocument document;
    int pageCount = 0;
    try {
        document = PdfDocument(openQpdf(info.absoluteFilePath(), password.toStdString()));
        pageCount = document.pageCount();
    } catch (const QPDFExc& error) {
        // The library's "invalid password" adds nothing a user can read.
        if (error.getErrorCode() == qpdf_e_password)
            fail(u"无法读取 PDF：所给密码无法打开此文档，请检查密码。"_s);
        failDamaged(error.what());
    } catch (const std::exception& error) {
        failDamaged(error.what());
    }
    if (pageCount < 1 || pageCount > maxPages)
        fail(u"PDF 页数需为 1 至 100000 页。"_s);

    bool isSigned = false;
    try {
        isSigned = signedDocument(document);
    } catch (const std::exception& error) {
        failDamaged(error.what());
    }
    // With recovery off, a warning means the library patched over damage (a
    // page tree that loops, an object nested too deeply to parse): rewriting
    // such a file would publish the patch as if it were the document.
    const std::vector<QPDFExc> warnings = document.pdf().getWarnings();
    if (!warnings.empty())
        failDamaged(warnings.front().what());
    if (isSigned)
        fail(
            u"文档带有数字签名，批量处理会使签名失效，因此未处理。如需修改，请在签署该文档的程序中进行。"_s);
    return document;
}

PdfDocument openOwnFile(const QString& path, const QString& messagePrefix, bool repair)
{
    try {
        auto pdf = openQpdf(QFileInfo(path).absoluteFilePath(), std::string(), repair);
        PdfDocument document(pdf);
        document.pageCount(); // a broken page tree shows here, not later
        return document;
    } catch (const std::exception& error) {
        fail(messagePrefix + QString::fromUtf8(error.what()));
    }
}

bool signedDocument(const PdfDocument& document)
{
    QPDF& pdf = document.pdf();
    QPDFObjectHandle root = pdf.getRoot();
    QPDFObjectHandle form = root.getKey("/AcroForm");
    if (form.isDictionary()) {
        QPDFObjectHandle flags = form.getKey("/SigFlags");
        if (flags.isInteger() && (flags.getIntValue() & 2) != 0)
            return true;
        QPDFAcroFormDocumentHelper forms(pdf);
        for (QPDFFormFieldObjectHelper& field : forms.getFormFields()) {
            if (signatureFieldHasValue(field))
                return true;
        }
    }
    QPDFObjectHandle perms = root.getKey("/Perms");
    if (perms.isDictionary()) {
        QPDFObjectHandle docMdp = perms.getKey("/DocMDP");
        if (!docMdp.isNull())
            return true;
    }
    return false;
}

namespace {

// What the open password does not allow, said with what to do about it.
void requirePermission(const PdfDocument& source, Permission permission)
{
    if (source.allows(permission))
        return;
    const QString name = permission == Permission::Assemble ? u"组合页面（插入、删除、旋转页面）"_s
                         : permission == Permission::Modify ? u"修改文档"_s
                                                            : u"复制内容"_s;
    fail(u"所给密码只能打开此文档，文档权限不允许“%1”。请提供所有者密码后再试。"_s.arg(name));
}

} // namespace

void checkMergeRights(const PdfDocument& source)
{
    requirePermission(source, Permission::Assemble);
    // An XFA form lives outside the pages and cannot be merged faithfully.
    if (source.hasXfaForm())
        fail(u"文档带有 XFA 动态表单，其内容不在页面中，合并后无法保留，因此未合并。"_s);
}

void checkExtractRights(const PdfDocument& source)
{
    requirePermission(source, Permission::Assemble);
    if (source.hasXfaForm())
        fail(u"文档带有 XFA 动态表单，其内容不在页面中，拆分或提取后无法保留，因此未处理。"_s);
}

void checkRotateRights(const PdfDocument& source)
{
    requirePermission(source, Permission::Assemble);
}

void checkModifyRights(const PdfDocument& source)
{
    requirePermission(source, Permission::Modify);
}

void checkCopyRights(const PdfDocument& source)
{
    requirePermission(source, Permission::CopyContent);
}

void checkOwnerRights(const PdfDocument& source, const QString& action)
{
    if (source.isEncrypted() && !source.pdf().ownerPasswordMatched())
        fail(u"%1需要所有者密码：所给密码只能打开此文档。"_s.arg(action));
}

} // namespace batch

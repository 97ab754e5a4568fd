#include "engine/pdfdocument.h"
#include "engine/qpdfsupport.h"

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>

namespace batch {

PdfDocument::PdfDocument(std::shared_ptr<QPDF> pdf) : m_pdf(std::move(pdf)) {}

int PdfDocument::pageCount() const
{
    return static_cast<int>(QPDFPageDocumentHelper(*m_pdf).getAllPages().size());
}

bool PdfDocument::repaired() const
{
    return m_pdf->anyWarnings();
}

bool PdfDocument::isEncrypted() const
{
    return m_pdf->isEncrypted();
}

bool PdfDocument::allows(Permission permission) const
{
    int revision = 0;
    int bits = 0;
    if (!m_pdf->isEncrypted(revision, bits))
        return true;
    // The permission bits restrict users; the owner password is what lifts them.
    if (m_pdf->ownerPasswordMatched())
        return true;
    // Revision 2 has no assembly bit of its own: modifying covers it.
    const Permission asked =
        revision < 3 && permission == Permission::Assemble ? Permission::Modify : permission;
    return (static_cast<unsigned>(bits) & static_cast<unsigned>(asked)) != 0;
}

bool PdfDocument::hasFormFields() const
{
    QPDFObjectHandle form = m_pdf->getRoot().getKey("/AcroForm");
    if (!form.isDictionary())
        return false;
    QPDFObjectHandle fields = form.getKey("/Fields");
    return fields.isArray() && fields.getArrayNItems() > 0;
}

bool PdfDocument::hasXfaForm() const
{
    QPDFObjectHandle form = m_pdf->getRoot().getKey("/AcroForm");
    return form.isDictionary() && !form.getKey("/XFA").isNull();
}

std::string PdfDocument::pdfVersion() const
{
    return m_pdf->getPDFVersion();
}

void PdfDocument::keepAlive(const PdfDocument& other)
{
    m_keepAlive.push_back(other.m_pdf);
    m_keepAlive.insert(m_keepAlive.end(), other.m_keepAlive.begin(), other.m_keepAlive.end());
}

void PdfDocument::protectWithPassword(const std::string& password)
{
    m_protection = Protection::Password;
    m_password = password;
    m_protectionSource.reset();
}

void PdfDocument::removeProtection()
{
    m_protection = Protection::None;
    m_password.clear();
    m_protectionSource.reset();
}

void PdfDocument::copyProtectionFrom(const PdfDocument& source)
{
    m_protection = Protection::CopyOfSource;
    m_password.clear();
    m_protectionSource = std::make_shared<PdfDocument>(source);
}

std::shared_ptr<QPDF> newQpdf()
{
    auto pdf = std::make_shared<QPDF>();
    pdf->setLogger(silentLogger());
    pdf->setSuppressWarnings(true);
    // With recovery off a damaged file is refused instead of being silently repaired.
    pdf->setAttemptRecovery(false);
    return pdf;
}

std::shared_ptr<QPDFLogger> silentLogger()
{
    static const std::shared_ptr<QPDFLogger> logger = [] {
        auto created = QPDFLogger::create();
        created->setInfo(created->discard());
        created->setWarn(created->discard());
        created->setError(created->discard());
        return created;
    }();
    return logger;
}

} // namespace batch

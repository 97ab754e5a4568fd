// Encrypt, decrypt and lossless optimisation. Protection is applied when the
// document is written; see writeDocument.
#include "engine/pdfdocument.h"
#include "engine/qpdfsupport.h"
#include "protocol/protocol.h"

#include <QCryptographicHash>
#include <QHashFunctions>
#include <QRandomGenerator>

#include <qpdf/Buffer.hh>
#include <qpdf/Pipeline.hh>
#include <qpdf/Pl_String.hh>
#include <qpdf/QPDF.hh>

#include <algorithm>
#include <array>
#include <cstring>
#include <exception>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <unordered_map>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

// Objects whose identity carries meaning, however equal their content: two
// equal page dictionaries are still two pages, a layer that is on and one
// that is off are two layers, a link shared by two pages is not the same link,
// and tree nodes are reached through their /Parent. This is the one list.
bool identityType(QPDFObjectHandle dictionary)
{
    static const std::set<std::string> identityTypes{
        "/Page",           "/Pages",  "/Catalog", "/Annot",    "/StructElem",
        "/StructTreeRoot", "/OBJR",   "/MCR",     "/Outlines", "/Sig",
        "/XRef",           "/ObjStm", "/Encrypt", "/OCG",      "/OCMD"};
    QPDFObjectHandle type = dictionary.getKey("/Type");
    return (type.isName() && identityTypes.count(type.getName()) != 0) ||
           // Fields and annotations often carry no /Type.
           dictionary.hasKey("/Parent") || dictionary.hasKey("/FT") || dictionary.hasKey("/T") ||
           (dictionary.hasKey("/Rect") && dictionary.hasKey("/Subtype"));
}

// Everything the optional-content properties, the pages' annotation lists,
// the form's fields and the structure tree point at, down through direct
// containers and one level of indirect arrays.
std::set<QPDFObjGen> identityObjects(QPDF& pdf)
{
    std::set<QPDFObjGen> found;
    const std::function<void(QPDFObjectHandle, int)> collect = [&](QPDFObjectHandle value,
                                                                   int depth) {
        if (value.isIndirect() && !found.insert(value.getObjGen()).second)
            return;
        if (depth > 64 || value.isStream())
            return;
        if (value.isArray()) {
            for (QPDFObjectHandle& item : value.getArrayAsVector())
                collect(item, depth + 1);
        } else if (value.isDictionary()) {
            for (const char* key : {"/OCGs", "/OCMDs", "/D", "/Configs", "/ON", "/OFF", "/Order",
                                    "/RBGroups", "/Locked", "/Fields", "/Kids"}) {
                if (value.hasKey(key))
                    collect(value.getKey(key), depth + 1);
            }
        }
    };
    QPDFObjectHandle root = pdf.getRoot();
    collect(root.getKey("/OCProperties"), 0);
    QPDFObjectHandle form = root.getKey("/AcroForm");
    if (form.isDictionary())
        collect(form.getKey("/Fields"), 0);
    for (QPDFObjectHandle page : pdf.getAllPages()) {
        QPDFObjectHandle annotations = page.getKey("/Annots");
        if (annotations.isArray())
            for (QPDFObjectHandle& annotation : annotations.getArrayAsVector())
                if (annotation.isIndirect())
                    found.insert(annotation.getObjGen());
    }
    return found;
}

bool mayMerge(QPDFObjectHandle object, const std::set<QPDFObjGen>& identities)
{
    if (identities.count(object.getObjGen()) != 0)
        return false;
    QPDFObjectHandle dictionary = object.isStream() ? object.getDict() : object;
    if (!dictionary.isDictionary())
        return object.isArray() || object.isStream();
    return !identityType(dictionary);
}

struct Fingerprint
{
    quint64 hash = 0;
    quint64 size = 0;
};

// Fingerprints stream data as it flows, so that a 500 MB image is never held
// whole. A fast hash over fixed blocks, so that the value never depends on how
// the data arrives; equal fingerprints are confirmed before anything merges.
class FingerprintPipeline : public Pipeline
{
public:
    FingerprintPipeline() : Pipeline("fingerprint", nullptr) { m_block.reserve(blockSize); }
    void write(unsigned char const* data, size_t length) override
    {
        m_size += length;
        while (length > 0) {
            const size_t take = std::min(length, blockSize - size_t(m_block.size()));
            m_block.append(reinterpret_cast<const char*>(data), static_cast<qsizetype>(take));
            data += take;
            length -= take;
            if (m_block.size() == qsizetype(blockSize))
                hashBlock();
        }
    }
    void finish() override {}
    Fingerprint result()
    {
        hashBlock();
        return {m_hash, m_size};
    }

private:
    static constexpr size_t blockSize = 65536;
    void hashBlock()
    {
        m_hash = qHashBits(m_block.constData(), size_t(m_block.size()), m_hash);
        m_block.clear();
    }
    QByteArray m_block;
    quint64 m_hash = 0;
    quint64 m_size = 0;
};

// Digests stream data as it flows, for streams too large to compare in memory.
class DigestPipeline : public Pipeline
{
public:
    DigestPipeline() : Pipeline("digest", nullptr), m_hash(QCryptographicHash::Sha256) {}
    void write(unsigned char const* data, size_t length) override
    {
        m_hash.addData(QByteArrayView(data, static_cast<qsizetype>(length)));
    }
    void finish() override {}
    QByteArray result() const { return m_hash.result(); }

private:
    QCryptographicHash m_hash;
};

// Streams QPDF decodes are compared by what they decode to, so that the same
// font or image stored with two compressions is still found twice; the rest
// by their bytes as stored.
void pipeData(QPDFObjectHandle stream, Pipeline& pipeline)
{
    const bool decoded = decodesLosslessly(stream);
    bool filtered = false;
    if (!stream.pipeStreamData(&pipeline, &filtered, 0,
                               decoded ? qpdf_dl_generalized : qpdf_dl_none) ||
        filtered != decoded)
        throw std::runtime_error("对象数据无法读取。");
}

std::string comparedData(QPDFObjectHandle stream)
{
    std::string data;
    Pl_String sink("compared", nullptr, data);
    pipeData(stream, sink);
    return data;
}

// What must agree besides the data: the dictionary, without what only says
// how the data is stored when the decoded data is compared.
std::string streamKey(QPDFObjectHandle stream)
{
    if (!decodesLosslessly(stream))
        return "S" + stream.getDict().unparse();
    QPDFObjectHandle dictionary = stream.getDict().shallowCopy();
    for (const char* key : {"/Length", "/Filter", "/DecodeParms", "/DL"})
        dictionary.removeKey(key);
    return "D" + dictionary.unparse();
}

std::optional<Fingerprint> fingerprintOf(QPDFObjectHandle stream)
{
    FingerprintPipeline fingerprint;
    try {
        pipeData(stream, fingerprint);
    } catch (const std::exception&) {
        return std::nullopt; // damaged data is never taken for another's
    }
    return fingerprint.result();
}

// Byte for byte; beyond 32 MiB by SHA-256, so that memory stays bounded.
bool sameData(QPDFObjectHandle first, QPDFObjectHandle second, quint64 size)
{
    if (size <= 32 * 1024 * 1024)
        return comparedData(first) == comparedData(second);
    DigestPipeline a;
    DigestPipeline b;
    pipeData(first, a);
    pipeData(second, b);
    return a.result() == b.result();
}

using Replacements = std::map<QPDFObjGen, QPDFObjectHandle>;

QPDFObjectHandle replaced(QPDFObjectHandle value, const Replacements& replacements)
{
    if (!value.isIndirect())
        return value;
    const auto it = replacements.find(value.getObjGen());
    return it == replacements.end() ? value : it->second;
}

// Rewrites references held directly or in nested direct containers.
void replaceReferences(QPDFObjectHandle container, const Replacements& replacements)
{
    if (container.isArray()) {
        const int count = container.getArrayNItems();
        for (int i = 0; i < count; ++i) {
            QPDFObjectHandle item = container.getArrayItem(i);
            if (item.isIndirect()) {
                QPDFObjectHandle target = replaced(item, replacements);
                if (target.getObjGen() != item.getObjGen())
                    container.setArrayItem(i, target);
            } else {
                replaceReferences(item, replacements);
            }
        }
    } else if (container.isDictionary()) {
        for (const std::string& key : container.getKeys()) {
            QPDFObjectHandle item = container.getKey(key);
            if (item.isIndirect()) {
                QPDFObjectHandle target = replaced(item, replacements);
                if (target.getObjGen() != item.getObjGen())
                    container.replaceKey(key, target);
            } else {
                replaceReferences(item, replacements);
            }
        }
    }
}

// Collapses indirect objects with identical content into one. Runs until no
// more merges happen, because merging children can make parents identical.
void mergeIdenticalObjects(QPDF& pdf)
{
    std::map<QPDFObjGen, std::optional<Fingerprint>> fingerprints;
    // Merged away and no longer referenced; never considered again.
    std::set<QPDFObjGen> retired;
    const std::set<QPDFObjGen> identities = identityObjects(pdf);
    for (int pass = 0; pass < 16; ++pass) {
        std::vector<QPDFObjectHandle> objects = pdf.getAllObjects();
        // Streams can only be equal when their dictionaries are: only those
        // that share one have their data read.
        std::vector<std::string> keys(objects.size());
        std::unordered_map<std::string, int> dictionaryCounts;
        for (size_t i = 0; i < objects.size(); ++i) {
            QPDFObjectHandle& object = objects[i];
            if (retired.count(object.getObjGen()) != 0 || !mayMerge(object, identities))
                continue;
            if (object.isStream()) {
                keys[i] = streamKey(object);
                ++dictionaryCounts[keys[i]];
            } else {
                keys[i] = "O" + object.unparseResolved();
            }
        }
        std::unordered_map<std::string, QPDFObjectHandle> canonical;
        Replacements replacements;
        for (size_t i = 0; i < objects.size(); ++i) {
            QPDFObjectHandle& object = objects[i];
            if (keys[i].empty() || (object.isStream() && dictionaryCounts[keys[i]] < 2))
                continue;
            quint64 size = 0;
            if (object.isStream()) {
                auto known = fingerprints.find(object.getObjGen());
                if (known == fingerprints.end())
                    known = fingerprints.emplace(object.getObjGen(), fingerprintOf(object)).first;
                if (!known->second)
                    continue;
                size = known->second->size;
                keys[i] += '\0' + std::to_string(known->second->hash) + ':' + std::to_string(size);
            }
            const auto [it, inserted] = canonical.emplace(std::move(keys[i]), object);
            if (inserted || (object.isStream() && !sameData(it->second, object, size)))
                continue;
            replacements.emplace(object.getObjGen(), it->second);
            retired.insert(object.getObjGen());
        }
        if (replacements.empty())
            return;
        for (QPDFObjectHandle& object : objects) {
            if (retired.count(object.getObjGen()) == 0)
                replaceReferences(object.isStream() ? object.getDict() : object, replacements);
        }
        replaceReferences(pdf.getTrailer(), replacements);
    }
}

} // namespace

void encryptDocument(PdfDocument& document, const QString& newPassword)
{
    const QString problem = newPasswordProblem(newPassword);
    if (!problem.isEmpty())
        fail(problem);
    const QByteArray password = newPassword.toUtf8();

    // A fresh identifier from the system's secure generator; the writer keeps
    // the first element and derives the second.
    std::array<quint32, 4> words{};
    QRandomGenerator::system()->generate(words.begin(), words.end());
    const std::string id(reinterpret_cast<const char*>(words.data()), sizeof words);
    QPDFObjectHandle ids = QPDFObjectHandle::newArray();
    ids.appendItem(QPDFObjectHandle::newString(id));
    ids.appendItem(QPDFObjectHandle::newString(id));
    document.pdf().getTrailer().replaceKey("/ID", ids);
    document.protectWithPassword(password.toStdString());
}

void decryptDocument(PdfDocument& document)
{
    if (!document.isEncrypted())
        skip(u"文件未加密，无需处理。"_s);
    document.removeProtection();
}

void optimizeDocument(PdfDocument& document)
{
    try {
        dropUnusedResources(document.pdf());
        mergeIdenticalObjects(document.pdf());
        bool usesJbig2 = false;
        document.setStreamsRecompressed(recompressStreams(document.pdf(), &usesJbig2));
        if (usesJbig2)
            document.setMinimumVersion("1.4");
    } catch (const std::exception& error) {
        failExplained(u"无法优化文档内容。"_s, error);
    }
    document.setOptimizedWrite(true);
}

} // namespace batch

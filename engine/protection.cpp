// Encrypt, decrypt and lossless optimisation. Protection is applied when the
// document is written; see writeDocument.
#include "app/protocol.h"
#include "engine/pdfdocument.h"

#include <QCryptographicHash>
#include <QRandomGenerator>

#include <qpdf/Pipeline.hh>
#include <qpdf/QPDF.hh>

#include <array>
#include <exception>
#include <map>
#include <set>
#include <stdexcept>
#include <unordered_map>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

// Objects whose identity carries meaning: two equal page dictionaries are still
// two pages, and tree nodes are reached through their /Parent.
bool mayMerge(QPDFObjectHandle object)
{
    QPDFObjectHandle dictionary = object.isStream() ? object.getDict() : object;
    if (!dictionary.isDictionary())
        return object.isArray() || object.isStream();
    if (dictionary.hasKey("/Parent"))
        return false;
    static const std::set<std::string> identityTypes{
        "/Page", "/Pages",    "/Catalog", "/Annot", "/StructElem", "/StructTreeRoot", "/OBJR",
        "/MCR",  "/Outlines", "/Sig",     "/XRef",  "/ObjStm",     "/Encrypt"};
    QPDFObjectHandle type = dictionary.getKey("/Type");
    return !(type.isName() && identityTypes.count(type.getName()) != 0);
}

// Hashes stream data as it flows, so that a 500 MB image is never held whole.
class HashPipeline : public Pipeline
{
public:
    HashPipeline() : Pipeline("hash", nullptr), m_hash(QCryptographicHash::Sha256) {}
    void write(unsigned char const* data, size_t length) override
    {
        m_hash.addData(QByteArrayView(data, static_cast<qsizetype>(length)));
    }
    void finish() override {}
    QByteArray result() const { return m_hash.result(); }

private:
    QCryptographicHash m_hash;
};

QByteArray rawStreamDigest(QPDFObjectHandle stream)
{
    HashPipeline hash;
    bool filtered = false;
    if (!stream.pipeStreamData(&hash, &filtered, 0, qpdf_dl_none))
        throw std::runtime_error("stream data cannot be read");
    return hash.result();
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
    std::map<QPDFObjGen, QByteArray> streamDigests;
    for (int pass = 0; pass < 16; ++pass) {
        std::vector<QPDFObjectHandle> objects = pdf.getAllObjects();
        // Streams can only be equal when their dictionaries are, /Length
        // included: only those that share a dictionary have their data read.
        std::vector<std::string> keys(objects.size());
        std::unordered_map<std::string, int> dictionaryCounts;
        for (size_t i = 0; i < objects.size(); ++i) {
            QPDFObjectHandle& object = objects[i];
            if (!mayMerge(object))
                continue;
            if (object.isStream()) {
                keys[i] = "S" + object.getDict().unparse();
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
            if (object.isStream()) {
                auto digest = streamDigests.find(object.getObjGen());
                if (digest == streamDigests.end())
                    digest =
                        streamDigests.emplace(object.getObjGen(), rawStreamDigest(object)).first;
                keys[i] += '\0' + digest->second.toStdString();
            }
            const auto [it, inserted] = canonical.emplace(std::move(keys[i]), object);
            if (!inserted)
                replacements.emplace(object.getObjGen(), it->second);
        }
        if (replacements.empty())
            return;
        for (QPDFObjectHandle& object : objects) {
            if (replacements.count(object.getObjGen()) != 0)
                continue;
            replaceReferences(object.isStream() ? object.getDict() : object, replacements);
        }
        replaceReferences(pdf.getTrailer(), replacements);
    }
}

} // namespace

void encryptDocument(PdfDocument& document, const QJsonObject& request)
{
    const QByteArray password = stringMember(request, u"newPassword"_s).toUtf8();
    if (password.isEmpty() || password.size() > 127)
        fail(u"新密码不能为空，且 UTF-8 长度不能超过 127 字节。"_s);

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
        fail(u"文档未加密，无需移除密码。"_s);
    document.removeProtection();
}

void optimizeDocument(PdfDocument& document)
{
    try {
        mergeIdenticalObjects(document.pdf());
    } catch (const std::exception& error) {
        fail(QString::fromUtf8(error.what()));
    }
    document.setOptimizedWrite(true);
}

} // namespace batch

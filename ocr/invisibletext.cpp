#include "ocr/invisibletext.h"

#include "ocr/textlayer.h"

#include <qpdf/Pl_String.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFPageObjectHelper.hh>

#include <optional>
#include <string>
#include <vector>

namespace batch {

namespace {

using Token = QPDFTokenizer::Token;

// Passes content through but for the text shown invisibly (render mode 3).
// A show's advance moves the text that follows it on the same line: a hidden
// show is held back until the line is left (Td, TD, Tm, T*, ', ", ET), and
// written after all when visible text follows it first. A line-moving show
// (' and ") keeps its move. Mode 7 also adds the text to the clipping path,
// which the page may fill: such text is left alone.
class InvisibleTextFilter : public QPDFObjectHandle::TokenFilter
{
public:
    void handleToken(const Token& token) override
    {
        if (token.getType() != QPDFTokenizer::tt_word) {
            m_operands.push_back(token);
            return;
        }
        const std::string& op = token.getValue();
        if (op == "q") {
            m_saved.push_back(m_mode);
        } else if (op == "Q" && !m_saved.empty()) {
            m_mode = m_saved.back();
            m_saved.pop_back();
        } else if (op == "Tr") {
            const std::vector<double> values = numbers();
            if (!values.empty())
                m_mode = int(values.back());
        }
        const bool shows = op == "Tj" || op == "TJ" || op == "'" || op == "\"";
        if (shows && m_mode == 3) {
            m_pending.push_back({m_operands, token, replacementFor(op)});
            m_operands.clear();
            return;
        }
        if (!m_pending.empty()) {
            const bool leavesLine = op == "Td" || op == "TD" || op == "Tm" || op == "T*" ||
                                    op == "ET" || op == "'" || op == "\"";
            if (shows && !leavesLine) {
                release(true); // visible text goes on from where the hidden ended
            } else if (leavesLine) {
                release(false);
            } else {
                m_pending.push_back({m_operands, token, std::nullopt});
                m_operands.clear();
                return;
            }
        }
        flush();
        writeToken(token);
    }
    void handleEOF() override
    {
        release(false);
        flush();
    }

    int removed() const { return m_removed; }

private:
    struct Piece
    {
        std::vector<Token> operands;
        Token op;
        std::optional<std::string> replacement; // for a hidden show
    };

    static std::string number(double value) { return QByteArray::number(value).toStdString(); }

    std::string replacementFor(const std::string& op) const
    {
        std::string replacement = "\n";
        if (op == "\"") {
            const std::vector<double> values = numbers();
            if (values.size() >= 2)
                replacement = " " + number(values[0]) + " Tw " + number(values[1]) + " Tc";
        }
        if (op == "'" || op == "\"")
            replacement += " T*\n";
        return replacement;
    }

    // Writes what was held back: the hidden shows as they were, or replaced.
    void release(bool keep)
    {
        for (const Piece& piece : m_pending) {
            if (piece.replacement && !keep) {
                ++m_removed;
                write(piece.replacement->data(), piece.replacement->size());
                continue;
            }
            for (const Token& operand : piece.operands)
                writeToken(operand);
            writeToken(piece.op);
        }
        m_pending.clear();
    }

    std::vector<double> numbers() const
    {
        std::vector<double> values;
        for (const Token& operand : m_operands) {
            if (operand.getType() == QPDFTokenizer::tt_integer ||
                operand.getType() == QPDFTokenizer::tt_real)
                values.push_back(QByteArray::fromStdString(operand.getValue()).toDouble());
        }
        return values;
    }

    void flush()
    {
        for (const Token& operand : m_operands)
            writeToken(operand);
        m_operands.clear();
    }

    std::vector<Token> m_operands;
    std::vector<Piece> m_pending;
    std::vector<int> m_saved;
    int m_mode = 0;
    int m_removed = 0;
};

// `data` filtered, when the filter removed something.
template <typename Source> bool filtered(Source&& pipeInto, QByteArray& data)
{
    InvisibleTextFilter filter;
    std::string out;
    Pl_String sink("visible text", nullptr, out);
    pipeInto(&filter, &sink);
    data = QByteArray::fromStdString(out);
    return filter.removed() > 0;
}

} // namespace

bool stripInvisibleText(QPDF& pdf, QPDFObjectHandle page)
{
    QPDFPageObjectHelper helper(page);
    bool removed = false;
    QByteArray data;
    if (filtered([&](auto* filter, auto* sink) { helper.filterContents(filter, sink); }, data)) {
        page.replaceKey("/Contents", flateStream(pdf, data));
        removed = true;
    }
    QPDFObjectHandle resources = helper.getAttribute("/Resources", false);
    QPDFObjectHandle xobjects =
        resources.isDictionary() ? resources.getKey("/XObject") : QPDFObjectHandle::newNull();
    if (!xobjects.isDictionary())
        return removed;
    // The forms may be shared with other pages: this page gets copies.
    QPDFObjectHandle ownXObjects = xobjects.shallowCopy();
    bool formsChanged = false;
    for (auto& [name, form] : xobjects.ditems()) {
        if (!form.isStream() || !form.getDict().getKey("/Subtype").isNameAndEquals("/Form"))
            continue;
        QPDFObjectHandle source = form;
        if (!filtered([&](auto* filter, auto* sink) { source.filterAsContents(filter, sink); },
                      data))
            continue;
        QPDFObjectHandle copy = form.copyStream();
        copy.replaceStreamData(flateStream(pdf, data).getRawStreamData(),
                               QPDFObjectHandle::newName("/FlateDecode"),
                               QPDFObjectHandle::newNull());
        ownXObjects.replaceKey(name, copy);
        formsChanged = true;
    }
    if (formsChanged) {
        QPDFObjectHandle ownResources = resources.shallowCopy();
        ownResources.replaceKey("/XObject", ownXObjects);
        page.replaceKey("/Resources", ownResources);
    }
    return removed || formsChanged;
}

} // namespace batch

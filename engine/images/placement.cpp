// Where each image is drawn: the current transformation matrix is followed
// through q, Q and cm in every page's content and into the forms it draws.
// An image that can also be drawn where no size is known (an annotation's
// appearance, a tiling pattern, a Type 3 glyph, a soft mask, a form nested
// past the walk's depth) has no size here and is left as it is: scaled for
// its small placement it would blur where it is drawn large.
#include "engine/images/placement.h"

#include "engine/matrix.h"
#include "engine/qpdfsupport.h"

#include <qpdf/Pipeline.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>

#include <algorithm>
#include <cmath>
#include <optional>
#include <set>
#include <stdexcept>
#include <vector>

namespace batch {

namespace {

constexpr int maxFormDepth = 16;
// Forms drawn across the document, counted each time: a form that draws
// another ten times, sixteen deep, would otherwise take forever.
constexpr long maxFormVisits = 50000;

// What the walk shares across forms and pages.
// QPDF holds a content stream whole, and its tokens beside it, while it
// parses: larger content is not parsed, and its images keep their size.
constexpr long long maxContentBytes = 64LL * 1024 * 1024;

struct Walk
{
    std::set<QPDFObjGen> open; // the forms being walked, against loops
    long formsLeft = maxFormVisits;
    bool exhausted = false;           // some placements were never seen
    std::set<QPDFObjGen> unmeasured;  // images drawn somewhere without a size
    std::set<QPDFObjGen> sideVisited; // patterns, glyphs and groups walked once
};

// Every image an object reaches, without drawing it: for forms past the
// depth limit, whose placements are never followed. Pages are not entered,
// so a reference up the tree does not reach the whole document.
void markReachableImages(QPDFObjectHandle root, Walk& walk)
{
    std::vector<QPDFObjectHandle> pending{root};
    std::set<QPDFObjGen> seen;
    while (!pending.empty() && !walk.exhausted) {
        QPDFObjectHandle object = pending.back();
        pending.pop_back();
        if (object.isIndirect() && !seen.insert(object.getObjGen()).second)
            continue;
        if (--walk.formsLeft < 0) {
            walk.exhausted = true;
            return;
        }
        if (object.isArray()) {
            for (QPDFObjectHandle& item : object.getArrayAsVector())
                pending.push_back(item);
            continue;
        }
        QPDFObjectHandle dictionary = object.isStream() ? object.getDict() : object;
        if (!dictionary.isDictionary() || dictionary.getKey("/Type").isNameAndEquals("/Page"))
            continue;
        if (object.isStream() && dictionary.getKey("/Subtype").isNameAndEquals("/Image"))
            walk.unmeasured.insert(object.getObjGen());
        for (const std::string& key : dictionary.getKeys()) {
            if (key != "/Parent" && key != "/P")
                pending.push_back(dictionary.getKey(key));
        }
    }
}

std::optional<Matrix> matrixOf(const std::vector<QPDFObjectHandle>& numbers)
{
    if (numbers.size() < 6)
        return std::nullopt;
    double values[6];
    for (size_t i = 0; i < 6; ++i) {
        QPDFObjectHandle number = numbers[numbers.size() - 6 + i];
        if (!number.isNumber())
            return std::nullopt;
        values[i] = number.getNumericValue();
        if (!std::isfinite(values[i]))
            return std::nullopt;
    }
    return Matrix{values[0], values[1], values[2], values[3], values[4], values[5]};
}

// Counts decoded bytes and stops past the limit.
class CountingSink : public Pipeline
{
public:
    explicit CountingSink(long long limit) : Pipeline("count", nullptr), m_left(limit) {}
    void write(const unsigned char*, size_t length) override
    {
        m_left -= static_cast<long long>(length);
        if (m_left < 0)
            throw std::length_error("content beyond the parse limit");
    }
    void finish() override {}
    bool within() const { return m_left >= 0; }

private:
    long long m_left;
};

// Whether the streams decode, together, to no more than QPDF may parse.
bool parseable(const std::vector<QPDFObjectHandle>& streams)
{
    CountingSink counter(maxContentBytes);
    for (const QPDFObjectHandle& stream : streams) {
        try {
            if (!QPDFObjectHandle(stream).pipeStreamData(&counter, 0, qpdf_dl_generalized))
                return counter.within(); // damaged: what QPDF reads of it is small
        } catch (const std::exception&) {
            return false;
        }
        if (!counter.within())
            return false;
    }
    return true;
}

class PlacementWalker : public QPDFObjectHandle::ParserCallbacks
{
public:
    PlacementWalker(ImagePlacements& placements, QPDFObjectHandle resources, Matrix start,
                    double inchesPerUnit, Walk& walk, int depth, bool measured = true)
        : m_placements(placements), m_resources(resources), m_inchesPerUnit(inchesPerUnit),
          m_walk(walk), m_depth(depth), m_measured(measured)
    {
        m_stack.push_back(start);
        walkSideContent();
    }

    // Content drawn where no size is followed: its images are only marked.
    // Without resources of its own it names those of `fallback`, or of this
    // walker's content.
    void walkUnmeasured(QPDFObjectHandle stream,
                        QPDFObjectHandle fallback = QPDFObjectHandle::newNull())
    {
        if (!fallback.isDictionary())
            fallback = m_resources;
        if (!stream.isStream() || m_walk.exhausted ||
            !m_walk.sideVisited.insert(stream.getObjGen()).second)
            return;
        if (--m_walk.formsLeft < 0) {
            m_walk.exhausted = true;
            return;
        }
        if (!parseable({stream})) {
            markReachableImages(stream, m_walk);
            return;
        }
        QPDFObjectHandle resources = stream.getDict().getKey("/Resources");
        PlacementWalker inner(m_placements, resources.isDictionary() ? resources : fallback,
                              Matrix{}, m_inchesPerUnit, m_walk, m_depth + 1, false);
        try {
            QPDFObjectHandle::parseContentStream(stream, &inner);
        } catch (const std::exception&) {
            // What was read of damaged content still counts.
        }
    }

    void handleObject(QPDFObjectHandle object) override
    {
        if (!object.isOperator()) {
            m_operands.push_back(object);
            return;
        }
        const std::string op = object.getOperatorValue();
        if (op == "q") {
            m_stack.push_back(m_stack.back());
        } else if (op == "Q") {
            if (m_stack.size() > 1)
                m_stack.pop_back();
        } else if (op == "cm") {
            if (std::optional<Matrix> matrix = matrixOf(m_operands))
                m_stack.back() = matrix->followedBy(m_stack.back());
        } else if (op == "Do" && !m_operands.empty() && m_operands.back().isName()) {
            draw(m_operands.back().getName());
        }
        m_operands.clear();
    }

    void handleEOF() override {}

private:
    // Tiling patterns, Type 3 glyphs and soft-mask groups of the resources,
    // whether or not the content uses them: a name may hide in many operators.
    void walkSideContent()
    {
        if (!m_resources.isDictionary())
            return;
        const auto entries = [&](const char* category) {
            QPDFObjectHandle dictionary = m_resources.getKey(category);
            return dictionary.isDictionary() ? dictionary.getDictAsMap()
                                             : std::map<std::string, QPDFObjectHandle>{};
        };
        for (auto& [name, pattern] : entries("/Pattern"))
            walkUnmeasured(pattern, m_resources);
        for (auto& [name, font] : entries("/Font")) {
            if (!font.isDictionary() || !font.getKey("/Subtype").isNameAndEquals("/Type3"))
                continue;
            QPDFObjectHandle own = font.getKey("/Resources");
            QPDFObjectHandle procs = font.getKey("/CharProcs");
            if (!procs.isDictionary())
                continue;
            for (auto& [glyph, proc] : procs.getDictAsMap())
                walkUnmeasured(proc, own.isDictionary() ? own : m_resources);
        }
        for (auto& [name, state] : entries("/ExtGState")) {
            QPDFObjectHandle mask = state.isDictionary() ? state.getKey("/SMask") : state;
            if (mask.isDictionary())
                walkUnmeasured(mask.getKey("/G"), m_resources);
        }
    }

    void draw(const std::string& name)
    {
        if (!m_resources.isDictionary())
            return;
        QPDFObjectHandle objects = m_resources.getKey("/XObject");
        QPDFObjectHandle object = objects.isDictionary() ? objects.getKey(name) : objects;
        if (!object.isStream())
            return;
        QPDFObjectHandle dictionary = object.getDict();
        const Matrix& ctm = m_stack.back();
        if (dictionary.getKey("/Subtype").isNameAndEquals("/Image")) {
            if (!m_measured) {
                m_walk.unmeasured.insert(object.getObjGen());
                return;
            }
            // The unit square's sides as drawn, in inches.
            ImagePlacement& largest = m_placements[object.getObjGen()];
            largest.widthInches =
                std::max(largest.widthInches, std::hypot(ctm.a, ctm.b) * m_inchesPerUnit);
            largest.heightInches =
                std::max(largest.heightInches, std::hypot(ctm.c, ctm.d) * m_inchesPerUnit);
            return;
        }
        if (!dictionary.getKey("/Subtype").isNameAndEquals("/Form") || m_walk.exhausted ||
            m_walk.open.count(object.getObjGen()) != 0)
            return;
        if (m_depth >= maxFormDepth || !parseable({object})) {
            markReachableImages(object, m_walk);
            return;
        }
        if (--m_walk.formsLeft < 0) {
            m_walk.exhausted = true;
            return;
        }
        m_walk.open.insert(object.getObjGen());
        Matrix start = ctm;
        QPDFObjectHandle matrix = dictionary.getKey("/Matrix");
        if (matrix.isArray()) {
            if (std::optional<Matrix> own = matrixOf(matrix.getArrayAsVector()))
                start = own->followedBy(ctm);
        }
        QPDFObjectHandle resources = dictionary.getKey("/Resources");
        PlacementWalker inner(m_placements, resources.isDictionary() ? resources : m_resources,
                              start, m_inchesPerUnit, m_walk, m_depth + 1, m_measured);
        try {
            QPDFObjectHandle::parseContentStream(object, &inner);
        } catch (const std::exception&) {
            // What was read of a damaged form still counts.
        }
        m_walk.open.erase(object.getObjGen());
    }

    ImagePlacements& m_placements;
    QPDFObjectHandle m_resources;
    double m_inchesPerUnit;
    Walk& m_walk;
    int m_depth;
    bool m_measured;
    std::vector<Matrix> m_stack;
    std::vector<QPDFObjectHandle> m_operands;
};

} // namespace

ImagePlacements largestPlacements(QPDF& pdf)
{
    ImagePlacements placements;
    Walk walk;
    for (QPDFPageObjectHelper& page : QPDFPageDocumentHelper(pdf).getAllPages()) {
        QPDFObjectHandle unit = page.getObjectHandle().getKey("/UserUnit");
        const double userUnit =
            unit.isNumber() && unit.getNumericValue() > 0 ? unit.getNumericValue() : 1.0;
        PlacementWalker walker(placements, page.getAttribute("/Resources", false), Matrix{},
                               userUnit / 72.0, walk, 0);
        if (!parseable(page.getPageContents())) {
            markReachableImages(page.getAttribute("/Resources", false), walk);
            continue;
        }
        try {
            page.parseContents(&walker);
        } catch (const std::exception&) {
            // A page whose content cannot be read keeps what was found before the damage.
        }
        forEachAppearance(page.getObjectHandle(),
                          [&walker](QPDFObjectHandle stream) { walker.walkUnmeasured(stream); });
    }
    // An image seen at a small size may be drawn larger where the walk did
    // not reach: then no size is known for any.
    if (walk.exhausted)
        return {};
    for (const QPDFObjGen& image : walk.unmeasured)
        placements.erase(image);
    return placements;
}

} // namespace batch

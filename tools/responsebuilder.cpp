#include "responsebuilder.h"

#include "worklistmatcher.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcelem.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dcsequen.h>

#include <vector>

namespace {

void setValue(DcmElement& element, const std::string& value)
{
    if (value.empty() || element.putString(value.c_str(), static_cast<Uint32>(value.size())).bad())
        element.clear();
}

// Inserts every attribute of `values` with the dictionary's VR (for sequences asked for without
// item keys). Attributes the dictionary cannot type are left out.
void appendAll(DcmItem& item, const AttributeList& values)
{
    for (const Attribute& attribute : values) {
        const DcmTag tag(attribute.tag);
        if (attribute.isSequence) {
            auto* sequence = new DcmSequenceOfItems(tag);
            for (const AttributeList& sub : attribute.items) {
                auto* child = new DcmItem();
                appendAll(*child, sub);
                sequence->append(child);
            }
            item.insert(sequence, true);
        } else if (tag.getEVR() != EVR_UN && tag.getEVR() != EVR_UNKNOWN) {
            item.putAndInsertString(tag, attribute.value.c_str(), true);
        }
    }
}

} // namespace

ResponseBuilder::ResponseBuilder(const DcmDataset& identifier, const WorklistMatcher& matcher)
    : m_template(identifier), m_response(identifier), m_matcher(matcher)
{
    m_charsetRequested = m_template.tagExists(DCM_SpecificCharacterSet);
    delete m_template.remove(DCM_SpecificCharacterSet);
    delete m_response.remove(DCM_SpecificCharacterSet);
}

DcmDataset& ResponseBuilder::build(const WorklistEntry& entry)
{
    fillItem(m_response, m_template, entry.attributes, entry.matchView(), true);
    if (!entry.charset.empty() || m_charsetRequested)
        m_response.putAndInsertString(DCM_SpecificCharacterSet, entry.charset.c_str(), true);
    else
        delete m_response.remove(DCM_SpecificCharacterSet);
    return m_response;
}

void ResponseBuilder::fillItem(DcmItem& target, DcmItem& templ, const AttributeList& values,
                               const AttributeList& matchValues, bool topLevel)
{
    for (unsigned long i = 0; i < target.card(); ++i) {
        DcmElement* element = target.getElement(i);
        const DcmTagKey tag = element->getTag().getXTag();
        if (topLevel && tag == DCM_SpecificCharacterSet)
            continue;
        const Attribute* attribute = findAttribute(values, tag);
        if (element->ident() != EVR_SQ) {
            setValue(*element,
                     attribute && !attribute->isSequence ? attribute->value : std::string());
            continue;
        }

        auto* sequence = static_cast<DcmSequenceOfItems*>(element);
        DcmSequenceOfItems* templSequence = nullptr;
        templ.findAndGetSequence(tag, templSequence);
        DcmItem* templItem =
            templSequence && templSequence->card() > 0 ? templSequence->getItem(0) : nullptr;
        const Attribute* matchAttribute = findAttribute(matchValues, tag);

        std::vector<size_t> selected;
        if (attribute && attribute->isSequence && matchAttribute) {
            for (size_t k = 0; k < attribute->items.size(); ++k) {
                if (!topLevel || m_matcher.itemMatches(tag, matchAttribute->items[k]))
                    selected.push_back(k);
            }
        }
        if (!templItem) {
            // Without item keys the items are rebuilt from the entry every time.
            while (sequence->card() > 0)
                delete sequence->remove(sequence->card() - 1);
            for (size_t k : selected) {
                auto* item = new DcmItem();
                appendAll(*item, attribute->items[k]);
                sequence->append(item);
            }
            continue;
        }
        while (sequence->card() > selected.size())
            delete sequence->remove(sequence->card() - 1);
        while (sequence->card() < selected.size())
            sequence->append(new DcmItem(*templItem));
        for (size_t k = 0; k < selected.size(); ++k) {
            fillItem(*sequence->getItem(static_cast<unsigned long>(k)), *templItem,
                     attribute->items[selected[k]], matchAttribute->items[selected[k]], false);
        }
    }
}

#include "worklistentry.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcelem.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dcsequen.h>

#include <algorithm>

namespace {

std::string trimPadding(const char* data, size_t length)
{
    while (length > 0 && (data[length - 1] == ' ' || data[length - 1] == '\0'))
        --length;
    return std::string(data, length);
}

bool isBulkData(DcmEVR vr)
{
    switch (vr) {
    case EVR_OB:
    case EVR_OW:
    case EVR_OF:
    case EVR_OD:
    case EVR_OL:
    case EVR_OV:
    case EVR_UN:
    case EVR_ox:
    case EVR_px:
    case EVR_pixelSQ:
        return true;
    default:
        return false;
    }
}

} // namespace

const Attribute* findAttribute(const AttributeList& list, const DcmTagKey& tag)
{
    auto it = std::lower_bound(list.begin(), list.end(), tag,
                               [](const Attribute& a, const DcmTagKey& t) { return a.tag < t; });
    return (it != list.end() && it->tag == tag) ? &*it : nullptr;
}

AttributeList attributesFromItem(DcmItem& item)
{
    AttributeList result;
    result.reserve(item.card());
    for (unsigned long i = 0; i < item.card(); ++i) {
        DcmElement* element = item.getElement(i);
        const DcmTag& tag = element->getTag();
        if (tag.getGroup() == 0x0002 || tag.getElement() == 0x0000)
            continue;
        Attribute attribute;
        attribute.tag = tag.getXTag();
        if (element->ident() == EVR_SQ) {
            auto* sequence = static_cast<DcmSequenceOfItems*>(element);
            attribute.isSequence = true;
            for (unsigned long k = 0; k < sequence->card(); ++k)
                attribute.items.push_back(attributesFromItem(*sequence->getItem(k)));
        } else if (isBulkData(element->ident())) {
            continue;
        } else if (element->isaString()) {
            char* data = nullptr;
            Uint32 length = 0;
            if (element->getString(data, length).good() && data)
                attribute.value = trimPadding(data, length);
        } else {
            OFString text;
            if (element->getOFStringArray(text).good())
                attribute.value = text.c_str();
        }
        result.push_back(std::move(attribute));
    }
    std::sort(result.begin(), result.end(),
              [](const Attribute& a, const Attribute& b) { return a.tag < b.tag; });
    return result;
}

void WorklistEntry::updateKeys()
{
    const Attribute* cs = findAttribute(attributes, DCM_SpecificCharacterSet);
    charset = cs ? cs->value : std::string();
    const Attribute* uid = findAttribute(attributes, DCM_StudyInstanceUID);
    studyUid = uid ? uid->value : std::string();
}

bool isUtf8Compatible(const std::string& charset)
{
    return charset.empty() || charset == "ISO_IR 6" || charset == "ISO_IR 192" ||
           charset == "ISO 2022 IR 6";
}

#include "worklistmatcher.h"

#include "textutil.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcelem.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dcsequen.h>

#include <algorithm>
#include <optional>

namespace {

std::string elementText(DcmElement& element)
{
    if (!element.isaString())
        return {};
    char* data = nullptr;
    Uint32 length = 0;
    if (element.getString(data, length).bad() || !data)
        return {};
    return std::string(textutil::trimmed(std::string_view(data, length)));
}

std::string withoutChar(std::string_view text, char c)
{
    std::string result;
    for (char x : text)
        if (x != c)
            result.push_back(x);
    return result;
}

// "HHMMSS.FFFFFF" and its shorter forms (also the old "HH:MM:SS") in microseconds. Missing parts
// count as their lowest value, or as their highest for the upper end of a range.
std::optional<long long> parseTime(std::string_view text, bool upper)
{
    const std::string t = withoutChar(textutil::trimmed(text), ':');
    if (t.size() < 2)
        return std::nullopt;
    auto digits = [&](size_t pos, size_t count) -> std::optional<long long> {
        if (pos + count > t.size())
            return std::nullopt;
        long long v = 0;
        for (size_t i = pos; i < pos + count; ++i) {
            if (t[i] < '0' || t[i] > '9')
                return std::nullopt;
            v = v * 10 + (t[i] - '0');
        }
        return v;
    };
    const auto hh = digits(0, 2);
    if (!hh)
        return std::nullopt;
    const auto mm = t.size() >= 4 ? digits(2, 2) : std::optional<long long>(upper ? 59 : 0);
    const auto ss = t.size() >= 6 ? digits(4, 2) : std::optional<long long>(upper ? 59 : 0);
    if (!mm || !ss)
        return std::nullopt;
    long long micros = upper ? 999999 : 0;
    if (t.size() > 7 && t[6] == '.') {
        std::string fraction = t.substr(7, 6);
        const char pad = upper ? '9' : '0';
        fraction.resize(6, pad);
        micros = 0;
        for (char c : fraction) {
            if (c < '0' || c > '9')
                return std::nullopt;
            micros = micros * 10 + (c - '0');
        }
    }
    return ((*hh * 60 + *mm) * 60 + *ss) * 1000000LL + micros;
}

// Splits "low-high", "-high", "low-" and "value" (both ends equal).
void splitRange(std::string_view value, std::string& low, std::string& high)
{
    const size_t dash = value.find('-');
    if (dash == std::string_view::npos) {
        low = high = std::string(value);
    } else {
        low = std::string(textutil::trimmed(value.substr(0, dash)));
        high = std::string(textutil::trimmed(value.substr(dash + 1)));
    }
}

bool hasHighBytes(DcmItem& item, bool& allUtf8)
{
    bool found = false;
    for (unsigned long i = 0; i < item.card(); ++i) {
        DcmElement* element = item.getElement(i);
        if (element->ident() == EVR_SQ) {
            auto* sequence = static_cast<DcmSequenceOfItems*>(element);
            for (unsigned long k = 0; k < sequence->card(); ++k)
                found = hasHighBytes(*sequence->getItem(k), allUtf8) || found;
        } else if (element->isaString()) {
            char* data = nullptr;
            Uint32 length = 0;
            if (element->getString(data, length).good() && data) {
                const std::string_view text(data, length);
                if (!textutil::isAscii(text)) {
                    found = true;
                    allUtf8 = allUtf8 && textutil::isValidUtf8(text);
                }
            }
        }
    }
    return found;
}

} // namespace

WorklistMatcher::WorklistMatcher(DcmItem& identifier) : m_keys(compile(identifier)) {}

void WorklistMatcher::toUtf8(DcmItem& identifier)
{
    OFString charset;
    identifier.findAndGetOFStringArray(DCM_SpecificCharacterSet, charset);
    if (!textutil::trimmed(charset.c_str()).empty()) {
        identifier.convertToUTF8();
        return;
    }
    bool allUtf8 = true;
    if (hasHighBytes(identifier, allUtf8) && !allUtf8)
        identifier.convertCharacterSet("ISO_IR 100", "ISO_IR 192");
}

std::vector<WorklistMatcher::Key> WorklistMatcher::compile(DcmItem& item)
{
    std::vector<Key> keys;
    for (unsigned long i = 0; i < item.card(); ++i) {
        DcmElement* element = item.getElement(i);
        Key key;
        key.tag = element->getTag().getXTag();
        if (key.tag == DCM_SpecificCharacterSet || key.tag.getElement() == 0x0000)
            continue;
        if (element->ident() == EVR_SQ) {
            auto* sequence = static_cast<DcmSequenceOfItems*>(element);
            for (unsigned long k = 0; k < sequence->card(); ++k) {
                std::vector<Key> itemKeys = compile(*sequence->getItem(k));
                key.itemKeys.insert(key.itemKeys.end(), itemKeys.begin(), itemKeys.end());
            }
            if (key.itemKeys.empty())
                continue;
            key.kind = Kind::Sequence;
            keys.push_back(std::move(key));
            continue;
        }
        const std::string value = elementText(*element);
        if (value.empty() || value.find_first_not_of('*') == std::string::npos)
            continue;
        DcmEVR vr = element->getTag().getEVR();
        if (vr == EVR_UN || vr == EVR_UNKNOWN)
            vr = DcmTag(key.tag).getEVR();
        switch (vr) {
        case EVR_DA:
            key.kind = Kind::Date;
            splitRange(withoutChar(value, '.'), key.low, key.high);
            break;
        case EVR_DT:
            key.kind = Kind::DateTime;
            splitRange(value, key.low, key.high);
            break;
        case EVR_TM: {
            key.kind = Kind::Time;
            std::string low, high;
            splitRange(value, low, high);
            const auto lowTime = low.empty() ? std::optional<long long>(0) : parseTime(low, false);
            const auto highTime =
                high.empty() ? std::optional<long long>(86400000000LL) : parseTime(high, true);
            // An unreadable time range matches nothing rather than everything.
            key.lowTime = lowTime.value_or(1);
            key.highTime = highTime.value_or(0);
            break;
        }
        case EVR_UI:
            key.kind = Kind::UidList;
            key.value = value;
            break;
        case EVR_PN:
            key.kind = Kind::Name;
            key.value = value;
            key.wildcard = value.find_first_of("*?") != std::string::npos;
            break;
        default:
            key.kind = Kind::Text;
            key.value = value;
            key.wildcard = value.find_first_of("*?") != std::string::npos;
            break;
        }
        keys.push_back(std::move(key));
    }
    return keys;
}

bool WorklistMatcher::matches(const WorklistEntry& entry) const
{
    return matchList(m_keys, entry.matchView());
}

bool WorklistMatcher::itemMatches(const DcmTagKey& sequenceTag, const AttributeList& item) const
{
    for (const Key& key : m_keys)
        if (key.tag == sequenceTag)
            return matchList(key.itemKeys, item);
    return true;
}

bool WorklistMatcher::matchList(const std::vector<Key>& keys, const AttributeList& attributes)
{
    return std::all_of(keys.begin(), keys.end(), [&](const Key& key) {
        return matchKey(key, findAttribute(attributes, key.tag));
    });
}

bool WorklistMatcher::matchKey(const Key& key, const Attribute* attribute)
{
    if (!attribute)
        return false;
    if (key.kind == Kind::Sequence) {
        return std::any_of(
            attribute->items.begin(), attribute->items.end(),
            [&](const AttributeList& item) { return matchList(key.itemKeys, item); });
    }
    const std::string& value = attribute->value;
    if (value.empty())
        return false;
    if (matchValue(key, value))
        return true;
    // A multi-valued entry matches when one of its values does.
    if (value.find('\\') == std::string::npos || key.kind == Kind::Date || key.kind == Kind::Time)
        return false;
    size_t start = 0;
    while (start <= value.size()) {
        const size_t end = std::min(value.find('\\', start), value.size());
        if (matchValue(key, value.substr(start, end - start)))
            return true;
        start = end + 1;
    }
    return false;
}

bool WorklistMatcher::matchValue(const Key& key, const std::string& value)
{
    switch (key.kind) {
    case Kind::Date: {
        const std::string date = withoutChar(value, '.').substr(0, 8);
        return (key.low.empty() || date >= key.low) && (key.high.empty() || date <= key.high);
    }
    case Kind::DateTime:
        return (key.low.empty() || value >= key.low) &&
               (key.high.empty() || value.compare(0, key.high.size(), key.high) <= 0);
    case Kind::Time: {
        const auto time = parseTime(value, false);
        return time && *time >= key.lowTime && *time <= key.highTime;
    }
    case Kind::UidList: {
        size_t start = 0;
        while (start <= key.value.size()) {
            const size_t end = std::min(key.value.find('\\', start), key.value.size());
            if (key.value.compare(start, end - start, value) == 0)
                return true;
            start = end + 1;
        }
        return false;
    }
    case Kind::Name:
        return key.wildcard ? textutil::wildcardMatch(key.value, value, true)
                            : textutil::equalFolded(key.value, value);
    case Kind::Text:
        return key.wildcard ? textutil::wildcardMatch(key.value, value, false) : key.value == value;
    case Kind::Sequence:
        break;
    }
    return false;
}

#pragma once

#include "worklistentry.h"

#include <dcmtk/dcmdata/dcvr.h>

#include <string>
#include <vector>

class DcmItem;

// The matching keys of one C-FIND identifier, compiled once and then tested against every entry.
// Keys with an empty value (universal matching) are dropped, so they never exclude an entry.
// Text is compared as UTF-8: the identifier must have been converted with toUtf8() first and
// entries are compared through WorklistEntry::matchView().
//
// Supported: single value matching (case-sensitive, person names case-insensitive), wildcards
// * and ? for text VRs, UID lists, date ranges (DA), time ranges (TM), date-time ranges (DT)
// and sequence matching (an entry matches when one item of the sequence matches all item keys).
// Date and time keys are matched independently of each other.
class WorklistMatcher final
{
public:
    explicit WorklistMatcher(DcmItem& identifier);

    [[nodiscard]] bool matches(const WorklistEntry& entry) const;
    // Whether one item of the entry's sequence `sequenceTag` matches the item keys given for that
    // sequence (true when there are none).
    [[nodiscard]] bool itemMatches(const DcmTagKey& sequenceTag, const AttributeList& item) const;

    // Converts the identifier's text to UTF-8 by its (0008,0005); text without a declared character
    // set that is not plain ASCII is taken as UTF-8 when valid, otherwise as ISO_IR 100.
    static void toUtf8(DcmItem& identifier);

private:
    enum class Kind { Text, Name, UidList, Date, Time, DateTime, Sequence };
    struct Key
    {
        DcmTagKey tag;
        Kind kind = Kind::Text;
        std::string value;                   // text, name, UIDs
        std::string low, high;               // Date, DateTime (empty = open)
        long long lowTime = 0, highTime = 0; // Time in microseconds
        bool wildcard = false;
        std::vector<Key> itemKeys; // Sequence
    };

    static std::vector<Key> compile(DcmItem& item);
    static bool matchList(const std::vector<Key>& keys, const AttributeList& attributes);
    static bool matchKey(const Key& key, const Attribute* attribute);
    static bool matchValue(const Key& key, const std::string& value);

    std::vector<Key> m_keys;
};

#pragma once

#include <dcmtk/dcmdata/dctagkey.h>

#include <memory>
#include <string>
#include <vector>

class DcmItem;

struct Attribute;
// The attributes of one data set or sequence item, sorted by tag.
using AttributeList = std::vector<Attribute>;

// One attribute of a worklist entry. A plain attribute keeps its value bytes exactly as they go on
// the wire, only without trailing padding; numbers (US, UL, FD, ...) are kept in their text form.
// A sequence keeps its items instead.
struct Attribute
{
    DcmTagKey tag;
    std::string value;
    std::vector<AttributeList> items;
    bool isSequence = false;
};

// Finds `tag` in a sorted list; nullptr when the list does not hold it.
[[nodiscard]] const Attribute* findAttribute(const AttributeList& list, const DcmTagKey& tag);

// The attributes of a DCMTK item (recursively), without group lengths, file meta information and
// bulk binary data.
[[nodiscard]] AttributeList attributesFromItem(DcmItem& item);

// One scheduled entry of the worklist. Values are held in the entry's own character set
// (`charset`, the value of (0008,0005), empty for the default repertoire) and sent that way.
struct WorklistEntry
{
    AttributeList attributes;
    // UTF-8 copy of `attributes` for matching, present only when the entry's character set is
    // neither the default repertoire nor UTF-8.
    std::shared_ptr<const AttributeList> utf8;
    std::string charset;
    std::string studyUid;
    // File the entry was loaded from; empty for generated entries.
    std::string file;

    [[nodiscard]] const AttributeList& matchView() const { return utf8 ? *utf8 : attributes; }
    // Fills charset and studyUid from the attributes.
    void updateKeys();
};

// True for a character set whose bytes need no conversion to compare with UTF-8 text.
[[nodiscard]] bool isUtf8Compatible(const std::string& charset);

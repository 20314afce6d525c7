#pragma once

#include "worklistentry.h"

#include <dcmtk/dcmdata/dcdatset.h>

class WorklistMatcher;

// Builds the C-FIND response data sets of one query. The response holds exactly the attributes of
// the identifier, each with the entry's value or empty when the entry has none, plus (0008,0005)
// whenever the entry has a character set. A sequence comes back with one item per entry item
// that matched the sequence's keys, each holding the requested item attributes; an identifier
// sequence without items asks for the entry's items as they are.
//
// The same data set is refilled for every entry, so a query over many entries allocates little;
// the reference returned by build() is valid until the next call.
class ResponseBuilder final
{
public:
    // Keeps a copy of `identifier`; `matcher` must outlive the builder.
    ResponseBuilder(const DcmDataset& identifier, const WorklistMatcher& matcher);

    [[nodiscard]] DcmDataset& build(const WorklistEntry& entry);

private:
    void fillItem(DcmItem& target, DcmItem& templ, const AttributeList& values,
                  const AttributeList& matchValues, bool topLevel);

    DcmDataset m_template;
    DcmDataset m_response;
    const WorklistMatcher& m_matcher;
    bool m_charsetRequested = false;
};

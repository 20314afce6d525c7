#include "uid.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/ofstd/ofuuid.h>

QString newUid()
{
    OFString text;
    OFUUID().toString(text, OFUUID::ER_RepresentationOID);
    return QString::fromLatin1(text.c_str());
}

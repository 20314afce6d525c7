#pragma once

// DICOM bytes written by hand, for what no well-behaved writer (and no DCMTK tool) produces.

#include <QByteArray>
#include <QtEndian>

namespace DicomBytes {

inline QByteArray le16(quint16 v)
{
    return QByteArray(1, char(v & 0xFF)) + char(v >> 8);
}

inline QByteArray le32(quint32 v)
{
    return le16(v & 0xFFFF) + le16(v >> 16);
}

inline QByteArray be(quint32 v, int bytes)
{
    QByteArray out;
    for (int i = bytes - 1; i >= 0; --i)
        out += char((v >> (8 * i)) & 0xFF);
    return out;
}

// One Implicit VR Little Endian element, padded to even length; a null value gives an
// undefined length.
inline QByteArray element(quint16 group, quint16 elem, const QByteArray& value)
{
    const QByteArray padded = value.size() % 2 ? value + '\0' : value;
    return le16(group) + le16(elem) + (value.isNull() ? le32(0xFFFFFFFF) : le32(padded.size())) +
           padded;
}

// An entry whose scheduled step sequence holds another, `levels` times over, each of undefined
// length in an item of undefined length: a few bytes a level, as deep as a recursive reader
// could ever be asked to go.
inline QByteArray nested(int levels, bool explicitVr = false)
{
    const QByteArray id = explicitVr ? le16(0x0010) + le16(0x0020) + "LO" + le16(4) + "DEEP"
                                     : element(0x0010, 0x0020, "DEEP");
    const QByteArray sequence =
        explicitVr ? le16(0x0040) + le16(0x0100) + "SQ" + le16(0) + le32(0xFFFFFFFF)
                   : element(0x0040, 0x0100, {});
    const QByteArray open = sequence + element(0xFFFE, 0xE000, {});
    const QByteArray close = element(0xFFFE, 0xE00D, "") + element(0xFFFE, 0xE0DD, "");
    return id + open.repeated(levels) + close.repeated(levels);
}

// A P-DATA-TF PDU with one PDV; `control` 0x01 marks a command, 0x02 the last fragment.
inline QByteArray pdataPdu(quint8 contextId, char control, const QByteArray& fragment)
{
    const QByteArray pdv = be(fragment.size() + 2, 4) + char(contextId) + control + fragment;
    return QByteArray("\x04\0", 2) + be(pdv.size(), 4) + pdv;
}

} // namespace DicomBytes

#pragma once

#include "abortabletransport.h"

#include <QString>

#include <dcmtk/dcmdata/dctag.h>
#include <dcmtk/dcmdata/dcvr.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <vector>

// Internal to the DICOM layer: the checks every received byte passes before the toolkit sees it,
// for plain and TLS connections alike (over TLS they see the decrypted bytes).
namespace answerscan {

inline constexpr std::uint32_t undefinedLength = 0xFFFFFFFF;

inline std::uint32_t le16(const unsigned char* p)
{
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8);
}

inline std::uint32_t le32(const unsigned char* p)
{
    return le16(p) | (le16(p + 2) << 16);
}

inline std::uint32_t be32(const unsigned char* p)
{
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) |
           std::uint32_t(p[3]);
}

// Follows the element headers of one data set as its bytes arrive, in any pieces, and finds
// the first that nests too deeply or makes the data set too large. Follows the toolkit's
// reading: a sequence or item of defined length holds elements up to its end; an undefined
// length (a sequence, or an element of unknown VR read as one) holds elements up to its
// delimiter; in explicit VR the content of such an unknown element is read as implicit VR.
class DataSetScanner
{
public:
    void restart(bool explicitVr)
    {
        m_explicitVr = explicitVr;
        m_pos = 0;
        m_skip = 0;
        m_headerFill = 0;
        m_frames.clear();
    }

    // Null when the bytes are acceptable so far, else why not.
    QString feed(const unsigned char* data, std::size_t size)
    {
        m_pos += size;
        if (m_pos > AnswerLimits::maxDataSetBytes)
            return tooLarge();
        while (size > 0) {
            if (m_skip > 0) {
                const std::size_t skipped = std::size_t(std::min<std::uint64_t>(m_skip, size));
                m_skip -= skipped;
                data += skipped;
                size -= skipped;
                continue;
            }
            if (m_headerFill == 0)
                closeEnded(m_pos - size); // a new element: leave what ended before it
            m_header[m_headerFill++] = *data++;
            --size;
            const QString why = headerByte(m_pos - size);
            if (!why.isNull())
                return why;
        }
        return {};
    }

private:
    struct Frame
    {
        std::uint64_t end; // where the content ends; undefinedLength: at its delimiter
        bool explicitVr;
    };

    static QString tooLarge()
    {
        return QStringLiteral("Eintrag größer als %1 MiB")
            .arg(AnswerLimits::maxDataSetBytes / (1024 * 1024));
    }

    bool explicitHere() const
    {
        return m_frames.empty() ? m_explicitVr : m_frames.back().explicitVr;
    }

    // A header byte was taken; `at` is the data set offset after it.
    QString headerByte(std::uint64_t at)
    {
        if (m_headerFill < 8)
            return {};
        const std::uint32_t group = le16(m_header);
        const std::uint32_t element = le16(m_header + 2);
        if (group == 0xFFFE) {
            m_headerFill = 0;
            if (element == 0xE000)
                return open(le32(m_header + 4), at, explicitHere());
            if (!m_frames.empty() && m_frames.back().end == undefinedLength)
                m_frames.pop_back(); // a delimiter
            return {};
        }
        std::uint32_t length = 0;
        bool sequence = false;
        bool contentExplicit = false;
        if (explicitHere()) {
            const char vr[3] = {char(m_header[4]), char(m_header[5]), '\0'};
            const DcmVR parsed(vr);
            if (parsed.usesExtendedLengthEncoding() || parsed.getEVR() == EVR_UNKNOWN2B) {
                if (m_headerFill < 12)
                    return {};
                length = le32(m_header + 8);
            } else {
                length = le16(m_header + 6);
            }
            sequence = parsed.getEVR() == EVR_SQ;
            contentExplicit = sequence;
        } else {
            length = le32(m_header + 4);
            sequence = DcmTag(Uint16(group), Uint16(element)).getEVR() == EVR_SQ;
        }
        m_headerFill = 0;
        if (length == undefinedLength || sequence)
            return open(length, at, contentExplicit);
        if (at + length > AnswerLimits::maxDataSetBytes)
            return tooLarge();
        m_skip = length;
        return {};
    }

    QString open(std::uint32_t length, std::uint64_t at, bool explicitVr)
    {
        if (m_frames.size() >= 2 * std::size_t(AnswerLimits::maxNesting))
            return QStringLiteral("Eintrag tiefer als %1 Ebenen verschachtelt")
                .arg(AnswerLimits::maxNesting);
        m_frames.push_back({length == undefinedLength ? undefinedLength : at + length, explicitVr});
        return {};
    }

    // Leaves the containers of defined length that end at `at` or before.
    void closeEnded(std::uint64_t at)
    {
        while (!m_frames.empty() && m_frames.back().end != undefinedLength &&
               m_frames.back().end <= at)
            m_frames.pop_back();
    }

    bool m_explicitVr = true;
    std::uint64_t m_pos = 0;  // bytes of this data set seen
    std::uint64_t m_skip = 0; // value bytes still to pass over
    unsigned char m_header[12] = {};
    int m_headerFill = 0;
    std::vector<Frame> m_frames;
};

} // namespace answerscan

// Follows the PDUs of a connection, from its first byte, and the data sets inside P-DATA.
class AnswerScanner
{
public:
    explicit AnswerScanner(const std::atomic<bool>* explicitVr) : m_explicitVr(explicitVr) {}

    // The first bytes received were a TLS record, not a DICOM answer.
    [[nodiscard]] bool sawTlsRecord() const { return m_tlsRecord; }

    QString feed(const unsigned char* data, std::size_t size)
    {
        while (size > 0) {
            if (!m_inPdu) {
                m_pduHeader[m_pduHeaderFill++] = *data++;
                --size;
                if (m_pduHeaderFill < 6)
                    continue;
                m_pduHeaderFill = 0;
                m_pduType = m_pduHeader[0];
                m_pduLeft = answerscan::be32(m_pduHeader + 2);
                // A TLS record (alert 0x15, handshake 0x16, version 3.x) where an A-ASSOCIATE
                // answer belongs: the server speaks only TLS.
                m_tlsRecord =
                    m_first && (m_pduType == 0x15 || m_pduType == 0x16) && m_pduHeader[1] == 0x03;
                if (m_first && m_pduType != 0x02 && m_pduType != 0x03 && m_pduType != 0x07)
                    return QStringLiteral("Daten vor der Antwort auf die Assoziationsanfrage");
                m_first = false;
                m_inPdu = m_pduLeft > 0;
                m_pdvHeaderFill = 0;
                m_pdvLeft = 0;
                continue;
            }
            const std::size_t taken = std::size_t(std::min<std::uint64_t>(m_pduLeft, size));
            if (m_pduType == 0x04) {
                const QString why = pdata(data, taken);
                if (!why.isNull())
                    return why;
            }
            data += taken;
            size -= taken;
            m_pduLeft -= taken;
            m_inPdu = m_pduLeft > 0;
        }
        return {};
    }

private:
    QString pdata(const unsigned char* data, std::size_t size)
    {
        while (size > 0) {
            if (m_pdvLeft == 0) {
                m_pdvHeader[m_pdvHeaderFill++] = *data++;
                --size;
                if (m_pdvHeaderFill < 6)
                    continue;
                m_pdvHeaderFill = 0;
                const std::uint32_t length = answerscan::be32(m_pdvHeader);
                m_pdvLeft = length >= 2 ? length - 2 : 0;
                const unsigned char control = m_pdvHeader[5];
                m_pdvIsData = (control & 0x01) == 0;
                m_pdvIsLast = (control & 0x02) != 0;
                if (m_pdvIsData && !m_inDataSet) {
                    m_dataSet.restart(*m_explicitVr);
                    m_inDataSet = true;
                }
                if (m_pdvLeft == 0)
                    endPdv();
                continue;
            }
            const std::size_t taken = std::size_t(std::min<std::uint64_t>(m_pdvLeft, size));
            if (m_pdvIsData) {
                const QString why = m_dataSet.feed(data, taken);
                if (!why.isNull())
                    return why;
            }
            data += taken;
            size -= taken;
            m_pdvLeft -= taken;
            if (m_pdvLeft == 0)
                endPdv();
        }
        return {};
    }

    void endPdv()
    {
        if (m_pdvIsData && m_pdvIsLast)
            m_inDataSet = false;
    }

    const std::atomic<bool>* m_explicitVr;
    bool m_first = true;
    bool m_tlsRecord = false;
    bool m_inPdu = false;
    unsigned char m_pduHeader[6] = {};
    int m_pduHeaderFill = 0;
    unsigned char m_pduType = 0;
    std::uint64_t m_pduLeft = 0;
    unsigned char m_pdvHeader[6] = {};
    int m_pdvHeaderFill = 0;
    std::uint64_t m_pdvLeft = 0;
    bool m_pdvIsData = false;
    bool m_pdvIsLast = false;
    bool m_inDataSet = false;
    answerscan::DataSetScanner m_dataSet;
};

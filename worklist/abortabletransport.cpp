#include "abortabletransport.h"

#include "exchangeabort.h"

#include <QString>

#include <dcmtk/dcmdata/dctag.h>
#include <dcmtk/dcmdata/dcvr.h>
#include <dcmtk/dcmnet/dcmtrans.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

// Bytes taken from the socket in one call. The toolkit reads every message in two small pieces
// and, when it has a time-out, waits on the socket before each; a worklist answer is a stream
// of small messages, so one call here serves dozens of them.
constexpr size_t readBufferSize = 64 * 1024;

constexpr std::uint32_t undefinedLength = 0xFFFFFFFF;

std::uint32_t le16(const unsigned char* p)
{
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8);
}

std::uint32_t le32(const unsigned char* p)
{
    return le16(p) | (le16(p + 2) << 16);
}

std::uint32_t be32(const unsigned char* p)
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

// Follows the PDUs of a connection, from its first byte, and the data sets inside P-DATA.
class AnswerScanner
{
public:
    explicit AnswerScanner(const std::atomic<bool>* explicitVr) : m_explicitVr(explicitVr) {}

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
                m_pduLeft = be32(m_pduHeader + 2);
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
                const std::uint32_t length = be32(m_pdvHeader);
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
    DataSetScanner m_dataSet;
};

class RegisteredConnection final : public DcmTCPConnection
{
public:
    RegisteredConnection(DcmNativeSocketType socket, ExchangeAbort* abort,
                         const std::atomic<bool>* explicitVr)
        : DcmTCPConnection(socket), m_abort(abort), m_scanner(explicitVr)
    {
        if (m_abort)
            m_abort->registerSocket(socket);
    }
    ~RegisteredConnection() override { unregister(); }

    ssize_t read(void* buf, size_t nbyte) override
    {
        // An aborted exchange gets nothing more, not even what was already received.
        if (m_aborted || (m_abort && m_abort->isAborted())) {
            m_aborted = true;
            m_begin = m_end = 0;
            return 0;
        }
        if (nbyte == 0)
            return 0;
        if (m_begin == m_end) {
            // A large request goes straight to the caller's memory: no copy, no buffer.
            if (nbyte >= readBufferSize)
                return receive(buf, nbyte);
            if (!m_buffer)
                m_buffer = std::make_unique<char[]>(readBufferSize);
            const ssize_t received = receive(m_buffer.get(), readBufferSize);
            if (received <= 0)
                return received;
            m_begin = 0;
            m_end = size_t(received);
        }
        const size_t taken = std::min(nbyte, m_end - m_begin);
        std::memcpy(buf, m_buffer.get() + m_begin, taken);
        m_begin += taken;
        return ssize_t(taken);
    }

    // Bytes already taken from the socket are available without asking the socket.
    OFBool networkDataAvailable(int timeout) override
    {
        if (m_begin != m_end)
            return OFTrue;
        return DcmTCPConnection::networkDataAvailable(timeout);
    }

    // A wait on the bare socket would miss the bytes held here, so whoever waits on several
    // connections must ask networkDataAvailable() instead.
    OFBool isTransparentConnection() override { return OFFalse; }

    void close() override
    {
        unregister();
        m_begin = m_end = 0;
        DcmTCPConnection::close();
    }

private:
    ssize_t receive(void* buf, size_t nbyte)
    {
        ssize_t received = 0;
        do {
            received = ::recv(getSocket(), buf, nbyte, 0);
        } while (received < 0 && errno == EINTR);
        if (received > 0) {
            const QString why =
                m_scanner.feed(static_cast<const unsigned char*>(buf), std::size_t(received));
            if (!why.isNull()) {
                // The toolkit gets none of these bytes: to it the connection has ended.
                if (m_abort)
                    m_abort->refuseAnswer(why);
                m_aborted = true;
                return 0;
            }
        }
        return received;
    }

    void unregister()
    {
        if (m_abort)
            m_abort->unregisterSocket(getSocket());
        m_abort = nullptr;
    }

    ExchangeAbort* m_abort; // not owned; null once unregistered
    AnswerScanner m_scanner;
    std::unique_ptr<char[]> m_buffer;
    size_t m_begin = 0; // unread bytes of m_buffer: [m_begin, m_end)
    size_t m_end = 0;
    bool m_aborted = false;
};

} // namespace

AbortableTransport::~AbortableTransport()
{
    if (m_handover >= 0)
        ::close(m_handover);
}

void AbortableTransport::handOver(int connectedSocket)
{
    if (m_handover >= 0)
        ::close(m_handover);
    m_handover = connectedSocket;
}

DcmTransportConnection* AbortableTransport::createConnection(DcmNativeSocketType openSocket,
                                                             OFBool /*useSecureLayer*/)
{
    if (m_handover >= 0) {
        // The toolkit's socket number now names the connection the program made; its own
        // connection to the hand-over listener ends here.
        const bool replaced = ::dup2(m_handover, openSocket) >= 0;
        ::close(m_handover);
        m_handover = -1;
        if (!replaced)
            return nullptr;
    }
    return new RegisteredConnection(openSocket, m_abort, &m_explicitVr);
}

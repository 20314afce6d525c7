#include "association.h"

#include "abortabletransport.h"
#include "exchangeabort.h"
#include "tcpconnect.h"
#include "tlsconnection.h"
#include "tlscontext.h"
#include "toolkitlog.h"

#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/dul.h>
#include <dcmtk/dcmtls/tlslayer.h>
#include <dcmtk/ofstd/ofstd.h>

#include <algorithm>
#include <chrono>
#include <unistd.h>

namespace {

// An AE title is 1 to 16 characters of printable ASCII without a backslash; blanks around it
// do not count.
bool isValidAeTitle(const QString& title)
{
    const QString trimmed = title.trimmed();
    if (trimmed.isEmpty() || trimmed.size() > 16)
        return false;
    for (const QChar c : trimmed) {
        if (c.unicode() < 0x20 || c.unicode() > 0x7E || c == QLatin1Char('\\'))
            return false;
    }
    return true;
}

// A title as a box can show it: control characters would break the line or the text.
QString shownTitle(const QString& title)
{
    QString shown = title.left(64);
    for (QChar& c : shown) {
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char('?');
    }
    return shown;
}

} // namespace

Association::Association(ExchangeAbort* abort)
    : m_ownAbort(abort ? nullptr : std::make_unique<ExchangeAbort>()),
      m_abort(abort ? abort : m_ownAbort.get()),
      m_transport(std::make_unique<AbortableTransport>(m_abort))
{
    silenceToolkitLog();
}

Association::~Association()
{
    close(true);
    m_abort->disarmDeadline();
}

bool Association::isAborted() const
{
    return m_abort->isAborted();
}

DicomError Association::abortedError() const
{
    if (m_transport->tlsFailure().kind != TlsFailure::Kind::None)
        return ExchangeErrors::tlsFailed(m_transport->tlsFailure(), m_peer, m_timeouts);
    switch (m_abort->reason()) {
    case ExchangeAbort::Reason::Deadline:
        return ExchangeErrors::deadlinePassed(m_peer, m_timeouts);
    case ExchangeAbort::Reason::InvalidAnswer:
        return ExchangeErrors::answerRefused(m_peer, m_abort->refusal());
    case ExchangeAbort::Reason::None:
    case ExchangeAbort::Reason::Program:
        break;
    }
    return ExchangeErrors::aborted(m_peer);
}

DicomError Association::failure(const OFCondition& cond) const
{
    if (isAborted() || m_transport->tlsFailure().kind != TlsFailure::Kind::None)
        return abortedError();
    return ExchangeErrors::fromCondition(cond, ExchangeErrors::Phase::Exchange, m_peer, m_timeouts);
}

DicomError Association::connect(const ConnectionParams& params, quint16 port,
                                HandoverListener& listener)
{
    TcpConnection tcp = connectTcp(params.host, port, m_peer, m_timeouts, *m_abort);
    if (isAborted()) {
        if (tcp.socket >= 0)
            ::close(tcp.socket);
        return abortedError();
    }
    if (tcp.socket < 0)
        return tcp.error;
    m_abort->registerSocket(tcp.socket); // an abort from here on ends the connection
    if (!listener.open()) {
        const int error = errno;
        m_abort->unregisterSocket(tcp.socket);
        ::close(tcp.socket);
        return ExchangeErrors::connectFailed(error, m_peer, m_timeouts);
    }
    m_transport->handOver(tcp.socket);
    return {};
}

DicomError Association::open(const ConnectionParams& params, const char* abstractSyntax,
                             const QString& serviceName)
{
    m_timeouts = params.timeouts;
    m_peer = params.host + QLatin1Char(':') + params.port;

    bool ok = false;
    const uint port = params.port.trimmed().toUInt(&ok, 10);
    if (!ok || port < 1 || port > 65535)
        return ExchangeErrors::badPort(params.port);
    if (!isValidAeTitle(params.callingAet))
        return ExchangeErrors::badAeTitle(shownTitle(params.callingAet), true);
    if (!isValidAeTitle(params.calledAet))
        return ExchangeErrors::badAeTitle(shownTitle(params.calledAet), false);
    if (params.tls.enabled) {
        std::unique_ptr<DcmTLSTransportLayer> tls;
        const DicomError error = makeClientTls(params.tls, tls);
        if (error.isError())
            return error;
        m_transport->useTls(std::move(tls), m_timeouts.acseSeconds);
    }
    if (isAborted())
        return abortedError();
    m_abort->armDeadline(std::chrono::steady_clock::now() +
                         std::chrono::seconds(m_timeouts.totalSeconds()));

    using ExchangeErrors::Phase;
    HandoverListener listener;
    DicomError error = connect(params, quint16(port), listener);
    if (error.isError())
        return error;

    // Process-wide in the toolkit; only one exchange runs at a time, so setting it here is safe.
    // The toolkit only reaches the hand-over listener on this machine.
    dcmConnectionTimeout.set(Sint32(m_timeouts.connectSeconds));

    OFCondition cond = ASC_initializeNetwork(NET_REQUESTOR, 0, m_timeouts.acseSeconds, &m_net);
    if (cond.good())
        cond = ASC_setTransportLayer(m_net, m_transport.get(), 0);
    if (cond.good())
        cond = ASC_createAssociationParameters(&m_params, ASC_DEFAULTMAXPDU);
    if (cond.bad())
        return ExchangeErrors::fromCondition(cond, Phase::Exchange, m_peer, m_timeouts);

    const QByteArray calling = params.callingAet.trimmed().toLatin1();
    const QByteArray called = params.calledAet.trimmed().toLatin1();
    const char* transferSyntaxes[] = {UID_LittleEndianExplicitTransferSyntax,
                                      UID_LittleEndianImplicitTransferSyntax};
    ASC_setAPTitles(m_params, calling.constData(), called.constData(), nullptr);
    // "Secure" in the toolkit's sense always: the layer set above decides between plain TCP and
    // TLS, and lets the abort see the socket either way.
    ASC_setTransportLayerType(m_params, OFTrue);
    ASC_setPresentationAddresses(m_params, OFStandard::getHostName().c_str(),
                                 listener.address().constData());
    cond = ASC_addPresentationContext(m_params, 1, abstractSyntax, transferSyntaxes, 2);
    if (cond.bad())
        return ExchangeErrors::fromCondition(cond, Phase::Exchange, m_peer, m_timeouts);

    cond = ASC_requestAssociation(m_net, m_params, &m_assoc);
    listener.close();
    if (cond.bad()) {
        if (isAborted() || m_transport->tlsFailure().kind != TlsFailure::Kind::None)
            return abortedError();
        if (!params.tls.enabled && endedWithoutAnswer(cond) && probeForTls(params, quint16(port)))
            return ExchangeErrors::tlsFailed({TlsFailure::Kind::TlsRequired, {}, 0}, m_peer,
                                             m_timeouts);
        if (cond == DUL_ASSOCIATIONREJECTED) {
            T_ASC_RejectParameters reject{};
            ASC_getRejectParameters(m_params, &reject);
            return ExchangeErrors::rejected(reject, m_peer);
        }
        return ExchangeErrors::fromCondition(cond, Phase::Associate, m_peer, m_timeouts);
    }
    m_established = true;
    if (isAborted())
        return abortedError();

    m_contextId = ASC_findAcceptedPresentationContextID(m_assoc, abstractSyntax);
    if (m_contextId == 0)
        return ExchangeErrors::serviceNotAccepted(serviceName, m_peer);
    T_ASC_PresentationContext context{};
    if (ASC_findAcceptedPresentationContext(m_params, m_contextId, &context).good())
        m_transport->setExplicitVr(OFString(context.acceptedTransferSyntax) !=
                                   UID_LittleEndianImplicitTransferSyntax);
    return {};
}

bool Association::endedWithoutAnswer(const OFCondition& cond) const
{
    return !m_transport->receivedAnything() &&
           (cond == DUL_PEERABORTEDASSOCIATION || cond == DUL_NETWORKCLOSED ||
            (cond.module() == OFM_dcmnet && cond.code() == DULC_TCPIOERROR));
}

bool Association::probeForTls(const ConnectionParams& params, quint16 port)
{
    // A server that speaks only TLS drops a plain association request without a word. Asking
    // it for a TLS greeting, and nothing more, tells that apart from any other silent end.
    Timeouts probeTimeouts = m_timeouts;
    probeTimeouts.connectSeconds = std::min(m_timeouts.connectSeconds, 3);
    const TcpConnection tcp = connectTcp(params.host, port, m_peer, probeTimeouts, *m_abort);
    if (tcp.socket < 0)
        return false;
    m_abort->registerSocket(tcp.socket);
    const bool speaksTls = serverSpeaksTls(tcp.socket, std::min(m_timeouts.acseSeconds, 3));
    m_abort->unregisterSocket(tcp.socket);
    ::close(tcp.socket);
    return speaksTls && !isAborted();
}

void Association::finish(bool succeeded)
{
    close(!succeeded || isAborted());
}

void Association::close(bool abortAssociation)
{
    if (m_assoc) {
        if (m_established) {
            if (abortAssociation || ASC_releaseAssociation(m_assoc).bad())
                ASC_abortAssociation(m_assoc);
        }
        ASC_destroyAssociation(&m_assoc); // frees m_params with it
        m_params = nullptr;
    } else if (m_params) {
        ASC_destroyAssociationParameters(&m_params);
    }
    m_established = false;
    if (m_net)
        ASC_dropNetwork(&m_net);
}

DicomError runExchange(const ConnectionParams& params, ExchangeAbort* abort,
                       const char* abstractSyntax, const QString& serviceName,
                       const ExchangeStep& step, const std::function<bool(Uint16)>& succeeded)
{
    Association association(abort);
    DicomError error = association.open(params, abstractSyntax, serviceName);
    if (error.isError())
        return error;
    Uint16 status = 0;
    const OFCondition cond = step(association, status);
    if (cond.bad())
        error = association.failure(cond);
    else if (association.isAborted())
        error = association.abortedError();
    else if (!succeeded(status))
        error = ExchangeErrors::status(status, association.peer());
    association.finish(!error.isError());
    return error;
}

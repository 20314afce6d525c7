#include "association.h"

#include "exchangeerrors.h"
#include "tlscontext.h"
#include "toolkitlog.h"

#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/dul.h>
#include <dcmtk/ofstd/ofstd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool is(const OFCondition& cond, unsigned short code)
{
    return cond.bad() && cond.module() == OFM_dcmnet && cond.code() == code;
}

struct Connected
{
    int socket = -1; // open, or -1
    int error = 0;   // errno, or EAI_ code with `lookupFailed`
    bool lookupFailed = false;
};

// A TCP connect of our own, made only to learn why the toolkit's failed: the toolkit keeps
// nothing of the cause but the C library's (translated) words.
Connected connectOnce(const QString& host, quint16 port, int seconds)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const QByteArray name = host.trimmed().toUtf8();
    const int lookup =
        ::getaddrinfo(name.constData(), QByteArray::number(port).constData(), &hints, &found);
    if (lookup != 0)
        return {-1, lookup, true};
    Connected result{-1, ECONNREFUSED, false};
    for (addrinfo* a = found; a && result.socket < 0; a = a->ai_next) {
        const int s =
            ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (s < 0) {
            result.error = errno;
            continue;
        }
        int error = 0;
        if (::connect(s, a->ai_addr, a->ai_addrlen) != 0) {
            error = errno;
            if (error == EINPROGRESS) {
                pollfd wait{s, POLLOUT, 0};
                error = ::poll(&wait, 1, seconds * 1000) > 0 ? 0 : ETIMEDOUT;
                socklen_t size = sizeof error;
                if (error == 0)
                    ::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &size);
            }
        }
        if (error == 0) {
            ::fcntl(s, F_SETFL, ::fcntl(s, F_GETFL) & ~O_NONBLOCK);
            result = {s, 0, false};
        } else {
            ::close(s);
            result.error = error;
        }
    }
    ::freeaddrinfo(found);
    return result;
}

} // namespace

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

Association::Association()
{
    silenceToolkitLog();
}

Association::~Association()
{
    close(true);
}

DicomError Association::failure(const OFCondition& cond) const
{
    if (m_refusal.isError())
        return m_refusal;
    const TlsFailure tls = m_watch.tlsFailure();
    if (tls.kind != TlsFailure::Kind::None)
        return ExchangeErrors::tlsFailed(tls, m_peer, m_timeouts);
    if (m_watch.readTimedOut)
        return ExchangeErrors::answerStopped(m_peer, m_timeouts);
    return ExchangeErrors::fromCondition(cond, ExchangeErrors::Phase::Exchange, m_peer, m_timeouts);
}

void Association::refuseAnswer(const QString& why)
{
    if (!m_refusal.isError())
        m_refusal = ExchangeErrors::answerRefused(m_peer, why);
    // Called while the toolkit still reads: the connection ends, the association stays until
    // the step has returned.
    if (m_established)
        ASC_abortAssociation(m_assoc);
    m_established = false;
}

DicomError Association::open(const ConnectionParams& params, const char* abstractSyntax,
                             const QString& serviceName)
{
    m_timeouts = params.timeouts;
    m_peer = params.host + QLatin1Char(':') + params.port;

    if (!params.tls.settingsError.isEmpty())
        return {DicomError::badSetting, params.tls.settingsError};
    bool ok = false;
    const uint port = params.port.trimmed().toUInt(&ok, 10);
    if (!ok || port < 1 || port > 65535)
        return ExchangeErrors::badPort(params.port);
    if (!isValidAeTitle(params.callingAet))
        return ExchangeErrors::badAeTitle(shownTitle(params.callingAet), true);
    if (!isValidAeTitle(params.calledAet))
        return ExchangeErrors::badAeTitle(shownTitle(params.calledAet), false);
    m_watch.handshakeSeconds = m_timeouts.acseSeconds;
    m_watch.readSeconds = m_timeouts.dimseSeconds;
    if (params.tls.enabled) {
        std::unique_ptr<TlsTransport> tls;
        const DicomError error = makeClientTls(params.tls, params.host, &m_watch, tls);
        if (error.isError())
            return error;
        m_layer = std::move(tls);
    } else {
        m_layer = std::make_unique<PlainTransport>(&m_watch);
    }

    // Process-wide in the toolkit; the helper runs one exchange.
    dcmConnectionTimeout.set(Sint32(m_timeouts.connectSeconds));
    OFCondition cond = ASC_initializeNetwork(NET_REQUESTOR, 0, m_timeouts.acseSeconds, &m_net);
    if (cond.good())
        cond = ASC_setTransportLayer(m_net, m_layer.get(), 0);
    if (cond.good())
        cond = ASC_createAssociationParameters(&m_params, ASC_DEFAULTMAXPDU);
    if (cond.bad())
        return ExchangeErrors::fromCondition(cond, ExchangeErrors::Phase::Exchange, m_peer,
                                             m_timeouts);

    const QByteArray calling = params.callingAet.trimmed().toLatin1();
    const QByteArray called = params.calledAet.trimmed().toLatin1();
    const QByteArray address =
        (params.host.trimmed() + QLatin1Char(':') + QString::number(port)).toUtf8();
    const char* transferSyntaxes[] = {UID_LittleEndianExplicitTransferSyntax,
                                      UID_LittleEndianImplicitTransferSyntax};
    ASC_setAPTitles(m_params, calling.constData(), called.constData(), nullptr);
    ASC_setTransportLayerType(m_params, params.tls.enabled ? OFTrue : OFFalse);
    ASC_setPresentationAddresses(m_params, OFStandard::getHostName().c_str(), address.constData());
    cond = ASC_addPresentationContext(m_params, 1, abstractSyntax, transferSyntaxes, 2);
    if (cond.bad())
        return ExchangeErrors::fromCondition(cond, ExchangeErrors::Phase::Exchange, m_peer,
                                             m_timeouts);

    const auto began = std::chrono::steady_clock::now();
    cond = ASC_requestAssociation(m_net, m_params, &m_assoc);
    if (cond.bad()) {
        // A connect the toolkit waited out is not tried again.
        if (is(cond, DULC_TCPINITERROR) && !m_watch.connected &&
            std::chrono::steady_clock::now() - began >=
                std::chrono::seconds(m_timeouts.connectSeconds))
            return ExchangeErrors::connectFailed(ETIMEDOUT, m_peer, m_timeouts);
        return requestFailed(cond, params, quint16(port));
    }
    m_established = true;
    // The toolkit takes any PDU for the association's answer; a real answer says something
    // about each context offered, even if only that it is refused.
    if (!m_params->DULparams.acceptedPresentationContext ||
        LST_Count(&m_params->DULparams.acceptedPresentationContext) == 0)
        return ExchangeErrors::answerRefused(
            m_peer, QStringLiteral("Daten vor der Antwort auf die Assoziationsanfrage"));
    m_contextId = ASC_findAcceptedPresentationContextID(m_assoc, abstractSyntax);
    if (m_contextId == 0)
        return ExchangeErrors::serviceNotAccepted(serviceName, m_peer);
    return {};
}

DicomError Association::requestFailed(const OFCondition& cond, const ConnectionParams& params,
                                      quint16 port) const
{
    const TlsFailure tls = m_watch.tlsFailure();
    if (tls.kind != TlsFailure::Kind::None)
        return ExchangeErrors::tlsFailed(tls, m_peer, m_timeouts);
    if (m_watch.readTimedOut)
        return ExchangeErrors::answerStopped(m_peer, m_timeouts);
    if (cond == DUL_ASSOCIATIONREJECTED) {
        T_ASC_RejectParameters reject{};
        ASC_getRejectParameters(m_params, &reject);
        return ExchangeErrors::rejected(reject, m_peer);
    }
    if (is(cond, DULC_UNKNOWNHOST) || (is(cond, DULC_TCPINITERROR) && !m_watch.connected)) {
        // Ask once more, to learn the cause the toolkit dropped.
        const Connected again =
            connectOnce(params.host, port, std::min(m_timeouts.connectSeconds, 3));
        if (again.socket >= 0)
            ::close(again.socket);
        if (again.lookupFailed)
            return ExchangeErrors::hostNotFound(again.error, params.host.trimmed());
        if (again.socket < 0)
            return ExchangeErrors::connectFailed(again.error, m_peer, m_timeouts);
    }
    // A server that speaks only TLS drops a plain association request without a word. Asking
    // it for a TLS greeting, and nothing more, tells that apart from any other silent end.
    if (!params.tls.enabled && (cond == DUL_NETWORKCLOSED || is(cond, DULC_TCPIOERROR) ||
                                cond == DUL_PEERABORTEDASSOCIATION)) {
        const Connected probe =
            connectOnce(params.host, port, std::min(m_timeouts.connectSeconds, 3));
        const bool speaksTls =
            probe.socket >= 0 && serverSpeaksTls(probe.socket, std::min(m_timeouts.acseSeconds, 3));
        if (probe.socket >= 0)
            ::close(probe.socket);
        if (speaksTls)
            return ExchangeErrors::tlsFailed({TlsFailure::Kind::TlsRequired, {}, 0}, m_peer,
                                             m_timeouts);
    }
    return ExchangeErrors::fromCondition(cond, ExchangeErrors::Phase::Associate, m_peer,
                                         m_timeouts);
}

void Association::finish(bool succeeded)
{
    close(!succeeded);
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

DicomError runExchange(const ConnectionParams& params, const char* abstractSyntax,
                       const QString& serviceName, const ExchangeStep& step,
                       const std::function<bool(Uint16)>& succeeded)
{
    Association association;
    DicomError error = association.open(params, abstractSyntax, serviceName);
    if (error.isError())
        return error;
    Uint16 status = 0;
    const OFCondition cond = step(association, status);
    if (association.refusal().isError())
        error = association.refusal();
    else if (cond.bad())
        error = association.failure(cond);
    else if (!succeeded(status))
        error = ExchangeErrors::status(status, association.peer());
    association.finish(!error.isError());
    return error;
}

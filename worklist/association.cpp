#include "association.h"

#include "abortabletransport.h"
#include "exchangeabort.h"
#include "toolkitlog.h"

#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/dul.h>
#include <dcmtk/ofstd/ofstd.h>

Association::Association(ExchangeAbort* abort)
    : m_abort(abort), m_transport(std::make_unique<AbortableTransport>(abort))
{
    silenceToolkitLog();
}

Association::~Association()
{
    close(true);
}

bool Association::isAborted() const
{
    return m_abort && m_abort->isAborted();
}

DicomError Association::abortedError() const
{
    return ExchangeErrors::aborted(m_peer);
}

DicomError Association::failure(const OFCondition& cond) const
{
    if (isAborted())
        return abortedError();
    return ExchangeErrors::fromCondition(cond, ExchangeErrors::Phase::Exchange, m_peer, m_timeouts);
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
    if (isAborted())
        return abortedError();

    using ExchangeErrors::Phase;
    // Process-wide in the toolkit; only one exchange runs at a time, so setting it here is safe.
    dcmConnectionTimeout.set(Sint32(m_timeouts.connectSeconds));

    OFCondition cond = ASC_initializeNetwork(NET_REQUESTOR, 0, m_timeouts.acseSeconds, &m_net);
    if (cond.good())
        cond = ASC_setTransportLayer(m_net, m_transport.get(), 0);
    if (cond.good())
        cond = ASC_createAssociationParameters(&m_params, ASC_DEFAULTMAXPDU);
    if (cond.bad())
        return ExchangeErrors::fromCondition(cond, Phase::Exchange, m_peer, m_timeouts);

    const QByteArray calling = params.callingAet.toLatin1();
    const QByteArray called = params.calledAet.toLatin1();
    const QByteArray address = params.host.toUtf8() + ':' + QByteArray::number(port);
    const char* transferSyntaxes[] = {UID_LittleEndianExplicitTransferSyntax,
                                      UID_LittleEndianImplicitTransferSyntax};
    ASC_setAPTitles(m_params, calling.constData(), called.constData(), nullptr);
    // Plain TCP all the same: the layer set above only lets the abort see the socket.
    ASC_setTransportLayerType(m_params, OFTrue);
    ASC_setPresentationAddresses(m_params, OFStandard::getHostName().c_str(), address.constData());
    cond = ASC_addPresentationContext(m_params, 1, abstractSyntax, transferSyntaxes, 2);
    if (cond.bad())
        return ExchangeErrors::fromCondition(cond, Phase::Exchange, m_peer, m_timeouts);

    cond = ASC_requestAssociation(m_net, m_params, &m_assoc);
    if (cond.bad()) {
        if (isAborted())
            return abortedError();
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
    return {};
}

void Association::release()
{
    close(isAborted());
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

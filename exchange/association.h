#pragma once

#include "connectionparams.h"
#include "dicomerror.h"
#include "transport.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/assoc.h>

#include <functional>
#include <memory>

// One association to one server for one exchange, offering one abstract syntax with Explicit
// VR Little Endian first, then Implicit. Owns the network, the transport, the association and
// its parameters; whatever is still open when the object goes away is aborted. The exchange's
// total deadline is the window's: it ends the helper process this runs in.
class Association final
{
public:
    Association();
    ~Association();
    Association(const Association&) = delete;
    Association& operator=(const Association&) = delete;

    // Checks the port and the AE titles, connects and negotiates. Nothing is sent when a
    // setting is unusable.
    [[nodiscard]] DicomError open(const ConnectionParams& params, const char* abstractSyntax,
                                  const QString& serviceName);
    // Ends the association: politely after a successful exchange; after a failure it is
    // aborted, so no release waits out a time-out the user did not ask for.
    void finish(bool succeeded);
    // Ends the association at once because of what the server sent; `why` completes
    // "Ungültige Antwort von HOST:PORT: ..." and is the exchange's failure from then on.
    void refuseAnswer(const QString& why);

    [[nodiscard]] T_ASC_Association* handle() const { return m_assoc; }
    [[nodiscard]] T_ASC_PresentationContextID contextId() const { return m_contextId; }
    [[nodiscard]] int dimseTimeout() const { return m_timeouts.dimseSeconds; }
    // The failure for a condition of a DIMSE step; a refused answer wins over the condition
    // it caused.
    [[nodiscard]] DicomError failure(const OFCondition& cond) const;
    [[nodiscard]] const DicomError& refusal() const { return m_refusal; }
    [[nodiscard]] const QString& peer() const { return m_peer; }

private:
    void close(bool abortAssociation);
    [[nodiscard]] DicomError requestFailed(const OFCondition& cond, const ConnectionParams& params,
                                           quint16 port) const;

    ConnectionWatch m_watch;
    std::unique_ptr<DcmTransportLayer> m_layer;
    T_ASC_Network* m_net = nullptr;
    T_ASC_Parameters* m_params = nullptr; // owned by m_assoc once that exists
    T_ASC_Association* m_assoc = nullptr;
    T_ASC_PresentationContextID m_contextId = 0;
    bool m_established = false;
    Timeouts m_timeouts;
    QString m_peer;
    DicomError m_refusal;
};

// An AE title is 1 to 16 characters of printable ASCII without a backslash; blanks around it
// do not count.
[[nodiscard]] bool isValidAeTitle(const QString& title);
// A text as a box can show it: at most 64 characters, control characters replaced.
[[nodiscard]] QString shownTitle(const QString& title);

// One DIMSE request of an exchange: sends it on `association`, takes what comes back, and
// returns the toolkit's condition with the status of the final response in `status`.
using ExchangeStep = std::function<OFCondition(Association& association, Uint16& status)>;

// The course every exchange takes: the association for `abstractSyntax`, the step, then the
// checks in their order (the toolkit's condition, a refused answer, the final status, which
// `succeeded` judges), and the end of the association: released after success, aborted after
// any failure. Returns the failure, or no error.
[[nodiscard]] DicomError runExchange(const ConnectionParams& params, const char* abstractSyntax,
                                     const QString& serviceName, const ExchangeStep& step,
                                     const std::function<bool(Uint16 status)>& succeeded);

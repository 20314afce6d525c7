#pragma once

#include "connectionparams.h"
#include "dicomerror.h"

#include <memory>

class TlsTransport;
struct ConnectionWatch;

// The TLS layer of one exchange, set up from the TLS settings with
// the BCP 195 profile, always verifying the server's certificate against `caCertificate` (or the
// system's trust store). Every file is loaded here, before anything is sent: a file that is
// missing, unreadable or not what its key names fails with the file's name (number -1).
[[nodiscard]] DicomError makeClientTls(const TlsParams& tls, ConnectionWatch* watch,
                                       std::unique_ptr<TlsTransport>& layer);

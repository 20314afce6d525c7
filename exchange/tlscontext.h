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
// The server's certificate must carry tls.serverName, or `host` when that is empty, as a DNS or
// IP subject alternative name; the key file must not be open to users outside its group.
[[nodiscard]] DicomError makeClientTls(const TlsParams& tls, const QString& host,
                                       ConnectionWatch* watch,
                                       std::unique_ptr<TlsTransport>& layer);

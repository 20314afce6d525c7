#pragma once

#include "connectionparams.h"
#include "dicomerror.h"

#include <memory>

class DcmTLSTransportLayer;

// Internal to the DICOM layer: the TLS layer of one exchange, set up from the TLS settings with
// the BCP 195 profile, always verifying the server's certificate against `caCertificate` (or the
// system's trust store). Every file is loaded here, before anything is sent: a file that is
// missing, unreadable or not what its key names fails with the file's name (number -1).
[[nodiscard]] DicomError makeClientTls(const TlsParams& tls,
                                       std::unique_ptr<DcmTLSTransportLayer>& layer);

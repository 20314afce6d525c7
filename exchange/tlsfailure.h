#pragma once

#include <QString>

// Internal to the DICOM layer: why a TLS connection failed, as far as the program could tell,
// so the failure text can name what IT must fix rather than what OpenSSL saw.
struct TlsFailure
{
    enum class Kind {
        None,
        NotTls,            // the server answered the TLS greeting with no TLS (or not at all)
        NoAnswer,          // the server stayed silent within the association time-out
        Untrusted,         // the server's certificate does not verify; see subject, code
        ClientCertMissing, // the server wants a certificate of ours and we have none
        ClientCertRefused, // the server refused our certificate; see subject
        Other,             // anything else; see code
        TlsRequired,       // plain DICOM to a server that speaks only TLS
        WrongName,         // the certificate names another server; see subject, expected
        OldTlsOnly,        // the server offers only TLS 1.0 or 1.1
        ClosedAtOnce,      // the server ended the connection without a TLS word
    };
    Kind kind = Kind::None;
    QString subject;  // Untrusted: the server's certificate; ClientCertRefused: ours; WrongName:
                      // the names the certificate carries
    QString expected; // WrongName: the name the settings expect
    unsigned long code = 0; // Untrusted: the X509_V_ERR_ code; Other: the OpenSSL error code
};

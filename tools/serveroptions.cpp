#include "serveroptions.h"

#include <charconv>
#include <string_view>

namespace {

bool toNumber(std::string_view text, unsigned long long max, unsigned long long& value)
{
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && value <= max;
}

} // namespace

bool ServerOptions::parse(int argc, char** argv, ServerOptions& options, std::string& error)
{
    options = ServerOptions();
    bool havePort = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        auto value = [&](std::string_view& out) {
            if (i + 1 >= argc) {
                error = std::string(arg) + " needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::string_view v;
        if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--quiet" || arg == "-q") {
            options.quiet = true;
        } else if (arg == "--verbose" || arg == "-v") {
            options.verbose = true;
        } else if (arg == "--port") {
            unsigned long long n = 0;
            if (!value(v))
                return false;
            if (!toNumber(v, 65535, n) || n == 0) {
                error = "--port wants a number from 1 to 65535, not \"" + std::string(v) + "\"";
                return false;
            }
            options.port = static_cast<std::uint16_t>(n);
            havePort = true;
        } else if (arg == "--aet") {
            if (!value(v))
                return false;
            if (v.empty() || v.size() > 16 || v.find('\\') != std::string_view::npos) {
                error = "--aet wants an AE title of 1 to 16 characters";
                return false;
            }
            options.aeTitle = std::string(v);
        } else if (arg == "--dir") {
            if (!value(v))
                return false;
            options.folder = std::string(v);
        } else if (arg == "--demo") {
            unsigned long long n = 0;
            if (!value(v))
                return false;
            if (!toNumber(v, 10000000, n)) {
                error = "--demo wants a number of entries from 0 to 10000000";
                return false;
            }
            options.demoCount = static_cast<std::size_t>(n);
        } else if (arg == "--charset") {
            if (!value(v))
                return false;
            if (v != "utf8" && v != "latin1") {
                error = "--charset is utf8 or latin1";
                return false;
            }
            options.latin1 = v == "latin1";
        } else if (arg == "--max-associations") {
            unsigned long long n = 0;
            if (!value(v))
                return false;
            if (!toNumber(v, 1000, n) || n == 0) {
                error = "--max-associations wants a number from 1 to 1000";
                return false;
            }
            options.maxAssociations = static_cast<unsigned>(n);
        } else if (arg == "--association-deadline") {
            unsigned long long n = 0;
            if (!value(v))
                return false;
            if (!toNumber(v, 86400, n) || n == 0) {
                error = "--association-deadline wants seconds from 1 to 86400";
                return false;
            }
            options.deadlineSeconds = static_cast<int>(n);
        } else if (arg == "--bind") {
            if (!value(v))
                return false;
            options.bindAddress = std::string(v);
        } else if (arg == "--tls-cert" || arg == "--tls-key" || arg == "--tls-ca") {
            if (!value(v))
                return false;
            std::string& target = arg == "--tls-cert"  ? options.tlsCertificate
                                  : arg == "--tls-key" ? options.tlsKey
                                                       : options.tlsClientCa;
            target = std::string(v);
        } else {
            error = "unknown argument \"" + std::string(arg) + "\"";
            return false;
        }
    }
    if (options.help)
        return true;
    if (!havePort) {
        error = "--port is required";
        return false;
    }
    if (options.tlsCertificate.empty() != options.tlsKey.empty() ||
        (options.tlsCertificate.empty() && !options.tlsClientCa.empty())) {
        error = "TLS needs both --tls-cert and --tls-key (--tls-ca only with them)";
        return false;
    }
    if (options.folder.empty() == !options.demoCount.has_value()) {
        error = "give either --dir FOLDER or --demo N";
        return false;
    }
    return true;
}

std::string ServerOptions::usage()
{
    return R"(Usage: kelvara-wlserver --port N [--aet AE] (--dir FOLDER | --demo N)
                        [--charset utf8|latin1] [--bind ADDRESS]
                        [--max-associations N] [--association-deadline S]
                        [--tls-cert FILE --tls-key FILE [--tls-ca FILE]]
                        [--quiet] [--verbose]

A small DICOM Modality Worklist server for Kelvara's demo and tests. Serves
several associations at once and runs until SIGTERM or SIGINT.

  --port N          TCP port to listen on (1-65535)
  --aet AE          own AE title (default KELVARA_WL); associations calling any
                    other AE title are rejected
  --dir FOLDER      worklist from the DICOM files *.wl and *.dcm in FOLDER (with
                    or without meta header), one entry per file; the folder is
                    checked for new, changed and deleted files at every request;
                    entries keep their own (0008,0005) and bytes
  --demo N          N generated entries for today (local date), held in memory
  --charset CS      character set of the --demo entries: utf8 (default, sent as
                    ISO_IR 192) or latin1 (ISO_IR 100; the few letters outside
                    Latin-1 become their base letter, e.g. s for U+015F)
  --bind ADDRESS    IPv4 address to listen on (default 127.0.0.1)
  --max-associations N
                    associations served at once (default 16); a connection
                    beyond that is rejected at once (transient, local limit
                    exceeded)
  --association-deadline S
                    total time one connection may take, from its accept to its
                    end (default 120 s); then it is cut. The association
                    request must arrive within 30 s (or S, if shorter)
  --tls-cert FILE   serve DICOM over TLS (BCP 195 profile) with this PEM
                    certificate (chain); plain DICOM is then refused
  --tls-key FILE    its unencrypted PEM private key
  --tls-ca FILE     PEM certificate(s) of the CA that client certificates must
                    chain to; clients without such a certificate are refused.
                    Without it, clients are not asked for a certificate
  --quiet           no log lines
  --verbose         also DCMTK's own log
  --help            this text

Services: Modality Worklist FIND (1.2.840.10008.5.1.4.31), Verification, and
Computed Radiography Image Storage (1.2.840.10008.5.1.4.1.1.1) for removals;
each in Explicit VR Little Endian, Implicit VR Little Endian and Explicit VR
Big Endian. A C-FIND may be cancelled.

Limits: an association request of at most 64 KiB; a query identifier or stored
object of at most 1 MiB (a larger one aborts the association) with at most
4096 sequence items, nested at most 32 deep (else the answer is 0xC000). A
file in FOLDER beyond these limits, or deflated, is skipped with a log line.

Removal: a C-STORE whose (0019,0010) is "REMOVE" takes every entry whose Study
Instance UID equals (0019,0030) off the worklist and deletes its file (--dir).
The answer is success (0x0000) with an Error Comment (0000,0902) "N entries
removed" (several entries may share a Study Instance UID); 0xC210 with "no
entry with this key" when nothing matched or the key is empty; 0xA700 when a
file cannot be deleted (its entry stays). Any other stored object is not kept
and is refused with 0xC000.

Log lines (stdout, one per request or event). Values from clients are shown
with control characters escaped (\xNN, \u00NN for C1, \\ for a backslash) and
cut after 200 characters ("...[cut, N bytes]"):
  listening on ADDRESS:PORT as AE, N entries (SOURCE)
  C-ECHO from CALLING
  C-FIND from CALLING: N matches            (or: N matches, cancelled)
  C-FIND from CALLING: identifier refused: REASON
  REMOVE KEY from CALLING: removed PATIENT-ID NAME (FILE)   (one per entry)
  REMOVE KEY from CALLING: N entries removed  (or: not found, failed: REASON)
  C-STORE from CALLING: no removal marker, refused
  C-FIND/C-STORE from CALLING: request larger than 1048576 bytes, association aborted
  association from CALLING (HOST) rejected: REASON
  connection from HOST refused: N associations are being served
  connection from HOST aborted: deadline of S s passed
  connection from HOST closed: TLS handshake failed: REASON
  skipped FILE: REASON
  stopped
)";
}

// kelvara-wlserver: a small Modality Worklist and Modality Performed Procedure Step server for
// the demo, the tests and the benchmark.

#include "serverlog.h"
#include "servingthreads.h"
#include "worklistscp.h"

#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/oflog/oflog.h>
#include <dcmtk/ofstd/ofdate.h>

#include <charconv>
#include <cstdio>
#include <map>
#include <openssl/ssl.h>
#include <pthread.h>
#include <random>
#include <string_view>
#include <thread>

namespace {

constexpr const char* kUsage =
    R"(Usage: kelvara-wlserver --port N [--aet AE] (--dir FOLDER | --demo N)
         [--charset utf8|latin1] [--max-associations N] [--mpps-dir DIR]
         [--tls-cert FILE --tls-key FILE [--tls-ca FILE]] [--quiet]

A Modality Worklist and Modality Performed Procedure Step server for Kelvara's demo
and tests, for clients on 127.0.0.1. --dir serves one step per DICOM file (*.wl,
*.dcm), read at start; --demo N steps made up for today. --mpps-dir keeps each
N-CREATE and N-SET data set received as DIR/<n>-ncreate.dcm or DIR/<n>-nset.dcm.
With --tls-ca, a TLS client must show a certificate from that CA.
)";

// The options that take a value.
constexpr std::string_view kValued = " --port --aet --dir --demo --charset --max-associations "
                                     "--mpps-dir --tls-cert --tls-key --tls-ca ";

// A whole number from 0 to `max`, or -1.
long number(const std::string& text, long max)
{
    long value = -1;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && value <= max ? value : -1;
}

int fail(const std::string& message)
{
    std::fprintf(stderr, "kelvara-wlserver: %s\n", message.c_str());
    return 2;
}

bool configureTls(DcmTLSTransportLayer& tls, const std::string& certificate, const std::string& key,
                  const std::string& clientCa)
{
    tls.setPrivateKeyPasswd(""); // never ask on the terminal
    tls.setCertificateVerification(clientCa.empty() ? DCV_ignoreCertificate
                                                    : DCV_requireCertificate);
    // Session tickets would reach the client as records without data after the handshake.
    SSL_CTX_set_num_tickets(tls.getNativeHandle(), 0);
    return tls.setTLSProfile(TSP_Profile_BCP195_ND).good() && tls.activateCipherSuites().good() &&
           tls.setCertificateFile(certificate.c_str(), DCF_Filetype_PEM).good() &&
           tls.setPrivateKeyFile(key.c_str(), DCF_Filetype_PEM).good() &&
           tls.checkPrivateKeyMatchesCertificate() &&
           (clientCa.empty() ||
            (tls.addTrustedCertificateFile(clientCa.c_str(), DCF_Filetype_PEM).good() &&
             tls.addTrustedClientCertificateFile(clientCa.c_str()).good()));
}

} // namespace

int main(int argc, char** argv)
{
    std::map<std::string, std::string> options{
        {"--aet", "KELVARA_WL"}, {"--charset", "utf8"}, {"--max-associations", "16"}};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg != "--quiet" && (kValued.find(" " + arg + " ") == kValued.npos || i + 1 >= argc))
            return fail("unknown argument or missing value: \"" + arg + "\" (see --help)");
        options[arg] = arg == "--quiet" ? "1" : argv[++i];
    }
    const std::string& aeTitle = options["--aet"];
    const long port = number(options["--port"], 65535),
               limit = number(options["--max-associations"], 1000);
    const long demo = options.contains("--demo") ? number(options["--demo"], 10000000) : 0;
    const bool tls = options.contains("--tls-cert");
    for (const auto& [wrong, message] : std::initializer_list<std::pair<bool, const char*>>{
             {port < 1, "--port wants a number from 1 to 65535"},
             {aeTitle.empty() || aeTitle.size() > 16, "--aet wants 1 to 16 characters"},
             {options.contains("--dir") == options.contains("--demo"), "give --dir or --demo"},
             {demo < 0, "--demo wants a number of entries from 0 to 10000000"},
             {options["--charset"] != "utf8" && options["--charset"] != "latin1",
              "--charset is utf8 or latin1"},
             {limit < 1, "--max-associations wants a number from 1 to 1000"},
             {tls != options.contains("--tls-key") || (options.contains("--tls-ca") && !tls),
              "TLS needs --tls-cert and --tls-key (--tls-ca only with them)"}}) {
        if (wrong)
            return fail(message);
    }
    if (options.contains("--quiet"))
        std::freopen("/dev/null", "w", stdout);
    OFLog::configure(OFLogger::OFF_LOG_LEVEL);

    // The toolkit's reader goes one function deeper for each nested sequence: a request at the
    // size limit, nested all the way, overflows the usual 8 MB of stack and fits in 16 MB.
    // Threads made from here on get four times that.
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 64 << 20);
    pthread_setattr_default_np(&attributes);

    auto* context = new ServerContext; // shared by all associations until the process ends
    context->aeTitle = aeTitle;
    context->mppsFolder = options["--mpps-dir"];
    std::string error;
    if (options.contains("--demo")) {
        std::random_device random;
        OFString today;
        OFDate::getCurrentDate().getISOFormattedDate(today, OFFalse);
        context->worklist.setDemo({today.c_str(), options["--charset"] == "latin1",
                                   (std::uint64_t(random()) << 32 | random()) | 1},
                                  demo);
    } else {
        bool read = false;
        std::thread([&] {
            read = context->worklist.readFolder(options["--dir"], kMaxRequestBytes, error);
        }).join();
        if (!read)
            return fail(error);
    }
    WorklistScp::setContext(context);

    ServingThreads threads([] { return std::make_unique<WorklistScp>(); },
                           static_cast<unsigned>(limit));
    DcmSCPConfig& config = threads.config();
    config.setPort(static_cast<Uint16>(port));
    config.setAETitle(aeTitle.c_str());
    config.setACSETimeout(ServingThreads::kRequestSeconds);
    config.setDIMSEBlockingMode(DIMSE_NONBLOCKING);
    config.setDIMSETimeout(ServingThreads::kIdleSeconds);
    config.setProgressNotificationMode(OFTrue);
    config.setHostLookupEnabled(OFFalse);
    const OFList<OFString> syntaxes{UID_LittleEndianExplicitTransferSyntax,
                                    UID_LittleEndianImplicitTransferSyntax,
                                    UID_BigEndianExplicitTransferSyntax};
    for (const char* sopClass :
         {UID_VerificationSOPClass, UID_FINDModalityWorklistInformationModel,
          UID_ComputedRadiographyImageStorage, UID_ModalityPerformedProcedureStepSOPClass})
        config.addPresentationContext(sopClass, syntaxes);
    threads.setSecure(tls);
    if (tls && !configureTls(threads.layer(), options["--tls-cert"], options["--tls-key"],
                             options["--tls-ca"]))
        return fail("cannot use --tls-cert, --tls-key or --tls-ca: no such PEM file, or a key "
                    "that does not fit the certificate");
    const OFCondition result =
        threads.serve("listening on 127.0.0.1:" + std::to_string(port) + " as " + aeTitle +
                      (tls ? " over TLS, " : ", ") +
                      std::to_string(context->worklist.find({}).size()) + " entries");
    return fail(std::string("cannot serve: ") + result.text());
}

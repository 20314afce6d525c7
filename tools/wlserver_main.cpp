// kelvara-wlserver: a small Modality Worklist and Modality Performed Procedure Step server for
// the demo, the tests and the benchmark.

#include "receivingpool.h"
#include "serverlog.h"
#include "worklistscp.h"

#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmtls/tlslayer.h>
#include <dcmtk/oflog/oflog.h>

#include <charconv>
#include <cstdio>
#include <ctime>
#include <map>
#include <openssl/ssl.h>
#include <pthread.h>
#include <random>
#include <set>
#include <thread>

namespace {

constexpr const char* kUsage =
    R"(Usage: kelvara-wlserver --port N [--aet AE] (--dir FOLDER | --demo N)
         [--charset utf8|latin1] [--max-associations N] [--mpps-dir DIR]
         [--tls-cert FILE --tls-key FILE [--tls-ca FILE]] [--quiet]

A small DICOM Modality Worklist and Modality Performed Procedure Step server for
Kelvara's demo and tests, for clients on 127.0.0.1. It runs until it is ended.

  --aet AE            own AE title (default KELVARA_WL)
  --dir FOLDER        one step per DICOM file *.wl or *.dcm in FOLDER, read at start
  --demo N            N generated steps for today (--charset: utf8 or latin1)
  --max-associations  connections served at once (default 16); one more is refused
  --mpps-dir DIR      keeps each N-CREATE and N-SET data set as DIR/<n>-ncreate.dcm
                      or DIR/<n>-nset.dcm
  --tls-cert, --tls-key, --tls-ca
                      DICOM over TLS only; with --tls-ca, clients must show a
                      certificate from that CA
  --quiet             no log lines on stdout
)";

const std::set<std::string> kValued{
    "--port",     "--aet",      "--dir",     "--demo",  "--charset", "--max-associations",
    "--mpps-dir", "--tls-cert", "--tls-key", "--tls-ca"};

constexpr std::size_t kMaxRequestBytes = 256 * 1024;

std::string todayLocal()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char buffer[16];
    std::strftime(buffer, sizeof buffer, "%Y%m%d", &local);
    return buffer;
}

bool toNumber(const std::string& text, unsigned long max, unsigned long& value)
{
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && value <= max;
}

int fail(const std::string& message)
{
    std::fprintf(stderr, "kelvara-wlserver: %s\n", message.c_str());
    return 2;
}

bool configureTls(DcmTLSTransportLayer& tls, const std::string& certificate, const std::string& key,
                  const std::string& clientCa, std::string& error)
{
    tls.setPrivateKeyPasswd(""); // never ask on the terminal
    if (tls.setTLSProfile(TSP_Profile_BCP195_ND).bad() || tls.activateCipherSuites().bad())
        error = "TLS cannot be set up";
    else if (tls.setCertificateFile(certificate.c_str(), DCF_Filetype_PEM).bad())
        error = "--tls-cert " + certificate + ": no PEM certificate could be read";
    else if (tls.setPrivateKeyFile(key.c_str(), DCF_Filetype_PEM).bad() ||
             !tls.checkPrivateKeyMatchesCertificate())
        error = "--tls-key " + key + ": no unencrypted PEM key of --tls-cert could be read";
    else if (!clientCa.empty() &&
             (tls.addTrustedCertificateFile(clientCa.c_str(), DCF_Filetype_PEM).bad() ||
              tls.addTrustedClientCertificateFile(clientCa.c_str()).bad()))
        error = "--tls-ca " + clientCa + ": no PEM certificate could be read";
    tls.setCertificateVerification(clientCa.empty() ? DCV_ignoreCertificate
                                                    : DCV_requireCertificate);
    // Session tickets would reach the client as records without data after the handshake.
    SSL_CTX_set_num_tickets(tls.getNativeHandle(), 0);
    return error.empty();
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
        if (arg == "--quiet") {
            options[arg] = "1";
        } else if (!kValued.contains(arg) || i + 1 >= argc) {
            return fail("unknown argument or missing value: \"" + arg + "\" (see --help)");
        } else {
            options[arg] = argv[++i];
        }
    }
    unsigned long port = 0, demo = 0, limit = 0;
    const std::string& aeTitle = options["--aet"];
    if (!toNumber(options["--port"], 65535, port) || port == 0)
        return fail("--port wants a number from 1 to 65535");
    if (aeTitle.empty() || aeTitle.size() > 16 || aeTitle.find('\\') != std::string::npos)
        return fail("--aet wants an AE title of 1 to 16 characters");
    if (options.contains("--dir") == options.contains("--demo"))
        return fail("give either --dir FOLDER or --demo N");
    if (options.contains("--demo") && !toNumber(options["--demo"], 10000000, demo))
        return fail("--demo wants a number of entries from 0 to 10000000");
    if (options["--charset"] != "utf8" && options["--charset"] != "latin1")
        return fail("--charset is utf8 or latin1");
    if (!toNumber(options["--max-associations"], 1000, limit) || limit == 0)
        return fail("--max-associations wants a number from 1 to 1000");
    if (options.contains("--tls-cert") != options.contains("--tls-key") ||
        (options.contains("--tls-ca") && !options.contains("--tls-cert")))
        return fail("TLS needs both --tls-cert and --tls-key (--tls-ca only with them)");
    serverlog::setQuiet(options.contains("--quiet"));
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
    context->maxRequestBytes = kMaxRequestBytes;
    std::string source, error;
    if (options.contains("--demo")) {
        std::random_device random;
        const bool latin1 = options["--charset"] == "latin1";
        context->worklist.setDemo(
            DemoGenerator(todayLocal(),
                          latin1 ? DemoGenerator::Charset::Latin1 : DemoGenerator::Charset::Utf8,
                          (std::uint64_t(random()) << 32) ^ random()),
            demo);
        source = std::string("demo, ") + (latin1 ? "ISO_IR 100" : "ISO_IR 192");
    } else {
        bool read = false;
        std::thread([&] {
            read = context->worklist.readFolder(options["--dir"], kMaxRequestBytes, error);
        }).join();
        if (!read)
            return fail(error);
        source = "folder " + options["--dir"];
    }
    WorklistScp::setContext(context);

    auto* pool = new ServerPool<WorklistScp>; // its workers may run until the process ends
    DcmSCPConfig& config = pool->getConfig();
    config.setPort(static_cast<Uint16>(port));
    config.setAETitle(aeTitle.c_str());
    config.setACSETimeout(ReceivingPool::kRequestSeconds);
    config.setDIMSEBlockingMode(DIMSE_NONBLOCKING);
    config.setDIMSETimeout(ReceivingPool::kIdleSeconds);
    config.setProgressNotificationMode(OFTrue);
    config.setHostLookupEnabled(OFFalse);
    const OFList<OFString> syntaxes{UID_LittleEndianExplicitTransferSyntax,
                                    UID_LittleEndianImplicitTransferSyntax,
                                    UID_BigEndianExplicitTransferSyntax};
    for (const char* sopClass :
         {UID_VerificationSOPClass, UID_FINDModalityWorklistInformationModel,
          UID_ComputedRadiographyImageStorage, UID_ModalityPerformedProcedureStepSOPClass})
        config.addPresentationContext(sopClass, syntaxes);
    pool->setMaxThreads(static_cast<Uint16>(limit));

    const bool secure = options.contains("--tls-cert");
    auto* layer = new GatedLayer(*pool);
    if (secure && !configureTls(*layer, options["--tls-cert"], options["--tls-key"],
                                options["--tls-ca"], error))
        return fail(error);
    pool->setLayer(layer, secure);
    pool->setListeningLine("listening on 127.0.0.1:" + std::to_string(port) + " as " + aeTitle +
                           (secure ? " over TLS" : "") + ", " +
                           std::to_string(context->worklist.size()) + " entries (" + source + ")");
    const OFCondition result = pool->listen();
    return fail(std::string("cannot serve: ") + result.text());
}

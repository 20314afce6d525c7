// kelvara-wlserver: a small Modality Worklist server for the demo, the tests and the benchmark.
// See ServerOptions::usage() for the command line and the log lines.

#include "associationserver.h"
#include "demogenerator.h"
#include "listensocket.h"
#include "requestlog.h"
#include "serveroptions.h"
#include "servertls.h"
#include "shutdownsignal.h"
#include "workliststore.h"

#include <dcmtk/oflog/oflog.h>

#include <cstdio>
#include <ctime>
#include <random>

namespace {

std::string todayLocal()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char buffer[16];
    std::strftime(buffer, sizeof buffer, "%Y%m%d", &local);
    return buffer;
}

std::uint64_t randomUidRoot()
{
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device();
}

} // namespace

int main(int argc, char** argv)
{
    ServerOptions options;
    std::string error;
    if (!ServerOptions::parse(argc, argv, options, error)) {
        RequestLog::error(error + " (see --help)");
        return 2;
    }
    if (options.help) {
        std::fputs(ServerOptions::usage().c_str(), stdout);
        return 0;
    }
    OFLog::configure(options.verbose ? OFLogger::INFO_LOG_LEVEL : OFLogger::OFF_LOG_LEVEL);

    // Before any other thread exists, so that every thread blocks the stop signals.
    auto* signal = new ShutdownSignal(); // lives until the process ends
    const RequestLog log(options.quiet);

    WorklistStore store([&log](const std::string& text) { log.line(text); });
    std::string source;
    if (options.demoCount) {
        const DemoGenerator generator(todayLocal(),
                                      options.latin1 ? DemoGenerator::Charset::Latin1
                                                     : DemoGenerator::Charset::Utf8,
                                      randomUidRoot());
        store.setEntries(generator.generate(*options.demoCount));
        source = std::string("demo, ") + (options.latin1 ? "ISO_IR 100" : "ISO_IR 192");
    } else {
        if (!store.openFolder(options.folder, error)) {
            RequestLog::error(error);
            return 1;
        }
        source = "folder " + options.folder;
    }

    ServerTls tls;
    if (!options.tlsCertificate.empty() &&
        !tls.configure(options.tlsCertificate, options.tlsKey, options.tlsClientCa, error)) {
        RequestLog::error(error);
        return 1;
    }

    // The port opens only now, so whoever waits for it finds the worklist complete.
    ListenSocket socket;
    if (!socket.open(options.bindAddress, options.port, error)) {
        RequestLog::error(error);
        return 1;
    }
    log.line("listening on " + options.bindAddress + ":" + std::to_string(options.port) + " as " +
             options.aeTitle + (options.tlsCertificate.empty() ? "" : " over TLS") + ", " +
             std::to_string(store.entries()->size()) + " entries (" + source + ")");

    AssociationServer server(options.aeTitle, store, socket, *signal, log,
                             {options.maxAssociations, options.deadlineSeconds});
    if (!options.tlsCertificate.empty())
        server.useTls(&tls);
    const OFCondition result = server.run();
    if (!signal->stopRequested()) {
        RequestLog::error(std::string("server stopped: ") + result.text());
        return 1;
    }
    log.line("stopped");
    return 0;
}

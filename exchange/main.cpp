// kelvara-exchange: runs one DICOM exchange for the window and ends. The request comes on
// standard input and the answer goes to standard output, in the format of exchangeprotocol.h.
// The window ends this process whenever it must (closing, the exchange's total deadline), so
// nothing here has to be abortable; a server that crashes or exhausts it ends only this process.

#include "exchangeprotocol.h"
#include "performedstep.h"
#include "removal.h"
#include "worklistfind.h"

#include <cstdio>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

// The toolkit's reader recurses once per nested sequence, before any check of ours can look at
// the entry: room for a few hundred thousand levels, far beyond what a network answer of a
// sane size holds. Only the pages used are ever allocated.
constexpr size_t readerStackBytes = size_t(512) * 1024 * 1024;

void write(const QByteArray& bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
}

void* runExchange(void* data)
{
    const auto& request = *static_cast<const ExchangeProtocol::Request*>(data);
    DicomError error;
    if (request.operation == ExchangeProtocol::Operation::Removal) {
        error = request.mppsStatus.isEmpty()
                    ? sendRemoval(request.params, request.entryKey)
                    : sendPerformedStep(request.params, request.step, request.mppsStatus);
    } else {
        const FindOutcome outcome = runWorklistFind(
            request.params, [](const WorklistRow& row) { write(ExchangeProtocol::rowLine(row)); },
            request.stepAttributes);
        error = outcome.error;
        if (outcome.truncatedByServer)
            write(ExchangeProtocol::truncatedLine());
    }
    write(ExchangeProtocol::lastLine(error));
    return nullptr;
}

} // namespace

int main()
{
    // Ends with the window, whichever way the window ends.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    static char buffer[64 * 1024];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);

    QByteArray input;
    char chunk[4096];
    for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, stdin)) > 0;) {
        input.append(chunk, qsizetype(got));
        if (input.size() > 1024 * 1024)
            return 2;
    }
    const std::optional<ExchangeProtocol::Request> request = ExchangeProtocol::decodeRequest(input);
    if (!request)
        return 2;
    // Should the window be unable to end us, the exchange still ends.
    ::alarm(unsigned(request->params.timeouts.totalSeconds()) + 10);
    write(ExchangeProtocol::firstLine());

    pthread_attr_t attributes;
    pthread_t thread;
    ::pthread_attr_init(&attributes);
    ::pthread_attr_setstacksize(&attributes, readerStackBytes);
    const ExchangeProtocol::Request& exchange = *request;
    if (::pthread_create(&thread, &attributes, runExchange,
                         const_cast<ExchangeProtocol::Request*>(&exchange)) == 0)
        ::pthread_join(thread, nullptr);
    else
        runExchange(const_cast<ExchangeProtocol::Request*>(&exchange));
    ::pthread_attr_destroy(&attributes);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
